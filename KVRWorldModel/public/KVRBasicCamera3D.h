#pragma once

// KVRBasicCamera3D: a body that can be bound to one relationship, typically
// a rule that keeps it looking at or following another entity. When its
// cached base location changes (bit 11) and its state is flushed, it asks the
// relationship (in sync mode 0) to synchronise. Destroying the camera
// releases its relationship.

#include "KVRBasicBody3D.h"

class KVRBasicRelationship3D;

class KVRWORLDMODEL_API KVRBasicCamera3D : public KVRBasicBody3D {
 public:
  static const KVRClassInfo ClassInfo_;
  static const KVRUUID ClassID_;

  KVRBasicCamera3D();
  // A copy has no relationship.
  KVRBasicCamera3D(const KVRBasicCamera3D& source, CopyMode mode = CopyAlone);
  ~KVRBasicCamera3D() override;

  const KVRClassInfo& getClassInfo() const override;
  const KVRUUID& getClassID() const override;
  KVRMessage getEntityTypeName() const override;

  // KVREAlreadyRegistered ("The specified relation is already is use") when
  // the camera has one; KVREInvalidArgument for an empty handle.
  void setRelationship(const KVRSharedHandle<KVRBasicRelationship3D>& relationship);
  // Forgets the relationship without releasing it.
  void clearRelationship() { relationship_.detach(); }
  bool hasRelationship() const { return !relationship_.isNull(); }
  KVRSharedHandle<KVRBasicRelationship3D> getRelationship() const { return relationship_; }

  // The camera's hook: with bit 11 pending and a relationship in sync mode 0,
  // synchronises the relationship.
  void onNotification() override;

  void orphanObject() override;

 protected:
  void orphanMembers();

 private:
  void cameraHook_() { KVRBasicCamera3D::onNotification(); }

  KVRSharedHandle<KVRBasicRelationship3D> relationship_;
};
