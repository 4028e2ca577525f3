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

// Every member must compile for other scalar types too.
template class KVRBasicVector3D<float>;
template class KVRBasicQtn3D<float>;
template class KVRBasicXform3D<float>;
template class KVRBasicProfile3D<float>;
template class KVRBasicEuler3D<float>;

static Eigen::Quaterniond eigenRotation(const Eigen::Vector3d& axis, double angle) {
  return Eigen::Quaterniond(Eigen::AngleAxisd(angle, axis.normalized()));
}

// Generic poses, built with Eigen only: rotations about skew axes plus translations.
static Eigen::Isometry3d eigenPose(int i) {
  static const struct {
    Eigen::Vector3d axis;
    double angle;
    Eigen::Vector3d position;
  } poses[] = {{{1, 2, 3}, 0.7, {0.5, -1.2, 2.0}},
               {{-2, 0.5, 1}, -1.3, {3.0, 0.25, -0.75}},
               {{0.3, -1, 0.2}, 2.9, {-1.0, 2.0, 0.5}},
               {{1, -1, 0.5}, std::numbers::pi, {0.0, 0.0, 4.0}}};
  Eigen::Isometry3d e = Eigen::Isometry3d::Identity();
  e.linear() = eigenRotation(poses[i].axis, poses[i].angle).toRotationMatrix();
  e.translation() = poses[i].position;
  return e;
}

static void expectPose(const Xform& x, const Eigen::Isometry3d& e, double tol = 1e-12) {
  EXPECT_LT((x.toIsometry().matrix() - e.matrix()).cwiseAbs().maxCoeff(), tol) << x;
}

TEST(KVRMathConstTest, ValuesAreFullDoublePrecision) {
  EXPECT_EQ(KVRMathConst::Pi_4, std::numbers::pi / 4);
  EXPECT_TRUE(KVRMathConst::Sqrt_3 == std::numbers::sqrt3 && KVRMathConst::Epsilon == std::ldexp(1.0, -52));
}

TEST(KVRBasicVector3DTest, ExactEqualityAndLerpIntoItsOwnInput) {
  const Vec a(1, 2, 3), b = Eigen::Vector3d(5, -2, 7);
  EXPECT_NE(a, Vec(1, 2, std::nextafter(3.0, 4.0)));
  Vec out, first = a, second = b;
  lerp(out, 0.25, a, b);
  EXPECT_EQ(out, Vec(2, 1, 4));
  lerp(first, 0.5, first, b);
  lerp(second, 0.5, a, second);
  EXPECT_EQ(first, Vec(3, 0, 5));
  EXPECT_EQ(second, Vec(3, 0, 5));
}

TEST(KVRBasicQtn3DTest, EAARoundTrip) {
  const Eigen::Vector3d skew(0.2, -0.4, 1.0);
  struct Case {
    Eigen::Vector3d axis;
    double angle;
    Eigen::Vector3d expectedAxis;
    double expectedAngle;
  } cases[] = {
      {skew * 3, 1.2, skew.normalized(), 1.2},
      {skew, -0.5, -skew.normalized(), 0.5},
      {Eigen::Vector3d::UnitZ(), 1.5 * std::numbers::pi, -Eigen::Vector3d::UnitZ(), 0.5 * std::numbers::pi},
      {Eigen::Vector3d::UnitY(), std::numbers::pi, Eigen::Vector3d::UnitY(), std::numbers::pi}};
  for (const Case& c : cases) {
    Qtn q;
    q.setEAA(c.axis, c.angle);
    EXPECT_TRUE(q.eigen().isApprox(eigenRotation(c.axis, c.angle)) ||
                q.eigen().coeffs().isApprox(-eigenRotation(c.axis, c.angle).coeffs()));
    for (const Qtn& same : {q, Qtn(-q.w(), -q.x(), -q.y(), -q.z())}) {
      Vec axis;
      double angle;
      same.getEAA(axis, angle);
      EXPECT_NEAR(angle, c.expectedAngle, 1e-12);
      EXPECT_LT((axis.eigen() - c.expectedAxis).norm(), 1e-12);
    }
  }
  Vec axis;
  double angle;
  Qtn::Identity.getEAA(axis, angle);
  EXPECT_EQ(axis, Vec(1, 0, 0));
  EXPECT_EQ(angle, 0);
  Qtn zeroAxis(0.5, 0.5, 0.5, 0.5);
  zeroAxis.setEAA(Vec::Zero, 1.0);
  EXPECT_EQ(zeroAxis, Qtn::Identity);
}

