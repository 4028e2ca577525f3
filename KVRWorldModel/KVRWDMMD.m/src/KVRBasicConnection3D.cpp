#include "KVRBasicConnection3D.h"

#include "KVRBasicBody3D.h"
#include "KVRBasicFrame3D.h"
#include "KVRException.h"

constinit const KVRClassInfo KVRBasicConnection3D::ClassInfo_ =
    KVRClassInfo::abstract<KVRBasicConnection3D>("KVRBasicConnection3D", KVRBasicEntity::ClassInfo_);
constinit const KVRUUID KVRBasicConnection3D::ClassID_("6f1c2a3e-8b4d-4e15-9a70-1d2c3b4a5e0a");

namespace {

// What a connection follows of its frames: their moves on their bodies, and
// changes of their spatial ancestors, which tell when a frame leaves its body.
const std::bitset<64> frameMovedMask = std::bitset<64>()
                                           .set(KVRBasicFrame3D::RelativeLocationChanged)
                                           .set(KVRBasicEntity3D::SpatialAncestorsChanged);

}  // namespace

KVRBasicConnection3D::KVRBasicConnection3D() = default;

KVRBasicConnection3D::KVRBasicConnection3D(const KVRBasicConnection3D& source, CopyMode mode)
    : KVRBasicEntity(source, mode) {}

KVRBasicConnection3D::~KVRBasicConnection3D() {
  // A derived part is gone by now: its variable location cannot be asked for.
  destroying_ = true;
  KVRBasicConnection3D::orphanObject();
}

const KVRClassInfo& KVRBasicConnection3D::getClassInfo() const { return ClassInfo_; }
const KVRUUID& KVRBasicConnection3D::getClassID() const { return ClassID_; }
KVRMessage KVRBasicConnection3D::getEntityTypeName() const { return KVRMessage(L"Connection"); }

void KVRBasicConnection3D::connectBodies(const KVRSharedHandle<KVRBasicFrame3D>& innerFrame,
                                         const KVRSharedHandle<KVRBasicFrame3D>& outerFrame) {
  requireEntity(innerFrame, L"an inner frame");
  requireEntity(outerFrame, L"an outer frame");
  if (isConnected()) throw KVREAlreadyRegistered(L"The specified connection entity is already in use");
  checkLinkable();
  innerFrame->checkLinkable();
  outerFrame->checkLinkable();
  const KVRSharedHandle<KVRBasicBody3D> inner = innerFrame->getAttachedBody();
  if (!inner) throw KVREInvalidRelation(L"The specified inner frame is not attached to a body");
  const KVRSharedHandle<KVRBasicBody3D> outer = outerFrame->getAttachedBody();
  if (!outer) throw KVREInvalidRelation(L"The specified outer frame is not attached to a body");
  if (inner == outer) throw KVREInvalidRelation(L"The inner and outer frames are attached to the same body");
  inner->checkLinkable();
  outer->checkLinkable();

  const KVREventFunctor follow = KVRMakeEventFunctor(this, &KVRBasicConnection3D::onEvent);
  innerFrame->addSubscriber(follow, frameMovedMask, -1);
  outerFrame->addSubscriber(follow, frameMovedMask, -1);
  innerBody_ = inner;
  outerBody_ = outer;
  nameBodies();
  innerFrame_ = innerFrame;
  outerFrame_ = outerFrame;
  setInnerOffset(innerFrame->getFrameLocation());
  setOuterOffset(outerFrame->getFrameLocation());
  updateRelativeLocation();
  setEvent(Connected);
}

void KVRBasicConnection3D::connectBodies(const KVRSharedHandle<KVRBasicBody3D>& innerBody,
                                         const KVRSharedHandle<KVRBasicBody3D>& outerBody,
                                         const Xform& innerOffset, const Xform& outerOffset) {
  requireEntity(innerBody, L"an inner body");
  requireEntity(outerBody, L"an outer body");
  if (isConnected()) throw KVREAlreadyRegistered(L"The specified connection entity is already in use");
  if (innerBody == outerBody)
    throw KVREInvalidRelation(L"The inner and outer bodies cannot be the same entity");
  requireFinite(innerOffset.isFinite(), L"inner offset");
  requireFinite(outerOffset.isFinite(), L"outer offset");
  checkLinkable();
  innerBody->checkLinkable();
  outerBody->checkLinkable();
  innerBody_ = innerBody;
  outerBody_ = outerBody;
  nameBodies();
  innerFrame_.detach();
  outerFrame_.detach();
  setInnerOffset(innerOffset);
  setOuterOffset(outerOffset);
  updateRelativeLocation();
  setEvent(Connected);
}

void KVRBasicConnection3D::disconnectBodies() {
  if (!isConnected()) return;
  // The outer body's inner connection may hold the last handle to this connection.
  const KVRSharedHandle<KVRBasicConnection3D> self(this);
  // Disconnected from here on: the outer body, taken off below, asks its
  // connection to disconnect, and finds it done.
  const KVRSharedHandle<KVRBasicBody3D> outer = std::move(outerBody_), inner = std::move(innerBody_);
  const KVRSharedHandle<KVRBasicFrame3D> innerFrame = std::move(innerFrame_),
                                         outerFrame = std::move(outerFrame_);
  unnameBody(*inner, innerSlot_);
  unnameBody(*outer, outerSlot_);
  // Only the body that hangs through this connection is taken off: a body
  // recorded here but hanging elsewhere keeps its own connection.
  if (outer && outer->getInnerConnection() == self) outer->clearInnerBody();
  const KVREventFunctor follow = KVRMakeEventFunctor(this, &KVRBasicConnection3D::onEvent);
  if (innerFrame) innerFrame->removeSubscriber(follow);
  if (outerFrame) outerFrame->removeSubscriber(follow);
  setInnerOffset(Xform::Identity);
  setOuterOffset(Xform::Identity);
  if (!destroying_) updateRelativeLocation();
  setEvent(Disconnected);
}

