#include "KVRAttributeExt.h"

constinit const KVRClassInfo KVRAttributeExt::ClassInfo_ =
    KVRClassInfo::concrete<KVRAttributeExt>("KVRAttributeExt", KVRExtensionObject::ClassInfo_);
constinit const KVRUUID KVRAttributeExt::ClassID_("c2a94e1d-5f37-4b80-8d16-7e3b0a9f4c21");

KVRAttributeExt::KVRAttributeExt() = default;

KVRAttributeExt::KVRAttributeExt(const KVRAttributeExt& source, CopyMode mode)
    : KVRExtensionObject(source, mode), attributes_(source.attributes_) {}

KVRAttributeExt::~KVRAttributeExt() {
  orphanObject();
  attributes_.clear();
}

const KVRClassInfo& KVRAttributeExt::getClassInfo() const { return ClassInfo_; }

const KVRUUID& KVRAttributeExt::getClassID() const { return ClassID_; }

void KVRAttributeExt::bindMembers() {}
