#pragma once

// KVRBasicMfgAssembly3D: a body made of other bodies (a fixture, a welded
// frame, a sub-assembly): parts, sub-assemblies or plain bodies. It keeps no
// list of its own: each of its bodies is its logical child and hangs on it in
// the spatial tree through an attachment named "<assembly>-<body>", which is a
// logical child too and holds the body's location relative to the assembly.
// Moving the assembly therefore moves its bodies through the ordinary spatial
// propagation. Assemblies nest; the outermost assembly of a chain is the root
// assembly.
//
// A refused addBody or replaceBody leaves the model exactly as it was. The
// assembly sets no event bit of its own; the connections, bodies and trees it
// works on set theirs.

#include <iosfwd>
#include <string>

#include "KVRBasicBody3D.h"

class KVRBasicAttachment3D;
class KVRBasicWorld;

class KVRWORLDMODEL_API KVRBasicMfgAssembly3D : public KVRBasicBody3D {
 public:
  static const KVRClassInfo ClassInfo_;
  static const KVRUUID ClassID_;

  KVRBasicMfgAssembly3D();
  KVRBasicMfgAssembly3D(const KVRBasicMfgAssembly3D& source, CopyMode mode = CopyAlone);
  ~KVRBasicMfgAssembly3D() override;

  const KVRClassInfo& getClassInfo() const override;
  const KVRUUID& getClassID() const override;
  KVRMessage getEntityTypeName() const override;
  KVRDynamicObject* duplicateObject(CopyMode mode) const override;

  // --- Adding bodies ---------------------------------------------------------
  // A body that hangs on another assembly leaves it first; a body hanging on a
  // part it was attached to elsewhere only becomes a logical child (it stays
  // on the part); a body hanging on anything else is left alone. A body that
  // is a logical child of this assembly already (left free by
  // destroyAttachments, say) is hung on it again, not adopted twice. Refused,
  // before anything changes: an empty handle (KVREInvalidArgument); the
  // assembly itself, or an ancestor of it in either tree (KVREInvalidRelation);
  // a body that has another logical parent ("%1 is a logical child of %2") or
  // would keep another inner body ("%1 is already connected to another body",
  // both KVREAlreadyRegistered).

  // Where the body stands now; it does not move.
  void addBody(const KVRSharedHandle<KVRBasicBody3D>& body);
  // With the connection offsets I and O: the body goes to X_WA · I · O⁻¹.
  void addBody(const KVRSharedHandle<KVRBasicBody3D>& body, const Xform& innerOffset,
               const Xform& outerOffset);
  // So that `outerFrame` of the body coincides with `innerFrame` of this
  // assembly; the attachment follows the frames. Also refused: a frame not on
  // this assembly or on the body, and a body hanging on another inner body
  // ("%1 is not a logical child of %2"), all KVREInvalidRelation; a body that
  // hangs on this assembly already ("%1 is already connected to another body").
  void addBody(const KVRSharedHandle<KVRBasicBody3D>& body,
               const KVRSharedHandle<KVRBasicFrame3D>& innerFrame,
               const KVRSharedHandle<KVRBasicFrame3D>& outerFrame);

  // --- Queries ----------------------------------------------------------------

  // Bodies are the logical children whose class derives from KVRBasicBody3D.
  unsigned int getBodyCount() const;
  // The first body with that base name; empty when no body has it.
  KVRSharedHandle<KVRBasicBody3D> getBody(const std::wstring& name) const;
  // Replace the container's contents with the bodies, in child order.
  void getBodies(KVRSharedVector<KVRBasicBody3D>& bodies) const;
  void getBodies(KVRSharedList<KVRBasicBody3D>& bodies) const;
  // The logical parent when it is an assembly; empty otherwise.
  KVRSharedHandle<KVRBasicMfgAssembly3D> getParentAssembly() const;
  // The assembly among the logical ancestors nearest the root; empty for a
  // top-level assembly (not the assembly itself).
  KVRSharedHandle<KVRBasicMfgAssembly3D> getRootAssembly() const;
  // The first logical child of the world that is an assembly; empty when
  // there is none or the handle is empty.
  static KVRSharedHandle<KVRBasicMfgAssembly3D> KVRGetRootAssembly(
      const KVRSharedHandle<KVRBasicWorld>& world);
  // The position of the first entity with that base name, or the end.
  KVRSharedVector<KVRBasicEntity>::const_iterator findChildEntity(
      const KVRSharedVector<KVRBasicEntity>& children, const std::wstring& name) const;

