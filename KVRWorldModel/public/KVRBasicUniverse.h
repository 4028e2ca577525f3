#pragma once

// KVRBasicUniverse: the root of the logical tree, one per process, created
// and named "Universe" by the first getUniverse(). Worlds stand under it. Its
// own name is never part of an external full name. When the library is
// unloaded the universe is orphaned with everything in it and released.

#include "KVRBasicEntity.h"

class KVRWORLDMODEL_API KVRBasicUniverse : public KVRBasicEntity {
 public:
  static const KVRClassInfo ClassInfo_;
  static const KVRUUID ClassID_;
  // The single universe; empty until the first getUniverse().
  static KVRSharedHandle<KVRBasicUniverse> hSingleUniverse;

  // The single universe, created on first use.
  static KVRSharedHandle<KVRBasicUniverse> getUniverse();

  KVRBasicUniverse();
  // A copy is a new, unnamed universe object: the source is ignored.
  KVRBasicUniverse(const KVRBasicUniverse& source);
  KVRBasicUniverse(const KVRBasicUniverse& source, CopyMode mode);
  ~KVRBasicUniverse() override;

  const KVRClassInfo& getClassInfo() const override;
  const KVRUUID& getClassID() const override;

  // Places a world under the universe.
  void addEntity(const KVRSharedHandle<KVRBasicEntity>& entity);

  // The entity a path leads to from the universe, one child name per level,
  // the first naming a world: exactly what KVRBasicEntity::findEntity answers
  // for the universe, whatever the handle it is called through. Components
  // are separated by '/' (or NameSeparator); a leading separator is allowed.
  KVRSharedHandle<KVRBasicEntity> findEntity(std::wstring_view path) const;
  using KVRBasicEntity::findEntity;

  void orphanObject() override;
};
