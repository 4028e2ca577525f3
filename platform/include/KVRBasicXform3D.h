#pragma once

#include <Eigen/Geometry>
#include <cmath>
#include <limits>
#include <ostream>

#include "KVRBasicQtn3D.h"
#include "KVRBasicVector3D.h"
#include "KVRMath3D.h"
#include "KVRMathConst.h"

// A rigid transform: a rotation (unit quaternion) and a position. The location of B relative to A
// maps coordinates in B's frame to coordinates in A's frame: p_A = q * p_B + position. Products
// compose locations, so A->B * B->C gives A->C. Default-constructed, it is the identity. All hot
// operations are inline and work on the quaternion and vector directly. It carries the names of
// KVRMath3D without deriving from it: its vector already has that empty base at offset 0, and a
// second one would push the vector 8 bytes along. So a transform is seven packed numbers.
template <class T>
class KVRBasicXform3D {
 public:
  using UninitializedType = KVRMath3D::UninitializedType;
  using ReferenceFrame = KVRMath3D::ReferenceFrame;
  using AxisType = KVRMath3D::AxisType;
  using enum KVRMath3D::UninitializedType;
  using enum KVRMath3D::ReferenceFrame;
  using enum KVRMath3D::AxisType;
  using EigenIsometry = Eigen::Transform<T, 3, Eigen::Isometry>;

  KVRBasicXform3D() = default;
  explicit KVRBasicXform3D(KVRMath3D::UninitializedType)
      : p_(KVRMath3D::Uninitialized), q_(KVRMath3D::Uninitialized) {}
  KVRBasicXform3D(const KVRBasicQtn3D<T>& q, const KVRBasicVector3D<T>& position) : p_(position), q_(q) {}
  // The linear part must be a rotation matrix.
  explicit KVRBasicXform3D(const EigenIsometry& iso)
      : p_(iso.translation()), q_(Eigen::Quaternion<T>(iso.linear())) {}

  EigenIsometry toIsometry() const {
    EigenIsometry iso;
    iso.linear() = q_.toRotationMatrix();
    iso.translation() = p_.eigen();
    iso.makeAffine();
    return iso;
  }
  const KVRBasicVector3D<T>& getPosition() const { return p_; }
  const KVRBasicQtn3D<T>& getQtn() const { return q_; }

  // Roll, pitch and yaw in radians with rotation = Rz(yaw) * Ry(pitch) * Rx(roll): roll about x,
  // then pitch about y, then yaw about z, all in the parent's fixed axes. Pitch is in
  // [-pi/2, pi/2], roll and yaw in [-pi, pi]. At pitch = +-pi/2 only yaw - roll (or yaw + roll)
  // is defined; there roll is 0 (to rounding) and yaw carries the whole turn about the vertical.
  void getRPY(T& roll, T& pitch, T& yaw) const {
    const Eigen::Matrix<T, 3, 3> r = q_.toRotationMatrix();
    const T cosPitch = std::hypot(r(0, 0), r(1, 0));
    pitch = std::atan2(-r(2, 0), cosPitch);
    // Below the threshold cos(pitch) is rounding noise: the lock is treated as exact, roll is 0
    // and yaw takes the combined turn. Above it, roll below absorbs the error of yaw, so the
    // angles rebuild the rotation to rounding accuracy however close the lock is.
    if (cosPitch > T(64) * std::numeric_limits<T>::epsilon()) {
      yaw = std::atan2(r(1, 0), r(0, 0));
    } else {
      yaw = std::atan2(-r(0, 1), r(1, 1));
    }
    // Roll from Rz(-yaw) * r = Ry(pitch) * Rx(roll).
    const T sy = std::sin(yaw);
    const T cy = std::cos(yaw);
    roll = std::atan2(sy * r(0, 2) - cy * r(1, 2), cy * r(1, 1) - sy * r(0, 1));
  }
  KVRBasicXform3D inverse() const {
    KVRBasicXform3D x(KVRMath3D::Uninitialized);
    x.q_.eigen() = q_.eigen().conjugate();
    x.p_.eigen() = -(x.q_.eigen() * p_.eigen());
    return x;
  }
  // Same rotation (q or -q) and position, each within tol: the Euclidean distance between the
  // quaternions' coefficients and between the positions.
  bool isApprox(const KVRBasicXform3D& b, T tol = T(1e-9)) const {
    const auto& qa = q_.eigen().coeffs();
    const auto& qb = b.q_.eigen().coeffs();
    const T dq = qa.dot(qb) < T(0) ? (qa + qb).norm() : (qa - qb).norm();
    return dq <= tol && (p_.eigen() - b.p_.eigen()).norm() <= tol;
  }
  bool operator==(const KVRBasicXform3D& b) const { return q_ == b.q_ && p_ == b.p_; }
  // No number of the rotation or the position is a NaN or an infinity.
  bool isFinite() const { return q_.isFinite() && p_.isFinite(); }

  // a * b: b is expressed in a's frame (base location * relative location).
  friend KVRBasicXform3D operator*(const KVRBasicXform3D& a, const KVRBasicXform3D& b) {
    KVRBasicXform3D x(KVRMath3D::Uninitialized);
    x.q_.eigen() = a.q_.eigen() * b.q_.eigen();
    x.p_.eigen() = a.q_.rotate(b.p_.eigen()) + a.p_.eigen();
    return x;
  }
  // The point v, given in this transform's frame, expressed in the parent frame.
  friend KVRBasicVector3D<T> operator*(const KVRBasicXform3D& x, const KVRBasicVector3D<T>& v) {
    return KVRBasicVector3D<T>(x.q_.rotate(v.eigen()) + x.p_.eigen());
  }

