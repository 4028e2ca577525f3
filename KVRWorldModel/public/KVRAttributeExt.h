#pragma once

// KVRAttributeExt: an extension that gives a model object (typically an
// entity: a fixture, a part, a tool) a set of named attributes. Attach it
// with addExtension and find it again with getExtension(KVRAttributeExt::
// ClassID_). The extension owns its attributes: a copy of it holds clones,
// and destroying it deletes them. Orphaning releases nothing: the attributes
// stay until the extension goes.

#include <string>

#include "KVRAttributeSet.h"
#include "KVRExtendibleObject.h"
#include "KVRWorldModelExport.h"

class KVRWORLDMODEL_API KVRAttributeExt : public KVRExtensionObject {
 public:
  static const KVRClassInfo ClassInfo_;
  static const KVRUUID ClassID_;

  // An empty attribute set.
  KVRAttributeExt();
  // A copy attached to nothing, holding clones of the source's attributes.
  KVRAttributeExt(const KVRAttributeExt& source, CopyMode mode = CopyAlone);
  // Orphans the extension, then deletes its attributes.
  ~KVRAttributeExt() override;

  const KVRClassInfo& getClassInfo() const override;
  const KVRUUID& getClassID() const override;

  const KVRAttributeSet<std::wstring>& getAttributeSet() const { return attributes_; }
  KVRAttributeSet<std::wstring>& getAttributeSet() { return attributes_; }

  // Nothing to bind: the attributes need nothing of the extended object.
  void bindMembers() override;

 private:
  KVRAttributeSet<std::wstring> attributes_;
};
