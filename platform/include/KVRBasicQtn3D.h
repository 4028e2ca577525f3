#pragma once

#include <Eigen/Geometry>
#include <cmath>

#include "KVRBasicVector3D.h"
#include "KVRMath3D.h"

// A quaternion (w, x, y, z) holding an orientation, stored as an Eigen quaternion. It is meant to
// be of unit length; products, inverses and rotations of vectors assume so, and normalize()
// restores it after long chains of products. q and -q are the same rotation, but operator==
// compares coefficients exactly and so tells them apart. Default-constructed, it is the identity.
template <class T>
class KVRBasicQtn3D : public KVRMath3D {
 public:
  // Stored without Eigen's 16-byte alignment: a location (vector and
  // quaternion) then packs into seven numbers with no padding.
  using EigenQuaternion = Eigen::Quaternion<T, Eigen::DontAlign>;

  KVRBasicQtn3D() : q_(T(1), T(0), T(0), T(0)) {}
  explicit KVRBasicQtn3D(KVRMath3D::UninitializedType) {}
  KVRBasicQtn3D(T w, T x, T y, T z) : q_(w, x, y, z) {}
  KVRBasicQtn3D(const EigenQuaternion& q) : q_(q) {}
  template <class Derived>
  KVRBasicQtn3D(const Eigen::QuaternionBase<Derived>& q) : q_(q) {}

  T w() const { return q_.w(); }
  T x() const { return q_.x(); }
  T y() const { return q_.y(); }
  T z() const { return q_.z(); }
  const EigenQuaternion& eigen() const { return q_; }

  // Unit axis and angle in radians, 0 <= angle <= pi, such that setEAA(axis, angle) gives this
  // rotation. The identity yields the axis (1, 0, 0) and angle 0.
  void getEAA(KVRBasicVector3D<T>& axis, T& angle) const {
    const T sign = q_.w() < T(0) ? T(-1) : T(1);
    const T s = q_.vec().norm();
    if (s == T(0)) {
      axis = KVRBasicVector3D<T>(T(1), T(0), T(0));
      angle = T(0);
      return;
    }
    axis = KVRBasicVector3D<T>(q_.vec() * (sign / s));
    angle = T(2) * std::atan2(s, sign * q_.w());
  }
  KVRBasicQtn3D inverse() const { return KVRBasicQtn3D(q_.conjugate()); }
  Eigen::Matrix<T, 3, 3> toRotationMatrix() const { return q_.toRotationMatrix(); }
  bool operator==(const KVRBasicQtn3D& b) const { return q_.coeffs() == b.q_.coeffs(); }
  // No coefficient is a NaN or an infinity.
  bool isFinite() const {
    // x · 0 is 0 for a finite x and NaN otherwise.
    const T zero = q_.w() * T(0) + q_.x() * T(0) + q_.y() * T(0) + q_.z() * T(0);
    return zero == zero;
  }

  friend KVRBasicQtn3D operator*(const KVRBasicQtn3D& a, const KVRBasicQtn3D& b) {
    return KVRBasicQtn3D(a.q_ * b.q_);
  }
  // The vector rotated by q.
  friend KVRBasicVector3D<T> operator*(const KVRBasicQtn3D& q, const KVRBasicVector3D<T>& v) {
    return KVRBasicVector3D<T>(q.rotate(v.eigen()));
  }
  // v rotated by this quaternion: v + w t + u × t with t = 2 u × v, u the
  // vector part; Eigen's formula, written out so that it is always inlined.
  Eigen::Matrix<T, 3, 1> rotate(const Eigen::Matrix<T, 3, 1>& v) const {
    const T w = q_.w(), ux = q_.x(), uy = q_.y(), uz = q_.z();
    const T vx = v.x(), vy = v.y(), vz = v.z();
    T tx = uy * vz - uz * vy, ty = uz * vx - ux * vz, tz = ux * vy - uy * vx;
    tx += tx;
    ty += ty;
    tz += tz;
    return Eigen::Matrix<T, 3, 1>(vx + w * tx + (uy * tz - uz * ty), vy + w * ty + (uz * tx - ux * tz),
                                  vz + w * tz + (ux * ty - uy * tx));
  }

  // Rotation by angle (radians, right-handed) about axis, which need not be of unit length.
  // A zero axis gives the identity.
  void setEAA(const KVRBasicVector3D<T>& axis, T angle) {
    const T n = axis.eigen().norm();
    if (n == T(0)) {
      q_ = EigenQuaternion(T(1), T(0), T(0), T(0));
      return;
    }
    const T half = angle / T(2);
    q_.w() = std::cos(half);
    q_.vec() = axis.eigen() * (std::sin(half) / n);
  }
  // Conjugate in place, which inverts a unit quaternion.
  KVRBasicQtn3D& invert() {
    q_ = q_.conjugate();
    return *this;
  }
  // this = this * b
  KVRBasicQtn3D& postMultiply(const KVRBasicQtn3D& b) {
    q_ = q_ * b.q_;
    return *this;
  }
  KVRBasicQtn3D& operator*=(const KVRBasicQtn3D& b) { return postMultiply(b); }
  // Scales to unit length. A zero quaternion, which is no rotation at all, becomes the identity.
  KVRBasicQtn3D& normalize() {
    const T n2 = q_.squaredNorm();
    if (n2 == T(0)) {
      q_ = EigenQuaternion(T(1), T(0), T(0), T(0));
    } else {
      q_.coeffs() /= std::sqrt(n2);
    }
    return *this;
  }
  EigenQuaternion& eigen() { return q_; }

  // Set up during dynamic initialisation; do not read it from initialisers of other static objects.
  static const KVRBasicQtn3D Identity;

 private:
  EigenQuaternion q_;
};

template <class T>
inline const KVRBasicQtn3D<T> KVRBasicQtn3D<T>::Identity{};
