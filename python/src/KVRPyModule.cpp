// The kvrworldmodel module: the world model, scripted from Python.

#include "KVRPyModule.h"

#include <cmath>
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

std::string typeName(const py::handle& value) {
  return py::str(py::type::handle_of(value).attr("__name__")).cast<std::string>();
}

std::wstring nameArg(const py::handle& value, const char* what) {
  if (!PyUnicode_Check(value.ptr()))
    throw py::type_error(std::string(what) + " must be a str, not " + typeName(value));
  return value.cast<std::wstring>();
}

KVRSimTime timeArg(const py::handle& value, const char* what) {
  if (py::isinstance<KVRSimTime>(value)) return value.cast<KVRSimTime>();
  // int and float, NumPy's among them (their integers have __index__).
  if (!PyFloat_Check(value.ptr()) && !PyIndex_Check(value.ptr()))
    throw py::type_error(std::string(what) + " must be a KVRSimTime or a number of seconds, not " +
                         typeName(value));
  const double seconds = PyFloat_AsDouble(value.ptr());
  if (seconds == -1.0 && PyErr_Occurred()) {
    PyErr_Clear();  // an int too large for a float
    throw py::value_error(std::string(what) + " is out of range: an " + typeName(value) +
                          " of seconds too large for a float");
  }
  if (!std::isfinite(seconds))
    throw py::value_error(std::string(what) + " must be a finite number of seconds, not " +
                          py::repr(value).cast<std::string>());
  return KVRSimTime(seconds);  // KVREInvalidArgument (a ValueError) beyond the range of whole seconds
}

std::wstring quotedName(const KVRBasicEntity& entity) {
  const auto mode = entity.hasLogicalParent() ? KVRBasicEntity::FullName : KVRBasicEntity::BaseName;
  return L"\"" + entity.getEntityName(mode) + L"\"";
}

std::wstring entityRepr(const KVRBasicEntity& entity, const std::wstring& state) {
  std::wstring text;
  KVRAssign(text, entity.getClassName());
  text = L"<" + text + L" " + quotedName(entity);
  if (entity.isOrphaned()) text += state.empty() ? L" orphaned" : L" orphaned,";
  if (!state.empty()) text += L" " + state;
  return text + L">";
}

std::wstring titleOf(const KVRBasicEntity& entity) {
  // A root's full name is a lone separator, which tells a reader nothing.
  const auto mode = entity.hasLogicalParent() ? KVRBasicEntity::FullName : KVRBasicEntity::BaseName;
  return entity.getEntityTitle(mode).scribe(KVRLocale::global());
}

}  // namespace kvrpy

PYBIND11_MODULE(_core, m) {
  // The classes are the package's own: they are named kvrworldmodel.X in
  // signatures, reprs, help() and pickles, wherever this module lies.
  const pybind11::object moduleName = m.attr("__name__");
  m.attr("__name__") = "kvrworldmodel";
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
  kvrpy::bindDrive(m);
  kvrpy::bindBulk(m);
#ifdef KVRPY_WITH_EXPORT
  kvrpy::bindExport(m);
#endif
#ifdef KVRPY_WITH_HISTORY
  kvrpy::bindHistory(m);
#endif
  m.attr("__name__") = moduleName;
}
