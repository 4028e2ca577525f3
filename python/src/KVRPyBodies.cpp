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
  f.def("getAttachedBody", &Frame::getAttachedBody)
      .def("getFrameLocation", &Frame::getFrameLocation)
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
  t.def("getAttachedBody", &TagPoint::getAttachedBody)
      .def("getPointLocation", &TagPoint::getPointLocation)
      .def(
          "setTagPointLocation",
          [](TagPoint& self, Pose location) {
            return answer(self.setTagPointLocation(location.value), location);
          },
          py::arg("location"))
      .def("lockRelativeLocation", &TagPoint::lockRelativeLocation)
      .def("unlockRelativeLocation", &TagPoint::unlockRelativeLocation)
      .def("isRelativeLocationLocked", &TagPoint::isRelativeLocationLocked)
      .def("setDuration", &TagPoint::setDuration, py::arg("duration"))
      .def("setVelocity", &TagPoint::setVelocity, py::arg("velocity"))
      .def("getTimingMode", &TagPoint::getTimingMode)
      .def("getDuration", &TagPoint::getDuration)
      .def("getVelocity", &TagPoint::getVelocity);
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
  b.def("addFrame", &Body::addFrame, py::arg("frame"))
      .def("removeFrame", &Body::removeFrame, py::arg("frame"))
      .def("removeFrames", &Body::removeFrames)
      .def("destroyFrame", &Body::destroyFrame, py::arg("frame"))
      .def("destroyFrames", &Body::destroyFrames)
      .def("hasFrame", &Body::hasFrame, py::arg("frame"))
      .def("getFrames", [](const Body& self) { return membersOf<Frame>(self, &Body::getFrames); })
      .def("getFrameCount", &Body::getFrameCount)
      .def("addTagPoint", &Body::addTagPoint, py::arg("point"))
      .def("removeTagPoint", &Body::removeTagPoint, py::arg("point"))
      .def("removeTagPoints", &Body::removeTagPoints)
      .def("destroyPoint", &Body::destroyPoint, py::arg("point"))
      .def("destroyPoints", &Body::destroyPoints)
      .def("hasPoint", &Body::hasPoint, py::arg("point"))
      .def("getTagPoints", [](const Body& self) { return membersOf<TagPoint>(self, &Body::getTagPoints); })
      .def("getTagPointCount", &Body::getTagPointCount)
      .def("addPath", &Body::addPath, py::arg("path"))
      .def("removePath", &Body::removePath, py::arg("path"))
      .def("removePaths", &Body::removePaths)
      .def("destroyPath", &Body::destroyPath, py::arg("path"))
      .def("destroyPaths", &Body::destroyPaths)
      .def("hasPath", &Body::hasPath, py::arg("path"))
      .def("getPaths", [](const Body& self) { return membersOf<KVRBasicPath3D>(self, &Body::getPaths); })
      .def("getPathCount", &Body::getPathCount);

  // Inner and outer bodies.
  b.def("hasInnerBody", &Body::hasInnerBody)
      .def("getInnerBody", &Body::getInnerBody)
      .def("hasInnerConnection", &Body::hasInnerConnection)
      .def("getInnerConnection", &Body::getInnerConnection)
      .def("hasOuterBody", &Body::hasOuterBody, py::arg("body"))
      .def("getOuterBodies", [](const Body& self) { return membersOf<Body>(self, &Body::getOuterBodies); })
      .def("getOuterBodyCount", &Body::getOuterBodyCount)
      .def("isAttached", &Body::isAttached)
      .def("getAttachment", &Body::getAttachment)
      .def("getInnerBodyOriginal", &Body::getInnerBodyOriginal)
      .def("getHomeAttachBody", &Body::getHomeAttachBody)
      .def("setAttachment", &Body::setAttachment, py::arg("attachment"))
      .def("setInnerBodyOriginal", &Body::setInnerBodyOriginal, py::arg("body"))
      .def("setHomeAttachBody", &Body::setHomeAttachBody, py::arg("body"))
      .def("getTransientState", &Body::getTransientState, "0 when the body is not grabbed.")
      .def("setTransientState", &Body::setTransientState, py::arg("state"))
      .def("setInnerBody", &Body::setInnerBody, py::arg("inner"), py::arg("connection"))
      .def("clearInnerBody", &Body::clearInnerBody)
      .def("clearOuterBody", &Body::clearOuterBody);

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
      .def("attachBody", py::overload_cast<const BodyHandle&>(&Body::attachBody), py::arg("body"))
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
  camera.def("setRelationship", &KVRBasicCamera3D::setRelationship, py::arg("relationship"))
      .def("clearRelationship", &KVRBasicCamera3D::clearRelationship)
      .def("hasRelationship", &KVRBasicCamera3D::hasRelationship)
      .def("getRelationship", &KVRBasicCamera3D::getRelationship);
}

