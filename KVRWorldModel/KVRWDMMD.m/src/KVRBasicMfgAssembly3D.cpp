#include "KVRBasicMfgAssembly3D.h"

#include <algorithm>
#include <iomanip>
#include <ostream>

#include "KVRBasicAttachment3D.h"
#include "KVRBasicFrame3D.h"
#include "KVRBasicPart3D.h"
#include "KVRBasicWorld.h"
#include "KVRException.h"

constinit const KVRClassInfo KVRBasicMfgAssembly3D::ClassInfo_ =
    KVRClassInfo::concrete<KVRBasicMfgAssembly3D>("KVRBasicMfgAssembly3D", KVRBasicBody3D::ClassInfo_);
constinit const KVRUUID KVRBasicMfgAssembly3D::ClassID_("6f1c2a3e-8b4d-4e15-9a70-1d2c3b4a5e11");

namespace {

using Where = KVRSourceLocation;

KVRMessage titleOf(const KVRBasicEntity& entity) {
  return entity.getEntityTitle(KVRBasicEntity::FullName, KVRBasicEntity::ExternalNameSeparator);
}

std::wstring baseNameOf(const KVRBasicEntity& entity) {
  return entity.getEntityName(KVRBasicEntity::BaseName, KVRBasicEntity::ExternalNameSeparator);
}

std::string fullNameOf(const KVRBasicEntity& entity) {
  return KVRToUtf8(entity.getEntityName(KVRBasicEntity::FullName, KVRBasicEntity::ExternalNameSeparator));
}

// The messages, each built here only; the exception records the caller's line.

[[noreturn]] void throwAlreadyConnected(const KVRBasicBody3D& body, Where where = Where::current()) {
  throw KVREAlreadyRegistered(L"%1 is already connected to another body", where) << titleOf(body);
}

[[noreturn]] void throwIsLogicalChild(const KVRBasicEntity& child, const KVRBasicEntity& parent,
                                      Where where = Where::current()) {
  throw KVREAlreadyRegistered(L"%1 is a logical child of %2", where) << titleOf(child) << titleOf(parent);
}

template <class E>
[[noreturn]] void throwNotLogicalChild(const KVRBasicEntity& child, const KVRBasicEntity& parent,
                                       Where where = Where::current()) {
  throw E(L"%1 is not a logical child of %2", where) << titleOf(child) << titleOf(parent);
}

// Taking `body` out of its assembly destroys `attachment` with its logical
// subtree: KVREInvalidRelation when `entity` lies in it, before anything changes.
void refuseDestroyedWith(const KVRBasicEntity& entity, const KVRBasicEntity& attachment,
                         const KVRBasicEntity& body) {
  for (const KVRBasicEntity* e = &entity; e; e = e->getLogicalParent().get())
    if (e == &attachment)
      throw KVREInvalidRelation(L"%1 lies below %2, which is destroyed when %3 is taken out of its assembly")
          << titleOf(entity) << titleOf(attachment) << titleOf(body);
}

bool isAssembly(const KVRBasicEntity3D& entity) {
  return entity.isDerivedFrom(KVRBasicMfgAssembly3D::ClassInfo_);
}
bool isPart(const KVRBasicEntity3D& entity) { return entity.isDerivedFrom(KVRBasicPart3D::ClassInfo_); }

}  // namespace

// What adding a body takes: nothing at all, the logical link only, or an
// attachment; which assembly the body leaves first; whether it is adopted.
struct KVRBasicMfgAssembly3D::Adding {
  enum Kind { Nothing, LogicalOnly, Attach };
  Kind kind = Attach;
  KVRSharedHandle<KVRBasicMfgAssembly3D> leaving;
  bool adopt = true;
};

// --- Construction --------------------------------------------------------------

KVRBasicMfgAssembly3D::KVRBasicMfgAssembly3D() = default;

KVRBasicMfgAssembly3D::KVRBasicMfgAssembly3D(const KVRBasicMfgAssembly3D& source, CopyMode mode)
    : KVRBasicBody3D(source, mode) {}

KVRBasicMfgAssembly3D::~KVRBasicMfgAssembly3D() { KVRBasicMfgAssembly3D::orphanObject(); }