void KVRBasicConnection3D::nameBodies() {
  innerSlot_ = innerBody_->addNamingConnection(this);
  outerSlot_ = outerBody_->addNamingConnection(this);
}

void KVRBasicConnection3D::unnameBody(KVRBasicBody3D& body, std::size_t slot) {
  // The connection that took the slot is connected: its handles tell which body's slot it is.
  if (KVRBasicConnection3D* moved = body.removeNamingConnection(slot))
    (moved->innerBody_.get() == &body ? moved->innerSlot_ : moved->outerSlot_) = slot;
}

void KVRBasicConnection3D::setInnerOffset(const Xform& offset) {
  requireFinite(offset.isFinite(), L"inner offset");
  innerOffset_ = offset;
  setEvent(InnerOffsetSet);
}

void KVRBasicConnection3D::setOuterOffset(const Xform& offset) {
  requireFinite(offset.isFinite(), L"outer offset");
  outerOffset_ = offset;
  setEvent(OuterOffsetSet);
}

void KVRBasicConnection3D::setCachedRelativeLocation(const Xform& location) {
  requireFinite(location.isFinite(), L"relative location");
  relativeProfile_.setLocation(location);
  relativeProfile_.clearVelocity();
  relativeProfile_.clearAcceleration();
  setEvent(RelativeLocationSet);
}

void KVRBasicConnection3D::setCachedRelativeProfile(const Profile& profile) {
  requireFinite(profile.isFinite(), L"relative profile");
  relativeProfile_ = profile;
  setEvent(RelativeProfileSet);
}

void KVRBasicConnection3D::updateKinematics() {
  if (testEvent(RelativeProfileSet))
    propagateProfile();
  else if (testEvent(RelativeLocationSet))
    propagateLocation();
}

int KVRBasicConnection3D::setRelativeLocation(Xform& location) {
  setCachedRelativeLocation(location);
  return 2;
}

KVRBasicConnection3D::Xform KVRBasicConnection3D::getRelativeLocation() const {
  return getCachedRelativeLocation();
}

int KVRBasicConnection3D::setRelativeProfile(Profile& profile) {
  setCachedRelativeProfile(profile);
  return 2;
}

KVRBasicConnection3D::Profile KVRBasicConnection3D::getRelativeProfile() const { return relativeProfile_; }

void KVRBasicConnection3D::updateRelativeLocation() {
  setCachedRelativeLocation(calcRelativeLocation(innerOffset_, getVariableLocation(), outerOffset_));
}

bool KVRBasicConnection3D::placesOuterBody() const {
  return outerBody_ && outerBody_->getInnerConnection().get() == this;
}

void KVRBasicConnection3D::propagateLocation() {
  if (placesOuterBody()) outerBody_->updateRelativeLocation(getRelativeLocation());
}

void KVRBasicConnection3D::propagateProfile() {
  if (placesOuterBody()) outerBody_->updateRelativeProfile(getRelativeProfile());
}

void KVRBasicConnection3D::onEvent(const KVRSharedConstPointer<KVRBasicFrame3D>& frame,
                                   const std::bitset<64>& mask) {
  if (frame.isNull()) return;
  // A frame that left its body places nothing any more: the connection keeps
  // the offset it last gave and stops following it.
  if (frame == innerFrame_ && frame->getSpatialParent().get() != innerBody_.get()) {
    stopFollowing(innerFrame_);
    return;
  }
  if (frame == outerFrame_ && frame->getSpatialParent().get() != outerBody_.get()) {
    stopFollowing(outerFrame_);
    return;
  }
  if (!mask.test(KVRBasicFrame3D::RelativeLocationChanged)) return;
  if (frame == innerFrame_)
    setInnerOffset(innerFrame_->getFrameLocation());
  else if (frame == outerFrame_)
    setOuterOffset(outerFrame_->getFrameLocation());
  updateRelativeLocation();
  propagateLocation();
}

void KVRBasicConnection3D::stopFollowing(KVRSharedHandle<KVRBasicFrame3D>& frame) {
  const KVRSharedHandle<KVRBasicFrame3D> left = std::move(frame);
  left->removeSubscriber(KVRMakeEventFunctor(this, &KVRBasicConnection3D::onEvent));
}

KVRBasicConnection3D::Xform KVRBasicConnection3D::calcRelativeLocation(const Xform& a, const Xform& b,
                                                                       const Xform& c) {
  Xform result = a;
  result *= b;
  result /= c;
  return result;
}

KVRBasicConnection3D::Xform KVRBasicConnection3D::calcOuterOffset(const Xform& a, const Xform& b,
                                                                  const Xform& c) {
  Xform result = a;
  result.invert();
  result *= b;
  result *= c;
  return result;
}

void KVRBasicConnection3D::orphanObject() {
  if (isOrphaned()) return;
  orphanMembers();
  KVRBasicEntity::orphanObject();
}

void KVRBasicConnection3D::orphanMembers() { disconnectBodies(); }
