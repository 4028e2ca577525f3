#include "KVRBasicBody3D.h"

#include <typeinfo>

#include "KVRBasicAttachment3D.h"
#include "KVRBasicCamera3D.h"
#include "KVRBasicConnection3D.h"
#include "KVRBasicFrame3D.h"
#include "KVRBasicMfgAssembly3D.h"
#include "KVRBasicPart3D.h"
#include "KVRBasicPath3D.h"
#include "KVRBasicShuttle3D.h"
#include "KVRBasicTagPoint3D.h"
#include "KVRException.h"

constinit const KVRClassInfo KVRBasicBody3D::ClassInfo_ =
    KVRClassInfo::concrete<KVRBasicBody3D>("KVRBasicBody3D", KVRBasicEntity3D::ClassInfo_);
constinit const KVRUUID KVRBasicBody3D::ClassID_("6f1c2a3e-8b4d-4e15-9a70-1d2c3b4a5e0c");

constinit const KVRClassInfo KVRNotifyBasicBody3DList::ClassInfo_ =
    KVRClassInfo::concrete<KVRNotifyBasicBody3DList>("KVRNotifyBasicBody3DList",
                                                     KVRNotificationBase::ClassInfo_);

// --- Construction ----------------------------------------------------------

KVRBasicBody3D::KVRBasicBody3D() = default;

KVRBasicBody3D::KVRBasicBody3D(const KVRBasicBody3D& source, CopyMode mode)
    : KVRBasicEntity3D(source, mode), transientState_(source.transientState_) {}

KVRBasicBody3D::~KVRBasicBody3D() { KVRBasicBody3D::orphanObject(); }

const KVRClassInfo& KVRBasicBody3D::getClassInfo() const { return ClassInfo_; }
const KVRUUID& KVRBasicBody3D::getClassID() const { return ClassID_; }
KVRMessage KVRBasicBody3D::getEntityTypeName() const { return KVRMessage(L"Body"); }

KVRDynamicObject* KVRBasicBody3D::duplicateObject(CopyMode mode) const {
  KVRDynamicObject* made = KVRBasicEntity::duplicateObject(mode);
  if (!made || (mode != CopyDeep && mode != CopyDeepAll)) return made;
  KVRSharedHandle<KVRBasicBody3D> copy(static_cast<KVRBasicBody3D*>(made));
  try {
    copy->cloneFrames(*this, mode);
    copy->cloneTagPoints(*this, mode);
    copy->clonePaths(*this, mode);
  } catch (...) {
    copy->orphanObject();  // its subtree would otherwise keep it alive
    throw;
  }
  return copy.relinquish();
}

// --- Relative location, held by the inner connection -----------------------

int KVRBasicBody3D::setRelativeLocation(Xform& location) {
  if (innerConnection_)
    return innerConnection_->setRelativeLocation(location);  // which refuses non-finite numbers
  requireFinite(location.isFinite(), L"relative location");
  return 0;
}

KVRBasicBody3D::Xform KVRBasicBody3D::getRelativeLocation() const {
  return innerConnection_ ? innerConnection_->getRelativeLocation() : Xform::Identity;
}

namespace {

// Whether the body's dynamic class answers getRelativeLocation() as this
// class does: the library's bodies, none of which overrides it. A class
// derived from one of them elsewhere may, whether or not it has a class
// descriptor of its own, and is asked.
bool answersAsBody(const KVRBasicBody3D& body) {
  const std::type_info& type = typeid(body);
  return type == typeid(KVRBasicBody3D) || type == typeid(KVRBasicPart3D) ||
         type == typeid(KVRBasicMfgAssembly3D) || type == typeid(KVRBasicGroup3D) ||
         type == typeid(KVRBasicShuttle3D) || type == typeid(KVRBasicCamera3D);
}

}  // namespace

const KVRBasicBody3D::Xform* KVRBasicBody3D::storedRelativeLocation() const {
  // Without a connection the relative location is the identity; the
  // library's attachment answers with its cached relative location; other
  // connections may compute theirs.
  if (!answersAsBody(*this)) return nullptr;
  if (!innerConnection_) return &Xform::Identity;
  const KVRBasicConnection3D& connection = *innerConnection_;
  if (typeid(connection) != typeid(KVRBasicAttachment3D)) return nullptr;
  return &connection.getCachedRelativeLocation();
}

