// The kvrworldmodel module: the world model, scripted from Python.

#include "KVRPyModule.h"

#include <unordered_map>

namespace kvrpy {

namespace {

// Python class -> class descriptor. Bound classes live as long as the
// interpreter, so their addresses are stable keys.
std::unordered_map<PyObject*, const KVRClassInfo*>& classInfos() {
  static auto* infos = new std::unordered_map<PyObject*, const KVRClassInfo*>;
  return *infos;
}

std::unordered_map<PyObject*, const KVRUUID*>& classIDs() {
  static auto* ids = new std::unordered_map<PyObject*, const KVRUUID*>;
  return *ids;
}

}  // namespace

void registerClassInfo(const py::handle& pythonClass, const KVRClassInfo& info) {
  classInfos()[pythonClass.ptr()] = &info;
}

const KVRClassInfo& classInfoOf(const py::handle& pythonClass) {
  const auto it = classInfos().find(pythonClass.ptr());
  if (it == classInfos().end())
    throw py::type_error("a class filter must be a class of the world model, not " +
                         py::repr(pythonClass).cast<std::string>());
  return *it->second;
}

void registerClassID(const py::handle& pythonClass, const KVRUUID& classID) {
  classIDs()[pythonClass.ptr()] = &classID;
}

const KVRUUID& classIDOf(const py::handle& pythonClass) {
  const auto it = classIDs().find(pythonClass.ptr());
  if (it == classIDs().end())
    throw py::type_error("an extension is named by its class, an extension class of the world model, not " +
                         py::repr(pythonClass).cast<std::string>());
  return *it->second;
}

void refuseSubclassing(const py::handle& pythonClass) {
  const py::cpp_function refuse(
      [](const py::handle& subclass, const py::kwargs&) {
        throw py::type_error("the classes of the world model cannot be subclassed in Python (" +
                             py::str(subclass.attr("__name__")).cast<std::string>() +
                             "); keep script state beside the model, or in symbols");
      },
      py::name("__init_subclass__"));
  pythonClass.attr("__init_subclass__") = py::reinterpret_steal<py::object>(PyClassMethod_New(refuse.ptr()));
}

std::wstring titleOf(const KVRBasicEntity& entity) {
  // A root's full name is a lone separator, which tells a reader nothing.
  const auto mode = entity.hasLogicalParent() ? KVRBasicEntity::FullName : KVRBasicEntity::BaseName;
  return entity.getEntityTitle(mode).scribe(KVRLocale::global());
}

}  // namespace kvrpy

PYBIND11_MODULE(kvrworldmodel, m) {
  m.doc() =
      "The world model of a 3-D manufacturing and robotics cell: worlds, bodies with frames and tag "
      "points, connections, attaching and grabbing, tag paths, typed properties by path.";
  kvrpy::bindErrors(m);
  kvrpy::bindMath(m);
  kvrpy::bindEntities(m);
  kvrpy::bindBodies(m);
  kvrpy::bindGroups(m);
  kvrpy::bindPaths(m);
  kvrpy::bindSymbols(m);
#ifdef KVRPY_WITH_EXPORT
  kvrpy::bindExport(m);
#endif
#ifdef KVRPY_WITH_HISTORY
  kvrpy::bindHistory(m);
#endif
}
