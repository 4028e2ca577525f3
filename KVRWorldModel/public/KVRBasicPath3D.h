#pragma once

// KVRBasicPath3D: a tag path, an ordered sequence of tag points describing a
// route through space. The points it gathers become its logical and spatial
// children unless they have parents already; it watches every listed point
// and reports a route change (bit 17) when one of them moves, so that whoever
// follows the path can re-plan. A point may be listed more than once; indices
// count from 0.
//
// Event bits: 16 the path's own relative location changed; 17 the route
// changed (the set, the order or the location of its points).

#include <bitset>

#include "KVRBasicEntity3D.h"

class KVRBasicTagPoint3D;

class KVRWORLDMODEL_API KVRBasicPath3D : public KVRBasicEntity3D {
 public:
  /// The path's own relative location changed.
  static constexpr int RelativeLocationChanged = 16;
  /// The route changed.
  static constexpr int RouteChanged = 17;

  static const KVRClassInfo ClassInfo_;
  static const KVRUUID ClassID_;

  KVRBasicPath3D();
  // A copy takes nothing over: identity relative location, no points.
  KVRBasicPath3D(const KVRBasicPath3D& source, CopyMode mode = CopyAlone);
  ~KVRBasicPath3D() override;

  const KVRClassInfo& getClassInfo() const override;
  const KVRUUID& getClassID() const override;
  KVRMessage getEntityTypeName() const override;

  using KVRBasicEntity3D::setRelativeLocation;
  using KVRBasicEntity3D::setRelativeProfile;
  // Status 2, bit 16.
  int setRelativeLocation(Xform& location) override;
  Xform getRelativeLocation() const override;
  // Clears the caller's velocities and accelerations; status 2, bit 16.
  int setRelativeProfile(Profile& profile) override;
  Profile getRelativeProfile() const override;

  unsigned int getTagPointCount() const;
  // Empty when the index is not below the count.
  KVRSharedHandle<KVRBasicTagPoint3D> getTagPoint(const unsigned int& index) const;
  // Append the points in route order; the container is not cleared.
  void getTagPoints(KVRSharedList<KVRBasicTagPoint3D>& points) const;
  void getTagPoints(KVRSharedVector<KVRBasicTagPoint3D>& points) const;
  // The index of the first entry of that point, or -1.
  int getIndex(const KVRSharedHandle<KVRBasicTagPoint3D>& point) const;

  // Replace the route (bit 17). Every point is checked first: a point the
  // path cannot adopt leaves the old route in place.
  void setTagPoints(KVRSharedList<KVRBasicTagPoint3D>& points);
  void setTagPoints(KVRSharedVector<KVRBasicTagPoint3D>& points);
  // Appends the point (false for an empty handle); bit 17.
  bool addTagPoint(const KVRSharedHandle<KVRBasicTagPoint3D>& point);
  // Appends without setting bit 17: adopts the point where it has no parent,
  // lists it and watches it.
  bool _addTagPoint(const KVRSharedHandle<KVRBasicTagPoint3D>& point);
  // Inserts before the entry at `index` (false when the index is not below
  // the count or the handle is empty); the point is adopted and watched like
  // an appended one. Bit 17.
  bool insertTagPoint(unsigned int index, const KVRSharedHandle<KVRBasicTagPoint3D>& point);
  // Creates `count` new points named prefix + (first + i) and appends them; bit 17.
  void createPoints(unsigned int count, std::wstring prefix, unsigned short first);
  // Removes the first entry of the point from the route (the point stays a
  // child of the path); false when it is not listed. Bit 17.
  bool removeTagPoint(const KVRSharedHandle<KVRBasicTagPoint3D>& point);
  bool removeTagPoint(unsigned int index);
  // Empties the route; bit 17.
  void removeTagPoints();
  // Exchanges two entries (false when an index is out of range); bit 17.
  bool swap(unsigned int i, unsigned int j);
  // Forwards the location to the point at `index` (setTagPointLocation) and
  // sets bit 17; 0 when the index is out of range.
  int setTagPointRelativeLocation(unsigned int index, KVRBasicXform3D<double> location);

  // The subscription callback: a listed point's bit 16 sets bit 17.
  void onPointsChange(const KVRSharedConstPointer<KVRBasicTagPoint3D>& point, const std::bitset<64>& mask);

  void orphanObject() override;

 protected:
  void orphanMembers();
  const Xform* storedRelativeLocation() const override;

 private:
  friend class KVRBasicEntity3D;  // composes with the stored relative location in place

  // Forgets one entry of this path among the routes that list `point`.
  void forgetRoute(KVRBasicTagPoint3D& point) const;

  Xform relativeLocation_;
  KVRSharedList<KVRBasicTagPoint3D> points_;
};
