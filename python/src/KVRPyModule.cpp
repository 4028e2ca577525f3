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
  kvrpy::bindPaths(m);
  kvrpy::bindSymbols(m);
}
