#pragma once

#include <Eigen/Core>
#include <ostream>
#include <type_traits>

#include "KVRMath3D.h"

// A 3-D vector or point with components of type T. The components live in an Eigen 3-vector, so
// Eigen code can read and write them in place through eigen(). A default-constructed vector is
// zero. Equality is exact component equality: compare computed values with a tolerance instead,
// e.g. KVRL2Norm(a - b) < tol.
template <class T>
class KVRBasicVector3D : public KVRMath3D {
 public:
  using EigenVector = Eigen::Matrix<T, 3, 1>;

  KVRBasicVector3D() : v_(EigenVector::Zero()) {}
  explicit KVRBasicVector3D(KVRMath3D::UninitializedType) {}
  KVRBasicVector3D(T x, T y, T z) : v_(x, y, z) {}
  KVRBasicVector3D(const EigenVector& v) : v_(v) {}
  // Accepts any Eigen expression of three components, e.g. a.eigen().cross(b.eigen()).
  template <class Derived>
  KVRBasicVector3D(const Eigen::MatrixBase<Derived>& v) : v_(v) {}

  T x() const { return v_.x(); }
  T y() const { return v_.y(); }
  T z() const { return v_.z(); }
  // Index 0, 1 or 2; not range-checked.
  T operator[](int i) const { return v_[i]; }
  const EigenVector& eigen() const { return v_; }

  T dot(const KVRBasicVector3D& b) const { return v_.dot(b.v_); }
  KVRBasicVector3D cross(const KVRBasicVector3D& b) const { return KVRBasicVector3D(v_.cross(b.v_)); }
  T norm() const { return v_.norm(); }
  // No component is a NaN or an infinity.
  bool isFinite() const {
    // x · 0 is 0 for a finite x and NaN otherwise.
    const T zero = v_.x() * T(0) + v_.y() * T(0) + v_.z() * T(0);
    return zero == zero;
  }

  KVRBasicVector3D operator-() const { return KVRBasicVector3D(-v_); }
  bool operator==(const KVRBasicVector3D& b) const { return v_ == b.v_; }

  friend KVRBasicVector3D operator+(const KVRBasicVector3D& a, const KVRBasicVector3D& b) {
    return KVRBasicVector3D(a.v_ + b.v_);
  }
  friend KVRBasicVector3D operator-(const KVRBasicVector3D& a, const KVRBasicVector3D& b) {
    return KVRBasicVector3D(a.v_ - b.v_);
  }
  friend KVRBasicVector3D operator*(const KVRBasicVector3D& v, T s) { return KVRBasicVector3D(v.v_ * s); }
  friend KVRBasicVector3D operator*(T s, const KVRBasicVector3D& v) { return KVRBasicVector3D(v.v_ * s); }
  friend KVRBasicVector3D operator/(const KVRBasicVector3D& v, T s) { return KVRBasicVector3D(v.v_ / s); }

  void setX(T x) { v_.x() = x; }
  void setY(T y) { v_.y() = y; }
  void setZ(T z) { v_.z() = z; }
  T& operator[](int i) { return v_[i]; }
  EigenVector& eigen() { return v_; }

  KVRBasicVector3D& operator+=(const KVRBasicVector3D& b) {
    v_ += b.v_;
    return *this;
  }
  KVRBasicVector3D& operator-=(const KVRBasicVector3D& b) {
    v_ -= b.v_;
    return *this;
  }
  KVRBasicVector3D& operator*=(T s) {
    v_ *= s;
    return *this;
  }
  KVRBasicVector3D& operator/=(T s) {
    v_ /= s;
    return *this;
  }

  static const KVRBasicVector3D Zero;

 private:
  EigenVector v_;
};

template <class T>
inline const KVRBasicVector3D<T> KVRBasicVector3D<T>::Zero{};

// Euclidean length.
template <class T>
T KVRL2Norm(const KVRBasicVector3D<T>& v) {
  return v.eigen().norm();
}

// out = a + t * (b - a); out may be a or b.
template <class T>
void lerp(KVRBasicVector3D<T>& out, std::type_identity_t<T> t, const KVRBasicVector3D<T>& a,
          const KVRBasicVector3D<T>& b) {
  out.eigen() = a.eigen() + t * (b.eigen() - a.eigen());
}

// Writes "x y z". The stream's width applies to x only; other settings are left as they are.
template <class T>
std::ostream& operator<<(std::ostream& os, const KVRBasicVector3D<T>& v) {
  return os << v.x() << ' ' << v.y() << ' ' << v.z();
}
