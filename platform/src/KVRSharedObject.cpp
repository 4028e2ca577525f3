#include "KVRSharedObject.h"

#include <climits>

#include "KVRAssertion.h"
#include "KVRException.h"

constinit const KVRClassInfo KVRSharedObject::ClassInfo_ =
    KVRClassInfo::abstract<KVRSharedObject>("KVRSharedObject", KVRDynamicObject::ClassInfo_);

KVRSharedObject::~KVRSharedObject() = default;

const KVRClassInfo& KVRSharedObject::getClassInfo() const { return ClassInfo_; }

void KVRSharedObject::orphanObject() { orphaned_ = true; }

void KVRSharedObject::destroy() const {
  // While the destructor runs, handles made from `this` must not delete the
  // object a second time: keep the count far from zero.
  references_ = INT_MAX / 2;
  delete this;
}

void KVRThrowIncompatibleHandles() {
  throw KVREInvalidCast(L"The source and target handles have incompatible referent types");
}

void KVRSharedPointerDeleteGuard::operator delete(void*) {
  KVRReportAssertion("Software", L"Cannot delete a shared pointer");
}