const KVRClassInfo& KVRBasicMfgAssembly3D::getClassInfo() const { return ClassInfo_; }
const KVRUUID& KVRBasicMfgAssembly3D::getClassID() const { return ClassID_; }
KVRMessage KVRBasicMfgAssembly3D::getEntityTypeName() const { return KVRMessage(L"Assembly"); }

KVRDynamicObject* KVRBasicMfgAssembly3D::duplicateObject(CopyMode mode) const {
  return KVRBasicBody3D::duplicateObject(mode);
}

// --- Adding bodies ---------------------------------------------------------------

void KVRBasicMfgAssembly3D::refuseLogicalCycle(const KVRBasicBody3D& body) const {
  // Walk the real parent links: the cached ancestor lists may be stale.
  for (KVRSharedHandle<KVRBasicEntity> e(const_cast<KVRBasicMfgAssembly3D*>(this)); e;
       e = e->getLogicalParent())
    if (e.get() == &body)
      throw KVREInvalidRelation(L"%1 cannot become a logical child of %2, which lies in its own subtree")
          << titleOf(body) << titleOf(*this);
}

KVRBasicMfgAssembly3D::Adding KVRBasicMfgAssembly3D::planAdding(
    const KVRSharedHandle<KVRBasicBody3D>& body) const {
  requireEntity(body, L"a body");
  if (body.get() == this) throw KVREInvalidRelation(L"The inner and outer bodies cannot be the same entity");
  // Before the body leaves an assembly it hangs on.
  checkLinkable();
  body->checkLinkable();
  Adding plan;
  if (const KVRSharedHandle<KVRBasicEntity3D> inner = body->getSpatialParent()) {
    if (isPart(*inner) && body->getInnerBodyOriginal()) {
      // Attached to the part elsewhere: it stays there and only joins logically.
      plan.kind = Adding::LogicalOnly;
    } else if (isAssembly(*inner)) {
      // It leaves that assembly first, which frees it only when it hangs
      // there through an attachment of that assembly.
      plan.leaving = KVRSharedHandle<KVRBasicMfgAssembly3D>::downcast(inner);
      const KVRSharedHandle<KVRBasicConnection3D> connection = body->getInnerConnection();
      const bool freed = plan.leaving->hasLogicalChild(body) && connection &&
                         plan.leaving->hasLogicalChild(connection) && !body->getInnerBodyOriginal();
      if (!freed) throwAlreadyConnected(*body);
      refuseDestroyedWith(*this, *connection, *body);
    } else {
      plan.kind = Adding::Nothing;  // it hangs on some other body: left alone
      return plan;
    }
  }
  const KVRSharedHandle<KVRBasicEntity> parent = body->getLogicalParent();
  if (plan.leaving) {
    // Its logical parent is the assembly it leaves.
  } else if (parent.get() == this) {
    plan.adopt = false;
  } else if (parent) {
    throwIsLogicalChild(*body, *parent);
  }
  if (plan.kind == Adding::Attach) refuseSpatialCycle(*this, *body);
  if (plan.adopt) refuseLogicalCycle(*body);
  return plan;
}

KVRSharedHandle<KVRBasicAttachment3D> KVRBasicMfgAssembly3D::makeAttachment(
    const KVRBasicBody3D& body) const {
  KVRSharedHandle<KVRBasicAttachment3D> attachment(new KVRBasicAttachment3D);
  attachment->setEntityName(baseNameOf(*this) + L"-" + baseNameOf(body));
  return attachment;
}

void KVRBasicMfgAssembly3D::hang(const KVRSharedHandle<KVRBasicBody3D>& body,
                                 const KVRSharedHandle<KVRBasicAttachment3D>& attachment, const Xform& X_AB) {
  body->setInnerBody(KVRSharedHandle<KVRBasicBody3D>(this), attachment);
  Xform relative = X_AB;
  attachment->setRelativeLocation(relative);
  attachment->propagateLocation();
  addLogicalChild(attachment);
}

