// Vectors, quaternions and poses, checked against Eigen.
#include <gtest/gtest.h>
#include <Eigen/Geometry>
#include <cmath>
#include <iomanip>
#include <numbers>
#include <sstream>
#include "KVRMath.h"

using Vec = KVRBasicVector3D<double>;
using Qtn = KVRBasicQtn3D<double>;
using Xform = KVRBasicXform3D<double>;
using Eigen::Isometry3d;
using Eigen::Vector3d;

// Every member must compile for other scalar types too.
template class KVRBasicVector3D<float>;
template class KVRBasicQtn3D<float>;
template class KVRBasicXform3D<float>;
template class KVRBasicProfile3D<float>;
template class KVRBasicEuler3D<float>;

static Eigen::Quaterniond eigenRotation(const Vector3d& axis, double angle) {
  return Eigen::Quaterniond(Eigen::AngleAxisd(angle, axis.normalized()));
}

// Generic poses, built with Eigen only: rotations about skew axes plus translations.
static Isometry3d eigenPose(int i) {
  static const Vector3d axes[] = {{1, 2, 3}, {-2, 0.5, 1}, {0.3, -1, 0.2}, {1, -1, 0.5}};
  static const double angles[] = {0.7, -1.3, 2.9, std::numbers::pi};
  static const Vector3d positions[] = {{0.5, -1.2, 2.0}, {3.0, 0.25, -0.75}, {-1.0, 2.0, 0.5}, {0, 0, 4}};
  return Eigen::Translation3d(positions[i]) * eigenRotation(axes[i], angles[i]);
}

static void expectPose(const Xform& x, const Isometry3d& e) {
  EXPECT_LT((x.toIsometry().matrix() - e.matrix()).cwiseAbs().maxCoeff(), 1e-12) << x;
}

TEST(KVRMath, ConstantsVectorsAndStreamingLerpMayWriteIntoItsOwnInput) {
  EXPECT_EQ(KVRMathConst::Pi_4, std::numbers::pi / 4);
  EXPECT_TRUE(KVRMathConst::Sqrt_3 == std::numbers::sqrt3 && KVRMathConst::Epsilon == std::ldexp(1.0, -52));
  const Vec a(1, 2, 3), b = Vector3d(5, -2, 7);
  EXPECT_NE(a, Vec(1, 2, std::nextafter(3.0, 4.0)));
  Vec out, first = a, second = b;
  lerp(out, 0.25, a, b); lerp(first, 0.5, first, b); lerp(second, 0.5, a, second);
  EXPECT_TRUE(out == Vec(2, 1, 4) && first == Vec(3, 0, 5) && second == Vec(3, 0, 5));
  // Streamed, the width applies to the first number and the settings are kept.
  Xform x;
  x.setPosition(1, 2, 3); x.setRPY(0, 0, std::numbers::pi / 2);
  std::ostringstream os;
  os << std::setw(4) << x;
  EXPECT_EQ(os.str(), "   1 2 3 | rpy 0 0 90"); os.str("");
  os << std::fixed << std::setprecision(1) << x << '|' << std::setw(3) << Vec(1, 2, 3);
  EXPECT_EQ(os.str(), "1.0 2.0 3.0 | rpy 0.0 0.0 90.0|1.0 2.0 3.0");
  EXPECT_TRUE(os.precision() == 1 && (os.flags() & std::ios::fixed));
}

TEST(KVRBasicQtn3DTest, EAARoundTripNormalizeAndTheDegenerateCases) {
  const Vector3d skew(0.2, -0.4, 1.0), z = Vector3d::UnitZ(), y = Vector3d::UnitY();
  const double pi = std::numbers::pi;
  const struct {
    Vector3d axis, expectedAxis;
    double angle, expectedAngle;
  } cases[] = {{skew * 3, skew.normalized(), 1.2, 1.2}, {skew, -skew.normalized(), -0.5, 0.5},
               {z, -z, 1.5 * pi, 0.5 * pi}, {y, y, pi, pi}};
  Vec axis;
  double angle;
  for (const auto& c : cases) {
    Qtn q;
    q.setEAA(c.axis, c.angle);
    const Eigen::Quaterniond e = eigenRotation(c.axis, c.angle);
    EXPECT_TRUE(q.eigen().isApprox(e) || q.eigen().coeffs().isApprox(-e.coeffs()));
    for (const Qtn& same : {q, Qtn(-q.w(), -q.x(), -q.y(), -q.z())}) {
      same.getEAA(axis, angle);
      EXPECT_NEAR(angle, c.expectedAngle, 1e-12); EXPECT_LT((axis.eigen() - c.expectedAxis).norm(), 1e-12);
    }
  }
  Qtn::Identity.getEAA(axis, angle);
  EXPECT_TRUE(axis == Vec(1, 0, 0) && angle == 0);
  Qtn zeroAxis(0.5, 0.5, 0.5, 0.5), zero(0, 0, 0, 0);
  zeroAxis.setEAA(Vec::Zero, 1.0);
  EXPECT_TRUE(zeroAxis == Qtn::Identity && zero.normalize() == Qtn::Identity);
  const Qtn a = eigenRotation({1, 2, 3}, 0.7);
  Qtn scaled(2 * a.w(), 2 * a.x(), 2 * a.y(), 2 * a.z());
  EXPECT_TRUE(scaled.normalize().eigen().coeffs().isApprox(a.eigen().coeffs(), 1e-15));
}

