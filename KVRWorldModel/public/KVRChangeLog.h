#pragma once

// KVRChangeLog: the 3-D entities that changed since the log was last taken,
// for tools that must visit only what changed (a recorder of poses and of
// who holds what) rather than every entity at every step.
//
// An entity enrolled in a log (KVRBasicEntity3D::setChangeLog) lists itself
// there the first time, after each take(), that
//   - its cached base location changes (Moved),
//   - the body it hangs on or the way it hangs changes: a connection made or
//     undone, a grab's transient state set (Holder, bodies only),
//   - its members are added or removed (Members, groups only),
//   - clearHistory() is called on it (HistoryCleared).
// Listing is a flag test and, the first time, one append: an entity is
// listed once however often it changes, with the kinds of change it had.
//
// The log does not keep entities alive: an entity destroyed while enrolled
// leaves it. A log destroyed first lets go of its entities. An entity is in
// one log at a time, and at most 255 logs exist at once.

#include <cstdint>
#include <unordered_set>
#include <vector>

#include "KVRWorldModelExport.h"

class KVRBasicEntity3D;

class KVRWORLDMODEL_API KVRChangeLog {
 public:
  enum Change : std::uint8_t { Moved = 1, Holder = 2, Members = 4, HistoryCleared = 8 };
  struct Entry {
    KVRBasicEntity3D* entity;
    std::uint8_t changes;  // Change bits
  };

  // KVRERuntimeError when 255 logs exist already.
  KVRChangeLog();
  KVRChangeLog(const KVRChangeLog&) = delete;
  KVRChangeLog& operator=(const KVRChangeLog&) = delete;
  ~KVRChangeLog();

  // Moves the entities listed since the last take into `out` (emptied
  // first, its capacity kept), in the order they were first listed, and
  // starts a new list.
  void take(std::vector<Entry>& out);
  bool isEmpty() const { return listed_.empty(); }
  std::size_t getEnrolledCount() const { return enrolled_.size(); }

 private:
  friend class KVRBasicEntity3D;
  static KVRChangeLog* inSlot(std::uint8_t slot);
  void enrol(KVRBasicEntity3D& entity);
  void leave(KVRBasicEntity3D& entity);

  std::uint8_t slot_ = 0;
  std::vector<KVRBasicEntity3D*> listed_;
  std::unordered_set<KVRBasicEntity3D*> enrolled_;
};
