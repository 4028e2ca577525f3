#include "KVRBasicRelationship3D.h"

#include "KVRException.h"

constinit const KVRClassInfo KVRBasicRelationship3D::ClassInfo_ =
    KVRClassInfo::abstract<KVRBasicRelationship3D>("KVRBasicRelationship3D", KVRBasicEntity::ClassInfo_);
constinit const KVRUUID KVRBasicRelationship3D::ClassID_("6f1c2a3e-8b4d-4e15-9a70-1d2c3b4a5e08");

// --- Construction ----------------------------------------------------------

KVRBasicRelationship3D::KVRBasicRelationship3D() = default;

KVRBasicRelationship3D::KVRBasicRelationship3D(const KVRBasicRelationship3D& source, CopyMode mode)
    : KVRBasicEntity(source, mode), syncMode_(source.syncMode_) {}

KVRBasicRelationship3D::~KVRBasicRelationship3D() { KVRBasicRelationship3D::orphanObject(); }

const KVRClassInfo& KVRBasicRelationship3D::getClassInfo() const { return ClassInfo_; }
const KVRUUID& KVRBasicRelationship3D::getClassID() const { return ClassID_; }
KVRMessage KVRBasicRelationship3D::getEntityTypeName() const { return KVRMessage(L"Relationship"); }

// --- Setting and releasing -------------------------------------------------

void KVRBasicRelationship3D::setRelationship(const KVRSharedHandle<KVRBasicEntity3D>& inner,
                                             const KVRSharedHandle<KVRBasicEntity3D>& outer) {
  if (isRelationshipSet()) throw KVREAlreadyRegistered(L"The specified relation entity is already in use");
  // The rule is computed from both entities: a half-set pair could be
  // neither verified nor released consistently.
  if (!inner || !outer)
    throw KVREInvalidRelation(L"The inner and outer entities of a relationship cannot be empty");
  if (inner == outer) throw KVREInvalidRelation(L"The inner and outer entitis are the same");
  checkLinkable();
  inner->checkLinkable();
  outer->checkLinkable();

  innerEntity_ = inner;
  outerEntity_ = outer;
  initRelationship();
  if (syncMode_ == SyncOnSet) synchronize();
  setEvent(RelationshipSet);
}

void KVRBasicRelationship3D::releaseRelationship() {
  if (!isRelationshipSet()) return;
  cleanup();
  innerEntity_.detach();
  outerEntity_.detach();
  syncMode_ = SyncOnSet;
  setEvent(RelationshipReleased);
}

// --- Checking and enforcing ------------------------------------------------

void KVRBasicRelationship3D::synchronize() {
  if (!isRelationshipSet()) return;
  if (verifyRelationship()) return;
  enforceRelationship();
}

int KVRBasicRelationship3D::verifyRelationship() const {
  if (innerEntity_.isNull() || outerEntity_.isNull()) return 0;
  return verifyVariableProfile(calcVariableProfile());
}

void KVRBasicRelationship3D::initRelationship() {}

void KVRBasicRelationship3D::cleanup() {}

KVRBasicRelationship3D::Profile KVRBasicRelationship3D::calcVariableProfile() const {
  Profile variable;
  // Without a pair there is nothing to relate: the identity.
  if (innerEntity_.isNull() || outerEntity_.isNull()) return variable;
  // X_IO = X_WI⁻¹ · X_WO
  KVRBasicEntity3D::Xform X_IO = innerEntity_->getBaseProfile().getLocation();
  X_IO.invert();
  X_IO.postMultiply(outerEntity_->getBaseProfile().getLocation());
  variable.setLocation(X_IO);
  variable.clearVelocity();
  variable.clearAcceleration();
  return variable;
}

// --- Orphaning -------------------------------------------------------------

void KVRBasicRelationship3D::orphanObject() {
  if (isOrphaned()) return;
  orphanMembers();
  KVRBasicEntity::orphanObject();
}

void KVRBasicRelationship3D::orphanMembers() { releaseRelationship(); }