TEST(KVRBasicQtn3DTest, PostMultiplyInvertAndNormalize) {
  // Products and inverses are checked through the transforms below.
  const Qtn a = eigenRotation({1, 2, 3}, 0.7), b = eigenRotation({-2, 0.5, 1}, -1.3);
  Qtn c = a;
  EXPECT_TRUE(
      c.postMultiply(b).toRotationMatrix().isApprox(a.toRotationMatrix() * b.toRotationMatrix(), 1e-12));
  c = a;
  EXPECT_TRUE(c.invert().toRotationMatrix().isApprox(a.toRotationMatrix().transpose(), 1e-12));
  Qtn scaled(2 * a.w(), 2 * a.x(), 2 * a.y(), 2 * a.z());
  EXPECT_TRUE(scaled.normalize().eigen().coeffs().isApprox(a.eigen().coeffs(), 1e-15));
  Qtn zero(0, 0, 0, 0);
  EXPECT_EQ(zero.normalize(), Qtn::Identity);
}

TEST(KVRBasicXform3DTest, GroupIdentities) {
  const Xform a(eigenPose(0)), b(eigenPose(1)), c(eigenPose(2));
  EXPECT_FALSE((a * b).isApprox(b * a));
  EXPECT_TRUE((a.inverse() * a).isApprox(Xform::Identity));
  EXPECT_TRUE(((a * b) * c).isApprox(a * (b * c)));
  EXPECT_TRUE((a * b).inverse().isApprox(b.inverse() * a.inverse()));
  Xform d = a;
  d /= b;
  EXPECT_TRUE(d.isApprox(a * b.inverse()));
  d = a;
  EXPECT_EQ(&d.invert(), &d);
  EXPECT_EQ(d, a.inverse());
  const Xform negated(Qtn(-a.getQtn().w(), -a.getQtn().x(), -a.getQtn().y(), -a.getQtn().z()),
                      a.getPosition());
  EXPECT_TRUE(negated.isApprox(a));
  EXPECT_FALSE(negated == a);
  EXPECT_FALSE(a.isApprox(Xform(a.getQtn(), a.getPosition() + Vec(0, 0, 1e-6))));
}

TEST(KVRBasicXform3DTest, AgreesWithEigenIsometry) {
  for (int i = 0; i < 4; ++i) {
    for (int j = 0; j < 4; ++j) {
      const Eigen::Isometry3d ea = eigenPose(i), eb = eigenPose(j);
      const Xform a(ea), b(eb);
      expectPose(a, ea);
      expectPose(a * b, ea * eb);
      Xform c = a;
      expectPose(c.postMultiply(b), ea * eb);
      expectPose(a.inverse(), ea.inverse(Eigen::Isometry));
      const Eigen::Vector3d p(0.3, -2, 5);
      EXPECT_LT(((a * Vec(p)).eigen() - ea * p).norm(), 1e-12);
    }
  }
}

