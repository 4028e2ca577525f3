// Paths and shuttles: tag paths, the ordered routes of tag points that
// moving things follow; shuttles, the groups driven along them; and the
// motion planner extension that times and evaluates a shuttle's move.
//
// Times are KVRSimTime values and cross as such; a float or int of seconds
// is accepted wherever a time is. An out-parameter of the C++ interface comes
// back as the result, and a false answer as None.

#include <sstream>

#include "KVRPyModule.h"

namespace kvrpy {

namespace {

using Path = KVRBasicPath3D;
using TagPointHandle = KVRSharedHandle<KVRBasicTagPoint3D>;
using Shuttle = KVRBasicShuttle3D;
using ShuttleHandle = KVRSharedHandle<KVRBasicShuttle3D>;
using Planner = KVRShuttlePlannerExt;
using BodyHandle = KVRSharedHandle<KVRBasicBody3D>;

// The value of an answer given as a flag and an out-parameter: None when false.
template <class T>
py::object answered(bool found, const T& value) {
  return found ? py::cast(value) : py::none();
}

void bindPath(py::module_& m) {
  auto p = bindModelClass<Path, KVRBasicEntity3D>(
      m, "KVRBasicPath3D",
      "A tag path: an ordered route of tag points. Points it gathers become its children unless they\n"
      "have parents already; a listed point that moves sets the route-changed bit (17). A point may\n"
      "be listed more than once; indices count from 0.");
  p.attr("RelativeLocationChanged") = Path::RelativeLocationChanged;
  p.attr("RouteChanged") = Path::RouteChanged;
  addNamedConstructor(p);
  p.def("getTagPointCount", &Path::getTagPointCount, "The number of route entries.")
      .def(
          "getTagPoint", [](const Path& self, unsigned int index) { return self.getTagPoint(index); },
          py::arg("index"), "None when the index is not below the count.")
      .def(
          "getTagPoints",
          [](const Path& self) {
            KVRSharedVector<KVRBasicTagPoint3D> points;
            self.getTagPoints(points);
            return points;
          },
          "The points in route order (a point listed twice comes twice).")
      .def("getIndex", &Path::getIndex, py::arg("point"), "The index of the first entry of the point, or -1.")
      .def(
          "setTagPoints",
          [](Path& self, KVRSharedVector<KVRBasicTagPoint3D> points) { self.setTagPoints(points); },
          py::arg("points"),
          "Replaces the route; a point the path cannot adopt leaves the old route in place.")
      .def("addTagPoint", &Path::addTagPoint, py::arg("point"),
           "Appends the point, adopting it when it has no parent (bit 17); False for None.")
      .def("insertTagPoint", &Path::insertTagPoint, py::arg("index"), py::arg("point"),
           "Inserts before the entry at `index` (bit 17); False when the index is not below the count.")
      .def("createPoints", &Path::createPoints, py::arg("count"), py::arg("prefix"), py::arg("first"),
           "Appends `count` new points named prefix + (first + i).")
      .def("removeTagPoint", py::overload_cast<const TagPointHandle&>(&Path::removeTagPoint),
           py::arg("point"),
           "Takes the point's first entry off the route (it stays the path's child); False when not listed.")
      .def("removeTagPoint", py::overload_cast<unsigned int>(&Path::removeTagPoint), py::arg("index"),
           "Takes the entry at `index` off the route; False when out of range.")
      .def("removeTagPoints", &Path::removeTagPoints, "Empties the route (bit 17).")
      .def("swap", &Path::swap, py::arg("i"), py::arg("j"),
           "Exchanges two entries (bit 17); False when an index is out of range.")
      .def(
          "setTagPointRelativeLocation",
          [](Path& self, unsigned int index, const Pose& location) {
            return self.setTagPointRelativeLocation(index, location.value);
          },
          py::arg("index"), py::arg("location"),
          "setTagPointLocation of the point at `index`, and bit 17; 0 when the index is out of range.")
      .def(
          "__repr__",
          [](const Path& self) {
            const unsigned int n = self.getTagPointCount();
            return entityRepr(self, std::to_wstring(n) + (n == 1 ? L" point" : L" points"));
          },
          "<KVRBasicPath3D \"name\" 3 points>.");
}

// What a planner drives, along what, and when: the entity it is attached
// to, its path, the span of its plan (on its own axis) and its scheduled
// start (on the simulation clock).
std::wstring plannerRepr(const Planner& self) {
  std::wostringstream text;
  text << L"<KVRShuttlePlannerExt ";
  const auto entity = KVRSharedHandle<KVRBasicEntity>::downcast(self.getBasicObject());
  text << (entity.isNull() ? L"unattached" : L"of " + quotedName(*entity));
  text << (self.isBound() ? L" on " + quotedName(*self.getPath()) : std::wstring(L", no path"));
  KVRSimTime first, last;
  if (self.getMoveTime(first, last))
    text << L", plan " << first.toSeconds() << L" s to " << last.toSeconds() << L" s";
  else
    text << L", no plan";
  if (self.getScheduledStart() != KVRSimTime(Planner::DefaultScheduledStart))
    text << L", starts at " << self.getScheduledStart().toSeconds() << L" s";
  if (self.isOrphaned()) text << L", orphaned";
  text << L">";
  return text.str();
}

void bindPlanner(py::module_& m) {
  auto p = bindModelClass<Planner, KVRExtensionObject>(
      m, "KVRShuttlePlannerExt",
      "The extension that gives a shuttle its motion: bound to a tag path and a time span, it plans\n"
      "when the shuttle passes each tag point (the legs share the span by how far the shuttle travels\n"
      "and turns on them, or take the points' own durations with the custom flag), plans again when\n"
      "the route changes, and moves the shuttle along it. Attach it with the shuttle's addExtension;\n"
      "find it with getExtension(KVRShuttlePlannerExt). Plan times lie on the planner's own axis,\n"
      "which starts at the scheduled start on the simulation clock.");
  registerClassID(p, Planner::ClassID_);
  p.attr("DefaultScheduledStart") = Planner::DefaultScheduledStart;
  p.attr("VelocityStep") = Planner::VelocityStep;
  p.def(
       py::init([] { return KVRSharedHandle<Planner>(new Planner); }),
       "Unbound, with no plan, scheduled to start at DefaultScheduledStart (never active at ordinary times).")
      .def("setPath", &Planner::setPath, py::arg("path"), py::arg("start"), py::arg("end"),
           "Binds the path, follows its route changes and plans the first point at `start`, the last at\n"
           "`end` (planner's axis). Refused, changing nothing: None (KVREInvalidArgument), a bound\n"
           "planner (KVREAlreadyRegistered), an orphaned planner or path (KVREInvalidRelation).")
      .def("clearPath", &Planner::clearPath,
           "Lets go of the path and empties the plan (the first and last locations stay).")
      .def("unRegisterEventFunctor", &Planner::unRegisterEventFunctor,
           "Stops following the path's route changes; the path stays bound.")
      .def("getPath", &Planner::getPath, "The bound path, or None.")
      .def("isBound", &Planner::isBound, "Whether a path is bound.")
      .def("setPoints", &Planner::setPoints, py::arg("start"), py::arg("end"),
           "Plans again from the path's tag points over [start, end] of the planner's axis; end before\n"
           "start plans backwards. Without a path or points the plan is empty; the span is kept.")
      .def("changeMoveTime", &Planner::changeMoveTime, py::arg("start"), py::arg("end"),
           "Re-times the plan to [start, end] of the planner's axis in proportion (plans again with the\n"
           "custom flag set).")
      .def(
          "getMoveTime",
          [](const Planner& self) {
            KVRSimTime first, last;
            return self.getMoveTime(first, last) ? py::object(py::make_tuple(first, last))
                                                 : py::object(py::none());
          },
          "(first, last) planned time on the planner's axis, or None without a plan.")
      .def("getTimes", &Planner::getTimes,
           "One planned time per tag point, in route order, on the planner's axis; [] without a plan.")
      .def("setScheduledStart", &Planner::setScheduledStart, py::arg("start"),
           "The simulation time at which the planner's axis begins (a KVRSimTime or seconds).")
      .def("getScheduledStart", &Planner::getScheduledStart,
           "The simulation time at which the planner's axis begins.")
      .def("setCustomFlag", &Planner::setCustomFlag, py::arg("flag"),
           "Nonzero: from the next planning on, legs take their start point's own duration.")
      .def("getCustomFlag", &Planner::getCustomFlag, "The custom flag (nonzero: the points' own durations).")
      .def(
          "setShuttlePathXform",
          [](Planner& self, const Pose& X_SP) { self.setShuttlePathXform(X_SP.value); }, py::arg("X_SP"),
          "Where the path stands relative to a shuttle carrying this planner's shuttle.\n"
          "KVREInvalidArgument when not finite.")
      .def("getShuttlePathXform", &Planner::getShuttlePathXform,
           "Where the path stands relative to a shuttle carrying this planner's shuttle.")
      .def(
          "evaluate",
          [](Planner& self, const KVRSimTime& t) {
            Xform X_PS;
            return answered(self.evaluate(X_PS, t), X_PS);
          },
          py::arg("t"),
          "The pose at `t` of the planner's axis in the path's coordinates (the first point before the\n"
          "plan, the last after it), or None without a plan. Sets the current distance.")
      .def("moveBasicObject", &Planner::moveBasicObject, py::arg("t"),
           "Moves the shuttle to the path's base location times its pose at `t` of the planner's axis;\n"
           "the shuttle's request status (0, nothing moved, without a plan, path or shuttle).")
      .def("isActive", &Planner::isActive, py::arg("t"),
           "Whether simulation time `t` falls in the scheduled move: after the scheduled start (at it\n"
           "only when t is 0) up to it plus the last planned time.")
      .def("getCurrentDistance", &Planner::getCurrentDistance,
           "The travelled length at the last evaluated time.")
      .def(
          "dumpPath",
          [](const Planner& self) { return written([&](std::ostream& os) { self.dumpPath(os); }); },
          "The legs of the plan as text, one line each.")
      .def(
          "dumpTimes",
          [](const Planner& self) { return written([&](std::ostream& os) { self.dumpTimes(os); }); },
          "The scheduled start and the planned times as text.")
      .def("__repr__", &plannerRepr,
           "<KVRShuttlePlannerExt of \"shuttle\" on \"path\", plan 0 s to 6 s, starts at 5 s>.");
}

void bindShuttle(py::module_& m) {
  auto s = bindModelClass<Shuttle, KVRBasicGroup3D>(
      m, "KVRBasicShuttle3D",
      "A mobile group (a conveyor carriage, an AGV) driven along a tag path over simulation time by\n"
      "its planner, the KVRShuttlePlannerExt attached to it. activate() records where each member\n"
      "stands relative to it; every move puts them back there. A carried shuttle's path is carried\n"
      "too. Without a planner a shuttle does not move by itself.");
  addNamedConstructor(s);
  s.def("getPlanner", &Shuttle::getPlanner, "The attached planner, or None.")
      .def("activate", &Shuttle::activate,
           "Records where each member (and each carried shuttle's path) stands relative to the shuttle.")
      .def("deactivate", &Shuttle::deactivate,
           "Carries only the always-active members from now on; the recorded locations stay.")
      .def("isMotionActive", &Shuttle::isMotionActive, py::arg("t"),
           "Whether the planner's move is under way at simulation time `t`; False without a planner.")
      .def(
          "evaluateShuttlePosition",
          [](const Shuttle& self, const KVRSimTime& t) {
            Xform X_PS;
            return answered(self.evaluateShuttlePosition(t, X_PS), X_PS);
          },
          py::arg("t"),
          "The shuttle's pose at simulation time `t` in its path's coordinates, from the scheduled start\n"
          "to the end of the move; None outside it or without a plan.")
      .def(
          "evaluateShuttleVelocity",
          [](const Shuttle& self, const KVRSimTime& t) {
            Vector v_P;
            return answered(self.evaluateShuttleVelocity(t, v_P), v_P);
          },
          py::arg("t"),
          "The shuttle's linear velocity at simulation time `t` in its path's axes (over VelocityStep);\n"
          "None where evaluateShuttlePosition is None.")
      .def_static(
          "getDriverShuttle",
          [](BodyHandle body, const KVRSimTime& t) {
            ShuttleHandle shuttle;
            if (!Shuttle::getDriverShuttle(body, t, shuttle)) return py::object(py::none());
            return py::object(py::make_tuple(body, shuttle));
          },
          py::arg("body"), py::arg("t"),
          "(carried body, shuttle): the active shuttle carrying `body` at simulation time `t` under the\n"
          "world's root assembly, and the body it carries directly (`body` or its outermost carried\n"
          "ancestor); None when no active shuttle carries it: `diagnoseDriving(body, t)` says why.")
      .def_static(
          "evaluateBodyPosition",
          [](const BodyHandle& body, const KVRSimTime& t) {
            Xform X_WB;
            return answered(Shuttle::evaluateBodyPosition(body, t, X_WB), X_WB);
          },
          py::arg("body"), py::arg("t"),
          "The base location (world coordinates) `body` has at simulation time `t` once its shuttle has\n"
          "been moved there and flushed; None when no active shuttle carries it: `diagnoseDriving(body,\n"
          "t)` says why (the shuttle must be a child of the world's root assembly, scheduled and active).")
      .def_static(
          "evaluateBodyVelocity",
          [](const BodyHandle& body, const KVRSimTime& t) {
            Vector v_W;
            return answered(Shuttle::evaluateBodyVelocity(body, t, v_W), v_W);
          },
          py::arg("body"), py::arg("t"),
          "The linear velocity, in world axes, of the shuttle carrying `body` at simulation time `t`;\n"
          "None when no active shuttle carries it (`diagnoseDriving(body, t)` says why) or its velocity\n"
          "cannot be evaluated then.")
      .def("dump", &dumped<Shuttle>, "The dump as text.");
}

}  // namespace

void bindPaths(py::module_& m) {
  bindPath(m);
  bindPlanner(m);
  bindShuttle(m);
}

}  // namespace kvrpy