TEST(KVRBasicXform3DTest, ProductsInversesPointsAndMovesInBothFramesAgreeWithEigen) {
  for (int i = 0; i < 4; ++i) {
    for (int j = 0; j < 4; ++j) {
      const Isometry3d ea = eigenPose(i), eb = eigenPose(j);
      const Xform a(ea), b(eb);
      Xform c = a, d = a;
      Qtn q = a.getQtn();
      expectPose(a * b, ea * eb); expectPose(c.postMultiply(b), ea * eb);
      expectPose(d /= b, ea * eb.inverse(Eigen::Isometry));
      expectPose(a.inverse(), ea.inverse(Eigen::Isometry));
      EXPECT_TRUE(q.postMultiply(b.getQtn()).toRotationMatrix().isApprox(ea.linear() * eb.linear(), 1e-12));
      const Vector3d p(0.3, -2, 5);
      EXPECT_LT(((a * Vec(p)).eigen() - ea * p).norm(), 1e-12);
    }
  }
  const Xform a(eigenPose(0));
  const Qtn& r = a.getQtn();
  Xform d = a; Qtn q = r;
  EXPECT_EQ(&d.invert(), &d); EXPECT_EQ(d, a.inverse());
  EXPECT_TRUE(q.invert().toRotationMatrix().isApprox(r.toRotationMatrix().transpose(), 1e-12));
  // The opposite quaternion: approximately equal, not equal.
  const Xform negated(Qtn(-r.w(), -r.x(), -r.y(), -r.z()), a.getPosition());
  EXPECT_TRUE(negated.isApprox(a) && !(negated == a));
  EXPECT_FALSE(a.isApprox(Xform(r, a.getPosition() + Vec(0, 0, 1e-6))));
  // Moves, rotations and translations in the local or the parent frame.
  const Isometry3d ex = eigenPose(0), em = eigenPose(1);
  const Vector3d axis(0.6, -1.2, 3.0); const double angle = 0.8;
  const Eigen::Translation3d et(1.5, -0.5, 2.0);
  for (const bool local : {true, false}) {
    const auto frame = local ? KVRMath3D::LocalFrame : KVRMath3D::ParentFrame;
    auto apply = [&](const Isometry3d& m) { return local ? Isometry3d(ex * m) : m * ex; };
    Xform x(ex), r(ex), y(ex), t(ex);
    expectPose(x.move(Xform(em), frame), apply(em));
    expectPose(r.rotate(Vec(axis), angle, frame), apply(Isometry3d(eigenRotation(axis, angle))));
    expectPose(y.rotate(KVRMath3D::YAxis, angle, frame), apply(Isometry3d(eigenRotation({0, 1, 0}, angle))));
    expectPose(t.translate(Vec(et.vector()), frame), apply(Isometry3d(et)));
  }
  Xform x(ex);  // an unknown axis: left as it was
  EXPECT_EQ(x.rotate(static_cast<KVRMath3D::AxisType>(7), angle, KVRMath3D::LocalFrame), Xform(ex));
}

TEST(KVRBasicXform3DTest, RollPitchYawConventionAndGimbalLock) {
  auto rzyx = [](double roll, double pitch, double yaw) {
    return (eigenRotation(Vector3d::UnitZ(), yaw) * eigenRotation(Vector3d::UnitY(), pitch) *
            eigenRotation(Vector3d::UnitX(), roll)).toRotationMatrix();
  };
  // roll, pitch, yaw; at the lock (the last three) roll reads 0 and yaw the last column: yaw - roll (pitch
  // up) or yaw + roll (pitch down). Just off the lock (NAN), the angles must still rebuild the rotation.
  const double h = std::numbers::pi / 2;
  const double cases[][4] = {{0.3, -0.4, 1.1}, {2.5, 1.2, -3.0},       {-2.9, -1.5, 0.2},
                             {0.4, h, 1.1, 0.7}, {0.4, -h, 1.1, 1.5}, {0.4, h - 1e-10, 1.1, NAN}};
  for (int i = 0; i < 6; ++i) {
    const auto& c = cases[i];
    const bool locked = i >= 3;
    Xform x;
    x.setRPY(c[0], c[1], c[2]);
    EXPECT_TRUE(x.getQtn().toRotationMatrix().isApprox(rzyx(c[0], c[1], c[2]), 1e-12)) << i;
    if (locked) x.setQtn(Qtn(Eigen::Quaterniond(rzyx(c[0], c[1], c[2]))));
    double roll, pitch, yaw;
    x.getRPY(roll, pitch, yaw);
    EXPECT_NEAR(pitch, c[1], 1e-9) << i;
    const double expectedRoll = locked ? 0 : c[0], expectedYaw = locked ? c[3] : c[2];
    const double off = std::abs(roll - expectedRoll) + std::abs(yaw - expectedYaw);
    EXPECT_TRUE(std::isnan(expectedYaw) || off < 1e-11) << i;
    EXPECT_TRUE(rzyx(roll, pitch, yaw).isApprox(rzyx(c[0], c[1], c[2]), 1e-12)) << i;
  }
}

