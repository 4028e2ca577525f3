// History: recording a step of a cell of 10 000 entities in which 1 000
// moved, next to that step's moves and flushes; a step in which nothing
// moved; and poseAt among n samples. The cell is laid out two ways: 1 000
// bodies on an assembly, each with 9 frames, of which 100 move (carrying
// their frames: the flush runs flat); or 1 000 bodies standing alone that
// all move, each flushed on its own, beside 900 still bodies with 9 frames.

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <memory>
#include <string>

#include "KVRBenchSummary.h"
#include "KVRHistory.h"
#include "KVRWorldModel.h"

namespace {

using Xform = KVRBasicXform3D<double>;
using Clock = std::chrono::steady_clock;

Xform at(double x, double y, double z) {
  Xform pose;
  pose.setPosition(x, y, z);
  return pose;
}

class Cell {
 public:
  static constexpr int FramesPerBody = 9, Moved = 1000;

  explicit Cell(bool loneMovers = false) : movers_(loneMovers ? 1000 : 100) {
    world_->addEntity(floor_);
    const int bodies = loneMovers ? 1900 : 1000;
    for (int b = 0; b < bodies; ++b) {
      KVRSharedHandle<KVRBasicBody3D> body(new KVRBasicBody3D);
      floor_->addBody(body, at(b % 40, b / 40, 0), Xform::Identity);
      const int frames = loneMovers && b < movers_ ? 0 : FramesPerBody;
      for (int f = 0; f < frames; ++f) {
        KVRSharedHandle<KVRBasicFrame3D> frame(new KVRBasicFrame3D);
        body->addFrame(frame);
        frame->setFrameLocation(at(0.1 * f, 0, 0.5));
        frame->flushSpatialState();
      }
      body->flushSpatialState();
      bodies_.push_back(body);
    }
    world_->flushLogicalState();
  }
  ~Cell() { world_->orphanObject(); }

  // Moves the movers (their frames follow) and flushes them.
  void step(int k) {
    for (int b = 0; b < movers_; ++b) {
      bodies_[static_cast<std::size_t>(b)]->setBaseLocation(at(b % 40, b / 40, 0.001 * (k % 1000)));
      bodies_[static_cast<std::size_t>(b)]->flushSpatialState();
    }
  }
  KVRSharedHandle<KVRBasicEntity> world() const { return KVRSharedHandle<KVRBasicEntity>(world_); }
  const KVRSharedHandle<KVRBasicBody3D>& body(int b) const { return bodies_[static_cast<std::size_t>(b)]; }

 private:
  int movers_;
  KVRSharedHandle<KVRBasicWorld> world_{new KVRBasicWorld};
  KVRSharedHandle<KVRBasicMfgAssembly3D> floor_{new KVRBasicMfgAssembly3D};
  std::vector<KVRSharedHandle<KVRBasicBody3D>> bodies_;
};

double seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

// Argument 0: the step's moves and flushes in a cell nobody records; 1: the
// same with a recorder attached (its entities listing their moves); 2: the
// recorder's step alone, after those moves; 3: a recorder's step after a
// step in which nothing moved.
void BM_HistoryStepOf10000Entities(benchmark::State& state) {
  Cell cell(state.range(1) != 0);
  const int mode = static_cast<int>(state.range(0));
  std::unique_ptr<KVRHistory> history;
  if (mode > 0) history = std::make_unique<KVRHistory>(cell.world());
  // Steps of a millisecond, the last tenth of a second kept: memory stays
  // the same from step to step, as in a long run.
  if (history) history->setHorizon(KVRSimTime(0.1));
  double measured = 0.0;
  int k = 0;
  for (int warm = 0; warm < 3; ++warm, ++k) {
    cell.step(k);
    if (history) history->record(KVRSimTime(0.001 * k));
  }
  for (auto _ : state) {
    ++k;
    const Clock::time_point start = Clock::now();
    if (mode != 3) cell.step(k);
    const Clock::time_point moved = Clock::now();
    if (history) history->record(KVRSimTime(0.001 * k));
    const Clock::time_point recorded = Clock::now();
    const double spent = mode <= 1 ? seconds(moved - start) : seconds(recorded - moved);
    measured += spent;
    state.SetIterationTime(spent);
  }
  state.counters["us_per_step"] = 1e6 * measured / static_cast<double>(state.iterations());
  state.counters["ns_per_moved_entity"] = benchmark::Counter(
      static_cast<double>(Cell::Moved) * static_cast<double>(state.iterations()),
      benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
  if (history)
    state.counters["bytes_per_sample"] = static_cast<double>(history->getSampleBytes()) /
                                         static_cast<double>(history->getSampleCount());
  static const char* const labels[] = {"move and flush", "move and flush, recorded", "record after moves",
                                       "record, nothing moved"};
  state.SetLabel(std::string(labels[mode]) + (state.range(1) ? ", lone movers" : ", movers with frames"));
}
BENCHMARK(BM_HistoryStepOf10000Entities)
    ->ArgsProduct({{0, 1, 2, 3}, {0, 1}})
    ->UseManualTime()
    ->Unit(benchmark::kMicrosecond);

// poseAt between two samples of a body sampled at n steps.
void BM_HistoryPoseAt(benchmark::State& state) {
  Cell cell;
  KVRHistory history(cell.world());
  const int n = static_cast<int>(state.range(0));
  for (int k = 1; k < n; ++k) {
    cell.body(0)->setBaseLocation(at(0, 0, 0.001 * k));
    cell.body(0)->flushSpatialState();
    history.record(KVRSimTime(0.001 * k));
  }
  const KVRSharedHandle<KVRBasicEntity3D> body(cell.body(0));
  double t = 0.0;
  for (auto _ : state) {
    t += 0.0137;
    if (t > 0.001 * (n - 1)) t -= 0.001 * (n - 1);
    benchmark::DoNotOptimize(history.poseAt(body, KVRSimTime(t)));
  }
}
BENCHMARK(BM_HistoryPoseAt)->RangeMultiplier(100)->Range(100, 1000000);

void summarise(const KVRBenchResults& results, std::ostream& out) {
  const auto time = [&](int mode, int layout) {
    const auto run = results.find("BM_HistoryStepOf10000Entities/" + std::to_string(mode) + "/" +
                                  std::to_string(layout) + "/manual_time");
    return run == results.end() || !run->second.count("us_per_step") ? -1.0 : run->second.at("us_per_step");
  };
  for (int layout = 0; layout <= 1; ++layout) {
    const double flush = time(0, layout), flushRecorded = time(1, layout), record = time(2, layout),
                 still = time(3, layout);
    if (flush < 0 || record < 0) continue;
    char line[300];
    std::snprintf(line, sizeof line,
                  "%sHistory, 10 000 entities, 1 000 moved (%s; us per step): move and flush %.1f (%.1f "
                  "recorded), record %.1f = %.0f %% of the recorded flush; record with nothing moved %.2f\n",
                  layout == 0 ? "\n" : "", layout ? "1 000 lone bodies" : "100 bodies with 9 frames", flush,
                  flushRecorded, record, 100.0 * record / flushRecorded, still);
    out << line;
  }
}

const int summary = KVRRegisterBenchSummary(summarise);

}  // namespace