void KVRBasicMfgAssembly3D::addPlanned(const Adding& plan, const KVRSharedHandle<KVRBasicBody3D>& body,
                                       const Xform& innerOffset, const Xform& outerOffset) {
  if (plan.kind == Adding::Nothing) return;
  if (plan.leaving) plan.leaving->removeBody(body);
  if (plan.kind == Adding::Attach) {
    const KVRSharedHandle<KVRBasicAttachment3D> attachment = makeAttachment(*body);
    attachment->connectBodies(KVRSharedHandle<KVRBasicBody3D>(this), body, innerOffset, outerOffset);
    // X_AB = I · O⁻¹: with the identity variable location the attachment keeps.
    Xform X_AB = innerOffset;
    X_AB /= outerOffset;
    hang(body, attachment, X_AB);
  }
  if (plan.adopt) addLogicalChild(body);
}

void KVRBasicMfgAssembly3D::addBody(const KVRSharedHandle<KVRBasicBody3D>& body) {
  const Adding plan = planAdding(body);
  // X_BA: the assembly seen from the body; the outer offset that keeps the body where it stands.
  const Xform X_BA = body->getBaseLocation().inverse() * getBaseLocation();
  addPlanned(plan, body, Xform::Identity, X_BA);
}

void KVRBasicMfgAssembly3D::addBody(const KVRSharedHandle<KVRBasicBody3D>& body, const Xform& innerOffset,
                                    const Xform& outerOffset) {
  requireFinite(innerOffset.isFinite(), L"inner offset");
  requireFinite(outerOffset.isFinite(), L"outer offset");
  addPlanned(planAdding(body), body, innerOffset, outerOffset);
}

void KVRBasicMfgAssembly3D::addBody(const KVRSharedHandle<KVRBasicBody3D>& body,
                                    const KVRSharedHandle<KVRBasicFrame3D>& innerFrame,
                                    const KVRSharedHandle<KVRBasicFrame3D>& outerFrame) {
  requireEntity(body, L"a body");
  requireEntity(innerFrame, L"an inner frame");
  requireEntity(outerFrame, L"an outer frame");
  if (body.get() == this) throw KVREInvalidRelation(L"The inner and outer bodies cannot be the same entity");
  checkLinkable();
  body->checkLinkable();
  if (innerFrame->getAttachedBody().get() != this)
    throw KVREInvalidRelation(L"The specified inner frame is not attached to %1") << titleOf(*this);
  if (outerFrame->getAttachedBody() != body)
    throw KVREInvalidRelation(L"The specified outer frame is not attached to %1") << titleOf(*body);
  if (const KVRSharedHandle<KVRBasicEntity3D> inner = body->getSpatialParent()) {
    if (inner.get() != this) throwNotLogicalChild<KVREInvalidRelation>(*body, *this);
    throwAlreadyConnected(*body);
  }
  Adding plan;
  if (const KVRSharedHandle<KVRBasicEntity> parent = body->getLogicalParent()) {
    if (parent.get() != this) throwIsLogicalChild(*body, *parent);
    plan.adopt = false;
  }
  refuseSpatialCycle(*this, *body);
  if (plan.adopt) refuseLogicalCycle(*body);

  const KVRSharedHandle<KVRBasicAttachment3D> attachment = makeAttachment(*body);
  attachment->connectBodies(innerFrame, outerFrame);
  // X_AB = X_AI · X_BO⁻¹: the outer frame O of the body on the inner frame I of the assembly.
  Xform X_AB = innerFrame->getFrameLocation();
  X_AB /= outerFrame->getFrameLocation();
  hang(body, attachment, X_AB);
  if (plan.adopt) addLogicalChild(body);
}

// --- Queries -----------------------------------------------------------------------

unsigned int KVRBasicMfgAssembly3D::getBodyCount() const {
  return static_cast<unsigned int>(getLogicalChildrenCount(KVRBasicBody3D::ClassInfo_));
}

KVRSharedVector<KVRBasicEntity>::const_iterator KVRBasicMfgAssembly3D::findChildEntity(
    const KVRSharedVector<KVRBasicEntity>& children, const std::wstring& name) const {
  return std::find_if(children.begin(), children.end(), [&](const KVRSharedHandle<KVRBasicEntity>& child) {
    return baseNameOf(*child) == name;
  });
}