TEST(KVRBasicXform3DTest, MoveRotateTranslateInBothFrames) {
  const Eigen::Isometry3d ex = eigenPose(0), em = eigenPose(1);
  const Eigen::Vector3d axis(0.6, -1.2, 3.0);
  const double angle = 0.8;
  const Eigen::Isometry3d er(eigenRotation(axis, angle));
  const Eigen::Isometry3d ey(eigenRotation(Eigen::Vector3d::UnitY(), angle));
  const Eigen::Translation3d et(1.5, -0.5, 2.0);
  struct Case {
    KVRMath3D::ReferenceFrame frame;
    bool post;
  } cases[] = {{KVRMath3D::LocalFrame, true}, {KVRMath3D::ParentFrame, false}};
  for (const Case& c : cases) {
    auto apply = [&](const Eigen::Isometry3d& m) { return c.post ? Eigen::Isometry3d(ex * m) : m * ex; };
    Xform x(ex);
    expectPose(x.move(Xform(em), c.frame), apply(em));
    x = Xform(ex);
    expectPose(x.rotate(Vec(axis), angle, c.frame), apply(er));
    x = Xform(ex);
    expectPose(x.rotate(KVRMath3D::YAxis, angle, c.frame), apply(ey));
    x = Xform(ex);
    expectPose(x.translate(Vec(et.vector()), c.frame), apply(Eigen::Isometry3d(et)));
  }
  Xform x(ex);
  x.rotate(static_cast<KVRMath3D::AxisType>(7), angle, KVRMath3D::LocalFrame);
  EXPECT_EQ(x, Xform(ex));
}

TEST(KVRBasicXform3DTest, RollPitchYawConvention) {
  auto rzyx = [](double roll, double pitch, double yaw) {
    return (Eigen::AngleAxisd(yaw, Eigen::Vector3d::UnitZ()) *
            Eigen::AngleAxisd(pitch, Eigen::Vector3d::UnitY()) *
            Eigen::AngleAxisd(roll, Eigen::Vector3d::UnitX()))
        .toRotationMatrix();
  };
  const double regular[][3] = {{0.3, -0.4, 1.1}, {2.5, 1.2, -3.0}, {-2.9, -1.5, 0.2}};
  for (const auto& rpy : regular) {
    Xform x;
    x.setRPY(rpy[0], rpy[1], rpy[2]);
    EXPECT_TRUE(x.getQtn().toRotationMatrix().isApprox(rzyx(rpy[0], rpy[1], rpy[2]), 1e-12));
    double roll, pitch, yaw;
    x.getRPY(roll, pitch, yaw);
    EXPECT_LT(std::abs(roll - rpy[0]) + std::abs(pitch - rpy[1]) + std::abs(yaw - rpy[2]), 1e-11);
  }
  // Gimbal lock: roll becomes 0 and yaw takes yaw - roll (pitch up) or yaw + roll (pitch down).
  // Just off the lock, the angles must still rebuild the rotation.
  const double locked[][4] = {{0.4, std::numbers::pi / 2, 1.1, 0.7},
                              {0.4, -std::numbers::pi / 2, 1.1, 1.5},
                              {0.4, std::numbers::pi / 2 - 1e-10, 1.1, NAN}};
  for (const auto& c : locked) {
    Xform x;
    x.setQtn(Qtn(Eigen::Quaterniond(rzyx(c[0], c[1], c[2]))));
    double roll, pitch, yaw;
    x.getRPY(roll, pitch, yaw);
    EXPECT_NEAR(pitch, c[1], 1e-9);
    EXPECT_LT(std::isnan(c[3]) ? 0.0 : std::abs(roll) + std::abs(yaw - c[3]), 1e-11);
    EXPECT_TRUE(rzyx(roll, pitch, yaw).isApprox(rzyx(c[0], c[1], c[2]), 1e-12));
  }
}

TEST(KVRMathStreamTest, WidthAppliesToFirstNumberAndSettingsAreKept) {
  Xform x;
  x.setPosition(1, 2, 3);
  x.setRPY(0, 0, std::numbers::pi / 2);
  std::ostringstream os;
  os << std::setw(4) << x;
  EXPECT_EQ(os.str(), "   1 2 3 | rpy 0 0 90");
  os.str("");
  os << std::fixed << std::setprecision(1) << x << '|' << std::setw(3) << Vec(1, 2, 3);
  EXPECT_EQ(os.str(), "1.0 2.0 3.0 | rpy 0.0 0.0 90.0|1.0 2.0 3.0");
  EXPECT_EQ(os.precision(), 1);
  EXPECT_TRUE(os.flags() & std::ios::fixed);
}
