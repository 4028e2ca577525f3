#include "KVRExtendibleObject.h"

#include <algorithm>

#include "KVRException.h"

constinit const KVRClassInfo KVRExtensionObject::ClassInfo_ =
    KVRClassInfo::abstract<KVRExtensionObject>("KVRExtensionObject", KVRSharedObject::ClassInfo_);
constinit const KVRClassInfo KVRExtendibleObject::ClassInfo_ =
    KVRClassInfo::abstract<KVRExtendibleObject>("KVRExtendibleObject", KVRNotificationAgent::ClassInfo_);

KVRExtensionObject::KVRExtensionObject(const KVRExtensionObject& source, CopyMode)
    : KVRSharedObject(source) {}

KVRExtensionObject::~KVRExtensionObject() { KVRExtensionObject::orphanObject(); }

const KVRClassInfo& KVRExtensionObject::getClassInfo() const { return ClassInfo_; }

KVRSharedHandle<KVRExtendibleObject> KVRExtensionObject::getBasicObject() const {
  return KVRSharedHandle<KVRExtendibleObject>(basicObject_);
}

void KVRExtensionObject::bindMembers() {}

void KVRExtensionObject::orphanMembers() {}

void KVRExtensionObject::orphanObject() {
  if (isOrphaned()) return;
  orphanMembers();
  basicObject_ = nullptr;
  KVRSharedObject::orphanObject();
}

KVRExtensionObject* KVRExtensionObject::duplicateObject(CopyMode mode,
                                                        KVRSharedHandle<KVRNotificationAgent> owner) const {
  auto* copy = static_cast<KVRExtensionObject*>(getClassInfo().copyObject(*this, mode));
  if (!copy) return nullptr;
  KVRSharedHandle<KVRExtensionObject> held(copy);
  if (auto* extendible = dynamic_cast<KVRExtendibleObject*>(owner.get())) extendible->addExtension(held);
  return held.relinquish();
}

KVRExtendibleObject::KVRExtendibleObject(const KVRExtendibleObject& source, CopyMode)
    : KVRNotificationAgent(source) {}

KVRExtendibleObject::~KVRExtendibleObject() { KVRExtendibleObject::orphanObject(); }

const KVRClassInfo& KVRExtendibleObject::getClassInfo() const { return ClassInfo_; }

void KVRExtendibleObject::addExtension(const KVRSharedHandle<KVRExtensionObject>& extension) {
  if (!extension) throw KVREInvalidArgument(L"An empty extension cannot be attached");
  // Orphaning is what releases extensions: an orphaned object would keep one for good.
  if (isOrphaned()) throw KVREInvalidRelation(L"An extension cannot be attached to an orphaned object");
  if (extension->basicObject_ || extension->isOrphaned())
    throw KVREAlreadyRegistered(L"The extension is already attached to an object");
  if (getExtension(extension->getClassID()))
    throw KVREAlreadyRegistered(L"An extension of the same class is already attached to this object");
  extensions_.push_back(extension);
  extension->basicObject_ = this;
  try {
    extension->bindMembers();
  } catch (...) {
    extension->basicObject_ = nullptr;
    extensions_.pop_back();
    throw;
  }
}

bool KVRExtendibleObject::removeExtension(const KVRUUID& classID) {
  auto it = std::find_if(extensions_.begin(), extensions_.end(),
                         [&](const auto& e) { return e->getClassID() == classID; });
  if (it == extensions_.end()) return false;
  KVRSharedHandle<KVRExtensionObject> extension = *it;
  extensions_.erase(it);
  extension->orphanObject();
  return true;
}

KVRSharedHandle<KVRExtensionObject> KVRExtendibleObject::getExtension(const KVRUUID& classID) const {
  for (const auto& extension : extensions_)
    if (extension->getClassID() == classID) return extension;
  return KVRSharedHandle<KVRExtensionObject>();
}

void KVRExtendibleObject::orphanObject() {
  if (isOrphaned()) return;
  // Orphaning an extension may reach back into this object: work on a copy.
  std::vector<KVRSharedHandle<KVRExtensionObject>> extensions;
  extensions.swap(extensions_);
  for (auto& extension : extensions) extension->orphanObject();
  KVRNotificationAgent::orphanObject();
}