KVRSharedHandle<KVRBasicBody3D> KVRBasicMfgAssembly3D::getBody(const std::wstring& name) const {
  // Among the bodies only: a frame or an attachment of that name is not a body.
  KVRSharedVector<KVRBasicEntity> bodies;
  getLogicalChildren(KVRBasicBody3D::ClassInfo_, bodies);
  const auto found = findChildEntity(bodies, name);
  return found == bodies.end() ? KVRSharedHandle<KVRBasicBody3D>()
                               : KVRSharedHandle<KVRBasicBody3D>::downcast(*found);
}

void KVRBasicMfgAssembly3D::getBodies(KVRSharedVector<KVRBasicBody3D>& bodies) const {
  KVRSharedVector<KVRBasicEntity> children;
  getLogicalChildren(KVRBasicBody3D::ClassInfo_, children);
  KVRSharedAssign(bodies, children);
}

void KVRBasicMfgAssembly3D::getBodies(KVRSharedList<KVRBasicBody3D>& bodies) const {
  KVRSharedList<KVRBasicEntity> children;
  getLogicalChildren(KVRBasicBody3D::ClassInfo_, children);
  KVRSharedAssign(bodies, children);
}

KVRSharedHandle<KVRBasicMfgAssembly3D> KVRBasicMfgAssembly3D::getParentAssembly() const {
  const KVRSharedHandle<KVRBasicEntity> parent = getLogicalParent();
  return parent.isDerivedFrom(ClassInfo_) ? KVRSharedHandle<KVRBasicMfgAssembly3D>::downcast(parent)
                                          : KVRSharedHandle<KVRBasicMfgAssembly3D>();
}

KVRSharedHandle<KVRBasicMfgAssembly3D> KVRBasicMfgAssembly3D::getRootAssembly() const {
  return KVRSharedHandle<KVRBasicMfgAssembly3D>::downcast(getLogicalAncestor(ClassInfo_));
}

KVRSharedHandle<KVRBasicMfgAssembly3D> KVRBasicMfgAssembly3D::KVRGetRootAssembly(
    const KVRSharedHandle<KVRBasicWorld>& world) {
  if (!world) return KVRSharedHandle<KVRBasicMfgAssembly3D>();
  KVRSharedVector<KVRBasicEntity> assemblies;
  world->getLogicalChildren(ClassInfo_, assemblies);
  return assemblies.empty() ? KVRSharedHandle<KVRBasicMfgAssembly3D>()
                            : KVRSharedHandle<KVRBasicMfgAssembly3D>::downcast(assemblies.front());
}

// --- Location of a nested assembly ---------------------------------------------------

int KVRBasicMfgAssembly3D::setAssemblyLocation(Xform& location) {
  requireFinite(location.isFinite(), L"assembly location");
  const KVRSharedHandle<KVRBasicMfgAssembly3D> root = getRootAssembly();
  if (!root || root.get() == this) return 0;
  return setRelativeLocationAndUpdate(location);
}

// --- Taking bodies out ------------------------------------------------------------------

KVRSharedHandle<KVRBasicConnection3D> KVRBasicMfgAssembly3D::ownAttachment(const KVRBasicBody3D& body) const {
  KVRSharedHandle<KVRBasicConnection3D> connection = body.getInnerConnection();
  return connection && hasLogicalChild(connection) ? connection : KVRSharedHandle<KVRBasicConnection3D>();
}

void KVRBasicMfgAssembly3D::removeBody(const KVRSharedHandle<KVRBasicBody3D>& body) {
  if (!body || !hasLogicalChild(body)) return;
  // The attachment goes with the body, unless the body remembers an inner
  // body it was taken from: it then stays where it hangs.
  if (const KVRSharedHandle<KVRBasicConnection3D> attachment = ownAttachment(*body);
      attachment && !body->getInnerBodyOriginal())
    orphanLogicalChild(attachment);
  removeLogicalChild(body);
}

void KVRBasicMfgAssembly3D::removeBody(const std::wstring& name) { removeBody(getBody(name)); }

