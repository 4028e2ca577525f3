#pragma once

// What the source files of KVRBasicEntity3D share: the parts an entity
// keeps out of line (its motion, the parent location its siblings share,
// the flat layout of its subtree) and the small helpers around them.

#include <cstdint>
#include <memory>
#include <vector>

#include "KVRBasicEntity3D.h"

struct KVRBasicEntity3D::Motion {
  // Linear velocity, angular velocity, linear acceleration, angular acceleration.
  KVRBasicVector3D<double> base[4];
  KVRBasicVector3D<double> parent[4];
};

// One cache line: a count and a location.
struct alignas(64) KVRBasicEntity3D::ParentPose {
  std::uint32_t references;
  Xform X_WP;
};

// One entity of a flat subtree whose own subtree is being carried through:
// its flush has begun and ends once the entries of its subtree are done.
struct KVRBasicEntity3D::OpenEntry {
  KVRBasicEntity3D* entity;
  std::uint32_t index;  // its own entry
  std::uint32_t end;    // the index just past its subtree
  bool deliver;         // its children receive its base location (its bit 11)
  bool mark;            // its children are marked with bit 12 (its bit 10 or 12)
  // Its notification was begun for real, because something else ran while it
  // was open; then it is held, and so is `next`.
  bool begun;
  // `pose` is the pose its children held, updated in place; `previous` is
  // what it held before, which the children not reached yet still stand for.
  bool inPlace;
  // `pose` is not held: it is its only child's, updated in place for it, and
  // only plain entities have run since. It is held before anything else runs.
  bool borrowed;
  ParentPose* pose;        // held while open when `deliver`: what its children receive
  KVRBasicEntity3D* next;  // its next sibling when it was begun: where its parent's walk goes on
  Xform previous;
};

struct KVRBasicEntity3D::FlatTree {
  struct Entry {
    KVRBasicEntity3D* entity;
    // The pose its children held at the last pass: fetched ahead of the walk
    // (a stale one costs a useless fetch, nothing more).
    const ParentPose* childrenPose;
    std::uint32_t end;  // the index just past the entity's subtree
  };

  // A member of a layout of members: its slot, and its topology when laid out.
  struct Member {
    std::uint32_t slot;
    std::uint32_t topology;
  };

  // The root (entry 0) and every spatial descendant in flush order:
  // depth-first, children in order. A layout of members has each member
  // where the root's children would be, with its subtree below it.
  std::vector<Entry> entries;
  std::vector<OpenEntry> open;  // room for one entity per level
  std::vector<Member> members;
  std::uint32_t era = 0;
  std::uint32_t topology = 0;
  bool running = false;
  // A layout of members: a member's subtree or the members changed. The
  // first pass after that carries them the usual way, the next lays them out.
  bool stale = true;
  bool laidOutNext = false;

  bool isCurrent(const KVRBasicEntity3D& root) const;
  void build(const KVRBasicEntity3D& root);
  void buildMembers(const KVRBasicEntity3D& root, const MemberPass& pass);
  // Appends the subtree below the entry at `index`; its depth below that entry.
  std::size_t appendBelow(std::uint32_t index);
  // A layout kept for many passes holds no more room than it uses.
  void fit() {
    if (entries.capacity() > entries.size() + entries.size() / 8) entries.shrink_to_fit();
    if (open.capacity() > open.size() + open.size() / 8) open.shrink_to_fit();
  }
};

struct KVRBasicEntity3D::Spatial : RareExtra {
  std::unique_ptr<Motion> motion;  // null while every velocity and acceleration is zero
  std::unique_ptr<FlatTree> flat;
  // The topology at the last propagation that did not use a flat tree: a
  // second one at the same topology lays the subtree out.
  std::uint32_t walkedEra = 0;
  std::uint32_t walkedTopology = 0;
  bool walked = false;
};

namespace KVREntity3DParts {

using Vector = KVRBasicVector3D<double>;

inline bool moves(const KVRBasicProfile3D<double>& p) {
  return !(p.getLinearVelocity() == Vector::Zero && p.getAngularVelocity() == Vector::Zero &&
           p.getLinearAcceleration() == Vector::Zero && p.getAngularAcceleration() == Vector::Zero);
}

inline void storeMotion(const KVRBasicProfile3D<double>& p, Vector (&motion)[4]) {
  motion[0] = p.getLinearVelocity();
  motion[1] = p.getAngularVelocity();
  motion[2] = p.getLinearAcceleration();
  motion[3] = p.getAngularAcceleration();
}

inline KVRBasicProfile3D<double> profileOf(const KVRBasicXform3D<double>& location, const Vector* motion) {
  KVRBasicProfile3D<double> p;
  p.setLocation(location);
  if (motion) {
    p.setLinearVelocity(motion[0]);
    p.setAngularVelocity(motion[1]);
    p.setLinearAcceleration(motion[2]);
    p.setAngularAcceleration(motion[3]);
  }
  return p;
}

// One cache line for a parent location, cut from slabs apart from the
// entities. Out of line, so that the flush passes that take and give them
// keep their loops small.
void* takeLine();
void giveLine(void* line) noexcept;

}  // namespace KVREntity3DParts