int KVRBasicBody3D::setRelativeProfile(Profile& profile) {
  if (innerConnection_) return innerConnection_->setRelativeProfile(profile);
  requireFinite(profile.isFinite(), L"relative profile");
  return 0;
}

KVRBasicBody3D::Profile KVRBasicBody3D::getRelativeProfile() const {
  return innerConnection_ ? innerConnection_->getRelativeProfile() : Profile::Identity;
}

// --- Frames, tag points and paths ------------------------------------------
// The three families share one implementation, parameterised by the member
// class (which is also the class filter) and the bulk event bit.

namespace {

template <class T>
void collectSpatialChildren(const KVRBasicEntity3D& body, const KVRClassInfo& info, T& out) {
  KVRSharedVector<KVRBasicEntity3D> children;
  body.getSpatialChildren(info, children);
  KVRSharedAssign(out, children);
}

void throwAlreadyConnected(const KVRBasicBody3D& body) {
  throw KVREAlreadyRegistered(L"%1 is already connected to another body")
      << body.getEntityTitle(KVRBasicEntity::FullName, KVRBasicEntity::ExternalNameSeparator);
}

}  // namespace

template <class T>
void KVRBasicBody3D::addOwned(const KVRSharedHandle<T>& member) {
  requireEntity(member, L"an owned object");
  // Both links are checked before either is made, so that a refusal changes nothing.
  checkSpatialChild(member);
  checkLogicalChild(member);
  addLogicalChild(member);
  addSpatialChild(member);
}

template <class T>
void KVRBasicBody3D::removeOwned(const KVRSharedHandle<T>& member) {
  requireEntity(member, L"an owned object");
  findLogicalChild(member);  // both lookups refuse before anything changes
  findSpatialChild(member);
  removeSpatialChild(member);
  removeLogicalChild(member);
}

void KVRBasicBody3D::removeOwnedOfClass(const KVRClassInfo& info, int bulkBit) {
  removeSpatialChildren(info);
  removeLogicalChildren(info);
  setEvent(bulkBit);
}

void KVRBasicBody3D::destroyOwnedOfClass(const KVRClassInfo& info, int bulkBit) {
  orphanLogicalChildren(info);
  setEvent(bulkBit);
}

void KVRBasicBody3D::respatialiseChildren(const KVRClassInfo& info) {
  KVRSharedVector<KVRBasicEntity> children;
  getLogicalChildren(info, children);
  for (const auto& child : children) addSpatialChild(KVRSharedHandle<KVRBasicEntity3D>::downcast(child));
}

void KVRBasicBody3D::addFrame(const KVRSharedHandle<KVRBasicFrame3D>& frame) { addOwned(frame); }
void KVRBasicBody3D::removeFrame(const KVRSharedHandle<KVRBasicFrame3D>& frame) { removeOwned(frame); }
void KVRBasicBody3D::removeFrames() { removeOwnedOfClass(KVRBasicFrame3D::ClassInfo_, FramesRemoved); }
void KVRBasicBody3D::destroyFrame(const KVRSharedHandle<KVRBasicFrame3D>& frame) {
  orphanLogicalChild(frame);
}
void KVRBasicBody3D::destroyFrames() { destroyOwnedOfClass(KVRBasicFrame3D::ClassInfo_, FramesRemoved); }
bool KVRBasicBody3D::hasFrame(const KVRSharedHandle<KVRBasicFrame3D>& frame) const {
  return hasSpatialChild(frame);
}
void KVRBasicBody3D::getFrames(KVRSharedVector<KVRBasicFrame3D>& frames) const {
  collectSpatialChildren(*this, KVRBasicFrame3D::ClassInfo_, frames);
}
void KVRBasicBody3D::getFrames(KVRSharedList<KVRBasicFrame3D>& frames) const {
  collectSpatialChildren(*this, KVRBasicFrame3D::ClassInfo_, frames);
}
int KVRBasicBody3D::getFrameCount() const { return getSpatialChildrenCount(KVRBasicFrame3D::ClassInfo_); }

