#pragma once

// KVRBasicBody3D: a rigid body of the work cell, owning frames, tag points
// and tag paths, each held at once as a logical and a spatial child.
//
// A body hangs on another body, its inner body (spatial parent), through its
// inner connection, which holds where the body stands relative to the inner
// body; bodies hanging on it are its outer bodies. A body without an inner
// connection refuses every location request (status 0): bodies are placed by
// the connections they hang on. A body can carry other bodies: attachBody and
// grabBody hang them on it through a new attachment, detachBody gives them
// back to their home attach body, to where they hung before, or leaves them free.
//
// A body hangs on its inner body only through its inner connection: taking
// it off the inner body in the spatial tree by any means (removing it,
// destroying the inner body, ...) also lets go of that connection, which is
// then disconnected; the body stays where it stood. An orphaned body is
// never linked again, nor returned to.
//
// Event bits: 16/17/18 frames/tag points/paths removed or destroyed in bulk;
// 19 inner body changed, 20 inner connection changed, 21 now hangs on an
// inner body, 22 no longer hangs on one (all on the outer body); 23 a body was
// attached to this body; 24 an outer body left this body.

#include "KVRBasicEntity3D.h"
#include "KVRNotificationAgent.h"

class KVRBasicAttachment3D;
class KVRBasicConnection3D;
class KVRBasicFrame3D;
class KVRBasicPath3D;
class KVRBasicTagPoint3D;

class KVRWORLDMODEL_API KVRBasicBody3D : public KVRBasicEntity3D {
 public:
  /// Frames were removed or destroyed in bulk.
  static constexpr int FramesRemoved = 16;
  /// Tag points were removed or destroyed in bulk.
  static constexpr int TagPointsRemoved = 17;
  /// Paths were removed or destroyed in bulk.
  static constexpr int PathsRemoved = 18;
  /// The inner body changed.
  static constexpr int InnerBodyChanged = 19;
  /// The inner connection changed.
  static constexpr int InnerConnectionChanged = 20;
  /// The body now hangs on an inner body.
  static constexpr int InnerBodySet = 21;
  /// The body no longer hangs on an inner body.
  static constexpr int InnerBodyCleared = 22;
  /// A body was attached to this body.
  static constexpr int BodyAttached = 23;
  /// An outer body left this body.
  static constexpr int OuterBodyLeft = 24;

  static const KVRClassInfo ClassInfo_;
  static const KVRUUID ClassID_;

  KVRBasicBody3D();
  // Copies the 3-D part and the transient state; the copy hangs on nothing.
  KVRBasicBody3D(const KVRBasicBody3D& source, CopyMode mode = CopyAlone);
  ~KVRBasicBody3D() override;

  const KVRClassInfo& getClassInfo() const override;
  const KVRUUID& getClassID() const override;
  KVRMessage getEntityTypeName() const override;
  // The deep modes also make the copied frames, tag points and paths spatial children of the copy.
  KVRDynamicObject* duplicateObject(CopyMode mode) const override;

  using KVRBasicEntity3D::setRelativeLocation;
  using KVRBasicEntity3D::setRelativeProfile;
  // The location relative to the inner body, held by the inner connection.
  // Without one: requests are refused (0) and the identity is reported.
  int setRelativeLocation(Xform& location) override;
  Xform getRelativeLocation() const override;
  int setRelativeProfile(Profile& profile) override;
  Profile getRelativeProfile() const override;

  // --- Frames, tag points and paths -------------------------------------
  // Each is added as logical and spatial child; removal unlinks from both
  // trees, destruction orphans. The failures of the tree operations pass;
  // both links are checked before either is made, so a refusal changes nothing.

  void addFrame(const KVRSharedHandle<KVRBasicFrame3D>& frame);
  void removeFrame(const KVRSharedHandle<KVRBasicFrame3D>& frame);
  void removeFrames();
  void destroyFrame(const KVRSharedHandle<KVRBasicFrame3D>& frame);
  void destroyFrames();
  bool hasFrame(const KVRSharedHandle<KVRBasicFrame3D>& frame) const;
  void getFrames(KVRSharedVector<KVRBasicFrame3D>& frames) const;
  void getFrames(KVRSharedList<KVRBasicFrame3D>& frames) const;
  int getFrameCount() const;

  void addTagPoint(const KVRSharedHandle<KVRBasicTagPoint3D>& point);
  void removeTagPoint(const KVRSharedHandle<KVRBasicTagPoint3D>& point);
  void removeTagPoints();
  void destroyPoint(const KVRSharedHandle<KVRBasicTagPoint3D>& point);
  void destroyPoints();
  bool hasPoint(const KVRSharedHandle<KVRBasicTagPoint3D>& point) const;
  void getTagPoints(KVRSharedVector<KVRBasicTagPoint3D>& points) const;
  void getTagPoints(KVRSharedList<KVRBasicTagPoint3D>& points) const;
  int getTagPointCount() const;

