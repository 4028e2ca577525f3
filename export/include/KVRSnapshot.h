#pragma once

// KVRSnapshot: where everything below an entity stands at one moment, as a
// JSON document a person can read and a program can parse. It covers the
// entity's logical subtree, depth-first with children in order, and any 3-D
// entity that hangs spatially below one of those without belonging to the
// subtree (a body hanging on a fixture of the world while kept outside it).
//
// The document is one object: "format" ("KVRWorldModel snapshot"), "version",
// "root" (the root's id), "time" (the simulation time in seconds) and
// "entities", one record per line. A record holds the entity's "id" (its
// place in "entities"), "name", "fullName", "type", "class", "logicalParent"
// and pending "events" (bit numbers); a 3-D entity adds "spatialParent",
// "relative" and "base" locations ("position", "quaternion" w x y z, "rpy"
// roll pitch yaw in degrees); bodies, tag points, paths, connections,
// relationships, cameras and worlds add a section of their own under their
// type's key. A reference to another entity is its id when the document
// holds it, else its full name, or null for none. A location holding a
// non-finite number marks itself "nonFinite": true; the number reads null.

#include <iosfwd>
#include <string>

#include "KVRBasicEntity.h"
#include "KVRExportAPI.h"
#include "KVRSimTime.h"

class KVREXPORT_API KVRSnapshot {
 public:
  static constexpr const char* Format = "KVRWorldModel snapshot";
  static constexpr int Version = 1;

  // Writes the snapshot of `root` at its world's simulation time (zero in no
  // world), or at `time`. KVREInvalidArgument for an empty handle;
  // KVRERuntimeError when the stream fails.
  static void write(std::ostream& out, const KVRSharedHandle<KVRBasicEntity>& root);
  static void write(std::ostream& out, const KVRSharedHandle<KVRBasicEntity>& root, const KVRSimTime& time);
  static std::string toJson(const KVRSharedHandle<KVRBasicEntity>& root);
  static std::string toJson(const KVRSharedHandle<KVRBasicEntity>& root, const KVRSimTime& time);
};
