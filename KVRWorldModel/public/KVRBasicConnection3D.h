#pragma once

// KVRBasicConnection3D: places an outer body relative to an inner body. It
// is a named, observable entity without a place in space. It holds the two
// bodies, optionally the two frames through which they meet, an inner and an
// outer offset, and the relative location of the outer body:
//
//   relative = inner offset · variable · outer offset⁻¹
//
// where the variable location is the derived class's. A connection through
// frames watches bit 16 of both frames and follows them when they move on
// their bodies. connectBodies records the pair; the caller hangs the outer
// body on the inner one (KVRBasicBody3D::setInnerBody) and then calls
// propagateLocation. disconnectBodies undoes both sides.
//
// Event bits: 9 connected, 10 disconnected, 11 inner offset set, 12 outer
// offset set, 13 relative location set, 14 relative profile set.

#include <bitset>

#include "KVRBasicEntity.h"
#include "KVRBasicProfile3D.h"
#include "KVRBasicXform3D.h"

class KVRBasicBody3D;
class KVRBasicFrame3D;

class KVRWORLDMODEL_API KVRBasicConnection3D : public KVRBasicEntity {
 public:
  using Xform = KVRBasicXform3D<double>;
  using Profile = KVRBasicProfile3D<double>;

  /// The connection was connected.
  static constexpr int Connected = 9;
  /// The connection was disconnected.
  static constexpr int Disconnected = 10;
  /// The inner offset was set.
  static constexpr int InnerOffsetSet = 11;
  /// The outer offset was set.
  static constexpr int OuterOffsetSet = 12;
  /// The relative location was set.
  static constexpr int RelativeLocationSet = 13;
  /// The relative profile was set.
  static constexpr int RelativeProfileSet = 14;

  static const KVRClassInfo ClassInfo_;
  static const KVRUUID ClassID_;

  KVRBasicConnection3D();
  // A copy is disconnected.
  KVRBasicConnection3D(const KVRBasicConnection3D& source, CopyMode mode = CopyAlone);
  ~KVRBasicConnection3D() override;

  const KVRClassInfo& getClassInfo() const override;
  const KVRUUID& getClassID() const override;
  KVRMessage getEntityTypeName() const override;

  // Connects the bodies of two frames, offsets taken from the frames, and
  // follows the frames. Refused, with nothing changed: an empty handle
  // (KVREInvalidArgument); a connected connection (KVREAlreadyRegistered); a
  // frame on no body or both on one body (KVREInvalidRelation).
  void connectBodies(const KVRSharedHandle<KVRBasicFrame3D>& innerFrame,
                     const KVRSharedHandle<KVRBasicFrame3D>& outerFrame);
  // Connects two bodies with the given offsets. Refused as above, and with
  // KVREInvalidRelation for the same body twice.
  void connectBodies(const KVRSharedHandle<KVRBasicBody3D>& innerBody,
                     const KVRSharedHandle<KVRBasicBody3D>& outerBody, const Xform& innerOffset,
                     const Xform& outerOffset);
  // Takes the outer body off the inner body, stops following the frames and
  // resets the offsets. Does nothing on a disconnected connection.
  void disconnectBodies();

  bool isConnected() const { return !innerBody_.isNull(); }
  KVRSharedHandle<KVRBasicBody3D> getInnerBody() const { return innerBody_; }
  KVRSharedHandle<KVRBasicBody3D> getOuterBody() const { return outerBody_; }
  KVRSharedHandle<KVRBasicFrame3D> getInnerFrame() const { return innerFrame_; }
  KVRSharedHandle<KVRBasicFrame3D> getOuterFrame() const { return outerFrame_; }
  const Xform& getInnerOffset() const { return innerOffset_; }
  const Xform& getOuterOffset() const { return outerOffset_; }
  // Store only; nothing is recomputed (bits 11, 12).
  void setInnerOffset(const Xform& offset);
  void setOuterOffset(const Xform& offset);

  const Xform& getCachedRelativeLocation() const { return relativeProfile_.getLocation(); }
  const Profile& getCachedRelativeProfile() const { return relativeProfile_; }
  // Bit 13; the cached velocity and acceleration are cleared.
  void setCachedRelativeLocation(const Xform& location);
  // Bit 14.
  void setCachedRelativeProfile(const Profile& profile);

  // With bit 14 pending propagates the profile, else with bit 13 the location.
  virtual void updateKinematics();
  // Stores the relative location (status 2).
  virtual int setRelativeLocation(Xform& location);
  virtual Xform getRelativeLocation() const;
  virtual int setRelativeProfile(Profile& profile);
  virtual Profile getRelativeProfile() const;
  // Recomputes the cached relative location from the offsets and the variable location.
  virtual void updateRelativeLocation();
  // Where the outer frame stands relative to the inner frame.
  virtual Xform getVariableLocation() const = 0;

  // Places the outer body at its inner body's location times the relative
  // location, when the outer body hangs on this connection: one only recorded
  // here hangs elsewhere, where this connection has no say.
  void propagateLocation();
  void propagateProfile();
  bool placesOuterBody() const;

  // Follows a frame that moved on its body (bit 16 of its mask). A frame
  // that left its body (told by bit 9) is no longer followed: the connection
  // keeps the offset the frame last gave and lets go of it.
  void onEvent(const KVRSharedConstPointer<KVRBasicFrame3D>& frame, const std::bitset<64>& mask);

  // a · b · c⁻¹.
  static Xform calcRelativeLocation(const Xform& a, const Xform& b, const Xform& c);
  // a⁻¹ · b · c: the outer offset giving relative location a for inner offset b and variable c.
  static Xform calcOuterOffset(const Xform& a, const Xform& b, const Xform& c);

  void orphanObject() override;

 protected:
  void orphanMembers();

 private:
  // Tells both bodies this connection names them (undone by disconnectBodies).
  void nameBodies();
  // Takes this connection off the list of those naming `body`, at `slot`.
  static void unnameBody(KVRBasicBody3D& body, std::size_t slot);
  // Unsubscribes from `frame` and empties it.
  void stopFollowing(KVRSharedHandle<KVRBasicFrame3D>& frame);

  KVRSharedHandle<KVRBasicBody3D> innerBody_;
  KVRSharedHandle<KVRBasicBody3D> outerBody_;
  KVRSharedHandle<KVRBasicFrame3D> innerFrame_;
  KVRSharedHandle<KVRBasicFrame3D> outerFrame_;
  Xform innerOffset_;
  Xform outerOffset_;
  Profile relativeProfile_;
  bool destroying_ = false;
  // Where this connection is listed by its inner and outer body while connected.
  std::size_t innerSlot_ = 0, outerSlot_ = 0;
};
