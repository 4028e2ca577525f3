#pragma once

// KVRBasicRelationship3D: ties an outer 3-D entity to an inner one and keeps
// a rule between them (a camera that keeps looking at a target, say). The
// base class holds the pair, computes the variable profile (where the outer
// entity stands relative to the inner one now) and runs check-then-enforce;
// derived classes give the rule (verifyVariableProfile) and its enforcement
// (enforceRelationship). It changes neither tree.
//
// Event bits: 9 the relationship was set; 10 it was released.

#include "KVRBasicEntity.h"
#include "KVRBasicEntity3D.h"

class KVRWORLDMODEL_API KVRBasicRelationship3D : public KVRBasicEntity {
 public:
  using Profile = KVRBasicProfile3D<double>;

  /// The relationship was set.
  static constexpr int RelationshipSet = 9;
  /// The relationship was released.
  static constexpr int RelationshipReleased = 10;

  // 0 synchronises as soon as the relationship is set; any other value does not.
  enum SyncMode { SyncOnSet = 0, NoSyncOnSet = 1 };

  static const KVRClassInfo ClassInfo_;
  static const KVRUUID ClassID_;

  KVRBasicRelationship3D();
  // Copies the sync mode; the copy is not set.
  KVRBasicRelationship3D(const KVRBasicRelationship3D& source, CopyMode mode = CopyAlone);
  ~KVRBasicRelationship3D() override;

  const KVRClassInfo& getClassInfo() const override;
  const KVRUUID& getClassID() const override;
  KVRMessage getEntityTypeName() const override;

  // Ties `outer` to `inner`, runs initRelationship() and, in sync mode 0,
  // synchronize(); bit 9. Refused, with nothing changed: a set relationship
  // (KVREAlreadyRegistered), an empty handle or the same entity twice
  // (KVREInvalidRelation).
  void setRelationship(const KVRSharedHandle<KVRBasicEntity3D>& inner,
                       const KVRSharedHandle<KVRBasicEntity3D>& outer);
  // Runs cleanup(), empties the pair, resets the sync mode to 0; bit 10.
  // Does nothing on a relationship that is not set.
  void releaseRelationship();
  bool isRelationshipSet() const { return !innerEntity_.isNull(); }
  KVRSharedHandle<KVRBasicEntity3D> getInnerEntity() const { return innerEntity_; }
  KVRSharedHandle<KVRBasicEntity3D> getOuterEntity() const { return outerEntity_; }
  void setSyncMode(SyncMode mode) { syncMode_ = mode; }
  SyncMode getSyncMode() const { return syncMode_; }

  // Enforces the rule when it does not hold. Does nothing on a relationship
  // that is not set.
  void synchronize();
  // Nonzero when the rule holds for the current variable profile; 0 on a
  // relationship that is not set.
  int verifyRelationship() const;

  virtual void initRelationship();
  virtual void cleanup();
  virtual int verifyVariableProfile(const Profile& variable) const = 0;
  virtual void enforceRelationship() = 0;
  // inner base⁻¹ · outer base, with zero velocities and accelerations.
  virtual Profile calcVariableProfile() const;

  void orphanObject() override;

 protected:
  void orphanMembers();

 private:
  KVRSharedHandle<KVRBasicEntity3D> innerEntity_;
  KVRSharedHandle<KVRBasicEntity3D> outerEntity_;
  SyncMode syncMode_ = SyncOnSet;
};