void KVRBasicBody3D::addTagPoint(const KVRSharedHandle<KVRBasicTagPoint3D>& point) { addOwned(point); }
void KVRBasicBody3D::removeTagPoint(const KVRSharedHandle<KVRBasicTagPoint3D>& point) { removeOwned(point); }
void KVRBasicBody3D::removeTagPoints() {
  removeOwnedOfClass(KVRBasicTagPoint3D::ClassInfo_, TagPointsRemoved);
}
void KVRBasicBody3D::destroyPoint(const KVRSharedHandle<KVRBasicTagPoint3D>& point) {
  orphanLogicalChild(point);
}
void KVRBasicBody3D::destroyPoints() {
  destroyOwnedOfClass(KVRBasicTagPoint3D::ClassInfo_, TagPointsRemoved);
}
bool KVRBasicBody3D::hasPoint(const KVRSharedHandle<KVRBasicTagPoint3D>& point) const {
  return hasSpatialChild(point);
}
void KVRBasicBody3D::getTagPoints(KVRSharedVector<KVRBasicTagPoint3D>& points) const {
  collectSpatialChildren(*this, KVRBasicTagPoint3D::ClassInfo_, points);
}
void KVRBasicBody3D::getTagPoints(KVRSharedList<KVRBasicTagPoint3D>& points) const {
  collectSpatialChildren(*this, KVRBasicTagPoint3D::ClassInfo_, points);
}
int KVRBasicBody3D::getTagPointCount() const {
  return getSpatialChildrenCount(KVRBasicTagPoint3D::ClassInfo_);
}

void KVRBasicBody3D::addPath(const KVRSharedHandle<KVRBasicPath3D>& path) { addOwned(path); }
void KVRBasicBody3D::removePath(const KVRSharedHandle<KVRBasicPath3D>& path) { removeOwned(path); }
void KVRBasicBody3D::removePaths() { removeOwnedOfClass(KVRBasicPath3D::ClassInfo_, PathsRemoved); }
void KVRBasicBody3D::destroyPath(const KVRSharedHandle<KVRBasicPath3D>& path) { orphanLogicalChild(path); }
void KVRBasicBody3D::destroyPaths() { destroyOwnedOfClass(KVRBasicPath3D::ClassInfo_, PathsRemoved); }
bool KVRBasicBody3D::hasPath(const KVRSharedHandle<KVRBasicPath3D>& path) const {
  return hasSpatialChild(path);
}
void KVRBasicBody3D::getPaths(KVRSharedVector<KVRBasicPath3D>& paths) const {
  collectSpatialChildren(*this, KVRBasicPath3D::ClassInfo_, paths);
}
void KVRBasicBody3D::getPaths(KVRSharedList<KVRBasicPath3D>& paths) const {
  collectSpatialChildren(*this, KVRBasicPath3D::ClassInfo_, paths);
}
int KVRBasicBody3D::getPathCount() const { return getSpatialChildrenCount(KVRBasicPath3D::ClassInfo_); }

void KVRBasicBody3D::cloneFrames(const KVRBasicBody3D&, CopyMode) {
  respatialiseChildren(KVRBasicFrame3D::ClassInfo_);
}
void KVRBasicBody3D::cloneTagPoints(const KVRBasicBody3D&, CopyMode) {
  respatialiseChildren(KVRBasicTagPoint3D::ClassInfo_);
}
void KVRBasicBody3D::clonePaths(const KVRBasicBody3D&, CopyMode) {
  respatialiseChildren(KVRBasicPath3D::ClassInfo_);
}

// --- Inner and outer bodies --------------------------------------------------

KVRSharedHandle<KVRBasicBody3D> KVRBasicBody3D::getInnerBody() const {
  return KVRSharedHandle<KVRBasicBody3D>::downcast(getSpatialParent());
}

bool KVRBasicBody3D::hasOuterBody(const KVRSharedHandle<KVRBasicBody3D>& body) const {
  return hasSpatialChild(body);
}

void KVRBasicBody3D::getOuterBodies(KVRSharedVector<KVRBasicBody3D>& bodies) const {
  collectSpatialChildren(*this, ClassInfo_, bodies);
}

void KVRBasicBody3D::getOuterBodies(KVRSharedList<KVRBasicBody3D>& bodies) const {
  collectSpatialChildren(*this, ClassInfo_, bodies);
}

int KVRBasicBody3D::getOuterBodyCount() const { return getSpatialChildrenCount(ClassInfo_); }

void KVRBasicBody3D::setAttachment(const KVRSharedHandle<KVRBasicConnection3D>& attachment) {
  if (attachment) {
    checkLinkable();
    attachment->checkLinkable();
  }
  attachment_ = attachment;
}

