#include "KVRBasicUniverse.h"

constinit const KVRClassInfo KVRBasicUniverse::ClassInfo_ =
    KVRClassInfo::concrete<KVRBasicUniverse>("KVRBasicUniverse", KVRBasicEntity::ClassInfo_);
constinit const KVRUUID KVRBasicUniverse::ClassID_("6f1c2a3e-8b4d-4e15-9a70-1d2c3b4a5e04");

constinit KVRSharedHandle<KVRBasicUniverse> KVRBasicUniverse::hSingleUniverse;

namespace {

// At unload the trees would keep the universe and everything in it alive:
// orphan it first, then release it. Made by the first getUniverse(), so that
// it goes before the library's other static objects, which orphaning uses.
struct UniverseRelease {
  ~UniverseRelease() {
    if (KVRSharedHandle<KVRBasicUniverse> universe = KVRBasicUniverse::hSingleUniverse) {
      universe->orphanObject();
      KVRBasicUniverse::hSingleUniverse.detach();
    }
  }
};

}  // namespace

KVRSharedHandle<KVRBasicUniverse> KVRBasicUniverse::getUniverse() {
  static UniverseRelease release;
  if (!hSingleUniverse) {
    KVRSharedHandle<KVRBasicUniverse> universe(new KVRBasicUniverse);
    universe->setEntityName(L"Universe");
    hSingleUniverse = universe;
  }
  return hSingleUniverse;
}

KVRBasicUniverse::KVRBasicUniverse() = default;
KVRBasicUniverse::KVRBasicUniverse(const KVRBasicUniverse&) : KVRBasicEntity() {}
KVRBasicUniverse::KVRBasicUniverse(const KVRBasicUniverse&, CopyMode) : KVRBasicEntity() {}
KVRBasicUniverse::~KVRBasicUniverse() { KVRBasicUniverse::orphanObject(); }

const KVRClassInfo& KVRBasicUniverse::getClassInfo() const { return ClassInfo_; }
const KVRUUID& KVRBasicUniverse::getClassID() const { return ClassID_; }

void KVRBasicUniverse::addEntity(const KVRSharedHandle<KVRBasicEntity>& entity) {
  addLogicalChild(KVRSharedHandle<KVRBasicEntity>(entity));
}

KVRSharedHandle<KVRBasicEntity> KVRBasicUniverse::findEntity(std::wstring_view path) const {
  return KVRBasicEntity::findEntity(path, ExternalNameSeparator);
}

void KVRBasicUniverse::orphanObject() {
  if (isOrphaned()) return;
  KVRBasicEntity::orphanObject();
}
