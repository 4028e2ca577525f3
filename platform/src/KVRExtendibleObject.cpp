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

namespace {

KVRExtensionObject* extensionAt(const KVRSharedBase& slot) {
  return static_cast<KVRExtensionObject*>(slot.getObject());
}

}  // namespace

void KVRExtendibleObject::addExtension(const KVRSharedHandle<KVRExtensionObject>& extension) {
  if (!extension) throw KVREInvalidArgument(L"An empty extension cannot be attached");
  // Orphaning is what releases extensions: an orphaned object would keep one for good.
  if (isOrphaned()) throw KVREInvalidRelation(L"An extension cannot be attached to an orphaned object");
  if (extension->basicObject_ || extension->isOrphaned())
    throw KVREAlreadyRegistered(L"The extension is already attached to an object");
  if (getExtension(extension->getClassID()))
    throw KVREAlreadyRegistered(L"An extension of the same class is already attached to this object");
  std::vector<KVRSharedBase>& extensions = rareParts().extensions;
  extensions.push_back(extension);
  extension->basicObject_ = this;
  try {
    extension->bindMembers();
  } catch (...) {
    extension->basicObject_ = nullptr;
    std::vector<KVRSharedBase>& slots = rareParts().extensions;
    slots.erase(std::find(slots.begin(), slots.end(), extension));
    throw;
  }
}

bool KVRExtendibleObject::removeExtension(const KVRUUID& classID) {
  std::vector<KVRSharedBase>* extensions = findRareParts() ? &findRareParts()->extensions : nullptr;
  if (!extensions) return false;
  auto it = std::find_if(extensions->begin(), extensions->end(),
                         [&](const KVRSharedBase& e) { return extensionAt(e)->getClassID() == classID; });
  if (it == extensions->end()) return false;
  KVRSharedHandle<KVRExtensionObject> extension(extensionAt(*it));
  extensions->erase(it);
  extension->orphanObject();
  return true;
}

KVRSharedHandle<KVRExtensionObject> KVRExtendibleObject::getExtension(const KVRUUID& classID) const {
  const std::vector<KVRSharedBase>* extensions = findRareParts() ? &findRareParts()->extensions : nullptr;
  if (extensions)
    for (const KVRSharedBase& e : *extensions)
      if (extensionAt(e)->getClassID() == classID) return KVRSharedHandle<KVRExtensionObject>(extensionAt(e));
  return KVRSharedHandle<KVRExtensionObject>();
}

int KVRExtendibleObject::getExtensionCount() const {
  const std::vector<KVRSharedBase>* extensions = findRareParts() ? &findRareParts()->extensions : nullptr;
  return extensions ? static_cast<int>(extensions->size()) : 0;
}

void KVRExtendibleObject::orphanObject() {
  if (isOrphaned()) return;
  // Orphaning an extension may reach back into this object: work on a copy.
  std::vector<KVRSharedBase> extensions;
  if (RareParts* rare = findRareParts()) extensions.swap(rare->extensions);
  for (KVRSharedBase& extension : extensions) extensionAt(extension)->orphanObject();
  KVRNotificationAgent::orphanObject();
}
