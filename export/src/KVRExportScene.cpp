#include "KVRExportScene.h"

#include <cstdint>

int KVRScenePlaces::find(const KVRBasicEntity* entity) const {
  for (std::size_t i = first(entity);; i = (i + 1) & (slots_.size() - 1)) {
    if (slots_[i].first == entity) return slots_[i].second;
    if (!slots_[i].first) return -1;
  }
}

bool KVRScenePlaces::insert(const KVRBasicEntity* entity, int place) {
  if (2 * (used_ + 1) > slots_.size()) {
    std::vector<Slot> old(2 * slots_.size(), Empty);
    old.swap(slots_);
    --shift_;
    used_ = 0;
    for (const Slot& slot : old)
      if (slot.first) insert(slot.first, slot.second);
  }
  std::size_t i = first(entity);
  for (; slots_[i].first; i = (i + 1) & (slots_.size() - 1))
    if (slots_[i].first == entity) return false;
  slots_[i] = {entity, place};
  ++used_;
  return true;
}

KVRExportScene::KVRExportScene(const KVRBasicEntity& root) {
  take(root);
  KVRSharedVector<KVRBasicEntity3D> children;
  for (std::size_t i = 0; i < entities_.size(); ++i) {
    const KVRBasicEntity3D* e = entities3D_[i];
    if (!e || e->getSpatialChildrenCount() == 0) continue;
    e->getSpatialChildren(children);
    // A logical child of a taken entity is taken already: the common case,
    // a body's frames, tag points and paths, needs no lookup.
    for (const auto& child : children)
      if (child->getLogicalParent().get() != e && indexOf(child.get()) < 0) take(*child);
  }
}

int KVRExportScene::indexOf(const KVRBasicEntity* entity) const { return entity ? index_.find(entity) : -1; }

void KVRExportScene::take(const KVRBasicEntity& top) {
  // Each pending entity with the place of its parent (-1: look it up).
  std::vector<std::pair<const KVRBasicEntity*, int>> pending{{&top, -1}};
  KVRSharedVector<KVRBasicEntity> children;
  while (!pending.empty()) {
    const auto [e, parent] = pending.back();
    pending.pop_back();
    const int index = static_cast<int>(entities_.size());
    if (!index_.insert(e, index)) continue;
    entities_.push_back(e);
    entities3D_.push_back(dynamic_cast<const KVRBasicEntity3D*>(e));
    logicalParents_.push_back(parent >= 0 ? parent : indexOf(e->getLogicalParent().get()));
    if (e->getLogicalChildrenCount() == 0) continue;
    e->getLogicalChildren(children);
    for (auto child = children.rbegin(); child != children.rend(); ++child)
      pending.emplace_back(child->get(), index);
  }
}

void KVRExternalFullName(const KVRBasicEntity& entity, std::string& out) {
  // The stored form has a line feed before every component; the first
  // component (the root's) is dropped and the others joined with '/'.
  std::wstring stored;
  entity.appendStoredFullName(stored);
  const auto first = stored.find(KVRBasicEntity::NameSeparator);
  const auto second =
      first == std::wstring::npos ? first : stored.find(KVRBasicEntity::NameSeparator, first + 1);
  if (second == std::wstring::npos) {
    out.assign(1, '/');
    return;
  }
  // A line feed is one byte in UTF-8 and never part of a longer sequence.
  KVRAssignUtf8(std::wstring_view(stored).substr(second), out);
  for (char& c : out)
    if (c == '\n') c = '/';
}

void KVRAssignUtf8(std::wstring_view text, std::string& out) {
  // Room for the longest encoding, written through a pointer, then cut to size.
  out.resize(4 * text.size());
  char* to = out.data();
  for (const wchar_t wc : text) {
    auto c = static_cast<std::uint32_t>(wc);
    if (c < 0x80) {
      *to++ = static_cast<char>(c);
      continue;
    }
    if (c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) c = 0xFFFD;  // not a character: the replacement mark
    if (c < 0x800) {
      *to++ = static_cast<char>(0xC0 | (c >> 6));
    } else if (c < 0x10000) {
      *to++ = static_cast<char>(0xE0 | (c >> 12));
      *to++ = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    } else {
      *to++ = static_cast<char>(0xF0 | (c >> 18));
      *to++ = static_cast<char>(0x80 | ((c >> 12) & 0x3F));
      *to++ = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    }
    *to++ = static_cast<char>(0x80 | (c & 0x3F));
  }
  out.resize(static_cast<std::size_t>(to - out.data()));
}