void bindRelations(py::module_& m) {
  using Relationship = KVRBasicRelationship3D;
  auto r = bindModelClass<Relationship, Entity>(
      m, "KVRBasicRelationship3D",
      "Ties an outer 3-D entity to an inner one and keeps a rule between them (abstract).");
  r.attr("RelationshipSet") = Relationship::RelationshipSet;
  r.attr("RelationshipReleased") = Relationship::RelationshipReleased;
  py::enum_<Relationship::SyncMode>(r, "SyncMode")
      .value("SyncOnSet", Relationship::SyncOnSet)
      .value("NoSyncOnSet", Relationship::NoSyncOnSet)
      .export_values();
  r.def("setRelationship", &Relationship::setRelationship, py::arg("inner"), py::arg("outer"))
      .def("releaseRelationship", &Relationship::releaseRelationship)
      .def("isRelationshipSet", &Relationship::isRelationshipSet)
      .def("getInnerEntity", &Relationship::getInnerEntity)
      .def("getOuterEntity", &Relationship::getOuterEntity)
      .def("setSyncMode", &Relationship::setSyncMode, py::arg("mode"))
      .def("getSyncMode", &Relationship::getSyncMode)
      .def("synchronize", &Relationship::synchronize)
      .def("verifyRelationship", &Relationship::verifyRelationship)
      .def("calcVariableProfile", &Relationship::calcVariableProfile);

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
          py::arg("innerBody"), py::arg("outerBody"), py::arg("innerOffset"), py::arg("outerOffset"))
      .def("disconnectBodies", &Connection::disconnectBodies)
      .def("isConnected", &Connection::isConnected)
      .def("getInnerBody", &Connection::getInnerBody)
      .def("getOuterBody", &Connection::getOuterBody)
      .def("getInnerFrame", &Connection::getInnerFrame)
      .def("getOuterFrame", &Connection::getOuterFrame)
      .def("getInnerOffset", [](const Connection& self) { return self.getInnerOffset(); })
      .def("getOuterOffset", [](const Connection& self) { return self.getOuterOffset(); })
      .def(
          "setInnerOffset", [](Connection& self, const Pose& offset) { self.setInnerOffset(offset.value); },
          py::arg("offset"))
      .def(
          "setOuterOffset", [](Connection& self, const Pose& offset) { self.setOuterOffset(offset.value); },
          py::arg("offset"))
      .def("getCachedRelativeLocation",
           [](const Connection& self) { return self.getCachedRelativeLocation(); })
      .def("getCachedRelativeProfile", [](const Connection& self) { return self.getCachedRelativeProfile(); })
      .def(
          "setCachedRelativeLocation",
          [](Connection& self, const Pose& location) { self.setCachedRelativeLocation(location.value); },
          py::arg("location"))
      .def(
          "setRelativeLocation",
          [](Connection& self, Pose location) {
            return answer(self.setRelativeLocation(location.value), location);
          },
          py::arg("location"))
      .def("getRelativeLocation", &Connection::getRelativeLocation)
      .def("setRelativeProfile", &Connection::setRelativeProfile, py::arg("profile"))
      .def("getRelativeProfile", &Connection::getRelativeProfile)
      .def("updateKinematics", &Connection::updateKinematics)
      .def("updateRelativeLocation", &Connection::updateRelativeLocation)
      .def("getVariableLocation", &Connection::getVariableLocation)
      .def("propagateLocation", &Connection::propagateLocation)
      .def("propagateProfile", &Connection::propagateProfile)
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
          py::arg("a"), py::arg("b"), py::arg("c"), "a^-1 * b * c.");

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