  // --- Location of a nested assembly -------------------------------------------

  // Sets the location relative to the inner body (request status; `location`
  // may be adjusted). A top-level assembly answers 0 and does not move.
  int setAssemblyLocation(Xform& location);
  // The location relative to the inner body; the identity when it hangs on nothing.
  Xform getAssemblyLocation() const { return getRelativeLocation(); }

  // --- Taking bodies out ----------------------------------------------------------
  // The handle and name forms do nothing for a body that is not a logical
  // child (an empty handle, a name no body has).

  // The body leaves the assembly free, where it stands; its attachment is destroyed.
  void removeBody(const KVRSharedHandle<KVRBasicBody3D>& body);
  void removeBody(const std::wstring& name);
  // The body is destroyed with its attachment.
  void destroyBody(const KVRSharedHandle<KVRBasicBody3D>& body);
  void destroyBody(const std::wstring& name);
  // `newBody` takes the place of `oldBody` with the same connection offsets
  // (identity ones when the old body hangs on nothing); the old body stays
  // alive, free. Refused: an empty handle (KVREInvalidArgument); "%1 is not a
  // logical child of %2" (KVRENotFound); "%1 is a logical child of %2"
  // (KVREAlreadyRegistered); whatever addBody refuses, and a new body that
  // addBody would leave alone (KVREAlreadyRegistered).
  void replaceBody(const KVRSharedHandle<KVRBasicBody3D>& oldBody,
                   const KVRSharedHandle<KVRBasicBody3D>& newBody);
  // Destroys every attachment, then unlinks every child in both trees (the
  // assembly's own frames, tag points and paths included); they stay alive
  // while handles to them exist.
  void removeAll();
  // Unlinks the spatial children, then destroys every logical child.
  void destroyAll();
  // Disconnects and destroys the attachments of the parts and sub-assemblies
  // (of the class, or all) that hang on this assembly; they stay logical children, free.
  void destroyAttachments(const KVRClassInfo& info);
  void destroyAttachments();

  // Eight lines for the assembly, then its logical children and its spatial
  // children with their base locations.
  void dump(std::ostream& os) const;

  void orphanObject() override;

 protected:
  void orphanMembers() {}

 private:
  // What adding a body takes, decided before anything changes.
  struct Adding;
  Adding planAdding(const KVRSharedHandle<KVRBasicBody3D>& body) const;
  // Refuses a body that is this assembly or one of its logical ancestors.
  void refuseLogicalCycle(const KVRBasicBody3D& body) const;
  // A new attachment "<assembly>-<body>".
  KVRSharedHandle<KVRBasicAttachment3D> makeAttachment(const KVRBasicBody3D& body) const;
  // Hangs the body on this assembly through the connected `attachment` at X_AB and adopts both.
  void hang(const KVRSharedHandle<KVRBasicBody3D>& body,
            const KVRSharedHandle<KVRBasicAttachment3D>& attachment, const Xform& X_AB);
  void addPlanned(const Adding& plan, const KVRSharedHandle<KVRBasicBody3D>& body, const Xform& innerOffset,
                  const Xform& outerOffset);
  // The connection to destroy with the body: its inner connection when that
  // is an attachment of this assembly.
  KVRSharedHandle<KVRBasicConnection3D> ownAttachment(const KVRBasicBody3D& body) const;
};
