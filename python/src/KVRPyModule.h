#pragma once

// What the binding files of the kvrworldmodel module share: the holder type,
// the registration of model classes, class filters, and the pose and vector
// arguments that accept NumPy arrays and tuples.
//
// Every model object a script sees is held by its intrusive reference count:
// the Python object owns one KVRSharedHandle<T>, the same kind of handle the
// trees hold. Dropping the last Python reference releases that handle, and
// the C++ object lives on for as long as the model holds it. No raw pointer
// to a model object ever crosses the boundary.

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <ostream>
#include <sstream>
#include <string>

#include "KVRException.h"
#include "KVRWorldModel.h"

// The count lives in the object, so a holder may be made from a plain
// pointer at any time: pybind11 does so when a script creates an object.
PYBIND11_DECLARE_HOLDER_TYPE(T, KVRSharedHandle<T>, true)

namespace kvrpy {

namespace py = pybind11;

using Xform = KVRBasicXform3D<double>;
using Vector = KVRBasicVector3D<double>;
using Qtn = KVRBasicQtn3D<double>;
using Profile = KVRBasicProfile3D<double>;

// pybind11 hands a handle of one class to an object registered under a
// derived class by copying it as that class's handle. That is sound because
// every KVRSharedHandle<T> is the untyped handle and nothing more: one
// pointer to the KVRSharedObject, which get() converts to T.
static_assert(sizeof(KVRSharedHandle<KVRBasicEntity>) == sizeof(KVRSharedBase));
static_assert(sizeof(KVRSharedHandle<KVRBasicBody3D>) == sizeof(KVRSharedBase));

template <class T, class... Bases>
using ModelClass = py::class_<T, Bases..., KVRSharedHandle<T>>;

// Records the class descriptor of a bound model class, so that the Python
// class can serve as a class filter (getLogicalChildren(KVRBasicBody3D)).
void registerClassInfo(const py::handle& pythonClass, const KVRClassInfo& info);
// The descriptor of a bound model class; TypeError for anything else.
const KVRClassInfo& classInfoOf(const py::handle& pythonClass);

// Records the class identifier of a bound extension class, so that the
// Python class can name the extension (entity.getExtension(cls)).
void registerClassID(const py::handle& pythonClass, const KVRUUID& classID);
// The identifier of a bound extension class; TypeError for anything else.
const KVRUUID& classIDOf(const py::handle& pythonClass);

// Refuses Python subclasses of a class and of the classes bound below it:
// the model hands its objects back as their C++ class, so a subclass's own
// state would be lost.
void refuseSubclassing(const py::handle& pythonClass);

// The Python class of a model class, with the descriptor registered.
template <class T, class... Bases>
ModelClass<T, Bases...> bindModelClass(py::module_& m, const char* name, const char* doc) {
  ModelClass<T, Bases...> cls(m, name, doc);
  registerClassInfo(cls, T::ClassInfo_);
  return cls;
}

// Arguments a binding takes as any Python object (optional ones, mostly),
// read with a TypeError for a wrong type and a ValueError for a value of the
// right type that cannot be one, each saying what was expected. `what` opens
// the message: "a name must be a str, not int".

// The name of a value's Python type, as messages give it: int, NoneType.
std::string typeName(const py::handle& value);
// A name: a str.
std::wstring nameArg(const py::handle& value, const char* what = "a name");
// A time: a KVRSimTime, or a float or int of seconds; ValueError for NaN, an
// infinity or a number of seconds beyond the range of times.
KVRSimTime timeArg(const py::handle& value, const char* what = "a time");

// A constructor taking an optional base name, for a concrete entity class.
template <class Class>
void addNamedConstructor(Class& cls) {
  using T = typename Class::type;
  cls.def(py::init([](const py::object& name) {
            KVRSharedHandle<T> entity(new T);
            if (!name.is_none()) entity->setEntityName(nameArg(name));
            return entity;
          }),
          py::arg("name") = py::none(), "A new entity standing in no tree, named `name` (a str) when given.");
}

// What the repr of an entity shows: its class and its name, the full name
// under a parent and the base name otherwise, then `state` when given:
// <KVRBasicBody3D "/Cell/Line/Part">, <KVRBasicGroup3D "Pallet" active, 2 members>.
std::wstring entityRepr(const KVRBasicEntity& entity, const std::wstring& state = {});
// The same name in quotation marks, as reprs refer to an entity: "/Cell/Line/Part".
std::wstring quotedName(const KVRBasicEntity& entity);

// A location argument: a KVRBasicXform3D, a 4x4 array (nested sequences or
// NumPy) of a rigid transform, or a (position, quaternion) pair with the
// quaternion as (w, x, y, z). `source` is what the caller passed, so that an
// adapted location can be written back into it.
struct Pose {
  Xform value;
  py::handle source;
};

// A 3-vector argument: a KVRBasicVector3D, or three numbers in a sequence or array.
struct Vector3 {
  Vector value;
};

// Reads a location; false when `source` is not of a pose kind at all.
// A pose-shaped value that is no rigid transform (wrong shape, a matrix
// that is no rotation, a quaternion far from unit length, a non-finite
// number) raises KVREInvalidArgument naming what is wrong.
bool loadPose(const py::handle& source, Xform& pose);
// A 4x4 rigid transform as a pose; KVREInvalidArgument when it is none.
Xform poseFromMatrix(const Eigen::Matrix4d& m);
bool loadVector(const py::handle& source, Vector& vector);

// After a request answered with status 1: the adapted location goes back
// into what the caller passed, when that can hold it (a KVRBasicXform3D, or
// a writable float64 4x4 array). Tuples cannot be written to.
void writeBack(const Pose& pose);

// The 4x4 homogeneous matrix of a transform, as a new NumPy array.
py::array_t<double> toMatrix(const Xform& x);
// ((x, y, z), (w, qx, qy, qz)).
py::tuple toTuple(const Xform& x);

// What `write(stream)` writes, as one string: the model's text output for Python.
template <class Write>
std::string written(Write write) {
  std::ostringstream out;
  write(out);
  return out.str();
}

// The dump of a group, an assembly, a shuttle or an extension, as text.
template <class T>
std::string dumped(const T& object) {
  return written([&](std::ostream& out) { object.dump(out); });
}

// Title of an entity as the model's messages write it, Body "/Cell/Gripper";
// with the base name for an entity that stands under no parent.
std::wstring titleOf(const KVRBasicEntity& entity);

// One function per family of classes, called in this order by the module.
void bindErrors(py::module_& m);
void bindMath(py::module_& m);
void bindEntities(py::module_& m);
void bindBodies(py::module_& m);
void bindGroups(py::module_& m);
void bindPaths(py::module_& m);
void bindSymbols(py::module_& m);
void bindDrive(py::module_& m);
void bindBulk(py::module_& m);
// Only when the export library is built (KVRPY_WITH_EXPORT).
void bindExport(py::module_& m);
// Only when the history library is built (KVRPY_WITH_HISTORY).
void bindHistory(py::module_& m);

}  // namespace kvrpy

namespace pybind11::detail {

template <>
struct type_caster<kvrpy::Pose> {
  PYBIND11_TYPE_CASTER(kvrpy::Pose, const_name("Pose"));
  bool load(handle source, bool) {
    if (!kvrpy::loadPose(source, value.value)) return false;
    value.source = source;
    return true;
  }
  static handle cast(const kvrpy::Pose& pose, return_value_policy, handle) {
    return pybind11::cast(pose.value).release();
  }
};

template <>
struct type_caster<kvrpy::Vector3> {
  PYBIND11_TYPE_CASTER(kvrpy::Vector3, const_name("Vector3"));
  bool load(handle source, bool) { return kvrpy::loadVector(source, value.value); }
  static handle cast(const kvrpy::Vector3& vector, return_value_policy, handle) {
    return pybind11::cast(vector.value).release();
  }
};

}  // namespace pybind11::detail