void KVRBasicMfgAssembly3D::destroyBody(const KVRSharedHandle<KVRBasicBody3D>& body) {
  if (!body || !hasLogicalChild(body)) return;
  // A body without a connection (after destroyAttachments, say) goes alone;
  // one hanging through a connection that is not this assembly's is refused
  // (KVRENotFound) before anything changes.
  if (const KVRSharedHandle<KVRBasicConnection3D> connection = body->getInnerConnection())
    orphanLogicalChild(connection);
  orphanLogicalChild(body);
}

void KVRBasicMfgAssembly3D::destroyBody(const std::wstring& name) { destroyBody(getBody(name)); }

void KVRBasicMfgAssembly3D::replaceBody(const KVRSharedHandle<KVRBasicBody3D>& oldBody,
                                        const KVRSharedHandle<KVRBasicBody3D>& newBody) {
  requireEntity(oldBody, L"the body to replace");
  requireEntity(newBody, L"the replacing body");
  if (!hasLogicalChild(oldBody)) throwNotLogicalChild<KVRENotFound>(*oldBody, *this);
  if (hasLogicalChild(newBody)) throwIsLogicalChild(*newBody, *this);
  const KVRSharedHandle<KVRBasicConnection3D> connection = oldBody->getInnerConnection();
  if (connection) {
    findLogicalChild(connection);  // KVRENotFound when it is not this assembly's
    refuseDestroyedWith(*newBody, *connection, *oldBody);
  }
  const Adding plan = planAdding(newBody);
  if (plan.kind == Adding::Nothing) throwAlreadyConnected(*newBody);

  const Xform innerOffset = connection ? connection->getInnerOffset() : Xform::Identity;
  const Xform outerOffset = connection ? connection->getOuterOffset() : Xform::Identity;
  if (connection) orphanLogicalChild(connection);
  removeLogicalChild(oldBody);
  addPlanned(plan, newBody, innerOffset, outerOffset);
}

void KVRBasicMfgAssembly3D::removeAll() {
  orphanLogicalChildren(KVRBasicAttachment3D::ClassInfo_);
  removeSpatialChildren();
  removeLogicalChildren();
}

void KVRBasicMfgAssembly3D::destroyAll() {
  removeSpatialChildren();
  orphanLogicalChildren();
}

void KVRBasicMfgAssembly3D::destroyAttachments(const KVRClassInfo& info) {
  KVRSharedVector<KVRBasicEntity> children;
  getLogicalChildren(info, children);
  for (const auto& child : children) {
    const auto* body = dynamic_cast<const KVRBasicBody3D*>(child.get());
    if (!body || !(isPart(*body) || isAssembly(*body))) continue;
    // A connection that is not this assembly's (a part hanging on another
    // part, say) belongs to what the body hangs on: it stays.
    if (const KVRSharedHandle<KVRBasicConnection3D> attachment = ownAttachment(*body)) {
      attachment->disconnectBodies();
      orphanLogicalChild(attachment);
    }
  }
}

void KVRBasicMfgAssembly3D::destroyAttachments() { destroyAttachments(KVRBasicBody3D::ClassInfo_); }

// --- Text output ----------------------------------------------------------------------------

void KVRBasicMfgAssembly3D::dump(std::ostream& os) const {
  os << std::string(61, '-') << std::endl;
  os << fullNameOf(*this) << " ( " << getClassName() << " ) " << std::endl;
  os << "Relative Location: " << std::setw(3) << getRelativeLocation() << std::endl;
  os << "Base Location: " << std::setw(3) << getBaseLocation() << std::endl;
  os << "Body count = " << getBodyCount() << std::endl;
  os << std::endl;
  os << "Logical children: " << std::endl;
  KVRSharedVector<KVRBasicEntity> children;
  getLogicalChildren(children);
  for (const auto& child : children) os << fullNameOf(*child) << std::endl;
  os << "Spatial children: " << std::endl;
  KVRSharedVector<KVRBasicEntity3D> spatialChildren;
  getSpatialChildren(spatialChildren);
  for (const auto& child : spatialChildren) {
    os << fullNameOf(*child) << std::endl;
    os << "Entity Base Location: " << child->getBaseLocation() << std::endl;
  }
}

// --- Orphaning --------------------------------------------------------------------------------

void KVRBasicMfgAssembly3D::orphanObject() {
  if (isOrphaned()) return;
  orphanMembers();
  KVRBasicBody3D::orphanObject();
}
