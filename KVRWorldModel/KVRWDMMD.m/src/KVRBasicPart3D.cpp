#include "KVRBasicPart3D.h"

constinit const KVRClassInfo KVRBasicPart3D::ClassInfo_ =
    KVRClassInfo::concrete<KVRBasicPart3D>("KVRBasicPart3D", KVRBasicBody3D::ClassInfo_);
constinit const KVRUUID KVRBasicPart3D::ClassID_("6f1c2a3e-8b4d-4e15-9a70-1d2c3b4a5e0d");

KVRBasicPart3D::KVRBasicPart3D() = default;

KVRBasicPart3D::KVRBasicPart3D(const KVRBasicPart3D& source, CopyMode mode) : KVRBasicBody3D(source, mode) {}

KVRBasicPart3D::~KVRBasicPart3D() { KVRBasicPart3D::orphanObject(); }

const KVRClassInfo& KVRBasicPart3D::getClassInfo() const { return ClassInfo_; }
const KVRUUID& KVRBasicPart3D::getClassID() const { return ClassID_; }
KVRMessage KVRBasicPart3D::getEntityTypeName() const { return KVRMessage(L"Part"); }

void KVRBasicPart3D::orphanObject() {
  if (isOrphaned()) return;
  KVRBasicBody3D::orphanObject();
}
