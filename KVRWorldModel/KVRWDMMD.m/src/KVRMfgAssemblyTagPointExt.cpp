#include "KVRMfgAssemblyTagPointExt.h"

#include <iomanip>
#include <ostream>

#include "KVRBasicTagPoint3D.h"
#include "KVRException.h"

constinit const KVRClassInfo KVRMfgAssemblyTagPointExt::ClassInfo_ =
    KVRClassInfo::concrete<KVRMfgAssemblyTagPointExt>("KVRMfgAssemblyTagPointExt",
                                                      KVRExtensionObject::ClassInfo_);
constinit const KVRUUID KVRMfgAssemblyTagPointExt::ClassID_("6f1c2a3e-8b4d-4e15-9a70-1d2c3b4a5e12");

namespace {

// The tag point's base-location bit, the only one the extension follows.
const std::bitset<64> tagPointMovedMask = std::bitset<64>().set(KVRBasicEntity3D::BaseLocationChanged);

void refuseEmptyReference(const KVRSharedHandle<KVRBasicEntity3D>& reference) {
  if (!reference)
    throw KVREInvalidArgument(L"An empty handle was given as the reference entity of reference frames");
}

void refuseNonFinite(const KVRBasicXform3D<double>& X_F1, const KVRBasicXform3D<double>& X_F2) {
  if (!X_F1.isFinite() || !X_F2.isFinite())
    throw KVREInvalidArgument(L"A reference frame given to a tag point is not finite");
}

}  // namespace

KVRMfgAssemblyTagPointExt::KVRMfgAssemblyTagPointExt() = default;

KVRMfgAssemblyTagPointExt::KVRMfgAssemblyTagPointExt(const KVRMfgAssemblyTagPointExt& source, CopyMode mode)
    : KVRExtensionObject(source, mode),
      hasReferenceFrame_(source.hasReferenceFrame_),
      X_WF1_(source.X_WF1_),
      X_TF1_(source.X_TF1_),
      X_WF2_(source.X_WF2_),
      X_TF2_(source.X_TF2_) {}

// Unsubscribes here, while this class's orphanMembers is still the one called.
KVRMfgAssemblyTagPointExt::~KVRMfgAssemblyTagPointExt() { orphanObject(); }

const KVRClassInfo& KVRMfgAssemblyTagPointExt::getClassInfo() const { return ClassInfo_; }
const KVRUUID& KVRMfgAssemblyTagPointExt::getClassID() const { return ClassID_; }

KVRSharedHandle<KVRBasicTagPoint3D> KVRMfgAssemblyTagPointExt::getTagPoint() const {
  return KVRSharedHandle<KVRBasicTagPoint3D>::downcast(getBasicObject());
}

KVRMfgAssemblyTagPointExt::Xform KVRMfgAssemblyTagPointExt::tagPointLocation() const {
  const KVRSharedHandle<KVRBasicTagPoint3D> point = getTagPoint();
  return point ? point->getBaseLocation() : Xform::Identity;
}

// --- Reference frames ------------------------------------------------------------

void KVRMfgAssemblyTagPointExt::storeFrames(const Xform& X_WF1, const Xform& X_WF2) {
  const Xform X_TW = tagPointLocation().inverse();
  X_WF1_ = X_WF1;
  X_WF2_ = X_WF2;
  X_TF1_ = X_TW * X_WF1_;
  X_TF2_ = X_TW * X_WF2_;
  hasReferenceFrame_ = 1;
}

void KVRMfgAssemblyTagPointExt::setReferenceFrame(const Xform& X_WF1, const Xform& X_WF2) {
  refuseNonFinite(X_WF1, X_WF2);
  if (!getTagPoint()) return;
  storeFrames(X_WF1, X_WF2);
}

void KVRMfgAssemblyTagPointExt::setReferenceFrame(const Xform& X_EF1, const Xform& X_EF2,
                                                  const KVRSharedHandle<KVRBasicEntity3D>& reference) {
  refuseNonFinite(X_EF1, X_EF2);
  if (!getTagPoint()) return;
  refuseEmptyReference(reference);
  const Xform& X_WE = reference->getBaseLocation();
  storeFrames(X_WE * X_EF1, X_WE * X_EF2);
}

void KVRMfgAssemblyTagPointExt::getReferenceFrame(Xform& X_WF1, Xform& X_WF2) const {
  X_WF1 = X_WF1_;
  X_WF2 = X_WF2_;
}

void KVRMfgAssemblyTagPointExt::getReferenceFrame(Xform& X_EF1, Xform& X_EF2,
                                                  const KVRSharedHandle<KVRBasicEntity3D>& reference) const {
  refuseEmptyReference(reference);
  const Xform X_EW = reference->getBaseLocation().inverse();
  X_EF1 = X_EW * X_WF1_;
  X_EF2 = X_EW * X_WF2_;
}

// --- Hooks ---------------------------------------------------------------------------

void KVRMfgAssemblyTagPointExt::onEvent(const KVRSharedConstPointer<KVRBasicTagPoint3D>& point,
                                        const std::bitset<64>& mask) {
  if (!mask.test(KVRBasicEntity3D::BaseLocationChanged) || point.isNull()) return;
  const Xform& X_WT = point->getBaseLocation();
  X_WF1_ = X_WT * X_TF1_;
  X_WF2_ = X_WT * X_TF2_;
}

void KVRMfgAssemblyTagPointExt::bindMembers() {
  const KVRSharedHandle<KVRBasicTagPoint3D> point(getTagPoint(), KVRSharedBase::WriteLock);
  if (!point) return;
  point->addSubscriber(KVRMakeEventFunctor(this, &KVRMfgAssemblyTagPointExt::onEvent), tagPointMovedMask, -1);
}

void KVRMfgAssemblyTagPointExt::orphanMembers() {
  // No cast: this also runs while the tag point itself is being destroyed.
  if (const KVRSharedHandle<KVRExtendibleObject> object = getBasicObject())
    object->removeSubscriber(KVRMakeEventFunctor(this, &KVRMfgAssemblyTagPointExt::onEvent));
}

// --- Text output -----------------------------------------------------------------------

void KVRMfgAssemblyTagPointExt::dump(std::ostream& os) const {
  const KVRSharedHandle<KVRBasicTagPoint3D> point = getTagPoint();
  os << std::string(61, '-') << std::endl;
  if (point)
    os << KVRToUtf8(point->getEntityName(KVRBasicEntity::FullName, KVRBasicEntity::ExternalNameSeparator))
       << " ( " << point->getClassName() << " ) " << std::endl;
  else
    os << "(no tag point)" << std::endl;
  os << "Tag Point Base Location: " << std::setw(3) << tagPointLocation() << std::endl;
  os << "has reference frame = " << hasReferenceFrame_ << std::endl;
  os << "Reference frame base location: " << std::setw(3) << X_WF1_ << std::endl;
  os << "Tag Point to Reference Frame Xform: " << std::setw(3) << X_TF1_ << std::endl;
  os << "Reference frame base location: " << std::setw(3) << X_WF2_ << std::endl;
  os << "Tag Point to Reference Frame Xform: " << std::setw(3) << X_TF2_ << std::endl;
}
