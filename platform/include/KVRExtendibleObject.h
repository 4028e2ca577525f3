#pragma once

// Extensions: objects attached to an extendible object (an entity) to give
// it more behaviour, found again by their class identifier. An extension is
// held by its object through a handle and knows its object without owning it.
// Orphaning the object orphans its extensions. An object without extensions
// spends no memory on them.

#include <vector>

#include "KVRNotificationAgent.h"
#include "KVRPlatformExport.h"
#include "KVRUUID.h"

class KVRExtendibleObject;

class KVRPLATFORM_API KVRExtensionObject : public KVRSharedObject {
 public:
  static const KVRClassInfo ClassInfo_;

  KVRExtensionObject() = default;
  // A copy is attached to nothing.
  KVRExtensionObject(const KVRExtensionObject& source, CopyMode mode);
  ~KVRExtensionObject() override;

  const KVRClassInfo& getClassInfo() const override;

  // The extended object; empty while the extension is not attached.
  KVRSharedHandle<KVRExtendibleObject> getBasicObject() const;

  // Called once the extension is attached to its object.
  virtual void bindMembers();
  // Called when the extension is released (orphaned).
  virtual void orphanMembers();
  // When not yet orphaned: orphanMembers(), then detaches from the object.
  void orphanObject() override;

  // A copy made by the copying factory and attached to `owner` (when it is
  // an extendible object); null for a class without factories.
  virtual KVRExtensionObject* duplicateObject(CopyMode mode,
                                              KVRSharedHandle<KVRNotificationAgent> owner) const;
  using KVRDynamicObject::duplicateObject;

 private:
  friend class KVRExtendibleObject;
  KVRExtendibleObject* basicObject_ = nullptr;
};

class KVRPLATFORM_API KVRExtendibleObject : public KVRNotificationAgent {
 public:
  static const KVRClassInfo ClassInfo_;

  KVRExtendibleObject() = default;
  // A copy starts without extensions.
  KVRExtendibleObject(const KVRExtendibleObject& source, CopyMode mode);
  ~KVRExtendibleObject() override;

  const KVRClassInfo& getClassInfo() const override;

  // Attaches the extension and calls its bindMembers(). Refused with
  // KVREInvalidArgument for an empty handle, with KVREAlreadyRegistered when
  // the extension is attached already or this object has an extension of the
  // same class identifier, with KVREInvalidRelation when this object is
  // orphaned; a bindMembers() that throws undoes the attachment.
  void addExtension(const KVRSharedHandle<KVRExtensionObject>& extension);
  // Orphans and detaches the extension with that class identifier; false when there is none.
  bool removeExtension(const KVRUUID& classID);
  // The attached extension with that class identifier, or an empty handle.
  KVRSharedHandle<KVRExtensionObject> getExtension(const KVRUUID& classID) const;
  int getExtensionCount() const;

  // When not yet orphaned: orphans every extension, then marks the object orphaned.
  void orphanObject() override;
};