  void addPath(const KVRSharedHandle<KVRBasicPath3D>& path);
  void removePath(const KVRSharedHandle<KVRBasicPath3D>& path);
  void removePaths();
  void destroyPath(const KVRSharedHandle<KVRBasicPath3D>& path);
  void destroyPaths();
  bool hasPath(const KVRSharedHandle<KVRBasicPath3D>& path) const;
  void getPaths(KVRSharedVector<KVRBasicPath3D>& paths) const;
  void getPaths(KVRSharedList<KVRBasicPath3D>& paths) const;
  int getPathCount() const;

  // Make this body's logical children of the class spatial children too, in
  // logical-child order (the steps of duplication; `source` is not read).
  void cloneFrames(const KVRBasicBody3D& source, CopyMode mode);
  void cloneTagPoints(const KVRBasicBody3D& source, CopyMode mode);
  void clonePaths(const KVRBasicBody3D& source, CopyMode mode);

  // --- Inner and outer bodies --------------------------------------------

  bool hasInnerBody() const { return hasSpatialParent(); }
  // The spatial parent as a body; KVREInvalidCast when it is not a body.
  KVRSharedHandle<KVRBasicBody3D> getInnerBody() const;
  bool hasInnerConnection() const { return !innerConnection_.isNull(); }
  KVRSharedHandle<KVRBasicConnection3D> getInnerConnection() const { return innerConnection_; }
  bool hasOuterBody(const KVRSharedHandle<KVRBasicBody3D>& body) const;
  void getOuterBodies(KVRSharedVector<KVRBasicBody3D>& bodies) const;
  void getOuterBodies(KVRSharedList<KVRBasicBody3D>& bodies) const;
  int getOuterBodyCount() const;

  bool isAttached() const { return !attachment_.isNull(); }
  KVRSharedHandle<KVRBasicConnection3D> getAttachment() const { return attachment_; }
  KVRSharedHandle<KVRBasicBody3D> getInnerBodyOriginal() const { return innerBodyOriginal_; }
  KVRSharedHandle<KVRBasicBody3D> getHomeAttachBody() const { return homeAttachBody_; }
  // Plain stores, no event bit; an orphaned body on either side is refused
  // (KVREInvalidRelation), since orphaning would never release the link.
  void setAttachment(const KVRSharedHandle<KVRBasicConnection3D>& attachment);
  void setInnerBodyOriginal(const KVRSharedHandle<KVRBasicBody3D>& body);
  void setHomeAttachBody(const KVRSharedHandle<KVRBasicBody3D>& body);
  // 0 when the body is not grabbed.
  int getTransientState() const { return transientState_; }
  void setTransientState(int state) {
    transientState_ = state;
    noteChange(KVRChangeLog::Holder);
  }

  // Hangs this body on `inner` through `connection` (bits 19, 20, 21).
  // KVREAlreadyRegistered ("%1 is already connected to another body") when
  // it cannot take `inner` as spatial parent; KVREInvalidRelation when the
  // connection does not connect `inner` (inner) to this body (outer); nothing
  // changes then.
  void setInnerBody(const KVRSharedHandle<KVRBasicBody3D>& inner,
                    const KVRSharedHandle<KVRBasicConnection3D>& connection);
  // Takes this body off its inner body, keeping its place (bits 19, 20, 22;
  // bit 24 on the former inner body); the transient state becomes 0, an
  // attachment that was the inner connection is no longer held, and the
  // connection is disconnected.
  void clearInnerBody();
  // Bit 24.
  void clearOuterBody();

  // --- Attaching, grabbing, detaching -------------------------------------
  // A refused attach or grab leaves the model exactly as it was.

  // Hangs `body` on this body at `location` relative to it, through a new
  // attachment named "<this>-<body>"; a connection the body hung on before
  // is disconnected (its inner body is remembered once as inner body original).
  void attachBody(const KVRSharedHandle<KVRBasicBody3D>& body, const Xform& location);
  void attachBody(const KVRSharedHandle<KVRBasicBody3D>& body);
  // At one of this body's frames (KVREInvalidRelation "%1 is not attached to
  // %2" otherwise); the frame's offset is taken once.
  void attachBody(const KVRSharedHandle<KVRBasicBody3D>& body, const KVRSharedHandle<KVRBasicFrame3D>& frame);
  // Hangs `body` on this body where it stands now. Unlike attachBody it
  // does not take the body off an earlier connection, nor flush it.
  void attachBodies(const KVRSharedHandle<KVRBasicBody3D>& body);
  // Takes `body` off its connection and hangs it on this body where it
  // stands now, in the given (nonzero: grabbed) transient state.
  void grabBody(const KVRSharedHandle<KVRBasicBody3D>& body, int transientState);
  // Ends the attached or grabbed state of this body: back to the home attach
  // body, else to the inner body original (not counted as attached), else free.
  void detachBody();
  // 0 when either is empty; otherwise `grabbing` grabs `grabbed` in state 1; 1.
  static int grabBody(const KVRSharedHandle<KVRBasicBody3D>& grabbing,
                      const KVRSharedHandle<KVRBasicBody3D>& grabbed);
  // Detaches a grabbed `body` when `releasing` is empty or is its current
  // carrier; does nothing otherwise. Returns 1.
  static int detachBody(const KVRSharedHandle<KVRBasicBody3D>& body,
                        const KVRSharedHandle<KVRBasicBody3D>& releasing);
  // Grabs (state 1) every body of a KVRNotifyBasicBody3DList that is not
  // grabbed already and is not a spatial ancestor of this body. Every body
  // is checked first: when one cannot be grabbed, none is.
  void grab_list_cb(const KVRSharedConstPointer<KVRNotificationAgent>& agent,
                    const KVRNotificationBase* notification);

