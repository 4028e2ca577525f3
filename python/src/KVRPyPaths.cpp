// Paths and shuttles: tag paths, the ordered routes of tag points that
// moving things follow; shuttles, the groups driven along them; and the
// motion planner extension that times and evaluates a shuttle's move.
//
// Times are KVRSimTime values and cross as such; a float or int of seconds
// is accepted wherever a time is. An out-parameter of the C++ interface comes
// back as the result, and a false answer as None.

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
  p.def("getTagPointCount", &Path::getTagPointCount)
      .def(
          "getTagPoint", [](const Path& self, unsigned int index) { return self.getTagPoint(index); },
          py::arg("index"), "None when the index is not below the count.")
      .def("getTagPoints",
           [](const Path& self) {
             KVRSharedVector<KVRBasicTagPoint3D> points;
             self.getTagPoints(points);
             return points;
           })
      .def("getIndex", &Path::getIndex, py::arg("point"), "The index of the first entry of the point, or -1.")
      .def(
          "setTagPoints",
          [](Path& self, KVRSharedVector<KVRBasicTagPoint3D> points) { self.setTagPoints(points); },
          py::arg("points"),
          "Replaces the route; a point the path cannot adopt leaves the old route in place.")
      .def("addTagPoint", &Path::addTagPoint, py::arg("point"))
      .def("insertTagPoint", &Path::insertTagPoint, py::arg("index"), py::arg("point"))
      .def("createPoints", &Path::createPoints, py::arg("count"), py::arg("prefix"), py::arg("first"),
           "Appends `count` new points named prefix + (first + i).")
      .def("removeTagPoint", py::overload_cast<const TagPointHandle&>(&Path::removeTagPoint),
           py::arg("point"))
      .def("removeTagPoint", py::overload_cast<unsigned int>(&Path::removeTagPoint), py::arg("index"))
      .def("removeTagPoints", &Path::removeTagPoints)
      .def("swap", &Path::swap, py::arg("i"), py::arg("j"))
      .def(
          "setTagPointRelativeLocation",
          [](Path& self, unsigned int index, const Pose& location) {
            return self.setTagPointRelativeLocation(index, location.value);
          },
          py::arg("index"), py::arg("location"));
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
           "`end`. Refused, changing nothing: None, a bound planner, an orphaned planner or path.")
      .def("clearPath", &Planner::clearPath,
           "Lets go of the path and empties the plan (the first and last locations stay).")
      .def("unRegisterEventFunctor", &Planner::unRegisterEventFunctor,
           "Stops following the path's route changes; the path stays bound.")
      .def("getPath", &Planner::getPath, "The bound path, or None.")
      .def("isBound", &Planner::isBound)
      .def("setPoints", &Planner::setPoints, py::arg("start"), py::arg("end"),
           "Plans again from the path's tag points over [start, end]; end before start plans backwards.")
      .def("changeMoveTime", &Planner::changeMoveTime, py::arg("start"), py::arg("end"),
           "Re-times the plan to [start, end] in proportion (plans again with the custom flag set).")
      .def(
          "getMoveTime",
          [](const Planner& self) {
            KVRSimTime first, last;
            return self.getMoveTime(first, last) ? py::object(py::make_tuple(first, last))
                                                 : py::object(py::none());
          },
          "(first, last) planned time, or None without a plan.")
      .def("getTimes", &Planner::getTimes, "One planned time per tag point, in route order.")
      .def("setScheduledStart", &Planner::setScheduledStart, py::arg("start"))
      .def("getScheduledStart", &Planner::getScheduledStart)
      .def("setCustomFlag", &Planner::setCustomFlag, py::arg("flag"),
           "Nonzero: from the next planning on, legs take their start point's own duration.")
      .def("getCustomFlag", &Planner::getCustomFlag)
      .def(
          "setShuttlePathXform",
          [](Planner& self, const Pose& X_SP) { self.setShuttlePathXform(X_SP.value); }, py::arg("X_SP"),
          "Where the path stands relative to a shuttle carrying this planner's shuttle.")
      .def("getShuttlePathXform", &Planner::getShuttlePathXform)
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
          "The scheduled start and the planned times as text.");
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
      .def("deactivate", &Shuttle::deactivate)
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
          "The shuttle's linear velocity at `t` in its path's axes (over VelocityStep); None where\n"
          "evaluateShuttlePosition is None.")
      .def_static(
          "getDriverShuttle",
          [](BodyHandle body, const KVRSimTime& t) {
            ShuttleHandle shuttle;
            if (!Shuttle::getDriverShuttle(body, t, shuttle)) return py::object(py::none());
            return py::object(py::make_tuple(body, shuttle));
          },
          py::arg("body"), py::arg("t"),
          "(carried body, shuttle): the active shuttle carrying `body` at `t` under the world's root\n"
          "assembly, and the body it carries directly (`body` or its outermost carried ancestor); None\n"
          "when no active shuttle carries it.")
      .def_static(
          "evaluateBodyPosition",
          [](const BodyHandle& body, const KVRSimTime& t) {
            Xform X_WB;
            return answered(Shuttle::evaluateBodyPosition(body, t, X_WB), X_WB);
          },
          py::arg("body"), py::arg("t"),
          "The base location `body` has at `t` once its shuttle has been moved there and flushed; None\n"
          "when no active shuttle carries it.")
      .def_static(
          "evaluateBodyVelocity",
          [](const BodyHandle& body, const KVRSimTime& t) {
            Vector v_W;
            return answered(Shuttle::evaluateBodyVelocity(body, t, v_W), v_W);
          },
          py::arg("body"), py::arg("t"),
          "The linear velocity, in world axes, of the shuttle carrying `body` at `t`; None when no\n"
          "active shuttle carries it or its velocity cannot be evaluated then.")
      .def("dump", &dumped<Shuttle>, "The dump as text.");
}

}  // namespace

void bindPaths(py::module_& m) {
  bindPath(m);
  bindPlanner(m);
  bindShuttle(m);
}

}  // namespace kvrpy
