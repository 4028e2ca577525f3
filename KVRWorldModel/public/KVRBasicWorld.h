#pragma once

// KVRBasicWorld: one simulated scene. A world stands under the universe and
// holds the entities of the scene as its logical children; it carries the
// scene's simulation time, which every entity below it reports through
// getSimulationTime(). Full names start at the world: its entities read
// /World/Entity. Its entity operations are the logical-tree operations, with
// their refusals and messages.
//
// Event bit: 9 the simulation time changed.

#include "KVRBasicEntity.h"
#include "KVRSimTime.h"

class KVRWORLDMODEL_API KVRBasicWorld : public KVRBasicEntity {
 public:
  /// The simulation time changed.
  static constexpr int SimulationTimeChanged = 9;

  static const KVRClassInfo ClassInfo_;
  static const KVRUUID ClassID_;

  KVRBasicWorld();
  // Copies the name and the simulation time.
  KVRBasicWorld(const KVRBasicWorld& source, CopyMode mode = CopyAlone);
  ~KVRBasicWorld() override;

  const KVRClassInfo& getClassInfo() const override;
  const KVRUUID& getClassID() const override;
  KVRMessage getEntityTypeName() const override;

  KVRSimTime getSimulationTime() const override { return simulationTime_; }
  // Sets bit 9.
  void setSimulationTime(const KVRSimTime& time);

  bool hasEntity(const KVRSharedHandle<KVRBasicEntity>& entity) const;
  void getEntities(const KVRClassInfo& info, KVRSharedVector<KVRBasicEntity>& entities) const;
  void getEntities(const KVRClassInfo& info, KVRSharedList<KVRBasicEntity>& entities) const;
  void getEntities(KVRSharedVector<KVRBasicEntity>& entities) const;
  void getEntities(KVRSharedList<KVRBasicEntity>& entities) const;
  int getEntityCount(const KVRClassInfo& info) const;
  int getEntityCount() const;

  // Places the entity in the world (KVREAlreadyRegistered when it has a parent).
  void addEntity(const KVRSharedHandle<KVRBasicEntity>& entity);
  // Unlinks the entity; it stays alive with its subtree (KVRENotFound when not in the world).
  void removeEntity(const KVRSharedHandle<KVRBasicEntity>& entity);
  void removeEntities(const KVRClassInfo& info);
  void removeEntities();
  // Orphans the entity with its subtree (KVRENotFound when not in the world).
  void destroyEntity(const KVRSharedHandle<KVRBasicEntity>& entity);
  void destroyEntities(const KVRClassInfo& info);
  void destroyEntities();

  // Brings everything in the world up to date in one call: every entity of
  // its logical subtree with pending event bits is flushed, parents before
  // children, and again while flushing one leaves bits pending on another
  // already passed (at most four rounds: a subscriber that sets bits at every
  // flush leaves them pending). Afterwards every cached location, full name
  // and ancestor list is current.
  void flushWorld();

  void orphanObject() override;

 private:
  KVRSimTime simulationTime_;
};
