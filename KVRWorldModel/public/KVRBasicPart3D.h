#pragma once

// KVRBasicPart3D: a body standing for one manufactured piece, the leaf of a
// manufacturing assembly. It has everything a body has; its class and its
// type word "Part" are what it adds.

#include "KVRBasicBody3D.h"

class KVRWORLDMODEL_API KVRBasicPart3D : public KVRBasicBody3D {
 public:
  static const KVRClassInfo ClassInfo_;
  static const KVRUUID ClassID_;

  KVRBasicPart3D();
  KVRBasicPart3D(const KVRBasicPart3D& source, CopyMode mode = CopyAlone);
  ~KVRBasicPart3D() override;

  const KVRClassInfo& getClassInfo() const override;
  const KVRUUID& getClassID() const override;
  KVRMessage getEntityTypeName() const override;

  void orphanObject() override;
};
