#pragma once

// KVRTextTree: both trees below an entity as text for logs and terminals,
// one line per entity in the style of `tree`: the logical tree with each
// entity's type and, for 3-D entities, its base location; then the spatial
// tree with base locations. It covers what a snapshot of the entity covers.
//
//   Logical tree of World "/Cell"
//   Cell  World
//   ├── Floor  Body  0 0 0 | rpy 0 0 0
//   │   └── Mount  Frame  1 0 0.8 | rpy 0 0 90
//   └── Gripper  Body  0 0 1.5 | rpy 0 0 0

#include <iosfwd>
#include <string>

#include "KVRBasicEntity.h"
#include "KVRExportAPI.h"

class KVREXPORT_API KVRTextTree {
 public:
  // KVREInvalidArgument for an empty handle.
  static void write(std::ostream& out, const KVRSharedHandle<KVRBasicEntity>& root);
  static std::string toText(const KVRSharedHandle<KVRBasicEntity>& root);
};
