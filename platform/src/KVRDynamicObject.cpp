#include "KVRDynamicObject.h"

constinit const KVRClassInfo KVRDynamicObject::ClassInfo_("KVRDynamicObject", sizeof(KVRDynamicObject),
                                                          nullptr, nullptr, nullptr);

namespace {
constexpr KVRUUID nilClassID("00000000-0000-0000-0000-000000000000");
}

KVRDynamicObject::~KVRDynamicObject() = default;

const KVRClassInfo& KVRDynamicObject::getClassInfo() const { return ClassInfo_; }

const KVRUUID& KVRDynamicObject::getClassID() const { return nilClassID; }

const char* KVRDynamicObject::getClassName() const { return getClassInfo().getClassName(); }

bool KVRDynamicObject::isInstanceOf(const KVRClassInfo& info) const {
  return getClassInfo().isInstanceOf(info);
}

bool KVRDynamicObject::isDerivedFrom(const KVRClassInfo& info) const {
  return getClassInfo().isDerivedFrom(info);
}

KVRDynamicObject* KVRDynamicObject::replicateObject() const {
  return getClassInfo().copyObject(*this, CopyAlone);
}

KVRDynamicObject* KVRDynamicObject::duplicateObject(CopyMode mode) const {
  return getClassInfo().copyObject(*this, mode);
}
