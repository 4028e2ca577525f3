#pragma once

// What a KVRHistory keeps, shared by the recorder (KVRHistory.cpp) and the
// look-ahead (KVRLookAhead.cpp).

#include <cstdint>
#include <limits>
#include <unordered_map>
#include <vector>

#include "KVRChangeLog.h"
#include "KVRHistory.h"

// One pose at one step: 64 bytes.
struct KVRPoseSample {
  KVRBasicXform3D<double> location;
  std::uint32_t step;
};
static_assert(sizeof(KVRPoseSample) == 64);

struct KVRHistory::Record {
  static constexpr std::uint32_t Never = std::numeric_limits<std::uint32_t>::max();

  struct Track {
    KVRSharedHandle<KVRBasicEntity3D> entity;
    std::vector<KVRPoseSample> samples;
    std::uint32_t left = Never;  // the step at which it was no longer in the subtree
    bool seen = false;           // found by the walk in progress
    std::vector<Custody> custody;  // bodies only

    std::size_t sampleCount() const { return samples.size(); }
    const KVRPoseSample* begin() const { return samples.data(); }
    const KVRPoseSample* end() const { return samples.data() + samples.size(); }
  };

  KVRSharedHandle<KVRBasicEntity> root;
  KVRChangeLog log;
  std::vector<KVRSimTime> steps;
  std::vector<Track> tracks;
  std::unordered_map<const KVRBasicEntity3D*, std::uint32_t> index;
  std::uint64_t linkEra = 0;
  std::optional<KVRSimTime> horizon;
  std::size_t sampleCount = 0;
  std::vector<KVRChangeLog::Entry> changed;  // reused from step to step
  std::vector<std::pair<const KVRBasicEntity3D*, std::uint32_t>> lastTracks;  // the tracks of the last step's changes

  const Track* find(const KVRBasicEntity3D* entity) const {
    const auto found = index.find(entity);
    return found == index.end() ? nullptr : &tracks[found->second];
  }
};

// The pose a shuttle's plan gives `entity` at `t`, when an active planned
// shuttle carries it (or the body it hangs below) then.
std::optional<KVRBasicXform3D<double>> KVRPlannedPose(const KVRBasicEntity3D& entity, const KVRSimTime& t);
