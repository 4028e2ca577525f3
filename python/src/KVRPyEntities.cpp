// The entity core: entities with their names and logical tree, 3-D entities
// with their spatial tree and locations, worlds and the universe.

#include "KVRPyModule.h"

namespace kvrpy {

namespace {

using Entity = KVRBasicEntity;
using Entity3D = KVRBasicEntity3D;
using Entity3DHandle = KVRSharedHandle<KVRBasicEntity3D>;

// A request status as the caller gets it: with 1, the adapted location has
// gone back into what the caller passed.
int answer(int status, const Pose& pose) {
  if (status == 1) writeBack(pose);
  return status;
}

py::int_ eventMask(const KVRBasicEntity& entity) { return py::int_(entity.getPendingEvents().to_ullong()); }

void requireBit(int bit) {
  if (bit < 0 || bit > 63)
    throw py::index_error("event bits are numbered 0 to 63, not " + std::to_string(bit));
}

void bindEntity(py::module_& m) {
  py::enum_<KVRDynamicObject::CopyMode>(m, "CopyMode", "How much a copy takes along.")
      .value("CopyAlone", KVRDynamicObject::CopyAlone)
      .value("CopyDeep", KVRDynamicObject::CopyDeep)
      .value("CopyDeepAll", KVRDynamicObject::CopyDeepAll)
      .export_values();

  auto e = bindModelClass<Entity>(
      m, "KVRBasicEntity",
      "The root class of every object of the world model: a name, a full path name kept up to date\n"
      "through the logical tree, a pending event mask, owned symbols. Held by reference count:\n"
      "the Python object keeps the entity alive, and so does the tree it stands in until it is\n"
      "removed or orphaned.");
  refuseSubclassing(e);
  py::enum_<Entity::EntityNameMode>(e, "EntityNameMode")
      .value("BaseName", Entity::BaseName)
      .value("FullName", Entity::FullName)
      .export_values();
  e.attr("BaseNameChanged") = Entity::BaseNameChanged;
  e.attr("FullNameChanged") = Entity::FullNameChanged;
  e.attr("LogicalAncestorsChanged") = Entity::LogicalAncestorsChanged;
  e.attr("HistoryCleared") = Entity::HistoryCleared;
  e.attr("ResetRequested") = Entity::ResetRequested;
  addNamedConstructor(e);

  // Identity and names.
  e.def("getClassName", &Entity::getClassName, "The C++ class name, e.g. KVRBasicBody3D.")
      .def("getUUID", [](const Entity& self) { return self.getUUID().toString(); })
      .def("getEntityTypeName",
           [](const Entity& self) { return self.getEntityTypeName().scribe(KVRLocale::global()); })
      .def("getDescription", &Entity::getDescription)
      .def("setDescription", &Entity::setDescription, py::arg("description"))
      .def("getIntAttribute", &Entity::getIntAttribute)
      .def("setIntAttribute", &Entity::setIntAttribute, py::arg("value"))
      .def("getEntityName", &Entity::getEntityName, py::arg("mode") = Entity::BaseName,
           py::arg("separator") = Entity::ExternalNameSeparator,
           "The base name, or with FullName the path from the world: /Cell/Gripper.")
      .def("getStoredFullName", &Entity::getStoredFullName)
      .def(
          "getEntityTitle",
          [](const Entity& self, Entity::EntityNameMode mode, wchar_t separator) {
            return self.getEntityTitle(mode, separator).scribe(KVRLocale::global());
          },
          py::arg("mode") = Entity::FullName, py::arg("separator") = Entity::ExternalNameSeparator,
          "The type name and the name in quotation marks, as messages write it: Body \"/Cell/Gripper\".")
      .def("setEntityName", &Entity::setEntityName, py::arg("name"))
      .def("findEntity", &Entity::findEntity, py::arg("path"),
           py::arg("separator") = Entity::ExternalNameSeparator,
           "The entity a path leads to (relative, or from the world with a leading separator); None when "
           "there is none.")
      .def("getWorld", &Entity::getWorld)
      .def("getSimulationTime", &Entity::getSimulationTime)
      .def("__repr__", [](const Entity& self) { return L"<" + titleOf(self) + L">"; });

  // Logical tree. Class filters are bound model classes; None selects all.
  e.def("hasLogicalParent", &Entity::hasLogicalParent)
      .def("getLogicalParent", &Entity::getLogicalParent)
      .def("hasLogicalAncestor", &Entity::hasLogicalAncestor, py::arg("entity"))
      .def(
          "getLogicalAncestor",
          [](const Entity& self, const py::handle& cls) { return self.getLogicalAncestor(classInfoOf(cls)); },
          py::arg("cls"), "The ancestor nearest the root of the class (or derived from it).")
      .def(
          "getLogicalAncestors",
          [](const Entity& self) {
            KVRSharedVector<Entity> ancestors;
            self.getLogicalAncestors(ancestors);
            return ancestors;
          },
          "The ancestors, root first.")
      .def("getLogicalAncestorsCount", &Entity::getLogicalAncestorsCount)
      .def("hasLogicalChild",
           py::overload_cast<const KVRSharedHandle<Entity>&>(&Entity::hasLogicalChild, py::const_),
           py::arg("child"))
      .def("hasLogicalChild", py::overload_cast<const std::wstring&>(&Entity::hasLogicalChild, py::const_),
           py::arg("name"))
      .def("getLogicalChild", &Entity::getLogicalChild, py::arg("name"))
      .def(
          "getLogicalChildren",
          [](const Entity& self, const py::handle& cls) {
            KVRSharedVector<Entity> children;
            if (cls.is_none())
              self.getLogicalChildren(children);
            else
              self.getLogicalChildren(classInfoOf(cls), children);
            return children;
          },
          py::arg("cls") = py::none())
      .def(
          "getLogicalChildrenCount",
          [](const Entity& self, const py::handle& cls) {
            return cls.is_none() ? self.getLogicalChildrenCount()
                                 : self.getLogicalChildrenCount(classInfoOf(cls));
          },
          py::arg("cls") = py::none())
      .def("checkLogicalChild", &Entity::checkLogicalChild, py::arg("child"),
           "Raises what addLogicalChild would raise for `child`; changes nothing.")
      .def("checkLinkable", &Entity::checkLinkable)
      .def("addLogicalChild", &Entity::addLogicalChild, py::arg("child"))
      .def("removeLogicalChild", &Entity::removeLogicalChild, py::arg("child"))
      .def(
          "removeLogicalChildren",
          [](Entity& self, const py::handle& cls) {
            if (cls.is_none())
              self.removeLogicalChildren();
            else
              self.removeLogicalChildren(classInfoOf(cls));
          },
          py::arg("cls") = py::none())
      .def("orphanLogicalChild", &Entity::orphanLogicalChild, py::arg("child"))
      .def(
          "orphanLogicalChildren",
          [](Entity& self, const py::handle& cls) {
            if (cls.is_none())
              self.orphanLogicalChildren();
            else
              self.orphanLogicalChildren(classInfoOf(cls));
          },
          py::arg("cls") = py::none())
      .def("removeLogicalParent", &Entity::removeLogicalParent)
      .def("cloneLogicalChildren", &Entity::cloneLogicalChildren, py::arg("source"), py::arg("mode"));

  // State, events, copying and lifetime.
  e.def("flushLogicalState", &Entity::flushLogicalState)
      .def("resetEntityState", &Entity::resetEntityState, py::arg("notify"))
      .def("clearHistory", &Entity::clearHistory)
      .def("resetEntity", &Entity::resetEntity)
      .def("getPendingEvents", &eventMask, "The pending event bits as an int (bit n is 1 << n).")
      .def(
          "testEvent",
          [](const Entity& self, int bit) {
            requireBit(bit);
            return self.testEvent(bit);
          },
          py::arg("bit"))
      .def(
          "setEvent",
          [](Entity& self, int bit) {
            requireBit(bit);
            self.setEvent(bit);
          },
          py::arg("bit"))
      .def(
          "resetEvent",
          [](Entity& self, int bit) {
            requireBit(bit);
            self.resetEvent(bit);
          },
          py::arg("bit"))
      .def("clearEvents", &Entity::clearEvents)
      .def("notifySubscribers", &Entity::notifySubscribers)
      .def(
          "duplicate",
          [](const KVRSharedHandle<Entity>& self, KVRDynamicObject::CopyMode mode) {
            return KVRDuplicate(self, mode);
          },
          py::arg("mode") = KVRDynamicObject::CopyDeep,
          "A copy of the entity's own class named \"Copy of \" and the name; the deep modes copy the "
          "logical children too. The copy stands in no tree.")
      .def("orphanObject", &Entity::orphanObject,
           "Breaks every link of the entity and its logical subtree, so that the trees no longer keep "
           "them alive. Final: an orphaned entity is never linked again.")
      .def("orphan", &Entity::orphanObject, "Same as orphanObject().")
      .def("isOrphaned", &Entity::isOrphaned)
      .def("getReferenceCount", &Entity::getReferenceCount,
           "Handles held on the entity, this Python object's own included.");
}

void bindEntity3D(py::module_& m) {
  auto e = bindModelClass<Entity3D, Entity>(
      m, "KVRBasicEntity3D",
      "An entity with a place in space (abstract). Its location is relative to its spatial parent and\n"
      "it caches its base location; descendants follow a move when it is flushed\n"
      "(flushSpatialState). Location requests answer 0 refused, 1 applied in a modified form (the\n"
      "adapted pose is written back into a KVRBasicXform3D or writable array argument), 2 applied.");
  e.attr("SpatialAncestorsChanged") = Entity3D::SpatialAncestorsChanged;
  e.attr("LocationSet") = Entity3D::LocationSet;
  e.attr("BaseLocationChanged") = Entity3D::BaseLocationChanged;
  e.attr("AncestorLocationSet") = Entity3D::AncestorLocationSet;
  e.attr("ProfileSet") = Entity3D::ProfileSet;
  e.attr("BaseProfileChanged") = Entity3D::BaseProfileChanged;
  e.attr("AncestorProfileSet") = Entity3D::AncestorProfileSet;

  // The concrete class's relative location.
  e.def(
       "setRelativeLocation",
       [](Entity3D& self, Pose location) {
         return answer(self.setRelativeLocation(location.value), location);
       },
       py::arg("location"))
      .def("getRelativeLocation", &Entity3D::getRelativeLocation)
      .def("setRelativeProfile", py::overload_cast<Profile&>(&Entity3D::setRelativeProfile),
           py::arg("profile"), "Request status; with 1 the profile now holds what was applied.")
      .def("getRelativeProfile", &Entity3D::getRelativeProfile);

  // Spatial tree.
  e.def("hasSpatialParent", &Entity3D::hasSpatialParent)
      .def("getSpatialParent", &Entity3D::getSpatialParent)
      .def("hasSpatialAncestor", &Entity3D::hasSpatialAncestor, py::arg("entity"))
      .def(
          "getSpatialAncestor",
          [](const Entity3D& self, const py::handle& cls) {
            return self.getSpatialAncestor(classInfoOf(cls));
          },
          py::arg("cls"))
      .def("getSpatialAncestors",
           [](const Entity3D& self) {
             KVRSharedVector<Entity3D> ancestors;
             self.getSpatialAncestors(ancestors);
             return ancestors;
           })
      .def("getSpatialAncestorsCount", &Entity3D::getSpatialAncestorsCount)
      .def("hasSpatialChild", &Entity3D::hasSpatialChild, py::arg("child"))
      .def(
          "getSpatialChildren",
          [](const Entity3D& self, const py::handle& cls) {
            KVRSharedVector<Entity3D> children;
            if (cls.is_none())
              self.getSpatialChildren(children);
            else
              self.getSpatialChildren(classInfoOf(cls), children);
            return children;
          },
          py::arg("cls") = py::none())
      .def(
          "getSpatialChildrenCount",
          [](const Entity3D& self, const py::handle& cls) {
            return cls.is_none() ? self.getSpatialChildrenCount()
                                 : self.getSpatialChildrenCount(classInfoOf(cls));
          },
          py::arg("cls") = py::none())
      .def(
          "getSpatialDescendants",
          [](const Entity3D& self) {
            KVRSharedVector<Entity3D> descendants;
            self.getSpatialDescendants(descendants);
            return descendants;
          },
          "A node's children first, then, child by child, each child's descendants.")
      .def("getSpatialDescendantsCount", &Entity3D::getSpatialDescendantsCount)
      .def(
          "getSpatialDescendant",
          [](const Entity3D& self, const py::handle& cls) {
            return self.getSpatialDescendant(classInfoOf(cls));
          },
          py::arg("cls"))
      .def("hasSpatialDescendant", &Entity3D::hasSpatialDescendant, py::arg("entity"))
      .def("checkSpatialChild", &Entity3D::checkSpatialChild, py::arg("child"))
      .def("addSpatialChild", &Entity3D::addSpatialChild, py::arg("child"))
      .def("addSpatialParent", &Entity3D::addSpatialParent, py::arg("parent"))
      .def("removeSpatialChild", &Entity3D::removeSpatialChild, py::arg("child"))
      .def(
          "removeSpatialChildren",
          [](Entity3D& self, const py::handle& cls) {
            if (cls.is_none())
              self.removeSpatialChildren();
            else
              self.removeSpatialChildren(classInfoOf(cls));
          },
          py::arg("cls") = py::none())
      .def("destroySpatialChildren", &Entity3D::destroySpatialChildren)
      .def("replaceSpatialChild", &Entity3D::replaceSpatialChild, py::arg("oldChild"), py::arg("newChild"))
      .def("removeSpatialParent", &Entity3D::removeSpatialParent);

  // Locations.
  e.def("getBaseLocation", [](const Entity3D& self) { return self.getBaseLocation(); })
      .def(
          "getBaseLocation",
          [](const Entity3D& self, const Entity3DHandle& reference) {
            return self.getBaseLocation(reference);
          },
          py::arg("reference"), "The base location in the reference entity's coordinates.")
      .def("getCachedBaseLocation", [](const Entity3D& self) { return self.getCachedBaseLocation(); })
      .def("computeBaseLocation", &Entity3D::computeBaseLocation,
           "The base location composed now from the spatial root down, without a flush.")
      .def("computeLocationRelativeTo", &Entity3D::computeLocationRelativeTo, py::arg("reference"),
           "This entity's location in the reference's frame, composed now, without a flush.")
      .def("getEntityLocation", &Entity3D::getEntityLocation, py::arg("reference"))
      .def("getBaseProfile", py::overload_cast<>(&Entity3D::getBaseProfile, py::const_))
      .def("getBaseProfile", py::overload_cast<const Entity3DHandle&>(&Entity3D::getBaseProfile, py::const_),
           py::arg("reference"))
      .def("getCachedParentProfile", &Entity3D::getCachedParentProfile)
      .def(
          "setBaseLocation",
          [](Entity3D& self, Pose location) {
            return answer(self.setBaseLocation(location.value), location);
          },
          py::arg("location"))
      .def(
          "setBaseLocation",
          [](Entity3D& self, const Pose& location, const Entity3DHandle& reference) {
            return self.setBaseLocation(location.value, reference);
          },
          py::arg("location"), py::arg("reference"), "`location` in the reference entity's coordinates.")
      .def("setBaseProfile", py::overload_cast<Profile&>(&Entity3D::setBaseProfile), py::arg("profile"))
      .def(
          "translateBase",
          [](Entity3D& self, const Vector3& offset, KVRMath3D::ReferenceFrame frame) {
            return self.translateBase(offset.value, frame);
          },
          py::arg("offset"), py::arg("frame") = KVRMath3D::ParentFrame)
      .def(
          "translateBase",
          [](Entity3D& self, const Vector3& offset, const Entity3DHandle& reference) {
            return self.translateBase(offset.value, reference);
          },
          py::arg("offset"), py::arg("reference"))
      .def(
          "rotateBase",
          [](Entity3D& self, KVRMath3D::AxisType axis, double angle, KVRMath3D::ReferenceFrame frame) {
            return self.rotateBase(axis, angle, frame);
          },
          py::arg("axis"), py::arg("angle"), py::arg("frame") = KVRMath3D::ParentFrame)
      .def(
          "rotateBase",
          [](Entity3D& self, const Vector3& axis, double angle, KVRMath3D::ReferenceFrame frame) {
            return self.rotateBase(axis.value, angle, frame);
          },
          py::arg("axis"), py::arg("angle"), py::arg("frame") = KVRMath3D::ParentFrame)
      .def(
          "rotateBase",
          [](Entity3D& self, KVRMath3D::AxisType axis, double angle, const Entity3DHandle& reference) {
            return self.rotateBase(axis, angle, reference);
          },
          py::arg("axis"), py::arg("angle"), py::arg("reference"))
      .def(
          "rotateBase",
          [](Entity3D& self, const Vector3& axis, double angle, const Entity3DHandle& reference) {
            return self.rotateBase(axis.value, angle, reference);
          },
          py::arg("axis"), py::arg("angle"), py::arg("reference"))
      .def(
          "moveBase",
          [](Entity3D& self, const Pose& motion, KVRMath3D::ReferenceFrame frame) {
            return self.moveBase(motion.value, frame);
          },
          py::arg("motion"), py::arg("frame") = KVRMath3D::ParentFrame)
      .def(
          "moveBase",
          [](Entity3D& self, const Pose& motion, const Entity3DHandle& reference) {
            return self.moveBase(motion.value, reference);
          },
          py::arg("motion"), py::arg("reference"))
      .def(
          "setCachedBaseLocation",
          [](Entity3D& self, const Pose& location) { self.setCachedBaseLocation(location.value); },
          py::arg("location"))
      .def("flushSpatialState", &Entity3D::flushSpatialState)
      .def("flushBaseLocation", &Entity3D::flushBaseLocation)
      .def("cancelSpatialState", &Entity3D::cancelSpatialState)
      .def_static(
          "calcBaseLocation",
          [](const Pose& parent, const Pose& relative) {
            return Entity3D::calcBaseLocation(parent.value, relative.value);
          },
          py::arg("parent"), py::arg("relative"))
      .def_static(
          "calcRelativeLocation",
          [](const Pose& reference, const Pose& location) {
            return Entity3D::calcRelativeLocation(reference.value, location.value);
          },
          py::arg("reference"), py::arg("location"));
}

void bindWorld(py::module_& m) {
  using World = KVRBasicWorld;
  auto w = bindModelClass<World, Entity>(
      m, "KVRBasicWorld",
      "One simulated scene: holds its entities as logical children and carries the scene's\n"
      "simulation time. Full names start at the world: /Cell/Gripper.");
  w.attr("SimulationTimeChanged") = World::SimulationTimeChanged;
  addNamedConstructor(w);
  w.def("setSimulationTime", &World::setSimulationTime, py::arg("time"))
      .def("hasEntity", &World::hasEntity, py::arg("entity"))
      .def(
          "getEntities",
          [](const World& self, const py::handle& cls) {
            KVRSharedVector<Entity> entities;
            if (cls.is_none())
              self.getEntities(entities);
            else
              self.getEntities(classInfoOf(cls), entities);
            return entities;
          },
          py::arg("cls") = py::none())
      .def(
          "getEntityCount",
          [](const World& self, const py::handle& cls) {
            return cls.is_none() ? self.getEntityCount() : self.getEntityCount(classInfoOf(cls));
          },
          py::arg("cls") = py::none())
      .def("addEntity", &World::addEntity, py::arg("entity"))
      .def("removeEntity", &World::removeEntity, py::arg("entity"))
      .def(
          "removeEntities",
          [](World& self, const py::handle& cls) {
            if (cls.is_none())
              self.removeEntities();
            else
              self.removeEntities(classInfoOf(cls));
          },
          py::arg("cls") = py::none())
      .def("destroyEntity", &World::destroyEntity, py::arg("entity"))
      .def(
          "destroyEntities",
          [](World& self, const py::handle& cls) {
            if (cls.is_none())
              self.destroyEntities();
            else
              self.destroyEntities(classInfoOf(cls));
          },
          py::arg("cls") = py::none());

  using Universe = KVRBasicUniverse;
  auto u = bindModelClass<Universe, Entity>(
      m, "KVRBasicUniverse", "The root of the logical tree, one per process; worlds stand under it.");
  u.def_static("getUniverse", &Universe::getUniverse, "The single universe, created on first use.")
      .def("addEntity", &Universe::addEntity, py::arg("world"));
}

}  // namespace

void bindEntities(py::module_& m) {
  bindEntity(m);
  bindEntity3D(m);
  bindWorld(m);
  m.def("KVRCheckModel", &KVRCheckModel, py::arg("root"),
        "Consistency check of the model around `root`: one line per violation, empty when sound.");
  m.def("KVRCheckModelAround", &KVRCheckModelAround, py::arg("entities"),
        "The same checks of the given entities and what is linked to them directly, no further.");
}

}  // namespace kvrpy
