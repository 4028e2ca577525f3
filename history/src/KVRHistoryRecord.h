#pragma once

// What a KVRHistory keeps, shared by the recorder (KVRHistory.cpp) and the
// look-ahead (KVRLookAhead.cpp).

#include <cstdint>
#include <limits>
#include <memory>
#include <unordered_map>
#include <vector>

#include "KVRChangeLog.h"
#include "KVRHistory.h"

// An entity's samples, oldest first: a pose and the step it was taken at,
// 60 bytes. They live in a ring whose capacity is a power of two, so that
// letting go of the oldest moves nothing and a run with a horizon writes
// each sample once, where it stays. The steps lie apart from the poses:
// deciding what to let go reads 16 steps to a cache line, and no pose.
class KVRSampleRing {
 public:
  using Xform = KVRBasicXform3D<double>;
  static constexpr std::size_t BytesPerSample = sizeof(Xform) + sizeof(std::uint32_t);

  std::size_t size() const { return size_; }
  std::size_t capacity() const { return mask_ + (poses_ ? 1 : 0); }
  bool full() const { return size_ == capacity(); }
  const Xform& pose(std::size_t i) const { return poses_[at(i)]; }
  std::uint32_t step(std::size_t i) const { return steps_[at(i)]; }
  const Xform& lastPose() const { return poses_[at(size_ - 1)]; }
  // The step of the newest sample, kept beside the ring so that a step
  // reads no sample: the newest was written a step ago and is out of cache.
  std::uint32_t lastStep() const { return lastStep_; }

  void push_back(const Xform& pose, std::uint32_t step) {
    if (full()) grow();
    poses_[at(size_)] = pose;
    steps_[at(size_)] = step;
    ++size_;
    lastStep_ = step;
  }
  void setLastPose(const Xform& pose) { poses_[at(size_ - 1)] = pose; }
  void dropFront(std::size_t n) {
    head_ = (head_ + static_cast<std::uint32_t>(n)) & mask_;
    size_ -= static_cast<std::uint32_t>(n);
  }
  void clear() { head_ = size_ = 0; }

 private:
  std::uint32_t at(std::size_t i) const { return (head_ + static_cast<std::uint32_t>(i)) & mask_; }
  void grow() {
    const std::uint32_t capacity = poses_ ? 2 * (mask_ + 1) : 4;
    std::unique_ptr<Xform[]> poses(new Xform[capacity]);
    std::unique_ptr<std::uint32_t[]> steps(new std::uint32_t[capacity]);
    for (std::uint32_t i = 0; i < size_; ++i) {
      poses[i] = pose(i);
      steps[i] = step(i);
    }
    poses_ = std::move(poses);
    steps_ = std::move(steps);
    head_ = 0;
    mask_ = capacity - 1;
  }

  std::unique_ptr<Xform[]> poses_;
  std::unique_ptr<std::uint32_t[]> steps_;
  std::uint32_t head_ = 0, size_ = 0, mask_ = 0, lastStep_ = 0;
};

struct KVRHistory::Record {
  static constexpr std::uint32_t Never = std::numeric_limits<std::uint32_t>::max();

  struct Track {
    KVRSharedHandle<KVRBasicEntity3D> entity;
    KVRSampleRing samples;
    std::uint32_t left = Never;  // the step at which it was no longer in the subtree
    bool seen = false;           // found by the walk in progress
    std::vector<Custody> custody;  // bodies only

    std::size_t sampleCount() const { return samples.size(); }
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
