// Groups and assemblies: groups that carry members, manufacturing assemblies
// built of bodies, and the tag-point extension that gives a tag point a pair
// of reference frames; with the extension slots of entities.

#include "KVRPyModule.h"

namespace kvrpy {

namespace {

using Entity3DHandle = KVRSharedHandle<KVRBasicEntity3D>;
using BodyHandle = KVRSharedHandle<KVRBasicBody3D>;
using Group = KVRBasicGroup3D;
using Assembly = KVRBasicMfgAssembly3D;
using TagPointExt = KVRMfgAssemblyTagPointExt;

// An assembly leaves alone, without a word, a body hanging on a plain body:
// a script that asked for it is told so, and how to go about it.
void warnIfLeftAlone(const Assembly& self, const BodyHandle& body) {
  if (body->getLogicalParent().get() == &self) return;
  const KVRSharedHandle<KVRBasicBody3D> holder = body->getInnerBody();
  const std::string text = "addBody left " + py::str(py::cast(body)).cast<std::string>() + " where it is" +
                           (holder ? ", hanging on " + py::str(py::cast(holder)).cast<std::string>() : std::string()) +
                           ": take it off first (body.detachBody(), then out of its logical parent), then add it";
  if (PyErr_WarnEx(PyExc_RuntimeWarning, text.c_str(), 1) < 0) throw py::error_already_set();
}

// <KVRMfgAssemblyTagPointExt of "/Cell/Fixture/T1">: the class and the entity extended.
std::wstring extensionRepr(const KVRExtensionObject& self) {
  std::wstring text;
  KVRAssign(text, self.getClassName());
  const auto entity = KVRSharedHandle<KVRBasicEntity>::downcast(self.getBasicObject());
  text = L"<" + text + (entity.isNull() ? L" unattached" : L" of " + quotedName(*entity));
  return text + (self.isOrphaned() ? L", orphaned>" : L">");
}

void bindExtensions(py::module_& m) {
  auto ext = py::class_<KVRExtensionObject, KVRSharedHandle<KVRExtensionObject>>(
      m, "KVRExtensionObject",
      "An object attached to an entity to give it more behaviour, found again by its class.");
  refuseSubclassing(ext);
  ext.def(
         "getBasicObject",
         [](const KVRExtensionObject& self) {
           return KVRSharedHandle<KVRBasicEntity>::downcast(self.getBasicObject());
         },
         "The entity the extension is attached to, or None.")
      .def("getClassName", &KVRExtensionObject::getClassName, "The C++ class name of the extension.")
      .def("isOrphaned", &KVRExtensionObject::isOrphaned,
           "Whether the extension has been orphaned (removed, or with its entity).")
      .def("__repr__", &extensionRepr, "<class of \"entity\">, or unattached.");

  auto entity = py::reinterpret_borrow<ModelClass<KVRBasicEntity>>(m.attr("KVRBasicEntity"));
  entity
      .def("addExtension", &KVRBasicEntity::addExtension, py::arg("extension"),
           "Attaches the extension. KVREAlreadyRegistered when it is attached already or the entity\n"
           "has one of its class, KVREInvalidRelation when the entity is orphaned.")
      .def(
          "getExtension",
          [](const KVRBasicEntity& self, const py::handle& cls) { return self.getExtension(classIDOf(cls)); },
          py::arg("cls"), "The attached extension of that class, or None.")
      .def(
          "removeExtension",
          [](KVRBasicEntity& self, const py::handle& cls) { return self.removeExtension(classIDOf(cls)); },
          py::arg("cls"), "Orphans and detaches the extension of that class; False when there is none.")
      .def("getExtensionCount", &KVRBasicEntity::getExtensionCount, "The number of attached extensions.");

  auto t = bindModelClass<TagPointExt, KVRExtensionObject>(
      m, "KVRMfgAssemblyTagPointExt",
      "Gives a tag point two reference frames travelling with it (the fixture's pose at the start and\n"
      "at the end of the leg ending there). Attach it with the tag point's addExtension.");
  registerClassID(t, TagPointExt::ClassID_);
  t.def(py::init([] { return KVRSharedHandle<TagPointExt>(new TagPointExt); }),
        "Unattached; its frames are the identity and its operations do nothing until it is attached.")
      .def("getTagPoint", &TagPointExt::getTagPoint, "The tag point extended, or None.")
      .def("hasReferenceFrame", &TagPointExt::hasReferenceFrame,
           "1 once a pair of frames has been set, else 0.")
      .def(
          "setReferenceFrame",
          [](TagPointExt& self, const Pose& X_WF1, const Pose& X_WF2) {
            self.setReferenceFrame(X_WF1.value, X_WF2.value);
          },
          py::arg("X_WF1"), py::arg("X_WF2"), "Both frames in world terms.")
      .def(
          "setReferenceFrame",
          [](TagPointExt& self, const Pose& X_EF1, const Pose& X_EF2, const Entity3DHandle& reference) {
            self.setReferenceFrame(X_EF1.value, X_EF2.value, reference);
          },
          py::arg("X_EF1"), py::arg("X_EF2"), py::arg("reference"),
          "Both frames relative to `reference`; KVREInvalidArgument for None.")
      .def(
          "getReferenceFrame",
          [](const TagPointExt& self, const Entity3DHandle& reference) {
            Xform first, second;
            if (reference.isNull())
              self.getReferenceFrame(first, second);
            else
              self.getReferenceFrame(first, second, reference);
            return py::make_tuple(first, second);
          },
          py::arg("reference") = Entity3DHandle(),
          "(first, second): in world terms, or relative to `reference` when given.")
      .def("dump", &dumped<TagPointExt>, "The dump as text.");
}

void bindGroup(py::module_& m) {
  auto g = bindModelClass<Group, KVRBasicBody3D>(
      m, "KVRBasicGroup3D",
      "A body that carries a set of other 3-D entities with it (the parts on a pallet). Members are\n"
      "not its children: it records where each stands relative to it. Inactive, it carries only the\n"
      "members marked always active; activate() records where every member stands and carries all.");
  addNamedConstructor(g);
  g.def("hasEntity", py::overload_cast<const Entity3DHandle&>(&Group::hasEntity, py::const_),
        py::arg("entity"), "1 when `entity` is a member, else 0.")
      .def("hasEntity", py::overload_cast<const std::wstring&>(&Group::hasEntity, py::const_),
           py::arg("name"), "1 when a member has the base name `name`, else 0.")
      .def("getEntity", &Group::getEntity, py::arg("name"), "The first member with that base name, or None.")
      .def(
          "getEntities",
          [](const Group& self, const py::handle& cls) {
            KVRSharedVector<KVRBasicEntity3D> members;
            if (cls.is_none())
              self.getEntities(members);
            else
              self.getEntities(classInfoOf(cls), members);
            return members;
          },
          py::arg("cls") = py::none(), "The members, in the order they were added.")
      .def(
          "getEntityCount",
          [](const Group& self, const py::handle& cls) {
            return cls.is_none() ? self.getEntityCount() : self.getEntityCount(classInfoOf(cls));
          },
          py::arg("cls") = py::none(), "The number of members (of the class, when given).")
      .def("addEntity", &Group::addEntity, py::arg("entity"),
           "Adds `entity` where it stands now. KVREAlreadyRegistered for a member; KVREInvalidRelation\n"
           "for the group itself or anything whose move would move the group.")
      .def("removeEntity", py::overload_cast<const Entity3DHandle&>(&Group::removeEntity), py::arg("entity"),
           "1 when the member's entry was erased; 0, changing nothing, for a non-member.")
      .def("removeEntity", py::overload_cast<const std::wstring&>(&Group::removeEntity), py::arg("name"),
           "The same for the first member with that base name.")
      .def(
          "removeEntities", [](Group& self, const py::handle& cls) { self.removeEntities(classInfoOf(cls)); },
          py::arg("cls"), "Erases every member of the class.")
      .def("removeAll", &Group::removeAll, "Erases every member.")
      .def("replaceEntity", &Group::replaceEntity, py::arg("oldEntity"), py::arg("newEntity"),
           "Puts `newEntity`, where it stands, in place of `oldEntity`; KVRENotFound for a non-member.")
      // The group's own relative location and its members' share the C++ name.
      .def(
          "setRelativeLocation",
          [](Group& self, Pose location) {
            const int status = self.setRelativeLocation(location.value);
            if (status == 1) writeBack(location);
            return status;
          },
          py::arg("location"), "The group's own location relative to its inner body; request status.")
      .def(
          "setRelativeLocation",
          [](Group& self, const Entity3DHandle& member, const Pose& X_GM) {
            self.setRelativeLocation(member, X_GM.value);
          },
          py::arg("entity"), py::arg("X_GM"), "Moves the member at once to X_WG * X_GM and records X_GM.")
      .def(
          "setRelativeLocation",
          [](Group& self, const std::wstring& name, const Pose& X_GM) {
            self.setRelativeLocation(name, X_GM.value);
          },
          py::arg("name"), py::arg("X_GM"), "The same for the first member with that base name.")
      .def(
          "getRelativeLocation", [](const Group& self) { return self.getRelativeLocation(); },
          "The group's own location relative to its inner body.")
      .def(
          "getRelativeLocation",
          [](const Group& self, const Entity3DHandle& member) { return self.getRelativeLocation(member); },
          py::arg("entity"), "The member's recorded X_GM; KVRENotFound for a non-member.")
      .def(
          "getRelativeLocation",
          [](const Group& self, const std::wstring& name) { return self.getRelativeLocation(name); },
          py::arg("name"), "The same for the first member with that base name.")
      .def("setEntityAlwaysActive",
           py::overload_cast<const Entity3DHandle&, int>(&Group::setEntityAlwaysActive), py::arg("entity"),
           py::arg("alwaysActive"), "Nonzero: the member is carried even while the group is inactive.")
      .def("setEntityAlwaysActive",
           py::overload_cast<const std::wstring&, int>(&Group::setEntityAlwaysActive), py::arg("name"),
           py::arg("alwaysActive"), "The same for the first member with that base name.")
      .def("activate", &Group::activate, "Records where every member stands now and carries them all.")
      .def("deactivate", &Group::deactivate,
           "Carries only the always-active members from now on; the recorded locations stay.")
      .def("isActive", &Group::isActive, "1 when active, else 0.")
      .def("dump", &dumped<Group>, "The dump as text.")
      .def(
          "__repr__",
          [](const Group& self) {
            const unsigned int n = self.getEntityCount();
            return entityRepr(self, std::wstring(self.isActive() ? L"active, " : L"inactive, ") +
                                        std::to_wstring(n) + (n == 1 ? L" member" : L" members"));
          },
          "<class \"name\" active, 2 members>.");
}

void bindAssembly(py::module_& m) {
  auto a = bindModelClass<Assembly, KVRBasicBody3D>(
      m, "KVRBasicMfgAssembly3D",
      "A body made of other bodies (a fixture, a welded frame, a sub-assembly): each is its logical\n"
      "child and hangs on it through an attachment \"<assembly>-<body>\", so the bodies follow it.");
  addNamedConstructor(a);
  a.def(
       "addBody",
       [](Assembly& self, const BodyHandle& body) {
         self.addBody(body);
         warnIfLeftAlone(self, body);
       },
       py::arg("body"),
       "Adds the body where it stands now. A body hanging on another assembly leaves it first; one\n"
       "hanging on a plain body (a gripper, a fixture) is left where it hangs, with a RuntimeWarning:\n"
       "take it off first (`body.detachBody()`, then out of its logical parent), then add it.")
      .def("addBody",
           py::overload_cast<const BodyHandle&, const KVRSharedHandle<KVRBasicFrame3D>&,
                             const KVRSharedHandle<KVRBasicFrame3D>&>(&Assembly::addBody),
           py::arg("body"), py::arg("innerFrame"), py::arg("outerFrame"),
           "So that the body's `outerFrame` coincides with this assembly's `innerFrame`.")
      .def(
          "addBody",
          [](Assembly& self, const BodyHandle& body, const Pose& innerOffset, const Pose& outerOffset) {
            self.addBody(body, innerOffset.value, outerOffset.value);
            warnIfLeftAlone(self, body);
          },
          py::arg("body"), py::arg("innerOffset"), py::arg("outerOffset"),
          "With the connection offsets I and O: the body goes to X_WA * I * O^-1. A body hanging on a\n"
          "plain body is left alone, with a RuntimeWarning, as by addBody(body).")
      .def("getBodyCount", &Assembly::getBodyCount,
           "The number of bodies (logical children that are bodies).")
      .def("getBody", &Assembly::getBody, py::arg("name"), "The first body with that base name, or None.")
      .def(
          "getBodies",
          [](const Assembly& self) {
            KVRSharedVector<KVRBasicBody3D> bodies;
            self.getBodies(bodies);
            return bodies;
          },
          "The bodies, in child order.")
      .def("getParentAssembly", &Assembly::getParentAssembly,
           "The logical parent when it is an assembly, or None.")
      .def("getRootAssembly", &Assembly::getRootAssembly,
           "The assembly among the logical ancestors nearest the root; None for a top-level one.")
      .def_static("KVRGetRootAssembly", &Assembly::KVRGetRootAssembly, py::arg("world"),
                  "The first logical child of the world that is an assembly, or None.")
      .def(
          "setAssemblyLocation",
          [](Assembly& self, Pose location) {
            const int status = self.setAssemblyLocation(location.value);
            if (status == 1) writeBack(location);
            return status;
          },
          py::arg("location"),
          "The location relative to the inner body; request status (0 for a top-level assembly).")
      .def("getAssemblyLocation", &Assembly::getAssemblyLocation,
           "The location relative to the inner body; the identity when it hangs on nothing.")
      .def("removeBody", py::overload_cast<const BodyHandle&>(&Assembly::removeBody), py::arg("body"),
           "The body leaves, free where it stands; its attachment is destroyed. Nothing for a non-child.")
      .def("removeBody", py::overload_cast<const std::wstring&>(&Assembly::removeBody), py::arg("name"),
           "The same for the first body with that base name.")
      .def("destroyBody", py::overload_cast<const BodyHandle&>(&Assembly::destroyBody), py::arg("body"),
           "Destroys the body with its attachment. Nothing for a non-child.")
      .def("destroyBody", py::overload_cast<const std::wstring&>(&Assembly::destroyBody), py::arg("name"),
           "The same for the first body with that base name.")
      .def("replaceBody", &Assembly::replaceBody, py::arg("oldBody"), py::arg("newBody"),
           "`newBody` takes the place of `oldBody` with the same offsets; the old one stays alive, free.")
      .def("removeAll", &Assembly::removeAll,
           "Destroys every attachment, then unlinks every child from both trees.")
      .def("destroyAll", &Assembly::destroyAll,
           "Unlinks the spatial children, then destroys every logical child.")
      .def(
          "destroyAttachments",
          [](Assembly& self, const py::handle& cls) {
            if (cls.is_none())
              self.destroyAttachments();
            else
              self.destroyAttachments(classInfoOf(cls));
          },
          py::arg("cls") = py::none(),
          "Destroys the attachments of the bodies (of the class, when given) hanging on this assembly;\n"
          "they stay logical children, free.")
      .def("dump", &dumped<Assembly>, "The dump as text.")
      .def(
          "__repr__",
          [](const Assembly& self) {
            const unsigned int n = self.getBodyCount();
            return entityRepr(self, std::to_wstring(n) + (n == 1 ? L" body" : L" bodies"));
          },
          "<class \"name\" 2 bodies>.");
}

}  // namespace

void bindGroups(py::module_& m) {
  bindExtensions(m);
  bindGroup(m);
  bindAssembly(m);
}

}  // namespace kvrpy
