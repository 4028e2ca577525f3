// One clock, one call: a shuttle moved by simulation time, a whole world
// flushed at once, and why a body is (not) driven by a shuttle at a time.
// Added to the classes bound elsewhere (KVRShuttlePlannerExt, KVRBasicWorld,
// KVRBasicShuttle3D).

#include "KVRPyModule.h"

namespace kvrpy {

namespace {

using Shuttle = KVRBasicShuttle3D;
using Drive = Shuttle::Drive;
using Diagnosis = Shuttle::DriveDiagnosis;

// Adds a method to a class bound elsewhere.
template <class Fn, class... Extra>
void addMethod(const py::object& cls, const char* name, Fn&& fn, const Extra&... extra) {
  cls.attr(name) = py::cpp_function(std::forward<Fn>(fn), py::name(name), py::is_method(cls),
                                    py::sibling(py::getattr(cls, name, py::none())), extra...);
}

template <class Fn, class... Extra>
void addStaticMethod(const py::object& cls, const char* name, Fn&& fn, const Extra&... extra) {
  cls.attr(name) = py::staticmethod(py::cpp_function(std::forward<Fn>(fn), py::name(name), py::scope(cls),
                                                     py::sibling(py::getattr(cls, name, py::none())), extra...));
}

}  // namespace

void bindDrive(py::module_& m) {
  const py::object planner = m.attr("KVRShuttlePlannerExt"), world = m.attr("KVRBasicWorld"),
                   shuttle = m.attr("KVRBasicShuttle3D");

  addMethod(
      planner, "moveAtSimulationTime",
      &KVRShuttlePlannerExt::moveAtSimulationTime,
      py::arg("t"),
      "Moves the shuttle to where the plan puts it at simulation time `t` (the clock of `isActive`,\n"
      "`evaluateBodyPosition` and the world): `moveBasicObject(t - getScheduledStart())`. Returns the\n"
      "shuttle's request status; its members follow at the next flush (`world.flushWorld()`).\n"
      "KVREInvalidArgument, nothing moved, when `t` is outside the scheduled move (from the scheduled\n"
      "start to the end of the plan) or there is no plan.");

  addMethod(world, "flushWorld", &KVRBasicWorld::flushWorld,
            "Flushes everything in the world that has pending changes, parents before children, so\n"
            "that every cached pose, full name and ancestor list is current: one call after a step's\n"
            "moves instead of flushing the right entities one by one.");

  py::enum_<Drive>(shuttle, "Drive", "Why a body is or is not driven by a shuttle at a time.")
      .value("Driven", Drive::Driven, "An active shuttle under the root assembly carries it.")
      .value("NoWorld", Drive::NoWorld, "The body is in no world.")
      .value("NoRootAssembly", Drive::NoRootAssembly,
             "Its world has no assembly; the first assembly added to a world is its root assembly.")
      .value("NotCarried", Drive::NotCarried, "No shuttle of the world carries it or a body above it.")
      .value("NotUnderRootAssembly", Drive::NotUnderRootAssembly,
             "The shuttle carrying it is not a child of the world's root assembly.")
      .value("NoPlan", Drive::NoPlan, "That shuttle has no planner, or its planner has no plan.")
      .value("NotScheduled", Drive::NotScheduled, "Its planner's scheduled start was never set.")
      .value("NotActive", Drive::NotActive, "Its move is not under way at that time.");

  py::class_<Diagnosis>(shuttle, "DriveDiagnosis",
                        "What `KVRBasicShuttle3D.diagnoseDriving` found: `drive`, the shuttle and the body it\n"
                        "carries when one was found, and one sentence naming them (`str()`). True when driven.")
      .def_readonly("drive", &Diagnosis::drive, "The first condition that fails, or Drive.Driven.")
      .def_readonly("shuttle", &Diagnosis::shuttle, "The shuttle carrying the body, or None.")
      .def_readonly("carried", &Diagnosis::carried, "The body that shuttle carries (the body itself or one above it), or None.")
      .def_readonly("explanation", &Diagnosis::explanation, "One sentence naming the entities concerned.")
      .def("__bool__", [](const Diagnosis& d) { return d.drive == Drive::Driven; })
      .def("__str__", [](const Diagnosis& d) { return d.explanation; })
      .def("__repr__", [](const Diagnosis& d) {
        return "<DriveDiagnosis " + py::str(py::cast(d.drive).attr("name")).cast<std::string>() + ": " +
               py::str(py::cast(d.explanation)).cast<std::string>() + ">";
      });

  addStaticMethod(
      shuttle, "diagnoseDriving",
      &Shuttle::diagnoseDriving,
      py::arg("body"), py::arg("t"),
      "Why `body` is or is not driven by a shuttle at simulation time `t`, where `getDriverShuttle`\n"
      "and `evaluateBodyPosition` answer None: a DriveDiagnosis whose `drive` is the first failing\n"
      "condition (no world, no root assembly, not carried, shuttle not under the root assembly, no\n"
      "plan, not scheduled, not active) and whose str() names the entities.");
}

}  // namespace kvrpy
