#pragma once

#include "KVRMath3D.h"

// Three angles alpha, beta and gamma, kept as a property value. The type attaches no convention
// to them: the property that holds them defines the axis order and unit. Default-constructed,
// all three are zero.
template <class T>
class KVRBasicEuler3D : public KVRMath3D {
 public:
  KVRBasicEuler3D() = default;
  KVRBasicEuler3D(T alpha, T beta, T gamma) : alpha_(alpha), beta_(beta), gamma_(gamma) {}

  void getAngles(T& alpha, T& beta, T& gamma) const {
    alpha = alpha_;
    beta = beta_;
    gamma = gamma_;
  }
  T alpha() const { return alpha_; }
  T beta() const { return beta_; }
  T gamma() const { return gamma_; }
  bool operator==(const KVRBasicEuler3D& b) const {
    return alpha_ == b.alpha_ && beta_ == b.beta_ && gamma_ == b.gamma_;
  }

  void setAngles(T alpha, T beta, T gamma) {
    alpha_ = alpha;
    beta_ = beta;
    gamma_ = gamma;
  }

 private:
  T alpha_ = T(0);
  T beta_ = T(0);
  T gamma_ = T(0);
};