void KVRBasicBody3D::setInnerBodyOriginal(const KVRSharedHandle<KVRBasicBody3D>& body) {
  if (body) {
    checkLinkable();
    body->checkLinkable();
  }
  innerBodyOriginal_ = body;
}

void KVRBasicBody3D::setHomeAttachBody(const KVRSharedHandle<KVRBasicBody3D>& body) {
  if (body) {
    checkLinkable();
    body->checkLinkable();
  }
  homeAttachBody_ = body;
}

void KVRBasicBody3D::setInnerBody(const KVRSharedHandle<KVRBasicBody3D>& inner,
                                  const KVRSharedHandle<KVRBasicConnection3D>& connection) {
  requireEntity(inner, L"an inner body");
  requireEntity(connection, L"an inner connection");
  try {
    inner->checkSpatialChild(KVRSharedHandle<KVRBasicEntity3D>(this));
  } catch (const KVREAlreadyRegistered&) {
    throwAlreadyConnected(*this);
  }
  connection->checkLinkable();
  // The connection places this body on `inner`: one between other bodies
  // would be disconnected in this body's name later.
  if (connection->getOuterBody().get() != this || connection->getInnerBody() != inner)
    throw KVREInvalidRelation(L"%1 does not connect %2 to %3")
        << connection->getEntityTitle(FullName, ExternalNameSeparator)
        << getEntityTitle(FullName, ExternalNameSeparator)
        << inner->getEntityTitle(FullName, ExternalNameSeparator);
  addSpatialParent(inner);
  innerConnection_ = connection;
  noteChange(KVRChangeLog::Holder);
  setEvent(InnerBodyChanged);
  setEvent(InnerConnectionChanged);
  setEvent(InnerBodySet);
}

void KVRBasicBody3D::clearInnerBody() {
  const KVRSharedHandle<KVRBasicConnection3D> connection = innerConnection_;
  // A spatial parent that is not a body has no outer bodies to tell.
  forgetInnerConnection(dynamic_cast<KVRBasicBody3D*>(getSpatialParent().get()));
  removeSpatialParent();
  // Left connected, the connection would name a body it does not carry. When
  // the connection itself is disconnecting, it is disconnected already.
  if (connection && connection->getOuterBody().get() == this) connection->disconnectBodies();
}

void KVRBasicBody3D::forgetInnerConnection(KVRBasicBody3D* inner) {
  if (inner) inner->clearOuterBody();
  // An attachment that no longer carries the body does not count as attached.
  if (attachment_ == innerConnection_) attachment_.detach();
  innerConnection_.detach();
  transientState_ = 0;
  noteChange(KVRChangeLog::Holder);
  setEvent(InnerBodyChanged);
  setEvent(InnerConnectionChanged);
  setEvent(InnerBodyCleared);
}

void KVRBasicBody3D::onSpatialParentCleared(KVRBasicEntity3D& formerParent) {
  if (!innerConnection_) return;
  // Taken off the inner body without its connection: the connection would
  // otherwise keep the body counted as hanging, and the inner body alive.
  const KVRSharedHandle<KVRBasicConnection3D> connection = innerConnection_;
  forgetInnerConnection(dynamic_cast<KVRBasicBody3D*>(&formerParent));
  connection->disconnectBodies();  // no longer this body's: it only lets go of both bodies
}

void KVRBasicBody3D::clearOuterBody() { setEvent(OuterBodyLeft); }

// --- Attaching, grabbing, detaching ------------------------------------------

bool KVRBasicBody3D::hangsOnItsConnection(const KVRBasicBody3D& body) {
  const KVRBasicConnection3D* connection = body.innerConnection_.get();
  return connection && connection->getOuterBody().get() == &body &&
         connection->getInnerBody().get() == body.getSpatialParent().get();
}

void KVRBasicBody3D::refuseCarrying(const KVRSharedHandle<KVRBasicBody3D>& body, bool afterDisconnect) const {
  requireEntity(body, L"a carried body");
  checkLinkable();
  body->checkLinkable();
  if (body.get() == this) throw KVREInvalidRelation(L"The inner and outer bodies cannot be the same entity");
  // A connection the body hangs on is taken off first; any other spatial
  // parent stays and would refuse this body as a second one.
  const bool staysLinked =
      afterDisconnect ? body->hasSpatialParent() && !hangsOnItsConnection(*body) : body->hasSpatialParent();
  if (staysLinked) throwAlreadyConnected(*body);
  refuseSpatialCycle(*this, *body);
}

