#pragma once

#include "KVRBasicVector3D.h"
#include "KVRBasicXform3D.h"
#include "KVRMath3D.h"

// The motion state of a body: its location and its linear and angular velocity and acceleration.
// The type does not fix the frame or units of the vectors; the user of the profile does.
// Default-constructed, the location is the identity and all four vectors are zero.
template <class T>
class KVRBasicProfile3D : public KVRMath3D {
 public:
  KVRBasicProfile3D() = default;

  const KVRBasicXform3D<T>& getLocation() const { return location_; }
  const KVRBasicVector3D<T>& getLinearVelocity() const { return linearVelocity_; }
  const KVRBasicVector3D<T>& getAngularVelocity() const { return angularVelocity_; }
  const KVRBasicVector3D<T>& getLinearAcceleration() const { return linearAcceleration_; }
  const KVRBasicVector3D<T>& getAngularAcceleration() const { return angularAcceleration_; }
  // No number of the location or the four vectors is a NaN or an infinity.
  bool isFinite() const {
    return location_.isFinite() && linearVelocity_.isFinite() && angularVelocity_.isFinite() &&
           linearAcceleration_.isFinite() && angularAcceleration_.isFinite();
  }
  bool operator==(const KVRBasicProfile3D& b) const {
    return location_ == b.location_ && linearVelocity_ == b.linearVelocity_ &&
           angularVelocity_ == b.angularVelocity_ && linearAcceleration_ == b.linearAcceleration_ &&
           angularAcceleration_ == b.angularAcceleration_;
  }

  KVRBasicXform3D<T>& getLocation() { return location_; }
  // Replaces the location only; velocities and accelerations are kept.
  void setLocation(const KVRBasicXform3D<T>& location) { location_ = location; }
  void setLinearVelocity(const KVRBasicVector3D<T>& v) { linearVelocity_ = v; }
  void setAngularVelocity(const KVRBasicVector3D<T>& v) { angularVelocity_ = v; }
  void setLinearAcceleration(const KVRBasicVector3D<T>& a) { linearAcceleration_ = a; }
  void setAngularAcceleration(const KVRBasicVector3D<T>& a) { angularAcceleration_ = a; }
  void clearVelocity() {
    linearVelocity_ = KVRBasicVector3D<T>::Zero;
    angularVelocity_ = KVRBasicVector3D<T>::Zero;
  }
  void clearAcceleration() {
    linearAcceleration_ = KVRBasicVector3D<T>::Zero;
    angularAcceleration_ = KVRBasicVector3D<T>::Zero;
  }

  // Set up during dynamic initialisation; do not read it from initialisers of other static objects.
  static const KVRBasicProfile3D Identity;

 private:
  KVRBasicXform3D<T> location_;
  KVRBasicVector3D<T> linearVelocity_;
  KVRBasicVector3D<T> angularVelocity_;
  KVRBasicVector3D<T> linearAcceleration_;
  KVRBasicVector3D<T> angularAcceleration_;
};

template <class T>
inline const KVRBasicProfile3D<T> KVRBasicProfile3D<T>::Identity{};
