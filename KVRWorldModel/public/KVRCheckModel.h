#pragma once

// KVRCheckModel: a consistency check of the model around an entity, for
// tests and debugging sessions. It reads and changes nothing.
//
// It visits the entity and everything reachable from it downwards (logical
// children, spatial children, the connections bodies hang on), and for each
// visited entity checks what the library keeps true:
//   - both trees link both ways (a parent lists its child, the child names
//     its parent) and neither tree's parent links form a cycle;
//   - no live entity is linked to an orphaned one, and an orphaned entity
//     has no links left;
//   - cached ancestor lists and stored full names agree with the parent's,
//     unless the parent has the bit pending whose flush brings them up to
//     date (5 for ancestors and names, 3 for names, 9 for spatial ancestors);
//   - a spatial child's cached parent location is its parent's base location
//     (unless the parent has bit 11 pending), and its base location is that
//     parent location times its relative location: a group's own spatial
//     children follow it as any entity's do;
//   - a body's inner connection connects its spatial parent to it;
//   - no group carries itself: nothing it moves (its members, their spatial
//     descendants, the members of groups among them, the paths of carried
//     shuttles) moves it again.
//
// The interface leaves some things on purpose, and they are not reported: a
// connection that records two bodies before (or without) the outer one
// hanging on it, and whatever setAttachment stores. The two trees may
// together form a cycle (a body carrying its own logical parent): each tree
// alone is sound then and flushes end. A relative location changed through a
// concrete class's setRelativeLocation alone, without recomputing the cache
// (setFrameLocation, setTagPointLocation, updateRelativeLocation do), is
// reported until the base location is next recomputed; so is a descendant
// left behind on purpose by cancelSpatialState.
//
// Returns one readable line per violation, naming the entities by title;
// empty when the model is sound.

#include <string>
#include <vector>

#include "KVRBasicEntity.h"
#include "KVRWorldModelExport.h"

KVRWORLDMODEL_API std::vector<std::wstring> KVRCheckModel(const KVRSharedHandle<KVRBasicEntity>& root);

// The same checks, of each given entity and of what is linked to it directly
// (its parents and children in both trees, the connection it hangs on, the
// bodies a connection names, a group's members), without going further: for
// checking after a change what the change can have reached.
KVRWORLDMODEL_API std::vector<std::wstring> KVRCheckModelAround(
    const std::vector<KVRSharedHandle<KVRBasicEntity>>& entities);
