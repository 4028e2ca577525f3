// Many poses at once: the base locations of a list of entities, or of every
// 3-D entity of a subtree, read into one (N, 4, 4) NumPy array, and relative
// locations set from one. A KVRPoseBatch holds its entities' handles, so that
// reading them step after step crosses the boundary once, not once per pose.

#include "KVRPyModule.h"

namespace kvrpy {

namespace {

using Entity3D = KVRSharedHandle<KVRBasicEntity3D>;

class PoseBatch {
 public:
  explicit PoseBatch(const py::iterable& entities) {
    std::size_t index = 0;
    for (const py::handle item : entities) {
      if (!py::isinstance<KVRBasicEntity3D>(item))
        throw py::type_error("a KVRPoseBatch holds 3-D entities, but item " + std::to_string(index) + " is " +
                             py::repr(item).cast<std::string>());
      entities_.push_back(item.cast<Entity3D>());
      ++index;
    }
  }
  explicit PoseBatch(std::vector<Entity3D> entities) : entities_(std::move(entities)) {}

  // The 3-D entities of the logical subtree of `root`, parents first, in child order.
  static PoseBatch subtree(const KVRSharedHandle<KVRBasicEntity>& root) {
    if (!root) throw py::type_error("a subtree needs a root entity, not None");
    std::vector<Entity3D> found;
    KVRBasicEntity::forEachInLogicalSubtree(root, [&](const KVRSharedHandle<KVRBasicEntity>& entity) {
      if (auto* e = dynamic_cast<KVRBasicEntity3D*>(entity.get())) found.emplace_back(e);
    });
    return PoseBatch(std::move(found));
  }

  const std::vector<Entity3D>& entities() const { return entities_; }
  std::size_t size() const { return entities_.size(); }

  py::array_t<double> read(const py::object& out) const {
    const auto n = static_cast<py::ssize_t>(entities_.size());
    py::array_t<double> result;
    if (out.is_none()) {
      result = py::array_t<double>({n, py::ssize_t{4}, py::ssize_t{4}});
    } else {
      result = py::array_t<double>::ensure(out);
      if (!result || !py::isinstance<py::array_t<double>>(out) || result.ndim() != 3 || result.shape(0) != n ||
          result.shape(1) != 4 || result.shape(2) != 4 || !(result.flags() & py::array::c_style) || !result.writeable())
        throw py::value_error("`out` must be a writable C-contiguous float64 array of shape (" + std::to_string(n) +
                              ", 4, 4)");
    }
    double* m = result.mutable_data();
    for (const Entity3D& entity : entities_) {
      const Xform& x = entity->getBaseLocation();
      const Eigen::Matrix3d r = x.getQtn().toRotationMatrix();
      const Vector& p = x.getPosition();
      for (int i = 0; i < 3; ++i) {
        m[4 * i + 0] = r(i, 0);
        m[4 * i + 1] = r(i, 1);
        m[4 * i + 2] = r(i, 2);
        m[4 * i + 3] = p[i];
      }
      m[12] = m[13] = m[14] = 0.0;
      m[15] = 1.0;
      m += 16;
    }
    return result;
  }

  // Every pose is checked before any entity moves; an entity that refuses
  // its move puts back those moved before it.
  py::array_t<int> setRelative(const py::handle& poses) {
    const auto a = py::array_t<double, py::array::c_style | py::array::forcecast>::ensure(poses);
    const auto n = static_cast<py::ssize_t>(entities_.size());
    if (!a || a.ndim() != 3 || a.shape(0) != n || a.shape(1) != 4 || a.shape(2) != 4)
      throw py::value_error("the relative locations must be an array of shape (" + std::to_string(n) + ", 4, 4)");
    std::vector<Xform> wanted(entities_.size());
    const double* m = a.data();
    for (std::size_t k = 0; k < entities_.size(); ++k, m += 16) {
      const Eigen::Matrix4d matrix = Eigen::Map<const Eigen::Matrix<double, 4, 4, Eigen::RowMajor>>(m);
      if (!matrix.allFinite())
        throw KVREInvalidArgument(L"Relative location %1 of a KVRPoseBatch holds a number that is not finite")
            << std::to_wstring(k);
      try {
        wanted[k] = poseFromMatrix(matrix);
      } catch (const KVRException& e) {
        throw KVREInvalidArgument(L"Relative location %1 of a KVRPoseBatch: %2") << std::to_wstring(k)
                                                                                   << e.getMessage();
      }
    }
    py::array_t<int> statuses(n);
    int* status = statuses.mutable_data();
    std::vector<Xform> before;
    before.reserve(entities_.size());
    for (std::size_t k = 0; k < entities_.size(); ++k) {
      before.push_back(entities_[k]->getRelativeLocation());
      try {
        status[k] = moveRelative(*entities_[k], wanted[k]);
      } catch (...) {
        for (std::size_t j = k; j-- > 0;) moveRelative(*entities_[j], before[j]);
        throw;
      }
    }
    return statuses;
  }

 private:
  // The relative location set through the entity's class and, when applied,
  // its cached base location recomputed from its parent's at once.
  static int moveRelative(KVRBasicEntity3D& entity, const Xform& relative) {
    const int status = entity.setRelativeLocation(relative);
    if (status == 1 || status == 2) entity.updateRelativeLocation(entity.getRelativeLocation());
    return status;
  }

  std::vector<Entity3D> entities_;
};

}  // namespace

void bindBulk(py::module_& m) {
  py::class_<PoseBatch>(m, "KVRPoseBatch",
                        "A fixed list of 3-D entities whose poses are read or set together, as (N, 4, 4)\n"
                        "NumPy arrays of homogeneous transforms, in the list's order. Make one once and read it\n"
                        "at every step: the entities cross from Python once, when the batch is made.")
      .def(py::init<const py::iterable&>(), py::arg("entities"),
           "A batch of the given 3-D entities (TypeError naming the first item that is not one).")
      .def_static("subtree", &PoseBatch::subtree, py::arg("root"),
                  "A batch of every 3-D entity of the logical subtree of `root` (a world, an assembly,\n"
                  "any entity), parents before children, in child order; `root` first when it is 3-D.")
      .def_property_readonly(
          "entities", [](const PoseBatch& b) { return b.entities(); }, "The entities, in the batch's order.")
      .def("__len__", &PoseBatch::size)
      .def("__repr__",
           [](const PoseBatch& b) { return "<KVRPoseBatch of " + std::to_string(b.size()) + " entities>"; })
      .def("getBaseLocations", &PoseBatch::read, py::arg("out") = py::none(),
           "The cached base locations (world coordinates), as a new (N, 4, 4) float64 array, or written\n"
           "into `out` (a C-contiguous float64 array of that shape). Flush first (`world.flushWorld()`)\n"
           "for poses that include the last moves.")
      .def("setRelativeLocations", &PoseBatch::setRelative, py::arg("poses"),
           "Sets each entity's location relative to its spatial parent from an (N, 4, 4) array of rigid\n"
           "transforms, its base location following at once; returns the N request statuses. Every transform is checked first: one that is\n"
           "not rigid raises KVREInvalidArgument naming its index, and nothing moves. The entities'\n"
           "descendants follow at the next flush.");

  m.def(
      "getBaseLocations", [](const py::iterable& entities) { return PoseBatch(entities).read(py::none()); },
      py::arg("entities"),
      "The cached base locations of the given 3-D entities as one (N, 4, 4) float64 array. To read the\n"
      "same entities at every step, make a KVRPoseBatch once instead.");
}

}  // namespace kvrpy
