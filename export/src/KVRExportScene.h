#pragma once

// KVRExportScene: the entities one export covers, in the order they are
// written, and the id each is written under. The walk is iterative, so a
// tree of any depth is safe to export.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "KVRBasicEntity.h"
#include "KVRBasicEntity3D.h"

// The place of each entity of a scene, found by the entity's address: an
// open-addressing table, so that taking an entity allocates nothing.
class KVRScenePlaces {
 public:
  KVRScenePlaces() : slots_(1024, Empty) {}
  // The place of `entity`, or -1.
  int find(const KVRBasicEntity* entity) const;
  // Records `entity` at `place`; false, changing nothing, when it has one.
  bool insert(const KVRBasicEntity* entity, int place);

 private:
  using Slot = std::pair<const KVRBasicEntity*, int>;
  static constexpr Slot Empty{nullptr, -1};
  std::size_t first(const KVRBasicEntity* entity) const {
    // Fibonacci hashing: the top bits of the product mix all the address's
    // bits, the low ones that alignment keeps at zero included.
    return static_cast<std::size_t>((reinterpret_cast<std::uintptr_t>(entity) * 0x9E3779B97F4A7C15ull) >>
                                    shift_);
  }
  std::vector<Slot> slots_;  // a power of two of them, at most half used
  int shift_ = 64 - 10;      // 64 less the bits of a slot's index
  std::size_t used_ = 0;
};

class KVRExportScene {
 public:
  // The logical subtree of `root` depth-first, children in order; then every
  // 3-D entity hanging spatially below one already taken but outside that
  // subtree, with its own logical subtree, until nothing new is found.
  explicit KVRExportScene(const KVRBasicEntity& root);

  std::size_t size() const { return entities_.size(); }
  const KVRBasicEntity& entity(std::size_t index) const { return *entities_[index]; }
  // The same entity as a 3-D entity; null for one that is not.
  const KVRBasicEntity3D* entity3D(std::size_t index) const { return entities3D_[index]; }
  // The place of `entity` in the scene, or -1.
  int indexOf(const KVRBasicEntity* entity) const;
  // The place of the entity's logical parent in the scene, or -1 when it has
  // none or the parent is outside.
  int logicalParentIndex(std::size_t index) const { return logicalParents_[index]; }

  // The id written for the entity at `index`: its index unless ids are set.
  int id(std::size_t index) const { return ids_.empty() ? static_cast<int>(index) : ids_[index]; }
  void setIds(std::vector<int> ids) { ids_ = std::move(ids); }

 private:
  // Takes `top` and its logical subtree, each entity once.
  void take(const KVRBasicEntity& top);

  std::vector<const KVRBasicEntity*> entities_;
  std::vector<const KVRBasicEntity3D*> entities3D_;
  std::vector<int> logicalParents_;
  KVRScenePlaces index_;
  std::vector<int> ids_;
};

// The external full name ('/' between the components, the root's left out)
// in UTF-8, as getEntityName(FullName, '/') gives it, written into `out`.
void KVRExternalFullName(const KVRBasicEntity& entity, std::string& out);

// `text` in UTF-8, as KVRToUtf8 writes it, written into `out` (whose room is kept).
void KVRAssignUtf8(std::wstring_view text, std::string& out);
