#pragma once

// KVRTimeline: a run of a work cell recorded step by step, for replaying it
// in the report or plotting where carried bodies went. Each record() takes a
// snapshot of the same root and keeps only what changed since the previous
// step: the records of entities that are new or differ in any exported value
// (a move, a rename, a new parent, pending events), and the ids of entities
// that are gone. An entity keeps its id for the whole timeline.
//
// The document is one object: "format" ("KVRWorldModel timeline"),
// "version", "root" (the root's id) and "steps", each with "step", "time"
// (seconds), "entities" (records as in a snapshot; every entity at the first
// step) and "removed" (ids). The state at step k is the first step's records
// updated by the changes of steps 1 to k. Version 2 adds "order" to a step
// whose entities stand in another order than at the step before (ids in
// the order a snapshot of that step lists them); version 1 timelines are
// read with new entities after the others.
//
// Version 3 adds two lists to a step, each left out when empty:
// - "custody": one entry per body whose custody changed since the step
//   before (at the first step, every body something holds): {"body": id,
//   "holder": the body it hangs on or the group carrying it as a member,
//   "hold": "attached", "grabbed", "connected" or "member", "carriers": the
//   groups carrying the holder, innermost first}; "holder" and "hold" are
//   null when nothing holds it any more. A body passed from one holder to
//   another within a step has one entry: a hand-over.
// - "forecast": for bodies an active planned shuttle carries at the step,
//   {"body": id, "time": the simulation time at which that shuttle's move
//   ends (seconds), "location": the pose its plan gives the body then},
//   written when it differs from the body's forecast before.
// References are ids, or full names for entities outside the document, as
// in records. Reading a step's snapshot or restoring it ignores both lists.
//
// A timeline read back gives the snapshot of any recorded step, and a new
// tree restored to it (KVRSnapshot::read).

#include <iosfwd>
#include <memory>
#include <string>
#include <string_view>

#include "KVRBasicEntity.h"
#include "KVRExportAPI.h"
#include "KVRSimTime.h"
#include "KVRSnapshot.h"

class KVREXPORT_API KVRTimeline {
 public:
  static constexpr const char* Format = "KVRWorldModel timeline";
  static constexpr int Version = 3;

  KVRTimeline();
  KVRTimeline(KVRTimeline&&) noexcept;
  KVRTimeline& operator=(KVRTimeline&&) noexcept;
  ~KVRTimeline();

  int getStepCount() const;
  // Total number of entity records kept over all steps.
  std::size_t getRecordCount() const;

  // Records the next step: everything below `root` now, at its world's
  // simulation time (zero in no world) or at `time`. KVREInvalidArgument for
  // an empty handle, and when `root` is not the entity the first step recorded;
  // the timeline is unchanged then.
  void record(const KVRSharedHandle<KVRBasicEntity>& root);
  void record(const KVRSharedHandle<KVRBasicEntity>& root, const KVRSimTime& time);

  // KVRERuntimeError when the stream fails.
  void write(std::ostream& out) const;
  std::string toJson() const;

  // The snapshot document of the state at `step` (0 for the first) of a
  // timeline document; KVREInvalidArgument when the text is not a timeline
  // or has no such step.
  static std::string snapshotAt(std::string_view timeline, int step);
  // A new tree built from that snapshot, as KVRSnapshot::read builds it.
  static KVRSharedHandle<KVRBasicEntity> restore(std::string_view timeline, int step);
  static KVRSharedHandle<KVRBasicEntity> restore(std::string_view timeline, int step,
                                                 const KVRSnapshot::ReadOptions& options);

 private:
  struct Steps;
  std::unique_ptr<Steps> steps_;
};
