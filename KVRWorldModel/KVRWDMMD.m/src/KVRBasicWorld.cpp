#include "KVRBasicWorld.h"

constinit const KVRClassInfo KVRBasicWorld::ClassInfo_ =
    KVRClassInfo::concrete<KVRBasicWorld>("KVRBasicWorld", KVRBasicEntity::ClassInfo_);
constinit const KVRUUID KVRBasicWorld::ClassID_("6f1c2a3e-8b4d-4e15-9a70-1d2c3b4a5e03");

KVRBasicWorld::KVRBasicWorld() = default;

KVRBasicWorld::KVRBasicWorld(const KVRBasicWorld& source, CopyMode mode)
    : KVRBasicEntity(source, mode), simulationTime_(source.simulationTime_) {}

KVRBasicWorld::~KVRBasicWorld() { KVRBasicWorld::orphanObject(); }

const KVRClassInfo& KVRBasicWorld::getClassInfo() const { return ClassInfo_; }
const KVRUUID& KVRBasicWorld::getClassID() const { return ClassID_; }
KVRMessage KVRBasicWorld::getEntityTypeName() const { return KVRMessage(L"World"); }

void KVRBasicWorld::flushWorld() {
  for (int round = 0; round < 4; ++round) {
    bool flushed = false;
    forEachInLogicalSubtree(KVRSharedHandle<KVRBasicEntity>(this), [&](const KVRSharedHandle<KVRBasicEntity>& entity) {
      if (!entity->getPendingEvents().any()) return;
      entity->flushLogicalState();
      flushed = true;
    });
    if (!flushed) return;
  }
}

void KVRBasicWorld::setSimulationTime(const KVRSimTime& time) {
  simulationTime_ = time;
  setEvent(SimulationTimeChanged);
}

bool KVRBasicWorld::hasEntity(const KVRSharedHandle<KVRBasicEntity>& entity) const {
  return hasLogicalChild(KVRSharedHandle<KVRBasicEntity>(entity));
}

void KVRBasicWorld::getEntities(const KVRClassInfo& info, KVRSharedVector<KVRBasicEntity>& entities) const {
  getLogicalChildren(info, entities);
}

void KVRBasicWorld::getEntities(const KVRClassInfo& info, KVRSharedList<KVRBasicEntity>& entities) const {
  getLogicalChildren(info, entities);
}

void KVRBasicWorld::getEntities(KVRSharedVector<KVRBasicEntity>& entities) const {
  getLogicalChildren(entities);
}

void KVRBasicWorld::getEntities(KVRSharedList<KVRBasicEntity>& entities) const {
  getLogicalChildren(entities);
}

int KVRBasicWorld::getEntityCount(const KVRClassInfo& info) const { return getLogicalChildrenCount(info); }

int KVRBasicWorld::getEntityCount() const { return getLogicalChildrenCount(); }

void KVRBasicWorld::addEntity(const KVRSharedHandle<KVRBasicEntity>& entity) {
  addLogicalChild(KVRSharedHandle<KVRBasicEntity>(entity));
}

void KVRBasicWorld::removeEntity(const KVRSharedHandle<KVRBasicEntity>& entity) {
  removeLogicalChild(KVRSharedHandle<KVRBasicEntity>(entity));
}

void KVRBasicWorld::removeEntities(const KVRClassInfo& info) { removeLogicalChildren(info); }

void KVRBasicWorld::removeEntities() { removeLogicalChildren(); }

void KVRBasicWorld::destroyEntity(const KVRSharedHandle<KVRBasicEntity>& entity) {
  orphanLogicalChild(KVRSharedHandle<KVRBasicEntity>(entity));
}

void KVRBasicWorld::destroyEntities(const KVRClassInfo& info) { orphanLogicalChildren(info); }

void KVRBasicWorld::destroyEntities() { orphanLogicalChildren(); }

void KVRBasicWorld::orphanObject() {
  if (isOrphaned()) return;
  KVRBasicEntity::orphanObject();
}
