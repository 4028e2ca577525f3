#include "KVRExportScene.h"

#include "KVRMessage.h"

KVRExportScene::KVRExportScene(const KVRBasicEntity& root) {
  take(root);
  KVRSharedVector<KVRBasicEntity3D> children;
  for (std::size_t i = 0; i < entities_.size(); ++i) {
    const KVRBasicEntity3D* e = entities3D_[i];
    if (!e || e->getSpatialChildrenCount() == 0) continue;
    e->getSpatialChildren(children);
    for (const auto& child : children)
      if (indexOf(child.get()) < 0) take(*child);
  }
}

int KVRExportScene::indexOf(const KVRBasicEntity* entity) const {
  const auto found = index_.find(entity);
  return found == index_.end() ? -1 : found->second;
}

void KVRExportScene::take(const KVRBasicEntity& top) {
  std::vector<const KVRBasicEntity*> pending{&top};
  KVRSharedVector<KVRBasicEntity> children;
  while (!pending.empty()) {
    const KVRBasicEntity* e = pending.back();
    pending.pop_back();
    if (!index_.try_emplace(e, static_cast<int>(entities_.size())).second) continue;
    entities_.push_back(e);
    entities3D_.push_back(dynamic_cast<const KVRBasicEntity3D*>(e));
    if (e->getLogicalChildrenCount() == 0) continue;
    e->getLogicalChildren(children);
    for (auto child = children.rbegin(); child != children.rend(); ++child) pending.push_back(child->get());
  }
}

void KVRExternalFullName(const KVRBasicEntity& entity, std::string& out) {
  // The stored form has a line feed before every component; the first
  // component (the root's) is dropped and the others joined with '/'.
  const std::wstring& stored = entity.getStoredFullName();
  const auto first = stored.find(KVRBasicEntity::NameSeparator);
  const auto second = first == std::wstring::npos ? first : stored.find(KVRBasicEntity::NameSeparator, first + 1);
  if (second == std::wstring::npos) {
    out.assign(1, '/');
    return;
  }
  // A line feed is one byte in UTF-8 and never part of a longer sequence.
  out = KVRToUtf8(stored.substr(second));
  for (char& c : out)
    if (c == '\n') c = '/';
}