  void setPosition(const KVRBasicVector3D<T>& position) { p_ = position; }
  void setPosition(T x, T y, T z) { p_ = KVRBasicVector3D<T>(x, y, z); }
  void setQtn(const KVRBasicQtn3D<T>& q) { q_ = q; }
  // Sets the rotation from roll, pitch and yaw in radians (convention as for getRPY); the
  // position is kept.
  void setRPY(T roll, T pitch, T yaw) {
    const T cr = std::cos(roll / T(2)), sr = std::sin(roll / T(2));
    const T cp = std::cos(pitch / T(2)), sp = std::sin(pitch / T(2));
    const T cy = std::cos(yaw / T(2)), sy = std::sin(yaw / T(2));
    q_ = KVRBasicQtn3D<T>(cr * cp * cy + sr * sp * sy, sr * cp * cy - cr * sp * sy,
                          cr * sp * cy + sr * cp * sy, cr * cp * sy - sr * sp * cy);
  }
  KVRBasicXform3D& invert() { return *this = inverse(); }
  // Renormalises the quaternion, e.g. after long chains of products.
  KVRBasicXform3D& normalize() {
    q_.normalize();
    return *this;
  }
  // this = this * b
  KVRBasicXform3D& postMultiply(const KVRBasicXform3D& b) { return *this = *this * b; }
  KVRBasicXform3D& operator*=(const KVRBasicXform3D& b) { return *this = *this * b; }
  // this = this * b^-1
  KVRBasicXform3D& operator/=(const KVRBasicXform3D& b) {
    q_.eigen() = q_.eigen() * b.q_.eigen().conjugate();
    p_.eigen() -= q_.eigen() * b.p_.eigen();
    return *this;
  }
  // LocalFrame: this = this * m; ParentFrame: this = m * this.
  KVRBasicXform3D& move(const KVRBasicXform3D& m, KVRMath3D::ReferenceFrame frame) {
    return *this = frame == KVRMath3D::LocalFrame ? *this * m : m * *this;
  }
  // The move by a pure rotation of angle radians about axis (any non-zero length). The axis is
  // given in this transform's own axes (LocalFrame) or in the parent's (ParentFrame); in the
  // latter case the position turns about the parent's origin as well.
  KVRBasicXform3D& rotate(const KVRBasicVector3D<T>& axis, T angle, KVRMath3D::ReferenceFrame frame) {
    KVRBasicQtn3D<T> r(KVRMath3D::Uninitialized);
    r.setEAA(axis, angle);
    return rotateBy_(r, frame);
  }
  // An axis value other than XAxis, YAxis or ZAxis leaves the transform unchanged.
  KVRBasicXform3D& rotate(KVRMath3D::AxisType axis, T angle, KVRMath3D::ReferenceFrame frame) {
    const T c = std::cos(angle / T(2));
    const T s = std::sin(angle / T(2));
    switch (axis) {
      case KVRMath3D::XAxis:
        return rotateBy_(KVRBasicQtn3D<T>(c, s, T(0), T(0)), frame);
      case KVRMath3D::YAxis:
        return rotateBy_(KVRBasicQtn3D<T>(c, T(0), s, T(0)), frame);
      case KVRMath3D::ZAxis:
        return rotateBy_(KVRBasicQtn3D<T>(c, T(0), T(0), s), frame);
    }
    return *this;
  }
  // The move by a pure translation: LocalFrame adds v rotated into the parent's axes,
  // ParentFrame adds v as given.
  KVRBasicXform3D& translate(const KVRBasicVector3D<T>& v, KVRMath3D::ReferenceFrame frame) {
    if (frame == KVRMath3D::LocalFrame) {
      p_.eigen() += q_.eigen() * v.eigen();
    } else {
      p_.eigen() += v.eigen();
    }
    return *this;
  }

  // Set up during dynamic initialisation; do not read it from initialisers of other static objects.
  static const KVRBasicXform3D Identity;

 private:
  KVRBasicXform3D& rotateBy_(const KVRBasicQtn3D<T>& r, KVRMath3D::ReferenceFrame frame) {
    if (frame == KVRMath3D::LocalFrame) {
      q_.eigen() = q_.eigen() * r.eigen();
    } else {
      q_.eigen() = r.eigen() * q_.eigen();
      p_.eigen() = r.eigen() * p_.eigen();
    }
    return *this;
  }

  // Position first: the empty KVRMath3D bases of this class and of its members may not share an
  // address, and in this order that costs no padding (64 bytes instead of 80 for double).
  KVRBasicVector3D<T> p_;
  KVRBasicQtn3D<T> q_;
};

template <class T>
inline const KVRBasicXform3D<T> KVRBasicXform3D<T>::Identity{};

// Writes one line without a newline: the position, then roll, pitch and yaw in degrees, e.g.
// "1 2 3 | rpy 0 0 90". The stream's width applies to the x coordinate only; other settings,
// such as precision, are used as the caller set them and left unchanged.
template <class T>
std::ostream& operator<<(std::ostream& os, const KVRBasicXform3D<T>& x) {
  T roll, pitch, yaw;
  x.getRPY(roll, pitch, yaw);
  const T toDegrees = T(180) / T(KVRMathConst::Pi);
  // Adding zero turns -0 into 0 so that a plain rotation does not print as "-0".
  return os << x.getPosition() << " | rpy " << roll * toDegrees + T(0) << ' ' << pitch * toDegrees + T(0)
            << ' ' << yaw * toDegrees + T(0);
}
