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

// What every location request answers.
#define KVRPY_STATUS "Request status: 0 refused (nothing changed), 1 applied as adapted, 2 applied."

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
  py::enum_<Entity::EntityNameMode>(e, "EntityNameMode",
                                    "Which name to read: the base name, or the full path from the world.")
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
      .def(
          "getUUID", [](const Entity& self) { return self.getUUID().toString(); },
          "The entity's identity as text, made when first asked for.")
      .def(
          "getEntityTypeName",
          [](const Entity& self) { return self.getEntityTypeName().scribe(KVRLocale::global()); },
          "The type word of titles and default names: Entity, Body, Frame, ...")
      .def("getDescription", &Entity::getDescription, "The free text description.")
      .def("setDescription", &Entity::setDescription, py::arg("description"), "Sets the description.")
      .def("getIntAttribute", &Entity::getIntAttribute, "The free integer attribute.")
      .def("setIntAttribute", &Entity::setIntAttribute, py::arg("value"), "Sets the integer attribute.")
      .def("getEntityName", &Entity::getEntityName, py::arg("mode") = Entity::BaseName,
           py::arg("separator") = Entity::ExternalNameSeparator,
           "The base name, or with FullName the path from the world: /Cell/Gripper.")
      .def("getStoredFullName", &Entity::getStoredFullName,
           "The full name as stored: a line feed before every component, the root's included.")
      .def(
          "getEntityTitle",
          [](const Entity& self, Entity::EntityNameMode mode, wchar_t separator) {
            return self.getEntityTitle(mode, separator).scribe(KVRLocale::global());
          },
          py::arg("mode") = Entity::FullName, py::arg("separator") = Entity::ExternalNameSeparator,
          "The type name and the name in quotation marks, as messages write it: Body \"/Cell/Gripper\".")
      .def("setEntityName", &Entity::setEntityName, py::arg("name"),
           "Renames the entity (\"\" gives \"New \" and the type name); descendants follow at the next\n"
           "flush. KVREInvalidArgument, keeping the old name, for a name holding a line feed.")
      .def("findEntity", &Entity::findEntity, py::arg("path"),
           py::arg("separator") = Entity::ExternalNameSeparator,
           "The entity a path leads to (relative, or from the world with a leading separator); None when "
           "there is none.")
      .def("getWorld", &Entity::getWorld, "The entity's world (itself for a world), or None.")
      .def("getSimulationTime", &Entity::getSimulationTime,
           "The simulation time of the entity's world; zero in no world.")
      .def(
          "__repr__", [](const Entity& self) { return entityRepr(self); },
          "<class \"full name\">; an entity under no parent shows its base name.");

  // Logical tree. Class filters are bound model classes; None selects all.
  e.def("hasLogicalParent", &Entity::hasLogicalParent, "Whether the entity has a logical parent.")
      .def("getLogicalParent", &Entity::getLogicalParent, "The logical parent, or None.")
      .def("hasLogicalAncestor", &Entity::hasLogicalAncestor, py::arg("entity"),
           "Whether `entity` is a logical ancestor of this one.")
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
      .def("getLogicalAncestorsCount", &Entity::getLogicalAncestorsCount, "The number of logical ancestors.")
      .def("hasLogicalChild",
           py::overload_cast<const KVRSharedHandle<Entity>&>(&Entity::hasLogicalChild, py::const_),
           py::arg("child"), "Whether `child` is a logical child of this entity.")
      .def("hasLogicalChild", py::overload_cast<const std::wstring&>(&Entity::hasLogicalChild, py::const_),
           py::arg("name"), "Whether a logical child has the base name `name` exactly.")
      .def("getLogicalChild", &Entity::getLogicalChild, py::arg("name"),
           "The first logical child with the base name `name` exactly, or None.")
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
          py::arg("cls") = py::none(), "The logical children (of the class, when given), in order.")
      .def(
          "getLogicalChildrenCount",
          [](const Entity& self, const py::handle& cls) {
            return cls.is_none() ? self.getLogicalChildrenCount()
                                 : self.getLogicalChildrenCount(classInfoOf(cls));
          },
          py::arg("cls") = py::none(), "The number of logical children (of the class, when given).")
      .def("checkLogicalChild", &Entity::checkLogicalChild, py::arg("child"),
           "Raises what addLogicalChild would raise for `child`; changes nothing.")
      .def("checkLinkable", &Entity::checkLinkable,
           "KVREInvalidRelation when the entity is orphaned and so cannot be linked again.")
      .def("addLogicalChild", &Entity::addLogicalChild, py::arg("child"),
           "Makes `child` the last logical child. KVREAlreadyRegistered when it has a parent,\n"
           "KVREInvalidRelation when it is this entity or an ancestor; nothing changes then.")
      .def("removeLogicalChild", &Entity::removeLogicalChild, py::arg("child"),
           "Unlinks the child, which becomes a root; KVRENotFound when it is not a child.")
      .def(
          "removeLogicalChildren",
          [](Entity& self, const py::handle& cls) {
            if (cls.is_none())
              self.removeLogicalChildren();
            else
              self.removeLogicalChildren(classInfoOf(cls));
          },
          py::arg("cls") = py::none(), "Unlinks every logical child (of the class, when given).")
      .def("orphanLogicalChild", &Entity::orphanLogicalChild, py::arg("child"),
           "Orphans the child with its subtree; KVRENotFound when it is not a child.")
      .def(
          "orphanLogicalChildren",
          [](Entity& self, const py::handle& cls) {
            if (cls.is_none())
              self.orphanLogicalChildren();
            else
              self.orphanLogicalChildren(classInfoOf(cls));
          },
          py::arg("cls") = py::none(), "Orphans every logical child (of the class, when given).")
      .def("removeLogicalParent", &Entity::removeLogicalParent, "Leaves the logical parent, if any.")
      .def("cloneLogicalChildren", &Entity::cloneLogicalChildren, py::arg("source"), py::arg("mode"),
           "Appends a duplicate of every logical child of `source`, in order.");

  // State, events, copying and lifetime.
  e.def("flushLogicalState", &Entity::flushLogicalState,
        "Publishes the pending event bits (names, ancestors reach the descendants), then clears them.")
      .def("resetEntityState", &Entity::resetEntityState, py::arg("notify"),
           "Requests a reset (bit 8); with a nonzero `notify`, flushes at once.")
      .def("clearHistory", &Entity::clearHistory, "Sets bit 7: the entity's recorded history is cleared.")
      .def("resetEntity", &Entity::resetEntity, "Resets the entity; runs on a flush with bit 8 pending.")
      .def("getPendingEvents", &eventMask, "The pending event bits as an int (bit n is 1 << n).")
      .def(
          "testEvent",
          [](const Entity& self, int bit) {
            requireBit(bit);
            return self.testEvent(bit);
          },
          py::arg("bit"), "Whether event bit `bit` (0 to 63; IndexError otherwise) is pending.")
      .def(
          "setEvent",
          [](Entity& self, int bit) {
            requireBit(bit);
            self.setEvent(bit);
          },
          py::arg("bit"), "Sets event bit `bit` (0 to 63) pending.")
      .def(
          "resetEvent",
          [](Entity& self, int bit) {
            requireBit(bit);
            self.resetEvent(bit);
          },
          py::arg("bit"), "Clears event bit `bit` (0 to 63).")
      .def("clearEvents", &Entity::clearEvents, "Clears every pending event bit without publishing.")
      .def("notifySubscribers", &Entity::notifySubscribers,
           "Publishes the pending bits to the hooks and subscribers, then clears them (a flush).")
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
      .def("isOrphaned", &Entity::isOrphaned, "Whether the entity has been orphaned.")
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
       py::arg("location"),
       "Sets the location relative to the spatial parent through the entity's class, the primitive\n"
       "step: the cached base location is not recomputed, and follows only when the parent next moves\n"
       "and is flushed. KVRPoseBatch.setRelativeLocations and the classes' own setters (such as\n"
       "setFrameLocation) update it at once. " KVRPY_STATUS)
      .def("getRelativeLocation", &Entity3D::getRelativeLocation,
           "The location relative to the spatial parent.")
      .def("setRelativeProfile", py::overload_cast<Profile&>(&Entity3D::setRelativeProfile),
           py::arg("profile"), "Request status; with 1 the profile now holds what was applied.")
      .def("getRelativeProfile", &Entity3D::getRelativeProfile,
           "The profile relative to the spatial parent.");

  // Spatial tree.
  e.def("hasSpatialParent", &Entity3D::hasSpatialParent, "Whether the entity has a spatial parent.")
      .def("getSpatialParent", &Entity3D::getSpatialParent, "The spatial parent, or None.")
      .def("hasSpatialAncestor", &Entity3D::hasSpatialAncestor, py::arg("entity"),
           "Whether `entity` is a spatial ancestor of this one.")
      .def(
          "getSpatialAncestor",
          [](const Entity3D& self, const py::handle& cls) {
            return self.getSpatialAncestor(classInfoOf(cls));
          },
          py::arg("cls"), "The spatial ancestor nearest the root of the class (or derived from it), or None.")
      .def(
          "getSpatialAncestors",
          [](const Entity3D& self) {
            KVRSharedVector<Entity3D> ancestors;
            self.getSpatialAncestors(ancestors);
            return ancestors;
          },
          "The spatial ancestors, root first.")
      .def("getSpatialAncestorsCount", &Entity3D::getSpatialAncestorsCount, "The spatial depth.")
      .def("hasSpatialChild", &Entity3D::hasSpatialChild, py::arg("child"),
           "Whether `child` is a spatial child of this entity.")
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
          py::arg("cls") = py::none(), "The spatial children (of the class, when given), in order.")
      .def(
          "getSpatialChildrenCount",
          [](const Entity3D& self, const py::handle& cls) {
            return cls.is_none() ? self.getSpatialChildrenCount()
                                 : self.getSpatialChildrenCount(classInfoOf(cls));
          },
          py::arg("cls") = py::none(), "The number of spatial children (of the class, when given).")
      .def(
          "getSpatialDescendants",
          [](const Entity3D& self) {
            KVRSharedVector<Entity3D> descendants;
            self.getSpatialDescendants(descendants);
            return descendants;
          },
          "A node's children first, then, child by child, each child's descendants.")
      .def("getSpatialDescendantsCount", &Entity3D::getSpatialDescendantsCount,
           "The number of spatial descendants.")
      .def(
          "getSpatialDescendant",
          [](const Entity3D& self, const py::handle& cls) {
            return self.getSpatialDescendant(classInfoOf(cls));
          },
          py::arg("cls"), "The first descendant, in getSpatialDescendants order, of the class; or None.")
      .def("hasSpatialDescendant", &Entity3D::hasSpatialDescendant, py::arg("entity"),
           "Whether `entity` is a spatial descendant of this one.")
      .def("checkSpatialChild", &Entity3D::checkSpatialChild, py::arg("child"),
           "Raises what addSpatialChild would raise for `child`; changes nothing.")
      .def("addSpatialChild", &Entity3D::addSpatialChild, py::arg("child"),
           "Makes `child` the last spatial child, keeping its relative location. KVREAlreadyRegistered\n"
           "when it has a spatial parent, KVREInvalidRelation when it is this entity or an ancestor.")
      .def("addSpatialParent", &Entity3D::addSpatialParent, py::arg("parent"),
           "The same link as parent.addSpatialChild(self), made from the child's side.")
      .def("removeSpatialChild", &Entity3D::removeSpatialChild, py::arg("child"),
           "Unlinks the child, which keeps its place in space; KVRENotFound when it is not a child.")
      .def(
          "removeSpatialChildren",
          [](Entity3D& self, const py::handle& cls) {
            if (cls.is_none())
              self.removeSpatialChildren();
            else
              self.removeSpatialChildren(classInfoOf(cls));
          },
          py::arg("cls") = py::none(), "Unlinks every spatial child (of the class, when given).")
      .def("destroySpatialChildren", &Entity3D::destroySpatialChildren,
           "Unlinks every spatial child without recomputing its location; orphans none.")
      .def("replaceSpatialChild", &Entity3D::replaceSpatialChild, py::arg("oldChild"), py::arg("newChild"),
           "Puts `newChild` in place of `oldChild`, everything checked before the old one goes.")
      .def("removeSpatialParent", &Entity3D::removeSpatialParent,
           "Leaves the spatial parent, if any, keeping the place in space.");

  // Locations.
  e.def(
       "getBaseLocation", [](const Entity3D& self) { return self.getBaseLocation(); },
       "The cached base location: in the coordinates of the spatial root (the world's for a cell).")
      .def(
          "getBaseLocation",
          [](const Entity3D& self, const Entity3DHandle& reference) {
            return self.getBaseLocation(reference);
          },
          py::arg("reference"), "The base location in the reference entity's coordinates.")
      .def(
          "getCachedBaseLocation", [](const Entity3D& self) { return self.getCachedBaseLocation(); },
          "Same as getBaseLocation(): the cached value, up to date once ancestors are flushed.")
      .def("computeBaseLocation", &Entity3D::computeBaseLocation,
           "The base location composed now from the spatial root down, without a flush.")
      .def("computeLocationRelativeTo", &Entity3D::computeLocationRelativeTo, py::arg("reference"),
           "This entity's location in the reference's frame, composed now, without a flush.")
      .def("getEntityLocation", &Entity3D::getEntityLocation, py::arg("reference"),
           "The identity for None, the parent location as last delivered for the spatial parent,\n"
           "else the reference's base location.")
      .def("getBaseProfile", py::overload_cast<>(&Entity3D::getBaseProfile, py::const_),
           "The base location with the entity's base velocities and accelerations.")
      .def("getBaseProfile", py::overload_cast<const Entity3DHandle&>(&Entity3D::getBaseProfile, py::const_),
           py::arg("reference"), "The base profile in the reference entity's coordinates.")
      .def("getCachedParentProfile", &Entity3D::getCachedParentProfile,
           "The spatial parent's base profile as last delivered to this entity.")
      .def(
          "setBaseLocation",
          [](Entity3D& self, Pose location) {
            return answer(self.setBaseLocation(location.value), location);
          },
          py::arg("location"), "Sets the base location through the concrete class. " KVRPY_STATUS)
      .def(
          "setBaseLocation",
          [](Entity3D& self, const Pose& location, const Entity3DHandle& reference) {
            return self.setBaseLocation(location.value, reference);
          },
          py::arg("location"), py::arg("reference"), "`location` in the reference entity's coordinates.")
      .def("setBaseProfile", py::overload_cast<Profile&>(&Entity3D::setBaseProfile), py::arg("profile"),
           "Not supported, as profiles do not compose: the library's assertion, then status 0.")
      .def(
          "translateBase",
          [](Entity3D& self, const Vector3& offset, KVRMath3D::ReferenceFrame frame) {
            return self.translateBase(offset.value, frame);
          },
          py::arg("offset"), py::arg("frame") = KVRMath3D::ParentFrame,
          "Moves the base location by `offset` in the base axes (ParentFrame) or its own "
          "(LocalFrame).\n" KVRPY_STATUS)
      .def(
          "translateBase",
          [](Entity3D& self, const Vector3& offset, const Entity3DHandle& reference) {
            return self.translateBase(offset.value, reference);
          },
          py::arg("offset"), py::arg("reference"), "The same, `offset` in the reference entity's axes.")
      .def(
          "rotateBase",
          [](Entity3D& self, KVRMath3D::AxisType axis, double angle, KVRMath3D::ReferenceFrame frame) {
            return self.rotateBase(axis, angle, frame);
          },
          py::arg("axis"), py::arg("angle"), py::arg("frame") = KVRMath3D::ParentFrame,
          "Turns the base location by `angle` radians about a coordinate axis of the frame. Status.")
      .def(
          "rotateBase",
          [](Entity3D& self, const Vector3& axis, double angle, KVRMath3D::ReferenceFrame frame) {
            return self.rotateBase(axis.value, angle, frame);
          },
          py::arg("axis"), py::arg("angle"), py::arg("frame") = KVRMath3D::ParentFrame,
          "The same about a vector axis of the frame.")
      .def(
          "rotateBase",
          [](Entity3D& self, KVRMath3D::AxisType axis, double angle, const Entity3DHandle& reference) {
            return self.rotateBase(axis, angle, reference);
          },
          py::arg("axis"), py::arg("angle"), py::arg("reference"),
          "The same about a coordinate axis of the reference entity.")
      .def(
          "rotateBase",
          [](Entity3D& self, const Vector3& axis, double angle, const Entity3DHandle& reference) {
            return self.rotateBase(axis.value, angle, reference);
          },
          py::arg("axis"), py::arg("angle"), py::arg("reference"),
          "The same about a vector axis in the reference entity's axes.")
      .def(
          "moveBase",
          [](Entity3D& self, const Pose& motion, KVRMath3D::ReferenceFrame frame) {
            return self.moveBase(motion.value, frame);
          },
          py::arg("motion"), py::arg("frame") = KVRMath3D::ParentFrame,
          "Moves the base location by `motion`: motion * base (ParentFrame) or base * motion\n"
          "(LocalFrame). " KVRPY_STATUS)
      .def(
          "moveBase",
          [](Entity3D& self, const Pose& motion, const Entity3DHandle& reference) {
            return self.moveBase(motion.value, reference);
          },
          py::arg("motion"), py::arg("reference"), "The same, `motion` in the reference entity's axes.")
      .def(
          "setCachedBaseLocation",
          [](Entity3D& self, const Pose& location) { self.setCachedBaseLocation(location.value); },
          py::arg("location"),
          "Writes the cached base location only (bit 11). KVREInvalidArgument when not finite.")
      .def("flushSpatialState", &Entity3D::flushSpatialState,
           "Publishes the pending bits: a move reaches the spatial descendants.")
      .def("flushBaseLocation", &Entity3D::flushBaseLocation,
           "Pushes the base location down to the children even when nothing is pending.")
      .def("cancelSpatialState", &Entity3D::cancelSpatialState,
           "Keeps a set base location from reaching the children at the next flush.")
      .def_static(
          "calcBaseLocation",
          [](const Pose& parent, const Pose& relative) {
            return Entity3D::calcBaseLocation(parent.value, relative.value);
          },
          py::arg("parent"), py::arg("relative"), "parent * relative.")
      .def_static(
          "calcRelativeLocation",
          [](const Pose& reference, const Pose& location) {
            return Entity3D::calcRelativeLocation(reference.value, location.value);
          },
          py::arg("reference"), py::arg("location"), "reference^-1 * location.");
}

