// Shuttles: evaluating a plan on paths of 100 to 100 000 tag points (one
// search and constant work per call, so the time should not grow with the
// path); planning a path of 10 000 points; a shuttle carrying 1 000 bodies
// with frames driven through 1 000 time steps, next to the same bodies moved
// as the attached children of one carrier. Counters: ns per call, per point
// or per body and step, and heap allocations.

#include <benchmark/benchmark.h>

#include <cstdio>
#include <ostream>
#include <string>
#include <vector>

#include "KVRAllocationCounter.h"
#include "KVRBenchSummary.h"
#include "KVRWorldModel.h"

namespace {

using Xform = KVRBasicXform3D<double>;
using Body = KVRSharedHandle<KVRBasicBody3D>;
using Path = KVRSharedHandle<KVRBasicPath3D>;
using Planner = KVRSharedHandle<KVRShuttlePlannerExt>;

Xform poseAt(int i) {
  KVRBasicQtn3D<double> q;
  q.setEAA(KVRBasicVector3D<double>(1, 2, 3), 0.001 * i);
  return Xform(q, KVRBasicVector3D<double>(0.01 * i, 0.5 + 0.1 * (i % 7), 0.25));
}

// A path of `count` tag points winding forward and turning a little at each.
Path makeRoute(int count) {
  const Path path(new KVRBasicPath3D);
  for (int i = 0; i < count; ++i) {
    const KVRSharedHandle<KVRBasicTagPoint3D> point(new KVRBasicTagPoint3D);
    path->_addTagPoint(point);
    point->setTagPointLocation(poseAt(i));
  }
  return path;
}

void counters(benchmark::State& state, double items, std::uint64_t allocations, const char* per) {
  state.SetItemsProcessed(static_cast<int64_t>(items));
  state.counters[std::string("ns_per_") + per] =
      benchmark::Counter(items, benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
  state.counters[std::string("allocs_per_") + per] = static_cast<double>(allocations) / items;
}

// Evaluates at 4 096 times spread over the whole plan: in a scattered order
// (`scattered`, the worst case for the caches) or advancing through the plan
// as a simulation does.
void evaluatePlan(benchmark::State& state, bool scattered) {
  const int points = static_cast<int>(state.range(0));
  const Path path = makeRoute(points);
  const Planner planner(new KVRShuttlePlannerExt);
  planner->setPath(path, 0.0, static_cast<double>(points));
  std::vector<KVRSimTime> times;
  for (unsigned k = 0; k < 4096; ++k) {
    const unsigned slot = scattered ? (k * 2654435761u) % 4096u : k;
    times.emplace_back(points * (slot + 0.37) / 4096.0);
  }
  Xform out;
  std::size_t k = 0;
  const KVRAllocationWindow window;
  for (auto _ : state) {
    planner->evaluate(out, times[k++ & 4095u]);
    benchmark::DoNotOptimize(out);
  }
  counters(state, static_cast<double>(state.iterations()), window.elapsed().allocations, "call");
  planner->clearPath();
  path->orphanObject();
}

void BM_EvaluatePlanScattered(benchmark::State& state) { evaluatePlan(state, true); }
BENCHMARK(BM_EvaluatePlanScattered)->RangeMultiplier(10)->Range(100, 100000);

void BM_EvaluatePlanAdvancing(benchmark::State& state) { evaluatePlan(state, false); }
BENCHMARK(BM_EvaluatePlanAdvancing)->RangeMultiplier(10)->Range(100, 100000);

void BM_SetPointsOnTenThousandPoints(benchmark::State& state) {
  constexpr int Points = 10000;
  const Path path = makeRoute(Points);
  const Planner planner(new KVRShuttlePlannerExt);
  planner->setPath(path, 0.0, 100.0);
  std::uint64_t allocations = 0;
  for (auto _ : state) {
    const KVRAllocationWindow window;
    planner->setPoints(0.0, 100.0);
    allocations += window.elapsed().allocations;
  }
  counters(state, static_cast<double>(Points) * static_cast<double>(state.iterations()), allocations,
           "point");
  planner->clearPath();
  path->orphanObject();
}
BENCHMARK(BM_SetPointsOnTenThousandPoints)->Unit(benchmark::kMicrosecond);

constexpr int Bodies = 1000;
constexpr int Steps = 1000;
constexpr int FramesPerBody = 2;

// 1 000 bodies with two frames each, hanging on `floor`.
std::vector<Body> makeBodies(const Body& carrier) {
  std::vector<Body> bodies;
  bodies.reserve(Bodies);
  for (int i = 0; i < Bodies; ++i) {
    bodies.emplace_back(new KVRBasicBody3D);
    for (int f = 0; f < FramesPerBody; ++f) {
      const KVRSharedHandle<KVRBasicFrame3D> frame(new KVRBasicFrame3D);
      bodies.back()->addFrame(frame);
      Xform offset = poseAt(f + 1);
      frame->setFrameLocation(offset);
    }
    carrier->attachBody(bodies.back(), poseAt(i));
  }
  return bodies;
}

void reportSteps(benchmark::State& state, std::uint64_t allocations) {
  counters(state, static_cast<double>(Bodies) * Steps * static_cast<double>(state.iterations()), allocations,
           "body_step");
}

// Each iteration drives the shuttle through 1 000 steps of its plan.
void BM_ShuttleCarriesThousandBodiesThroughThousandSteps(benchmark::State& state) {
  const Body floor(new KVRBasicBody3D);
  const KVRSharedHandle<KVRBasicShuttle3D> shuttle(new KVRBasicShuttle3D);
  floor->attachBody(shuttle);
  const std::vector<Body> bodies = makeBodies(floor);
  for (const Body& body : bodies) shuttle->addEntity(body);
  shuttle->activate();
  const Path route = makeRoute(50);
  floor->addPath(route);
  const Planner planner(new KVRShuttlePlannerExt);
  shuttle->addExtension(planner);
  planner->setPath(route, 0.0, static_cast<double>(Steps));
  // The first two steps lay the members out, as two flushes lay a subtree out.
  for (int step = 0; step < 2; ++step) {
    planner->moveBasicObject(KVRSimTime(static_cast<double>(step)));
    shuttle->flushSpatialState();
  }
  std::uint64_t allocations = 0;
  for (auto _ : state) {
    const KVRAllocationWindow window;
    for (int step = 0; step < Steps; ++step) {
      planner->moveBasicObject(KVRSimTime(static_cast<double>(step)));
      shuttle->flushSpatialState();
    }
    allocations += window.elapsed().allocations;
  }
  reportSteps(state, allocations);
  shuttle->orphanObject();
  for (const Body& body : bodies) body->orphanObject();
  floor->orphanObject();
}
BENCHMARK(BM_ShuttleCarriesThousandBodiesThroughThousandSteps)->Unit(benchmark::kMillisecond);

// The same bodies as attached children of one carrier moved through the same poses.
void BM_CarrierMovesThousandAttachedBodiesThroughThousandSteps(benchmark::State& state) {
  const Body floor(new KVRBasicBody3D), carrier(new KVRBasicBody3D);
  floor->attachBody(carrier);
  const std::vector<Body> bodies = makeBodies(carrier);
  const Path route = makeRoute(50);
  const Planner planner(new KVRShuttlePlannerExt);
  planner->setPath(route, 0.0, static_cast<double>(Steps));
  std::vector<Xform> poses(Steps);
  for (int step = 0; step < Steps; ++step)
    planner->evaluate(poses[step], KVRSimTime(static_cast<double>(step)));
  for (int step = 0; step < 2; ++step) {  // as the shuttle's: lays the subtree out
    carrier->setBaseLocation(poses[step]);
    carrier->flushSpatialState();
  }
  std::uint64_t allocations = 0;
  for (auto _ : state) {
    const KVRAllocationWindow window;
    for (const Xform& pose : poses) {
      carrier->setBaseLocation(pose);
      carrier->flushSpatialState();
    }
    allocations += window.elapsed().allocations;
  }
  reportSteps(state, allocations);
  planner->clearPath();
  route->orphanObject();
  for (const Body& body : bodies) body->orphanObject();
  carrier->orphanObject();
  floor->orphanObject();
}
BENCHMARK(BM_CarrierMovesThousandAttachedBodiesThroughThousandSteps)->Unit(benchmark::kMillisecond);

void summarise(const KVRBenchResults& results, std::ostream& out) {
  const auto perBodyStep = [&](const char* name, const char* which) {
    const auto run = results.find(name);
    if (run == results.end() || !run->second.count(which)) return -1.0;
    return run->second.at(which);
  };
  const char* shuttle = "BM_ShuttleCarriesThousandBodiesThroughThousandSteps";
  const char* carrier = "BM_CarrierMovesThousandAttachedBodiesThroughThousandSteps";
  double carried = perBodyStep(shuttle, "ns_per_body_step"), attached = perBodyStep(carrier, "ns_per_body_step");
  if (carried < 0 || attached < 0) return;
  carried *= 1e9;  // inverted rates are kept in seconds
  attached *= 1e9;
  char line[240];
  std::snprintf(line, sizeof line,
                "\nA shuttle carrying 1 000 bodies (ns per body and step): %.1f, attached to one carrier %.1f, "
                "ratio %.2fx; allocations per step %.2f\n",
                carried, attached, carried / attached, 1000 * perBodyStep(shuttle, "allocs_per_body_step"));
  out << line;
}

const int summary = KVRRegisterBenchSummary(summarise);

}  // namespace
