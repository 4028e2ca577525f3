#pragma once

// KVRBasicAttachment3D: the rigid connection. The outer body keeps the
// relative location set through setRelativeLocation and follows the inner
// body wherever it goes; the variable location is derived from it
// (inner offset⁻¹ · relative · outer offset), so recomputing the relative
// location from any offsets gives it back unchanged. Every attach and grab of
// a body makes one.

#include "KVRBasicConnection3D.h"

class KVRWORLDMODEL_API KVRBasicAttachment3D : public KVRBasicConnection3D {
 public:
  static const KVRClassInfo ClassInfo_;
  static const KVRUUID ClassID_;

  KVRBasicAttachment3D();
  KVRBasicAttachment3D(const KVRBasicAttachment3D& source, CopyMode mode = CopyAlone);
  ~KVRBasicAttachment3D() override;

  const KVRClassInfo& getClassInfo() const override;
  const KVRUUID& getClassID() const override;
  KVRMessage getEntityTypeName() const override;

  // Stores the relative location (bit 13); status 2, the argument unchanged.
  int setRelativeLocation(Xform& location) override;
  Xform getRelativeLocation() const override;
  Xform getVariableLocation() const override;

  void orphanObject() override;
};