#undef KVRPY_STATUS

void bindWorld(py::module_& m) {
  using World = KVRBasicWorld;
  auto w = bindModelClass<World, Entity>(
      m, "KVRBasicWorld",
      "One simulated scene: holds its entities as logical children and carries the scene's\n"
      "simulation time. Full names start at the world: /Cell/Gripper.");
  w.attr("SimulationTimeChanged") = World::SimulationTimeChanged;
  addNamedConstructor(w);
  w.def("setSimulationTime", &World::setSimulationTime, py::arg("time"),
        "Sets the scene's simulation time (a KVRSimTime or seconds); bit 9.")
      .def("hasEntity", &World::hasEntity, py::arg("entity"),
           "Whether `entity` is a logical child of the world.")
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
          py::arg("cls") = py::none(), "The world's logical children (of the class, when given), in order.")
      .def(
          "getEntityCount",
          [](const World& self, const py::handle& cls) {
            return cls.is_none() ? self.getEntityCount() : self.getEntityCount(classInfoOf(cls));
          },
          py::arg("cls") = py::none(), "Their number.")
      .def("addEntity", &World::addEntity, py::arg("entity"),
           "Places `entity` in the world; KVREAlreadyRegistered when it has a parent.")
      .def("removeEntity", &World::removeEntity, py::arg("entity"),
           "Unlinks `entity`, which lives on with its subtree; KVRENotFound when not in the world.")
      .def(
          "removeEntities",
          [](World& self, const py::handle& cls) {
            if (cls.is_none())
              self.removeEntities();
            else
              self.removeEntities(classInfoOf(cls));
          },
          py::arg("cls") = py::none(), "Unlinks every entity (of the class, when given).")
      .def("destroyEntity", &World::destroyEntity, py::arg("entity"),
           "Orphans `entity` with its subtree; KVRENotFound when not in the world.")
      .def(
          "destroyEntities",
          [](World& self, const py::handle& cls) {
            if (cls.is_none())
              self.destroyEntities();
            else
              self.destroyEntities(classInfoOf(cls));
          },
          py::arg("cls") = py::none(), "Orphans every entity (of the class, when given).")
      .def(
          "__repr__",
          [](const World& self) {
            return entityRepr(
                self, L"at " +
                          py::str(py::float_(self.getSimulationTime().toSeconds())).cast<std::wstring>() +
                          L" s");
          },
          "<KVRBasicWorld \"name\" at t s>: with its simulation time.");

  using Universe = KVRBasicUniverse;
  auto u = bindModelClass<Universe, Entity>(
      m, "KVRBasicUniverse", "The root of the logical tree, one per process; worlds stand under it.");
  u.def_static("getUniverse", &Universe::getUniverse, "The single universe, created on first use.")
      .def("addEntity", &Universe::addEntity, py::arg("world"), "Places a world under the universe.");
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