KVRSharedHandle<KVRBasicAttachment3D> KVRBasicBody3D::makeAttachment(
    const KVRSharedHandle<KVRBasicBody3D>& body, const Xform& innerOffset, const Xform& outerOffset) {
  KVRSharedHandle<KVRBasicAttachment3D> attachment(new KVRBasicAttachment3D);
  attachment->setEntityName(getEntityName(BaseName, ExternalNameSeparator) + L"-" +
                            body->getEntityName(BaseName, ExternalNameSeparator));
  attachment->connectBodies(KVRSharedHandle<KVRBasicBody3D>(this), body, innerOffset, outerOffset);
  return attachment;
}

void KVRBasicBody3D::takeOffConnection(const KVRSharedHandle<KVRBasicBody3D>& body) {
  const KVRSharedHandle<KVRBasicConnection3D> connection = body->getInnerConnection();
  if (!connection) return;
  // An orphaned original is nowhere to go back to: the current inner body replaces it.
  if (!body->innerBodyOriginal_ || body->innerBodyOriginal_->isOrphaned())
    body->innerBodyOriginal_ = connection->getInnerBody();
  connection->disconnectBodies();
}

void KVRBasicBody3D::hang(const KVRSharedHandle<KVRBasicBody3D>& body,
                          const KVRSharedHandle<KVRBasicAttachment3D>& attachment, const Xform& relative) {
  body->setInnerBody(KVRSharedHandle<KVRBasicBody3D>(this), attachment);
  body->setAttachment(attachment);
  Xform location = relative;
  attachment->setRelativeLocation(location);
  attachment->propagateLocation();
}

void KVRBasicBody3D::attachBody(const KVRSharedHandle<KVRBasicBody3D>& body, const Xform& location) {
  requireFinite(location.isFinite(), L"location to attach at");
  refuseCarrying(body, true);
  takeOffConnection(body);
  const KVRSharedHandle<KVRBasicAttachment3D> attachment = makeAttachment(body, location, Xform::Identity);
  hang(body, attachment, location);
  body->flushSpatialState();
  setEvent(BodyAttached);
}

void KVRBasicBody3D::attachBody(const KVRSharedHandle<KVRBasicBody3D>& body) {
  attachBody(body, Xform::Identity);
}

void KVRBasicBody3D::attachBody(const KVRSharedHandle<KVRBasicBody3D>& body,
                                const KVRSharedHandle<KVRBasicFrame3D>& frame) {
  requireEntity(frame, L"a frame to attach at");
  if (!hasFrame(frame))
    throw KVREInvalidRelation(L"%1 is not attached to %2")
        << frame->getEntityTitle(FullName, ExternalNameSeparator)
        << getEntityTitle(FullName, ExternalNameSeparator);
  attachBody(body, frame->getFrameLocation());
}

void KVRBasicBody3D::attachBodies(const KVRSharedHandle<KVRBasicBody3D>& body) {
  refuseCarrying(body, false);
  // X_BA: this body seen from the carried one; its inverse is where the carried body stands on this one.
  const Xform x = body->getBaseLocation().inverse() * getBaseLocation();
  const KVRSharedHandle<KVRBasicAttachment3D> attachment = makeAttachment(body, Xform::Identity, x);
  hang(body, attachment, x.inverse());
  setEvent(BodyAttached);
}

void KVRBasicBody3D::grabBody(const KVRSharedHandle<KVRBasicBody3D>& body, int transientState) {
  refuseCarrying(body, true);
  takeOffConnection(body);
  attachBodies(body);
  body->setTransientState(transientState);
}