  void orphanObject() override;

 protected:
  void orphanMembers();
  const Xform* storedRelativeLocation() const override;
  // Lets go of the inner connection when a plain spatial unlink took this
  // body off its inner body.
  void onSpatialParentCleared(KVRBasicEntity3D& formerParent) override;

 private:
  template <class T>
  void addOwned(const KVRSharedHandle<T>& member);
  template <class T>
  void removeOwned(const KVRSharedHandle<T>& member);
  void removeOwnedOfClass(const KVRClassInfo& info, int bulkBit);
  void destroyOwnedOfClass(const KVRClassInfo& info, int bulkBit);
  // Makes the logical children of the class spatial children too.
  void respatialiseChildren(const KVRClassInfo& info);

  // Refuses, before anything changes, a body this body cannot carry: empty,
  // this body itself, one that would keep a spatial parent other than a
  // connection (taken off first when `afterDisconnect`), or an ancestor.
  void refuseCarrying(const KVRSharedHandle<KVRBasicBody3D>& body, bool afterDisconnect) const;
  // Disconnects the connection `body` hangs on, remembering its inner body once.
  static void takeOffConnection(const KVRSharedHandle<KVRBasicBody3D>& body);
  // Whether `body` hangs on its inner body through its own inner connection,
  // so that disconnecting that connection frees it.
  static bool hangsOnItsConnection(const KVRBasicBody3D& body);
  // The bodies of `list` that grab_list_cb grabs: not this body, not its
  // ancestors, not grabbed already.
  bool isGrabCandidate(const KVRSharedHandle<KVRBasicBody3D>& body) const;
  // Forgets the inner connection and what came with it (bits 19, 20, 22 on
  // this body, bit 24 on `inner`).
  void forgetInnerConnection(KVRBasicBody3D* inner);
  // A new attachment "<this>-<body>" connecting this body (inner) to `body`.
  KVRSharedHandle<KVRBasicAttachment3D> makeAttachment(const KVRSharedHandle<KVRBasicBody3D>& body,
                                                       const Xform& innerOffset, const Xform& outerOffset);
  // Hangs `body` on this body through `attachment` at `relative`.
  void hang(const KVRSharedHandle<KVRBasicBody3D>& body,
            const KVRSharedHandle<KVRBasicAttachment3D>& attachment, const Xform& relative);

  friend class KVRBasicConnection3D;  // says when it names this body and when it lets go
  // Lists `connection`; returns where, which the connection keeps.
  std::size_t addNamingConnection(KVRBasicConnection3D* connection) {
    namedBy_.push_back(connection);
    return namedBy_.size() - 1;
  }
  // Drops the entry at `slot`, the last one taking its place; returns the
  // connection that moved (null when none did).
  KVRBasicConnection3D* removeNamingConnection(std::size_t slot);

  KVRSharedHandle<KVRBasicConnection3D> innerConnection_;
  KVRSharedHandle<KVRBasicConnection3D> attachment_;
  KVRSharedHandle<KVRBasicBody3D> innerBodyOriginal_;
  KVRSharedHandle<KVRBasicBody3D> homeAttachBody_;
  // Every connected connection that names this body, as inner or outer body,
  // whether this body hangs on it or it is only recorded there; orphaning
  // the body disconnects them all.
  std::vector<KVRBasicConnection3D*> namedBy_;
  int transientState_ = 0;
};

// A notification handing a set of bodies to KVRBasicBody3D::grab_list_cb.
class KVRWORLDMODEL_API KVRNotifyBasicBody3DList : public KVRNotificationBase {
 public:
  static const KVRClassInfo ClassInfo_;

  KVRNotifyBasicBody3DList() = default;
  KVRNotifyBasicBody3DList(const KVRNotifyBasicBody3DList& source, CopyMode mode = CopyAlone);
  ~KVRNotifyBasicBody3DList() override;

  const KVRClassInfo& getClassInfo() const override;

  KVRSharedList<KVRBasicBody3D>& getBodies() { return bodies_; }
  const KVRSharedList<KVRBasicBody3D>& getBodies() const { return bodies_; }

  // Clears the list.
  void orphanObject() override;

 private:
  KVRSharedList<KVRBasicBody3D> bodies_;
};
