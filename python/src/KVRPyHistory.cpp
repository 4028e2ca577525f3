// The history tools: a recorder of where entities were and who held each
// body, with look-ahead on shuttles' plans; poses come out as NumPy arrays.

#include "KVRHistory.h"
#include "KVRPyModule.h"

#include <limits>

namespace kvrpy {

namespace {

using Entity3DHandle = KVRSharedHandle<KVRBasicEntity3D>;
using BodyHandle = KVRSharedHandle<KVRBasicBody3D>;

std::string gapName(KVRHistory::Gap gap) {
  switch (gap) {
    case KVRHistory::Gap::None:
      return "none";
    case KVRHistory::Gap::UnknownEntity:
      return "unknown entity";
    case KVRHistory::Gap::BeforeRecord:
      return "before the record";
    case KVRHistory::Gap::AfterRecord:
      return "after the record";
  }
  return "";
}

KVRHistory::Vector vectorOf(const py::handle& source, const char* what) {
  KVRHistory::Vector v;
  if (!loadVector(source, v))
    throw py::type_error(std::string(what) + " must be three numbers or a KVRBasicVector3D, not " +
                         std::string(py::str(py::type::of(source).attr("__name__"))));
  return v;
}

py::object timeOrNone(const std::optional<KVRSimTime>& t) { return t ? py::cast(*t) : py::none(); }

// "(x, y, z)" of a position, as Python writes floats.
std::string positionText(const KVRHistory::Xform& x) {
  const auto& p = x.getPosition();
  return py::repr(py::make_tuple(p.x(), p.y(), p.z())).cast<std::string>();
}

}  // namespace

void bindHistory(py::module_& m) {
  py::class_<KVRHistory::Pose>(
      m, "KVRHistoryPose",
      "Where an entity was (or will be) at a time: true when there is a pose; np.asarray(pose) and\n"
      "matrix() give its 4x4 homogeneous matrix in world coordinates, `location` the transform,\n"
      "`predicted` whether it comes from a shuttle's plan, `gap` why there is none ('none' when there is).")
      .def("__bool__", [](const KVRHistory::Pose& p) { return static_cast<bool>(p); })
      .def_property_readonly(
          "location", [](const KVRHistory::Pose& p) { return p.location; },
          "The pose in world coordinates; the identity when there is a gap.")
      .def_property_readonly(
          "predicted", [](const KVRHistory::Pose& p) { return p.predicted; },
          "Whether the pose comes from a shuttle's plan rather than from samples.")
      .def_property_readonly(
          "gap", [](const KVRHistory::Pose& p) { return gapName(p.gap); },
          "Why there is no pose ('none' when there is one), as 'unknown entity', 'before the record' or\n"
          "'after the record'.")
      .def_property_readonly(
          "reason", [](const KVRHistory::Pose& p) { return KVRHistory::describe(p.gap); },
          "The gap in words.")
      .def("matrix", [](const KVRHistory::Pose& p) { return toMatrix(p.location); },
           "The 4x4 homogeneous matrix, as a new NumPy array (the identity when there is a gap).")
      .def(
          "__array__",
          [](const KVRHistory::Pose& p, const py::object& dtype) {
            py::array a = toMatrix(p.location);
            return dtype.is_none() ? a : a.attr("astype")(dtype).cast<py::array>();
          },
          py::arg("dtype") = py::none())
      .def("__repr__", [](const KVRHistory::Pose& p) {
        if (!p) return "KVRHistoryPose(gap='" + gapName(p.gap) + "')";
        return "KVRHistoryPose(position=" + positionText(p.location) + (p.predicted ? ", predicted)" : ")");
      });

  py::class_<KVRHistory::Custody>(m, "KVRCustody",
                                  "An interval in which something held a body: `holder` (the body it hung on,\n"
                                  "or the group carrying it), `hold` ('attached', 'grabbed', 'connected',\n"
                                  "'member'), `carriers` (the groups carrying the holder, innermost first),\n"
                                  "`start` and `end` (simulation times of the steps), `open` (still so at the\n"
                                  "last step) and `handedOver` (taken from another holder within one step).")
      .def_property_readonly(
          "holder", [](const KVRHistory::Custody& c) { return c.holder; },
          "The body it hung on, or the group carrying it as a member.")
      .def_property_readonly(
          "hold", [](const KVRHistory::Custody& c) { return KVRHistory::holdName(c.hold); },
          "'attached', 'grabbed', 'connected' or 'member'.")
      .def_property_readonly(
          "carriers", [](const KVRHistory::Custody& c) { return c.carriers; },
          "The groups carrying the holder, innermost first.")
      .def_property_readonly(
          "start", [](const KVRHistory::Custody& c) { return c.from; },
          "The simulation time of the step at which it began.")
      .def_property_readonly(
          "end", [](const KVRHistory::Custody& c) { return c.to; },
          "The simulation time of the step at which it ended (the last step while open).")
      .def_property_readonly(
          "open", [](const KVRHistory::Custody& c) { return c.open; },
          "Whether it still held at the last step.")
      .def_property_readonly(
          "handedOver", [](const KVRHistory::Custody& c) { return c.handedOver; },
          "Whether it began as another holder let go within the same step.")
      .def("__repr__", [](const KVRHistory::Custody& c) {
        const std::string hold = KVRHistory::holdName(c.hold);
        std::wstring text = L"KVRCustody(" + titleOf(*c.holder) + L", " + std::wstring(hold.begin(), hold.end());
        for (const auto& g : c.carriers) text += L" > " + titleOf(*g);
        text += L", " + std::to_wstring(c.from.toSeconds()) + L" s to " + std::to_wstring(c.to.toSeconds()) + L" s";
        if (c.handedOver) text += L", handed over";
        return text + L")";
      });

  py::class_<KVRHistory::Arrival>(m, "KVRArrival",
                                  "When a carried body first enters a region: `time`, and its pose then\n"
                                  "(`location`; np.asarray gives the 4x4 matrix).")
      .def_property_readonly(
          "time", [](const KVRHistory::Arrival& a) { return a.time; },
          "The simulation time of arrival, to 1 ms.")
      .def_property_readonly(
          "location", [](const KVRHistory::Arrival& a) { return a.location; },
          "The body's pose then, in world coordinates.")
      .def(
          "__array__",
          [](const KVRHistory::Arrival& a, const py::object& dtype) {
            py::array m = toMatrix(a.location);
            return dtype.is_none() ? m : m.attr("astype")(dtype).cast<py::array>();
          },
          py::arg("dtype") = py::none())
      .def("__repr__", [](const KVRHistory::Arrival& a) {
        return "KVRArrival(" + py::repr(py::float_(a.time.toSeconds())).cast<std::string>() + " s, at " +
               positionText(a.location) + ")";
      });

  py::class_<KVRHistory>(
      m, "KVRHistory",
      "Records where the entities below a root were, step by step, keeping samples only for what\n"
      "moved; answers where an entity was at a past time (interpolated), where a shuttle's plan\n"
      "will put it, who held a body when, and when a carried body will enter a region.\n"
      "Call record() after each step of your run (at the root's simulation time, or at `time`).")
      .def(py::init([](const KVRSharedHandle<KVRBasicEntity>& root, const py::object& time) {
             return time.is_none() ? new KVRHistory(root) : new KVRHistory(root, timeArg(time));
           }),
           py::arg("root"), py::arg("time") = py::none(),
           "Follows everything below `root` (a world, or any entity) and records a first step now, at its\n"
           "simulation time or at `time`. KVREInvalidArgument for None or an orphaned root.")
      .def(
          "record",
          [](KVRHistory& h, const py::object& time) {
            time.is_none() ? h.record() : h.record(timeArg(time));
          },
          py::arg("time") = py::none(),
          "Records a step at the root's simulation time or at `time`: a sample for every entity that\n"
          "moved since the step before. KVREInvalidArgument for a time before the last step's.")
      .def("setHorizon", &KVRHistory::setHorizon, py::arg("horizon"),
           "Lets go of samples older than `horizon` (a KVRSimTime or seconds) before the latest step.\n"
           "KVREInvalidArgument for a negative horizon.")
      .def("getHorizon", [](const KVRHistory& h) { return timeOrNone(h.getHorizon()); },
           "The horizon, or None (everything is kept).")
      .def("getStepCount", &KVRHistory::getStepCount, "The number of steps recorded.")
      .def("getFirstTime", &KVRHistory::getFirstTime, "The simulation time of the first step.")
      .def("getLastTime", &KVRHistory::getLastTime, "The simulation time of the last step.")
      .def(
          "getSampleCount",
          [](const KVRHistory& h, const py::object& entity) {
            if (entity.is_none()) return h.getSampleCount();
            if (!py::isinstance<KVRBasicEntity3D>(entity))
              throw py::type_error("the entity must be a KVRBasicEntity3D or None, not " + typeName(entity));
            return h.getSampleCount(entity.cast<Entity3DHandle>());
          },
          py::arg("entity") = py::none(), "Samples kept, in all or of one entity.")
      .def("poseAt", &KVRHistory::poseAt, py::arg("entity"), py::arg("t"),
           "Where `entity` was at simulation time `t` (exact at a step, interpolated between two),\n"
           "or will be (from a planned shuttle that carries it then): a KVRHistoryPose, false\n"
           "with its `gap` and `reason` when there is none. Nothing is extrapolated.")
      .def(
          "posesAt",
          [](const KVRHistory& h, const std::vector<Entity3DHandle>& entities, const KVRSimTime& t) {
            py::array_t<double> out({static_cast<py::ssize_t>(entities.size()), py::ssize_t(4), py::ssize_t(4)});
            auto a = out.mutable_unchecked<3>();
            for (std::size_t i = 0; i < entities.size(); ++i) {
              const KVRHistory::Pose pose = h.poseAt(entities[i], t);
              const Eigen::Matrix4d m = pose ? pose.location.toIsometry().matrix()
                                             : Eigen::Matrix4d::Constant(std::numeric_limits<double>::quiet_NaN());
              for (int r = 0; r < 4; ++r)
                for (int c = 0; c < 4; ++c) a(static_cast<py::ssize_t>(i), r, c) = m(r, c);
            }
            return out;
          },
          py::arg("entities"), py::arg("t"),
          "poseAt for many entities at once: an (n, 4, 4) NumPy array, NaN where there is no pose.")
      .def("custody", &KVRHistory::custody, py::arg("body"), py::arg("t0"), py::arg("t1"),
           "The KVRCustody intervals of `body` overlapping [t0, t1], in order.")
      .def_static("custodyNow", &KVRHistory::custodyNow, py::arg("root"),
                  "(body, KVRCustody) for every held body below `root`, as the cell stands.")
      .def_static("plannedPose", &KVRHistory::plannedPose, py::arg("entity"), py::arg("t"),
                  "The pose a planned shuttle will give `entity` at `t`, without a recorder.")
      .def(
          "firstTimeInsideSphere",
          [](const KVRHistory& h, const BodyHandle& body, const py::object& centre, double radius,
             const KVRSimTime& t0, const KVRSimTime& t1) {
            return h.firstTimeInside(body, KVRHistory::Region::sphere(vectorOf(centre, "the centre"), radius), t0,
                                     t1);
          },
          py::arg("body"), py::arg("centre"), py::arg("radius"), py::arg("t0"), py::arg("t1"),
          "When `body`, carried by a planned shuttle, first has its origin inside the sphere (world\n"
          "coordinates) between t0 and t1, to 1 ms: a KVRArrival, or None.")
      .def(
          "firstTimeInsideBox",
          [](const KVRHistory& h, const BodyHandle& body, const py::object& lowest, const py::object& highest,
             const KVRSimTime& t0, const KVRSimTime& t1) {
            return h.firstTimeInside(
                body, KVRHistory::Region::box(vectorOf(lowest, "the lowest corner"), vectorOf(highest, "the highest corner")),
                t0, t1);
          },
          py::arg("body"), py::arg("lowest"), py::arg("highest"), py::arg("t0"), py::arg("t1"),
          "The same for an axis-aligned box given by its lowest and highest corners.")
      .def(
          "__repr__",
          [](const KVRHistory& h) {
            return "KVRHistory(" + std::to_string(h.getStepCount()) + " steps, " +
                   std::to_string(h.getSampleCount()) + " samples, " +
                   std::to_string(h.getFirstTime().toSeconds()) + " s to " +
                   std::to_string(h.getLastTime().toSeconds()) + " s)";
          },
          "The steps, the samples and the span recorded.");
}

}  // namespace kvrpy
