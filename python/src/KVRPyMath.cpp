// Math types: vectors, quaternions, rigid transforms, profiles, simulation
// time; and the conversions that let a pose cross the boundary as a NumPy
// 4x4 array or as a (position, quaternion) pair, in both directions.

#include <pybind11/operators.h>

#include <cctype>
#include <cmath>
#include <sstream>

#include "KVRPyModule.h"

namespace kvrpy {

namespace {

// A rotation part whose columns are off unit length or orthogonality by more
// than this is no rotation; single precision input still passes.
constexpr double RotationTolerance = 1e-6;
// A quaternion whose squared length is off 1 by more than this is refused;
// within it, one off by more than rounding is normalised.
constexpr double UnitTolerance = 1e-6;
constexpr double RoundingTolerance = 1e-14;

[[noreturn]] void refusePose(const std::wstring& what) {
  throw KVREInvalidArgument(
      L"A pose is a KVRBasicXform3D, a 4x4 rigid transform or a (position, "
      L"quaternion (w, x, y, z)) pair: %1")
      << what;
}

std::wstring wide(const std::string& text) {
  std::wstring result;
  KVRAssign(result, text);
  return result;
}

std::string reprOf(const py::handle& value) { return py::repr(value).cast<std::string>(); }

bool isSequence(const py::handle& value) { return PyTuple_Check(value.ptr()) || PyList_Check(value.ptr()); }

// `count` finite numbers from a sequence or array; false when it is none.
bool loadNumbers(const py::handle& source, std::size_t count, double* numbers) {
  if (!isSequence(source) && !py::isinstance<py::array>(source)) return false;
  const py::sequence items = py::reinterpret_borrow<py::sequence>(source);
  if (py::len(items) != count) return false;
  for (std::size_t i = 0; i < count; ++i) {
    const py::object item = items[i];  // owned: an array hands out new scalars
    if (!PyNumber_Check(item.ptr()) || py::isinstance<py::array>(item)) return false;
    numbers[i] = PyFloat_AsDouble(item.ptr());
    if (numbers[i] == -1.0 && PyErr_Occurred()) {  // a number that is no real one: a complex
      PyErr_Clear();
      return false;
    }
  }
  return true;
}

void requireFinite(const double* numbers, std::size_t count, const py::handle& source) {
  for (std::size_t i = 0; i < count; ++i)
    if (!std::isfinite(numbers[i])) refusePose(L"non-finite number in " + wide(reprOf(source)));
}

Xform fromMatrix(const Eigen::Matrix4d& m, const py::handle& source) {
  requireFinite(m.data(), 16, source);
  const Eigen::Matrix3d r = m.topLeftCorner<3, 3>();
  const double bottomError = (m.row(3) - Eigen::RowVector4d(0, 0, 0, 1)).cwiseAbs().maxCoeff();
  if (bottomError > RotationTolerance) refusePose(L"the last row of a 4x4 transform must be 0 0 0 1");
  const double orthoError = (r.transpose() * r - Eigen::Matrix3d::Identity()).cwiseAbs().maxCoeff();
  if (orthoError > RotationTolerance || r.determinant() <= 0)
    refusePose(L"the upper 3x3 block is not a rotation matrix");
  Qtn q{Eigen::Quaterniond(r)};
  q.normalize();
  return Xform(q, Vector(m(0, 3), m(1, 3), m(2, 3)));
}

Xform fromPair(const py::sequence& pair, const py::handle& source) {
  double p[3], q[4];
  if (!loadNumbers(pair[0], 3, p)) refusePose(L"the position must be three numbers");
  if (!loadNumbers(pair[1], 4, q)) refusePose(L"the quaternion must be four numbers (w, x, y, z)");
  requireFinite(p, 3, source);
  requireFinite(q, 4, source);
  const double n2 = q[0] * q[0] + q[1] * q[1] + q[2] * q[2] + q[3] * q[3];
  if (std::abs(n2 - 1) > UnitTolerance)
    refusePose(L"the quaternion " + wide(reprOf(pair[1])) + L" is not of unit length");
  Qtn qtn(q[0], q[1], q[2], q[3]);
  if (std::abs(n2 - 1) > RoundingTolerance) qtn.normalize();
  return Xform(qtn, Vector(p[0], p[1], p[2]));
}

}  // namespace

Xform poseFromMatrix(const Eigen::Matrix4d& m) { return fromMatrix(m, py::none()); }

bool loadPose(const py::handle& source, Xform& pose) {
  if (py::isinstance<Xform>(source)) {
    pose = source.cast<const Xform&>();
    return true;
  }
  if (py::isinstance<py::array>(source)) {
    const auto a = py::array_t<double, py::array::c_style | py::array::forcecast>::ensure(source);
    if (!a || a.ndim() != 2 || a.shape(0) != 4 || a.shape(1) != 4)
      refusePose(L"an array pose must be 4x4, not " + wide(reprOf(source.attr("shape"))));
    Eigen::Matrix4d m;
    const auto v = a.unchecked<2>();
    for (int i = 0; i < 4; ++i)
      for (int j = 0; j < 4; ++j) m(i, j) = v(i, j);
    pose = fromMatrix(m, source);
    return true;
  }
  if (!isSequence(source)) return false;
  const py::sequence items = py::reinterpret_borrow<py::sequence>(source);
  if (py::len(items) == 2) {
    pose = fromPair(items, source);
    return true;
  }
  if (py::len(items) == 4) {
    Eigen::Matrix4d m;
    for (int i = 0; i < 4; ++i) {
      double row[4];
      if (!loadNumbers(items[static_cast<std::size_t>(i)], 4, row))
        refusePose(L"a 4x4 transform needs four rows of four numbers");
      for (int j = 0; j < 4; ++j) m(i, j) = row[j];
    }
    pose = fromMatrix(m, source);
    return true;
  }
  refusePose(wide(reprOf(source)) + L" is neither");
}

bool loadVector(const py::handle& source, Vector& vector) {
  if (py::isinstance<Vector>(source)) {
    vector = source.cast<const Vector&>();
    return true;
  }
  double v[3];
  if (!loadNumbers(source, 3, v)) return false;
  vector = Vector(v[0], v[1], v[2]);
  return true;
}

void writeBack(const Pose& pose) {
  if (py::isinstance<Xform>(pose.source)) {
    pose.source.cast<Xform&>() = pose.value;
    return;
  }
  if (!py::isinstance<py::array_t<double>>(pose.source)) return;
  auto a = py::reinterpret_borrow<py::array_t<double>>(pose.source);
  if (!a.writeable() || a.ndim() != 2 || a.shape(0) != 4 || a.shape(1) != 4) return;
  const py::array_t<double> m = toMatrix(pose.value);
  auto out = a.mutable_unchecked<2>();
  const auto in = m.unchecked<2>();
  for (int i = 0; i < 4; ++i)
    for (int j = 0; j < 4; ++j) out(i, j) = in(i, j);
}

py::array_t<double> toMatrix(const Xform& x) {
  py::array_t<double> m({4, 4});
  auto out = m.mutable_unchecked<2>();
  const Eigen::Matrix3d r = x.getQtn().toRotationMatrix();
  for (int i = 0; i < 3; ++i) {
    for (int j = 0; j < 3; ++j) out(i, j) = r(i, j);
    out(i, 3) = x.getPosition()[i];
    out(3, i) = 0.0;
  }
  out(3, 3) = 1.0;
  return m;
}

py::tuple toTuple(const Xform& x) {
  const Vector& p = x.getPosition();
  const Qtn& q = x.getQtn();
  return py::make_tuple(py::make_tuple(p.x(), p.y(), p.z()), py::make_tuple(q.w(), q.x(), q.y(), q.z()));
}

namespace {

template <class T>
std::string streamed(const T& value) {
  std::ostringstream out;
  out << value;
  return out.str();
}

// The number of significant digits a format '.N' or '.Ng' asks for (N of one
// or two digits); -1 for any other format.
int precisionOf(const std::string& format) {
  const std::size_t end = !format.empty() && format.back() == 'g' ? format.size() - 1 : format.size();
  if (end < 2 || end > 3 || format[0] != '.') return -1;
  int digits = 0;
  for (std::size_t i = 1; i < end; ++i) {
    if (!std::isdigit(static_cast<unsigned char>(format[i]))) return -1;
    digits = 10 * digits + (format[i] - '0');
  }
  return digits;
}

// format(value, ".4"), f"{value:.4}": the text of str() written with that
// many significant digits, as a C++ stream set to that precision writes it
// (the notation of "g"). An empty format is str().
template <class T>
std::string formatted(const T& value, const std::string& format) {
  std::ostringstream out;
  if (!format.empty()) {
    const int digits = precisionOf(format);
    if (digits < 0)
      throw py::value_error(
          "the math types of the world model take the format '.N' or '.Ng' (N significant "
          "digits), not '" +
          format + "'");
    out.precision(digits);
  }
  out << value;
  return out.str();
}

template <class T>
void addFormat(py::class_<T>& cls) {
  cls.def("__format__", &formatted<T>, py::arg("format"),
          "'.N' (or '.Ng'): the text of str() with N significant digits.");
}

// NumPy's array protocol: np.asarray(x) of a transform is its 4x4 matrix.
py::array asArray(const py::array& a, const py::object& dtype) {
  return dtype.is_none() ? a : py::array(a.attr("astype")(dtype));
}

void bindVector(py::module_& m) {
  py::class_<Vector> v(m, "KVRBasicVector3D",
                       "A 3-D vector or point; zero by default. Equality is exact: compare computed\n"
                       "vectors with a tolerance, e.g. (a - b).norm() < tol.");
  v.def(py::init<>(), "The zero vector.")
      .def(py::init<double, double, double>(), py::arg("x"), py::arg("y"), py::arg("z"), "(x, y, z).")
      .def(py::init([](const Vector3& v) { return v.value; }), py::arg("xyz"),
           "From three numbers in a sequence or array.")
      .def("x", &Vector::x, "The x component.")
      .def("y", &Vector::y, "The y component.")
      .def("z", &Vector::z, "The z component.")
      .def("setX", &Vector::setX, "Sets the x component.")
      .def("setY", &Vector::setY, "Sets the y component.")
      .def("setZ", &Vector::setZ, "Sets the z component.")
      .def(
          "dot", [](const Vector& a, const Vector3& b) { return a.dot(b.value); },
          "The dot product with `other` (a vector or three numbers).")
      .def(
          "cross", [](const Vector& a, const Vector3& b) { return a.cross(b.value); },
          "The cross product this x `other`, a new vector.")
      .def("norm", &Vector::norm, "The Euclidean length.")
      .def(
          "toTuple", [](const Vector& a) { return py::make_tuple(a.x(), a.y(), a.z()); }, "(x, y, z).")
      .def("__len__", [](const Vector&) { return 3; })
      .def("__getitem__",
           [](const Vector& a, int i) {
             if (i < -3 || i > 2) throw py::index_error("a 3-D vector has the indices 0, 1 and 2");
             return a[(i + 3) % 3];
           })
      .def("__setitem__",
           [](Vector& a, int i, double value) {
             if (i < -3 || i > 2) throw py::index_error("a 3-D vector has the indices 0, 1 and 2");
             a[(i + 3) % 3] = value;
           })
      .def(
          "__array__",
          [](const Vector& a, const py::object& dtype) {
            return asArray(py::array_t<double>(3, a.eigen().data()), dtype);
          },
          py::arg("dtype") = py::none())
      .def(-py::self)
      .def(py::self + py::self)
      .def(py::self - py::self)
      .def(py::self * double())
      .def(double() * py::self)
      .def(py::self / double())
      .def(py::self += py::self)
      .def(py::self -= py::self)
      .def(py::self *= double())
      .def(py::self /= double())
      .def(py::self == py::self)
      .def(py::self != py::self)
      .def("__copy__", [](const Vector& a) { return a; })
      .def("__deepcopy__", [](const Vector& a, const py::dict&) { return a; })
      .def(py::pickle([](const Vector& a) { return py::make_tuple(a.x(), a.y(), a.z()); },
                      [](const py::tuple& t) {
                        return Vector(t[0].cast<double>(), t[1].cast<double>(), t[2].cast<double>());
                      }))
      .def("__str__", &streamed<Vector>, "\"x y z\".")
      .def("__repr__", [](const Vector& a) {
        return "KVRBasicVector3D(" + reprOf(py::float_(a.x())) + ", " + reprOf(py::float_(a.y())) + ", " +
               reprOf(py::float_(a.z())) + ")";
      });
  addFormat(v);
  v.attr("Zero") = Vector::Zero;
}

void bindQtn(py::module_& m) {
  py::class_<Qtn> q(m, "KVRBasicQtn3D",
                    "A unit quaternion (w, x, y, z) holding an orientation; the identity by default.\n"
                    "q and -q are the same rotation, but == compares the coefficients exactly.");
  q.def(py::init<>(), "The identity.")
      .def(py::init<double, double, double, double>(), py::arg("w"), py::arg("x"), py::arg("y"), py::arg("z"),
           "(w, x, y, z) as given, meant to be of unit length (normalize() makes it so).")
      .def("w", &Qtn::w, "The scalar part.")
      .def("x", &Qtn::x, "The x coefficient of the vector part.")
      .def("y", &Qtn::y, "The y coefficient of the vector part.")
      .def("z", &Qtn::z, "The z coefficient of the vector part.")
      .def(
          "getEAA",
          [](const Qtn& a) {
            Vector axis;
            double angle = 0;
            a.getEAA(axis, angle);
            return py::make_tuple(axis, angle);
          },
          "(unit axis, angle in radians in [0, pi]); the identity gives ((1, 0, 0), 0).")
      .def(
          "setEAA", [](Qtn& a, const Vector3& axis, double angle) { a.setEAA(axis.value, angle); },
          py::arg("axis"), py::arg("angle"),
          "Rotation by `angle` radians (right-handed) about `axis` (any length; zero gives the identity).")
      .def("inverse", &Qtn::inverse, "The inverse rotation (the conjugate), a new quaternion.")
      .def(
          "invert", [](Qtn& a) { a.invert(); }, "Inverts this quaternion in place.")
      .def(
          "normalize", [](Qtn& a) { a.normalize(); },
          "Scales to unit length in place; a zero quaternion becomes the identity.")
      .def(
          "toRotationMatrix",
          [](const Qtn& a) {
            const Eigen::Matrix3d r = a.toRotationMatrix();
            py::array_t<double> out({3, 3});
            auto o = out.mutable_unchecked<2>();
            for (int i = 0; i < 3; ++i)
              for (int j = 0; j < 3; ++j) o(i, j) = r(i, j);
            return out;
          },
          "The 3x3 rotation matrix, as a new NumPy array.")
      .def(
          "toTuple", [](const Qtn& a) { return py::make_tuple(a.w(), a.x(), a.y(), a.z()); }, "(w, x, y, z).")
      .def(py::self * py::self)
      .def("__mul__", [](const Qtn& a, const Vector& v) { return a * v; })
      .def(py::self *= py::self)
      .def(py::self == py::self)
      .def(py::self != py::self)
      .def("__copy__", [](const Qtn& a) { return a; })
      .def("__deepcopy__", [](const Qtn& a, const py::dict&) { return a; })
      .def(py::pickle([](const Qtn& a) { return py::make_tuple(a.w(), a.x(), a.y(), a.z()); },
                      [](const py::tuple& t) {
                        return Qtn(t[0].cast<double>(), t[1].cast<double>(), t[2].cast<double>(),
                                   t[3].cast<double>());
                      }))
      .def("__repr__", [](const Qtn& a) {
        return "KVRBasicQtn3D(" + reprOf(py::float_(a.w())) + ", " + reprOf(py::float_(a.x())) + ", " +
               reprOf(py::float_(a.y())) + ", " + reprOf(py::float_(a.z())) + ")";
      });
  q.attr("Identity") = Qtn::Identity;
}

void bindXform(py::module_& m) {
  py::class_<Xform> x(m, "KVRBasicXform3D",
                      "A rigid transform: a rotation and a position; the identity by default.\n\n"
                      "The location of B relative to A maps B's coordinates to A's, and products\n"
                      "compose locations: X_AC = X_AB * X_BC. Converts to and from a NumPy 4x4\n"
                      "homogeneous matrix (matrix(), np.asarray) and a (position, quaternion)\n"
                      "pair with the quaternion as (w, x, y, z) (toTuple()).");
  x.def(py::init<>(), "The identity.")
      .def(py::init([](const Qtn& q, const Vector3& position) { return Xform(q, position.value); }),
           py::arg("q"), py::arg("position"),
           "The rotation `q` and the position (a vector or three numbers).")
      .def(py::init([](const Pose& pose) { return pose.value; }), py::arg("pose"),
           "From a 4x4 rigid transform (NumPy array or nested sequences), a (position, quaternion) "
           "pair, or another transform.")
      .def("matrix", &toMatrix, "The 4x4 homogeneous matrix, as a new NumPy array.")
      .def("toTuple", &toTuple, "((x, y, z), (w, qx, qy, qz)).")
      .def(
          "__array__", [](const Xform& a, const py::object& dtype) { return asArray(toMatrix(a), dtype); },
          py::arg("dtype") = py::none())
      .def("getPosition", &Xform::getPosition, "The position, a copy.")
      .def("getQtn", &Xform::getQtn, "The rotation as a quaternion, a copy.")
      .def(
          "getRPY",
          [](const Xform& a) {
            double roll, pitch, yaw;
            a.getRPY(roll, pitch, yaw);
            return py::make_tuple(roll, pitch, yaw);
          },
          "(roll, pitch, yaw) in radians: roll about x, then pitch about y, then yaw about z, in the "
          "parent's fixed axes.")
      .def(
          "setPosition", [](Xform& a, const Vector3& p) { a.setPosition(p.value); }, py::arg("position"),
          "Sets the position (a vector or three numbers); the rotation is kept.")
      .def("setPosition", py::overload_cast<double, double, double>(&Xform::setPosition), py::arg("x"),
           py::arg("y"), py::arg("z"), "Sets the position; the rotation is kept.")
      .def("setQtn", &Xform::setQtn, py::arg("q"), "Sets the rotation; the position is kept.")
      .def("setRPY", &Xform::setRPY, py::arg("roll"), py::arg("pitch"), py::arg("yaw"),
           "Sets the rotation (radians, convention as getRPY); the position is kept.")
      .def("inverse", &Xform::inverse, "The inverse transform, a new one: X_BA of X_AB.")
      .def(
          "invert", [](Xform& a) { a.invert(); }, "Inverts this transform in place.")
      .def(
          "normalize", [](Xform& a) { a.normalize(); },
          "Renormalises the quaternion in place, e.g. after long chains of products.")
      .def(
          "isApprox", [](const Xform& a, const Pose& b, double tol) { return a.isApprox(b.value, tol); },
          py::arg("other"), py::arg("tol") = 1e-9, "Same rotation (q or -q) and position, each within tol.")
      .def(
          "postMultiply", [](Xform& a, const Pose& b) { a.postMultiply(b.value); }, py::arg("other"),
          "this = this * other, in place.")
      .def(
          "move",
          [](Xform& a, const Pose& motion, KVRMath3D::ReferenceFrame frame) { a.move(motion.value, frame); },
          py::arg("motion"), py::arg("frame"),
          "LocalFrame: this = this * motion; ParentFrame: motion * this.")
      .def(
          "rotate",
          [](Xform& a, KVRMath3D::AxisType axis, double angle, KVRMath3D::ReferenceFrame frame) {
            a.rotate(axis, angle, frame);
          },
          py::arg("axis"), py::arg("angle"), py::arg("frame"),
          "Turns by `angle` radians about XAxis, YAxis or ZAxis: its own (LocalFrame) or the parent's\n"
          "(ParentFrame, which turns the position about the parent's origin too).")
      .def(
          "rotate",
          [](Xform& a, const Vector3& axis, double angle, KVRMath3D::ReferenceFrame frame) {
            a.rotate(axis.value, angle, frame);
          },
          py::arg("axis"), py::arg("angle"), py::arg("frame"),
          "Turns by `angle` radians about a vector axis (any length but zero), frames as above.")
      .def(
          "translate",
          [](Xform& a, const Vector3& v, KVRMath3D::ReferenceFrame frame) { a.translate(v.value, frame); },
          py::arg("offset"), py::arg("frame"),
          "Shifts the position by `offset` in its own axes (LocalFrame) or the parent's (ParentFrame).")
      .def(py::self * py::self)
      .def("__mul__", [](const Xform& a, const Vector& v) { return a * v; })
      .def("__mul__", [](const Xform& a, const Vector3& v) { return a * v.value; })
      .def(py::self *= py::self)
      .def(py::self /= py::self)
      .def(py::self == py::self)
      .def(py::self != py::self)
      .def("__copy__", [](const Xform& a) { return a; })
      .def("__deepcopy__", [](const Xform& a, const py::dict&) { return a; })
      .def(py::pickle(&toTuple,
                      [](const py::tuple& t) {
                        Xform pose;
                        loadPose(t, pose);
                        return pose;
                      }))
      .def("__str__", &streamed<Xform>, "Position, then roll, pitch and yaw in degrees: 1 2 3 | rpy 0 0 90.")
      .def("__repr__", [](const Xform& a) { return "KVRBasicXform3D(" + reprOf(toTuple(a)) + ")"; });
  addFormat(x);
  x.attr("Identity") = Xform::Identity;
}

void bindProfile(py::module_& m) {
  py::class_<Profile> p(m, "KVRBasicProfile3D",
                        "A location with linear and angular velocity and acceleration; at rest at the\n"
                        "identity by default. The frame and units of the vectors are its user's.");
  p.def(py::init<>(), "At rest at the identity.")
      .def("getLocation", py::overload_cast<>(&Profile::getLocation, py::const_), "The location, a copy.")
      .def(
          "setLocation", [](Profile& a, const Pose& location) { a.setLocation(location.value); },
          py::arg("location"), "Replaces the location only; velocities and accelerations are kept.")
      .def("getLinearVelocity", &Profile::getLinearVelocity, "The linear velocity, a copy.")
      .def("getAngularVelocity", &Profile::getAngularVelocity, "The angular velocity, a copy.")
      .def("getLinearAcceleration", &Profile::getLinearAcceleration, "The linear acceleration, a copy.")
      .def("getAngularAcceleration", &Profile::getAngularAcceleration, "The angular acceleration, a copy.")
      .def(
          "setLinearVelocity", [](Profile& a, const Vector3& v) { a.setLinearVelocity(v.value); },
          "Sets the linear velocity (a vector or three numbers).")
      .def(
          "setAngularVelocity", [](Profile& a, const Vector3& v) { a.setAngularVelocity(v.value); },
          "Sets the angular velocity.")
      .def(
          "setLinearAcceleration", [](Profile& a, const Vector3& v) { a.setLinearAcceleration(v.value); },
          "Sets the linear acceleration.")
      .def(
          "setAngularAcceleration", [](Profile& a, const Vector3& v) { a.setAngularAcceleration(v.value); },
          "Sets the angular acceleration.")
      .def("clearVelocity", &Profile::clearVelocity, "Zeroes both velocities.")
      .def("clearAcceleration", &Profile::clearAcceleration, "Zeroes both accelerations.")
      .def(py::self == py::self)
      .def(py::self != py::self)
      .def("__copy__", [](const Profile& a) { return a; })
      .def("__deepcopy__", [](const Profile& a, const py::dict&) { return a; })
      .def("__repr__", [](const Profile& a) {
        return "<KVRBasicProfile3D at " + reprOf(toTuple(a.getLocation())) + ">";
      });
  p.attr("Identity") = Profile::Identity;
}

// A number of seconds as a time; KVREInvalidArgument (a ValueError) for NaN,
// infinities and times beyond the range of whole seconds.
KVRSimTime timeOf(double seconds) { return KVRSimTime(seconds); }

// KVRSimTime(1.5): the seconds as Python writes a float, when that float
// reads back as the same time; the two counts otherwise (a time with more
// digits than a double holds).
std::string timeRepr(const KVRSimTime& a) {
  const double seconds = a.toSeconds();
  if (std::isfinite(seconds) && KVRSimTime(seconds) == a)
    return "KVRSimTime(" + reprOf(py::float_(seconds)) + ")";
  return "KVRSimTime(" + std::to_string(a.getSeconds()) + ", " + std::to_string(a.getNanoseconds()) + ")";
}

void bindSimTime(py::module_& m) {
  py::class_<KVRSimTime> t(m, "KVRSimTime",
                           "Simulation time: whole seconds and nanoseconds, exact to the nanosecond. "
                           "A float or int of seconds is accepted wherever a time is. * and / take\n"
                           "the right-hand time as a ratio in seconds: 4 s * 0.5 is 2 s.");
  t.def(py::init<>(), "Zero.")
      .def(py::init(&timeOf), py::arg("seconds"),
           "From seconds, rounded to the nanosecond; KVREInvalidArgument (a ValueError) for NaN,\n"
           "infinities and times beyond the range of whole seconds.")
      .def(py::init<int64_t, int32_t>(), py::arg("seconds"), py::arg("nanoseconds"),
           "From whole seconds and nanoseconds; any nanosecond count is carried into the seconds.")
      .def("toSeconds", &KVRSimTime::toSeconds, "The nearest float to the value in seconds.")
      .def("getSeconds", &KVRSimTime::getSeconds, "The whole seconds (the floor: -0.5 s is -1 s + 0.5e9 ns).")
      .def("getNanoseconds", &KVRSimTime::getNanoseconds, "The nanoseconds, in [0, 1e9).")
      .def("__float__", &KVRSimTime::toSeconds)
      .def(-py::self)
      .def(py::self + py::self)
      .def(py::self - py::self)
      .def(py::self * py::self)
      .def(py::self / py::self)
      // So that a number of seconds may stand on either side: 0.5 + t, 10 - t.
      .def(
          "__radd__", [](const KVRSimTime& a, double seconds) { return timeOf(seconds) + a; },
          py::is_operator())
      .def(
          "__rsub__", [](const KVRSimTime& a, double seconds) { return timeOf(seconds) - a; },
          py::is_operator())
      .def(py::self == py::self)
      .def(py::self != py::self)
      .def(py::self < py::self)
      .def(py::self <= py::self)
      .def(py::self > py::self)
      .def(py::self >= py::self)
      .def("__hash__",
           [](const KVRSimTime& a) { return py::hash(py::make_tuple(a.getSeconds(), a.getNanoseconds())); })
      .def("__str__", &streamed<KVRSimTime>, "The seconds, as a float prints.")
      .def("__format__", &formatted<KVRSimTime>, py::arg("format"),
           "'.N' (or '.Ng'): the seconds with N significant digits.")
      .def("__repr__", &timeRepr, "KVRSimTime(1.5): the seconds.");
  py::implicitly_convertible<py::float_, KVRSimTime>();
  py::implicitly_convertible<py::int_, KVRSimTime>();
}

}  // namespace

void bindMath(py::module_& m) {
  py::class_<KVRMath3D> math(m, "KVRMath3D", "Holds the enumerations the math types share.");
  py::enum_<KVRMath3D::ReferenceFrame>(
      math, "ReferenceFrame",
      "The axes a move is expressed in: the transform's own (LocalFrame: this = this * m) or the\n"
      "parent's (ParentFrame: this = m * this).")
      .value("ParentFrame", KVRMath3D::ParentFrame)
      .value("LocalFrame", KVRMath3D::LocalFrame);
  py::enum_<KVRMath3D::AxisType>(math, "AxisType", "A coordinate axis to turn about.")
      .value("XAxis", KVRMath3D::XAxis)
      .value("YAxis", KVRMath3D::YAxis)
      .value("ZAxis", KVRMath3D::ZAxis);
  for (const char* name : {"ParentFrame", "LocalFrame"})
    m.attr(name) = math.attr("ReferenceFrame").attr(name);
  for (const char* name : {"XAxis", "YAxis", "ZAxis"}) m.attr(name) = math.attr("AxisType").attr(name);

  bindVector(m);
  bindQtn(m);
  bindXform(m);
  bindProfile(m);
  bindSimTime(m);
  // The names the library's own code uses for these types.
  m.attr("Xform") = m.attr("KVRBasicXform3D");
  m.attr("Vector") = m.attr("KVRBasicVector3D");
  m.attr("Qtn") = m.attr("KVRBasicQtn3D");
  m.attr("Profile") = m.attr("KVRBasicProfile3D");
}

}  // namespace kvrpy
