#include "KVRBasicCamera3D.h"

#include "KVRBasicRelationship3D.h"
#include "KVRException.h"

constinit const KVRClassInfo KVRBasicCamera3D::ClassInfo_ =
    KVRClassInfo::concrete<KVRBasicCamera3D>("KVRBasicCamera3D", KVRBasicBody3D::ClassInfo_);
constinit const KVRUUID KVRBasicCamera3D::ClassID_("6f1c2a3e-8b4d-4e15-9a70-1d2c3b4a5e09");

// --- Construction ----------------------------------------------------------

KVRBasicCamera3D::KVRBasicCamera3D() {
  addNotificationHook(KVRMakeFunctorM(NotificationHookNil, this, &KVRBasicCamera3D::cameraHook_));
}

KVRBasicCamera3D::KVRBasicCamera3D(const KVRBasicCamera3D& source, CopyMode mode)
    : KVRBasicBody3D(source, mode) {
  addNotificationHook(KVRMakeFunctorM(NotificationHookNil, this, &KVRBasicCamera3D::cameraHook_));
}

KVRBasicCamera3D::~KVRBasicCamera3D() { KVRBasicCamera3D::orphanObject(); }

const KVRClassInfo& KVRBasicCamera3D::getClassInfo() const { return ClassInfo_; }
const KVRUUID& KVRBasicCamera3D::getClassID() const { return ClassID_; }
KVRMessage KVRBasicCamera3D::getEntityTypeName() const { return KVRMessage(L"Camera"); }

// --- Relationship ----------------------------------------------------------

void KVRBasicCamera3D::setRelationship(const KVRSharedHandle<KVRBasicRelationship3D>& relationship) {
  if (hasRelationship()) throw KVREAlreadyRegistered(L"The specified relation is already is use");
  requireEntity(relationship, L"the relationship");
  checkLinkable();
  relationship->checkLinkable();
  relationship_ = relationship;
}

void KVRBasicCamera3D::onNotification() {
  if (!hasRelationship()) return;
  if (!testEvent(BaseLocationChanged)) return;
  // Held: enforcing the rule may clear the camera's own handle.
  KVRSharedHandle<KVRBasicRelationship3D> held(relationship_, KVRSharedBase::WriteLock);
  if (held->getSyncMode() == KVRBasicRelationship3D::SyncOnSet) held->synchronize();
}

// --- Orphaning -------------------------------------------------------------

void KVRBasicCamera3D::orphanObject() {
  if (isOrphaned()) return;
  orphanMembers();
  KVRBasicBody3D::orphanObject();
}

// The handle stays until the destructor; only the relationship is released.
void KVRBasicCamera3D::orphanMembers() {
  removeNotificationHook(KVRMakeFunctorM(NotificationHookNil, this, &KVRBasicCamera3D::cameraHook_));
  if (!hasRelationship()) return;
  KVRSharedHandle<KVRBasicRelationship3D> held(relationship_, KVRSharedBase::WriteLock);
  held->releaseRelationship();
}
