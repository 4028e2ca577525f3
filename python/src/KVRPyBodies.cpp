// Bodies, frames and relations: frames, tag points, bodies and what hangs
// them on one another (attaching, grabbing, detaching), parts, cameras,
// relationships, connections and attachments.

#include "KVRPyModule.h"

namespace kvrpy {

namespace {

using Entity = KVRBasicEntity;
using Entity3D = KVRBasicEntity3D;
using Body = KVRBasicBody3D;
using BodyHandle = KVRSharedHandle<KVRBasicBody3D>;
using Frame = KVRBasicFrame3D;
using TagPoint = KVRBasicTagPoint3D;
using Connection = KVRBasicConnection3D;

int answer(int status, const Pose& pose) {
  if (status == 1) writeBack(pose);
  return status;
}

void bindFrame(py::module_& m) {
  auto f = bindModelClass<Frame, Entity3D>(
      m, "KVRBasicFrame3D",
      "A named coordinate system fixed to a body (a tool point, a mounting face). Connections meet\n"
      "bodies through frames and follow them when they move on their bodies.");
  f.attr("RelativeLocationChanged") = Frame::RelativeLocationChanged;
  addNamedConstructor(f);
  f.def("getAttachedBody", &Frame::getAttachedBody,
        "The body the frame is on (its spatial parent), or None; KVREInvalidCast when that is no body.")
      .def("getFrameLocation", &Frame::getFrameLocation, "The offset on the body (the relative location).")
      .def(
          "setFrameLocation",
          [](Frame& self, Pose location) { return answer(self.setFrameLocation(location.value), location); },
          py::arg("location"), "Sets the offset on the body; the frame's base location follows at once.");
}

void bindTagPoint(py::module_& m) {
  auto t = bindModelClass<TagPoint, Entity3D>(
      m, "KVRBasicTagPoint3D",
      "A target location a moving thing is sent to, with the timing to reach it (a duration or a\n"
      "velocity). Its relative location can be locked against location requests.");
  t.attr("RelativeLocationChanged") = TagPoint::RelativeLocationChanged;
  t.attr("DurationTiming") = TagPoint::DurationTiming;
  t.attr("VelocityTiming") = TagPoint::VelocityTiming;
  addNamedConstructor(t);
  t.def("getAttachedBody", &TagPoint::getAttachedBody,
        "The body the point is on (its spatial parent), or None; KVREInvalidCast when that is no body\n"
        "(a path, say).")
      .def("getPointLocation", &TagPoint::getPointLocation, "The location relative to the spatial parent.")
      .def(
          "setTagPointLocation",
          [](TagPoint& self, Pose location) {
            return answer(self.setTagPointLocation(location.value), location);
          },
          py::arg("location"),
          "Sets the relative location; the base location follows at once. Status 0 while locked, else 2.")
      .def("lockRelativeLocation", &TagPoint::lockRelativeLocation,
           "Locks the relative location against location requests (status 0).")
      .def("unlockRelativeLocation", &TagPoint::unlockRelativeLocation, "Lifts the lock.")
      .def("isRelativeLocationLocked", &TagPoint::isRelativeLocationLocked, "Whether the lock is on.")
      .def("setDuration", &TagPoint::setDuration, py::arg("duration"),
           "Stores the time to reach the point (a KVRSimTime or seconds) and switches to DurationTiming.")
      .def("setVelocity", &TagPoint::setVelocity, py::arg("velocity"),
           "Stores the velocity to reach the point and switches to VelocityTiming.")
      .def("getTimingMode", &TagPoint::getTimingMode, "DurationTiming (0) or VelocityTiming (1).")
      .def("getDuration", &TagPoint::getDuration, "The stored duration (5 s by default).")
      .def("getVelocity", &TagPoint::getVelocity, "The stored velocity (1 by default).");
}

// Members a body owns in both trees: frames, tag points, paths.
template <class Member>
KVRSharedVector<Member> membersOf(const Body& body, void (Body::*get)(KVRSharedVector<Member>&) const) {
  KVRSharedVector<Member> members;
  (body.*get)(members);
  return members;
}

void bindBody(py::module_& m) {
  auto b = bindModelClass<Body, Entity3D>(
      m, "KVRBasicBody3D",
      "A rigid body of the work cell, owning frames, tag points and tag paths. It hangs on its inner\n"
      "body through its inner connection and is placed by it: a body that hangs on nothing refuses\n"
      "location requests (status 0). attachBody and grabBody hang other bodies on it; detachBody\n"
      "gives a body back.");
  b.attr("FramesRemoved") = Body::FramesRemoved;
  b.attr("TagPointsRemoved") = Body::TagPointsRemoved;
  b.attr("PathsRemoved") = Body::PathsRemoved;
  b.attr("InnerBodyChanged") = Body::InnerBodyChanged;
  b.attr("InnerConnectionChanged") = Body::InnerConnectionChanged;
  b.attr("InnerBodySet") = Body::InnerBodySet;
  b.attr("InnerBodyCleared") = Body::InnerBodyCleared;
  b.attr("BodyAttached") = Body::BodyAttached;
  b.attr("OuterBodyLeft") = Body::OuterBodyLeft;
  addNamedConstructor(b);

  // Frames, tag points and paths: logical and spatial children at once.
  // Adding refuses what either tree refuses, before either link is made.
  b.def("addFrame", &Body::addFrame, py::arg("frame"), "Adds the frame as logical and spatial child.")
      .def("removeFrame", &Body::removeFrame, py::arg("frame"), "Unlinks the frame from both trees.")
      .def("removeFrames", &Body::removeFrames, "Unlinks every frame (bit 16).")
      .def("destroyFrame", &Body::destroyFrame, py::arg("frame"), "Orphans the frame.")
      .def("destroyFrames", &Body::destroyFrames, "Orphans every frame (bit 16).")
      .def("hasFrame", &Body::hasFrame, py::arg("frame"), "Whether the frame is this body's.")
      .def(
          "getFrames", [](const Body& self) { return membersOf<Frame>(self, &Body::getFrames); },
          "The body's frames, in order.")
      .def("getFrameCount", &Body::getFrameCount, "The number of frames.")
      .def("addTagPoint", &Body::addTagPoint, py::arg("point"),
           "Adds the tag point as logical and spatial child.")
      .def("removeTagPoint", &Body::removeTagPoint, py::arg("point"),
           "Unlinks the tag point from both trees.")
      .def("removeTagPoints", &Body::removeTagPoints, "Unlinks every tag point (bit 17).")
      .def("destroyPoint", &Body::destroyPoint, py::arg("point"), "Orphans the tag point.")
      .def("destroyPoints", &Body::destroyPoints, "Orphans every tag point (bit 17).")
      .def("hasPoint", &Body::hasPoint, py::arg("point"), "Whether the tag point is this body's.")
      .def(
          "getTagPoints", [](const Body& self) { return membersOf<TagPoint>(self, &Body::getTagPoints); },
          "The body's tag points, in order.")
      .def("getTagPointCount", &Body::getTagPointCount, "The number of tag points.")
      .def("addPath", &Body::addPath, py::arg("path"), "Adds the path as logical and spatial child.")
      .def("removePath", &Body::removePath, py::arg("path"), "Unlinks the path from both trees.")
      .def("removePaths", &Body::removePaths, "Unlinks every path (bit 18).")
      .def("destroyPath", &Body::destroyPath, py::arg("path"), "Orphans the path.")
      .def("destroyPaths", &Body::destroyPaths, "Orphans every path (bit 18).")
      .def("hasPath", &Body::hasPath, py::arg("path"), "Whether the path is this body's.")
      .def(
          "getPaths", [](const Body& self) { return membersOf<KVRBasicPath3D>(self, &Body::getPaths); },
          "The body's paths, in order.")
      .def("getPathCount", &Body::getPathCount, "The number of paths.");

  // Inner and outer bodies.
  b.def("hasInnerBody", &Body::hasInnerBody, "Whether the body hangs on an inner body (its spatial parent).")
      .def("getInnerBody", &Body::getInnerBody,
           "The inner body, or None; KVREInvalidCast when the spatial parent is no body.")
      .def("hasInnerConnection", &Body::hasInnerConnection, "Whether the body hangs on a connection.")
      .def("getInnerConnection", &Body::getInnerConnection, "The connection the body hangs on, or None.")
      .def("hasOuterBody", &Body::hasOuterBody, py::arg("body"), "Whether `body` hangs on this body.")
      .def(
          "getOuterBodies", [](const Body& self) { return membersOf<Body>(self, &Body::getOuterBodies); },
          "The bodies hanging on this body.")
      .def("getOuterBodyCount", &Body::getOuterBodyCount, "Their number.")
      .def("isAttached", &Body::isAttached, "Whether the body holds an attachment (attached or grabbed).")
      .def("getAttachment", &Body::getAttachment, "The attachment held, or None.")
      .def("getInnerBodyOriginal", &Body::getInnerBodyOriginal,
           "Where the body hung before it was first attached, or None; detachBody returns it there.")
      .def("getHomeAttachBody", &Body::getHomeAttachBody,
           "The body detachBody hangs it back on first, or None.")
      .def("setAttachment", &Body::setAttachment, py::arg("attachment"),
           "Stores the attachment only (no event); KVREInvalidRelation for an orphaned party.")
      .def("setInnerBodyOriginal", &Body::setInnerBodyOriginal, py::arg("body"),
           "Stores the inner body original only; KVREInvalidRelation for an orphaned body.")
      .def("setHomeAttachBody", &Body::setHomeAttachBody, py::arg("body"),
           "Stores the home attach body only; KVREInvalidRelation for an orphaned body.")
      .def("getTransientState", &Body::getTransientState, "0 when the body is not grabbed.")
      .def("setTransientState", &Body::setTransientState, py::arg("state"),
           "Stores the transient state (nonzero: grabbed).")
      .def("setInnerBody", &Body::setInnerBody, py::arg("inner"), py::arg("connection"),
           "Hangs this body on `inner` through `connection` (bits 19, 20, 21); KVREAlreadyRegistered or\n"
           "KVREInvalidRelation, changing nothing, when it cannot.")
      .def("clearInnerBody", &Body::clearInnerBody,
           "Takes the body off its inner body where it stands and disconnects the connection.")
      .def("clearOuterBody", &Body::clearOuterBody, "Sets bit 24 (an outer body left).");

  // Attaching, grabbing, detaching. A refused call leaves the model as it was.
  b.def("attachBody", py::overload_cast<const BodyHandle&, const KVRSharedHandle<Frame>&>(&Body::attachBody),
        py::arg("body"), py::arg("frame"),
        "Hangs `body` on this body at one of this body's frames, through a new attachment.")
      .def(
          "attachBody",
          [](Body& self, const BodyHandle& body, const Pose& location) {
            self.attachBody(body, location.value);
          },
          py::arg("body"), py::arg("location"),
          "Hangs `body` on this body at `location` relative to it, through a new attachment named "
          "\"<this>-<body>\".")
      .def("attachBody", py::overload_cast<const BodyHandle&>(&Body::attachBody), py::arg("body"),
           "Hangs `body` on this body where it stands now, through a new attachment.")
      .def("attachBodies", &Body::attachBodies, py::arg("body"),
           "Hangs `body` on this body where it stands now, without taking it off an earlier connection.")
      .def("grabBody", py::overload_cast<const BodyHandle&, int>(&Body::grabBody), py::arg("body"),
           py::arg("transientState") = 1,
           "Takes `body` off its connection and hangs it on this body where it stands.")
      .def("detachBody", py::overload_cast<>(&Body::detachBody),
           "Gives this body back: to its home attach body, else to where it hung before, else free.");
  // The class-level forms, which C++ overloads on the name of the member forms.
  m.def("grabBody", py::overload_cast<const BodyHandle&, const BodyHandle&>(&Body::grabBody),
        py::arg("grabbing"), py::arg("grabbed"),
        "KVRBasicBody3D::grabBody(grabbing, grabbed): 0 when either is None, else 1.");
  m.def("detachBody", py::overload_cast<const BodyHandle&, const BodyHandle&>(&Body::detachBody),
        py::arg("body"), py::arg("releasing") = BodyHandle(),
        "KVRBasicBody3D::detachBody(body, releasing): detaches a grabbed body when `releasing` is None "
        "or its carrier.");

  auto part = bindModelClass<KVRBasicPart3D, Body>(m, "KVRBasicPart3D",
                                                   "A body standing for one manufactured piece.");
  addNamedConstructor(part);

  auto camera = bindModelClass<KVRBasicCamera3D, Body>(
      m, "KVRBasicCamera3D", "A body bound to one relationship, which it synchronises when it moves.");
  addNamedConstructor(camera);
  camera
      .def("setRelationship", &KVRBasicCamera3D::setRelationship, py::arg("relationship"),
           "Binds the relationship; KVREAlreadyRegistered when the camera has one.")
      .def("clearRelationship", &KVRBasicCamera3D::clearRelationship,
           "Forgets the relationship without releasing it.")
      .def("hasRelationship", &KVRBasicCamera3D::hasRelationship, "Whether the camera has a relationship.")
      .def("getRelationship", &KVRBasicCamera3D::getRelationship, "The relationship, or None.");
}

void bindRelations(py::module_& m) {
  using Relationship = KVRBasicRelationship3D;
  auto r = bindModelClass<Relationship, Entity>(
      m, "KVRBasicRelationship3D",
      "Ties an outer 3-D entity to an inner one and keeps a rule between them (abstract).");
  r.attr("RelationshipSet") = Relationship::RelationshipSet;
  r.attr("RelationshipReleased") = Relationship::RelationshipReleased;
  py::enum_<Relationship::SyncMode>(r, "SyncMode", "Whether setting the relationship synchronises at once.")
      .value("SyncOnSet", Relationship::SyncOnSet)
      .value("NoSyncOnSet", Relationship::NoSyncOnSet)
      .export_values();
  r.def("setRelationship", &Relationship::setRelationship, py::arg("inner"), py::arg("outer"),
        "Ties `outer` to `inner` and, with SyncOnSet, synchronises (bit 9). KVREAlreadyRegistered when\n"
        "set already, KVREInvalidRelation for None or the same entity twice; nothing changes then.")
      .def("releaseRelationship", &Relationship::releaseRelationship,
           "Empties the pair and resets the sync mode (bit 10); nothing when not set.")
      .def("isRelationshipSet", &Relationship::isRelationshipSet, "Whether a pair is tied.")
      .def("getInnerEntity", &Relationship::getInnerEntity, "The inner entity, or None.")
      .def("getOuterEntity", &Relationship::getOuterEntity, "The outer entity, or None.")
      .def("setSyncMode", &Relationship::setSyncMode, py::arg("mode"), "Sets the sync mode.")
      .def("getSyncMode", &Relationship::getSyncMode, "The sync mode.")
      .def("synchronize", &Relationship::synchronize,
           "Enforces the rule when it does not hold; nothing when not set.")
      .def("verifyRelationship", &Relationship::verifyRelationship,
           "Nonzero when the rule holds now; 0 when not set.")
      .def("calcVariableProfile", &Relationship::calcVariableProfile,
           "inner base^-1 * outer base, at rest: where the outer entity stands relative to the inner.");

  auto c = bindModelClass<Connection, Entity>(m, "KVRBasicConnection3D",
                                              "Places an outer body relative to an inner body (abstract):\n"
                                              "relative = inner offset * variable * outer offset^-1.");
  c.attr("Connected") = Connection::Connected;
  c.attr("Disconnected") = Connection::Disconnected;
  c.attr("InnerOffsetSet") = Connection::InnerOffsetSet;
  c.attr("OuterOffsetSet") = Connection::OuterOffsetSet;
  c.attr("RelativeLocationSet") = Connection::RelativeLocationSet;
  c.attr("RelativeProfileSet") = Connection::RelativeProfileSet;
  c.def("connectBodies",
        py::overload_cast<const KVRSharedHandle<Frame>&, const KVRSharedHandle<Frame>&>(
            &Connection::connectBodies),
        py::arg("innerFrame"), py::arg("outerFrame"),
        "Connects the bodies of two frames and follows the frames.")
      .def(
          "connectBodies",
          [](Connection& self, const BodyHandle& inner, const BodyHandle& outer, const Pose& innerOffset,
             const Pose& outerOffset) {
            self.connectBodies(inner, outer, innerOffset.value, outerOffset.value);
          },
          py::arg("innerBody"), py::arg("outerBody"), py::arg("innerOffset"), py::arg("outerOffset"),
          "Connects two bodies with the given offsets. KVREInvalidArgument for None, KVREAlreadyRegistered\n"
          "when connected, KVREInvalidRelation for the same body twice; nothing changes then.")
      .def("disconnectBodies", &Connection::disconnectBodies,
           "Takes the outer body off the inner one and resets the offsets; nothing when disconnected.")
      .def("isConnected", &Connection::isConnected, "Whether the connection records two bodies.")
      .def("getInnerBody", &Connection::getInnerBody, "The inner body, or None.")
      .def("getOuterBody", &Connection::getOuterBody, "The outer body, or None.")
      .def("getInnerFrame", &Connection::getInnerFrame, "The inner frame followed, or None.")
      .def("getOuterFrame", &Connection::getOuterFrame, "The outer frame followed, or None.")
      .def(
          "getInnerOffset", [](const Connection& self) { return self.getInnerOffset(); },
          "The inner offset (on the inner body).")
      .def(
          "getOuterOffset", [](const Connection& self) { return self.getOuterOffset(); },
          "The outer offset (on the outer body).")
      .def(
          "setInnerOffset", [](Connection& self, const Pose& offset) { self.setInnerOffset(offset.value); },
          py::arg("offset"), "Stores the inner offset only (bit 11); nothing is recomputed.")
      .def(
          "setOuterOffset", [](Connection& self, const Pose& offset) { self.setOuterOffset(offset.value); },
          py::arg("offset"), "Stores the outer offset only (bit 12); nothing is recomputed.")
      .def(
          "getCachedRelativeLocation",
          [](const Connection& self) { return self.getCachedRelativeLocation(); },
          "The cached location of the outer body relative to the inner body.")
      .def(
          "getCachedRelativeProfile", [](const Connection& self) { return self.getCachedRelativeProfile(); },
          "The cached relative profile.")
      .def(
          "setCachedRelativeLocation",
          [](Connection& self, const Pose& location) { self.setCachedRelativeLocation(location.value); },
          py::arg("location"), "Writes the cache only (bit 13); velocity and acceleration are cleared.")
      .def(
          "setRelativeLocation",
          [](Connection& self, Pose location) {
            return answer(self.setRelativeLocation(location.value), location);
          },
          py::arg("location"), "Stores the relative location; status 2.")
      .def("getRelativeLocation", &Connection::getRelativeLocation, "The relative location.")
      .def("setRelativeProfile", &Connection::setRelativeProfile, py::arg("profile"),
           "Stores the relative profile; request status.")
      .def("getRelativeProfile", &Connection::getRelativeProfile, "The relative profile.")
      .def("updateKinematics", &Connection::updateKinematics,
           "With bit 14 pending propagates the profile, else with bit 13 the location.")
      .def("updateRelativeLocation", &Connection::updateRelativeLocation,
           "Recomputes the cached relative location from the offsets and the variable location.")
      .def("getVariableLocation", &Connection::getVariableLocation,
           "Where the outer frame stands relative to the inner frame (the class's own part).")
      .def("propagateLocation", &Connection::propagateLocation,
           "Places the outer body at its inner body's location times the relative location, when it\n"
           "hangs on this connection.")
      .def("propagateProfile", &Connection::propagateProfile, "The same for the profile.")
      .def_static(
          "calcRelativeLocation",
          [](const Pose& a, const Pose& b, const Pose& c) {
            return Connection::calcRelativeLocation(a.value, b.value, c.value);
          },
          py::arg("a"), py::arg("b"), py::arg("c"), "a * b * c^-1.")
      .def_static(
          "calcOuterOffset",
          [](const Pose& a, const Pose& b, const Pose& c) {
            return Connection::calcOuterOffset(a.value, b.value, c.value);
          },
          py::arg("a"), py::arg("b"), py::arg("c"), "a^-1 * b * c.")
      .def(
          "__repr__",
          [](const Connection& self) {
            if (!self.isConnected()) return entityRepr(self, L"disconnected");
            return entityRepr(self, L"connecting " + quotedName(*self.getInnerBody()) + L" to " +
                                        quotedName(*self.getOuterBody()));
          },
          "<class \"name\" connecting \"inner body\" to \"outer body\">, or disconnected.");

  auto a = bindModelClass<KVRBasicAttachment3D, Connection>(
      m, "KVRBasicAttachment3D",
      "The rigid connection: the outer body keeps its location relative to the inner body.");
  addNamedConstructor(a);
}

}  // namespace

void bindBodies(py::module_& m) {
  bindFrame(m);
  bindTagPoint(m);
  bindBody(m);
  bindRelations(m);
}

}  // namespace kvrpy
