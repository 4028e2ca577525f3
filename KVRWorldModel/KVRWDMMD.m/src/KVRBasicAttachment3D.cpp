#include "KVRBasicAttachment3D.h"

constinit const KVRClassInfo KVRBasicAttachment3D::ClassInfo_ =
    KVRClassInfo::concrete<KVRBasicAttachment3D>("KVRBasicAttachment3D", KVRBasicConnection3D::ClassInfo_);
constinit const KVRUUID KVRBasicAttachment3D::ClassID_("6f1c2a3e-8b4d-4e15-9a70-1d2c3b4a5e0b");

KVRBasicAttachment3D::KVRBasicAttachment3D() = default;

KVRBasicAttachment3D::KVRBasicAttachment3D(const KVRBasicAttachment3D& source, CopyMode mode)
    : KVRBasicConnection3D(source, mode) {}

KVRBasicAttachment3D::~KVRBasicAttachment3D() { KVRBasicAttachment3D::orphanObject(); }

const KVRClassInfo& KVRBasicAttachment3D::getClassInfo() const { return ClassInfo_; }
const KVRUUID& KVRBasicAttachment3D::getClassID() const { return ClassID_; }
KVRMessage KVRBasicAttachment3D::getEntityTypeName() const { return KVRMessage(L"Attachment"); }

int KVRBasicAttachment3D::setRelativeLocation(Xform& location) {
  setCachedRelativeLocation(location);
  return 2;
}

KVRBasicAttachment3D::Xform KVRBasicAttachment3D::getRelativeLocation() const {
  return getCachedRelativeLocation();
}

KVRBasicAttachment3D::Xform KVRBasicAttachment3D::getVariableLocation() const {
  // X_IO = I⁻¹ · R · O: the relative location with the offsets taken off.
  Xform variable = getInnerOffset();
  variable.invert();
  return variable * getRelativeLocation() * getOuterOffset();
}

void KVRBasicAttachment3D::orphanObject() {
  if (isOrphaned()) return;
  KVRBasicConnection3D::orphanObject();
}