void KVRBasicBody3D::detachBody() {
  if (!attachment_) return;
  const KVRSharedHandle<KVRBasicBody3D> self(this);
  // An orphaned body takes nothing back.
  const auto live = [](const KVRSharedHandle<KVRBasicBody3D>& body) {
    return body && !body->isOrphaned() ? body : KVRSharedHandle<KVRBasicBody3D>();
  };
  const KVRSharedHandle<KVRBasicBody3D> home = live(homeAttachBody_), original = live(innerBodyOriginal_);
  // Where the body goes must accept it; check before anything is undone.
  if (home)
    home->refuseCarrying(self, true);
  else if (original)
    original->refuseCarrying(self, true);

  const KVRSharedHandle<KVRBasicConnection3D> attachment = attachment_;
  attachment->disconnectBodies();
  attachment_.detach();
  if (home) {
    home->grabBody(self, 0);
  } else if (original) {
    // X_OB: where this body stands now, seen from the body it goes back to.
    const Xform x = original->getBaseLocation().inverse() * getBaseLocation();
    original->attachBody(self, x);
    attachment_.detach();  // hangs there again, but does not count as attached
  }
}

int KVRBasicBody3D::grabBody(const KVRSharedHandle<KVRBasicBody3D>& grabbing,
                             const KVRSharedHandle<KVRBasicBody3D>& grabbed) {
  if (!grabbing || !grabbed) return 0;
  grabbing->grabBody(grabbed, 1);
  return 1;
}

int KVRBasicBody3D::detachBody(const KVRSharedHandle<KVRBasicBody3D>& body,
                               const KVRSharedHandle<KVRBasicBody3D>& releasing) {
  if (!body || !body->hasInnerBody() || body->getTransientState() == 0) return 1;
  // Only the body's carrier, or an anonymous caller, releases it.
  if (releasing && releasing.get() != body->getSpatialParent().get()) return 1;
  body->detachBody();
  return 1;
}

void KVRBasicBody3D::grab_list_cb(const KVRSharedConstPointer<KVRNotificationAgent>&,
                                  const KVRNotificationBase* notification) {
  const auto* list = dynamic_cast<const KVRNotifyBasicBody3DList*>(notification);
  if (!list) return;
  const KVRSharedSnapshot<KVRBasicBody3D> bodies(list->getBodies());
  // All or nothing: every body is checked before the first is grabbed.
  for (std::size_t i = 0; i < bodies.size(); ++i)
    if (isGrabCandidate(bodies[i])) refuseCarrying(bodies[i], true);
  for (std::size_t i = 0; i < bodies.size(); ++i)
    if (isGrabCandidate(bodies[i])) grabBody(bodies[i], 1);
}

bool KVRBasicBody3D::isGrabCandidate(const KVRSharedHandle<KVRBasicBody3D>& body) const {
  // Skipped: nothing, this body itself, its own ancestors, and bodies that
  // are grabbed already.
  return body && body.get() != this && !hasSpatialAncestor(body) && body->getTransientState() == 0;
}

// --- Orphaning ---------------------------------------------------------------

void KVRBasicBody3D::orphanObject() {
  if (isOrphaned()) return;
  orphanMembers();
  KVRBasicEntity3D::orphanObject();
}

KVRBasicConnection3D* KVRBasicBody3D::removeNamingConnection(std::size_t slot) {
  KVRBasicConnection3D* last = namedBy_.back();
  namedBy_[slot] = last;
  namedBy_.pop_back();
  return slot < namedBy_.size() ? last : nullptr;
}

void KVRBasicBody3D::orphanMembers() {
  if (innerConnection_) KVRSharedHandle<KVRBasicConnection3D>(innerConnection_)->disconnectBodies();
  // A connection only recorded between this body and another would keep it
  // alive, and name a body that is gone.
  while (!namedBy_.empty()) KVRSharedHandle<KVRBasicConnection3D>(namedBy_.back())->disconnectBodies();
  // Bodies may name each other (or themselves) as home or original: orphaned,
  // such links would keep them alive for ever.
  homeAttachBody_.detach();
  innerBodyOriginal_.detach();
}

// --- The notification handing bodies to grab_list_cb -------------------------

KVRNotifyBasicBody3DList::KVRNotifyBasicBody3DList(const KVRNotifyBasicBody3DList& source, CopyMode mode)
    : KVRNotificationBase(source, mode), bodies_(source.bodies_) {}

KVRNotifyBasicBody3DList::~KVRNotifyBasicBody3DList() { KVRNotifyBasicBody3DList::orphanObject(); }

const KVRClassInfo& KVRNotifyBasicBody3DList::getClassInfo() const { return ClassInfo_; }

void KVRNotifyBasicBody3DList::orphanObject() {
  if (isOrphaned()) return;
  bodies_.clear();
  KVRNotificationBase::orphanObject();
}
