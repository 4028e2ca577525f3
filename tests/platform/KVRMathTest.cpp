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
  EXPECT_EQ(KVRMathConst::Pi, std::numbers::pi);
  EXPECT_EQ(KVRMathConst::Pi_2, std::numbers::pi / 2);
  EXPECT_EQ(KVRMathConst::Pi_4, std::numbers::pi / 4);
  EXPECT_EQ(KVRMathConst::_2_Pi, 2 * std::numbers::pi);
  EXPECT_EQ(KVRMathConst::Sqrt_2, std::numbers::sqrt2);
  EXPECT_EQ(KVRMathConst::Sqrt_3, std::numbers::sqrt3);
  EXPECT_EQ(KVRMathConst::Epsilon, std::ldexp(1.0, -52));
}

TEST(KVRBasicVector3DTest, ArithmeticAndEigenInterop) {
  const Vec a(1, 2, 3);
  const Vec b = Eigen::Vector3d(5, -2, 7);
  EXPECT_EQ(Vec(), Vec::Zero);
  EXPECT_EQ(a + b, Vec(6, 0, 10));
  EXPECT_EQ(b - a, Vec(4, -4, 4));
  EXPECT_EQ(-a * 2.0, Vec(-2, -4, -6));
  EXPECT_EQ(b / 2.0, Vec(2.5, -1, 3.5));
  EXPECT_EQ(a.dot(b), 22);
  EXPECT_EQ(a.cross(b), Vec(20, 8, -12));
  EXPECT_EQ(KVRL2Norm(Vec(3, 4, 12)), 13);
  Vec c = a;
  c += b;
  c *= 4;
  c[1] = 9;
  c.setZ(-1);
  EXPECT_EQ(c.eigen(), Eigen::Vector3d(24, 9, -1));
  // Equality is exact.
  EXPECT_NE(Vec(0.1 + 0.2, 0, 0), Vec(0.3, 0, 0));
  EXPECT_NE(Vec(1, 2, 3), Vec(1, 2, std::nextafter(3.0, 4.0)));
}

TEST(KVRBasicVector3DTest, LerpIncludingAliasedOutput) {
  const Vec a(1, 2, 3), b(5, -2, 7);
  Vec out;
  lerp(out, 0.25, a, b);
  EXPECT_EQ(out, Vec(2, 1, 4));
  Vec first = a, second = b;
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
  // A half turn about a skew axis: any axis sign is right if it reproduces the rotation.
  Qtn half;
  half.setEAA(skew, std::numbers::pi);
  Vec axis;
  double angle;
  half.getEAA(axis, angle);
  Qtn rebuilt;
  rebuilt.setEAA(axis, angle);
  EXPECT_NEAR(angle, std::numbers::pi, 1e-12);
  EXPECT_TRUE(rebuilt.toRotationMatrix().isApprox(half.toRotationMatrix(), 1e-12));

  Qtn::Identity.getEAA(axis, angle);
  EXPECT_EQ(axis, Vec(1, 0, 0));
  EXPECT_EQ(angle, 0);
  Qtn zeroAxis(0.5, 0.5, 0.5, 0.5);
  zeroAxis.setEAA(Vec::Zero, 1.0);
  EXPECT_EQ(zeroAxis, Qtn::Identity);
}

TEST(KVRBasicQtn3DTest, ProductsInverseAndNormalize) {
  const Qtn a = eigenRotation({1, 2, 3}, 0.7), b = eigenRotation({-2, 0.5, 1}, -1.3);
  const Eigen::Matrix3d ra = a.toRotationMatrix(), rb = b.toRotationMatrix();
  EXPECT_TRUE((a * b).toRotationMatrix().isApprox(ra * rb, 1e-12));
  Qtn c = a;
  c.postMultiply(b);
  EXPECT_TRUE(c.toRotationMatrix().isApprox(ra * rb, 1e-12));
  const Vec v(0.3, -2, 5);
  EXPECT_LT(((a * v).eigen() - ra * v.eigen()).norm(), 1e-12);
  EXPECT_TRUE((a * a.inverse()).eigen().isApprox(Qtn::Identity.eigen(), 1e-12));
  c = a;
  EXPECT_TRUE(c.invert().toRotationMatrix().isApprox(ra.transpose(), 1e-12));
  Qtn scaled(2 * a.w(), 2 * a.x(), 2 * a.y(), 2 * a.z());
  EXPECT_TRUE(scaled.normalize().eigen().coeffs().isApprox(a.eigen().coeffs(), 1e-15));
  Qtn zero(0, 0, 0, 0);
  EXPECT_EQ(zero.normalize(), Qtn::Identity);
}

TEST(KVRBasicXform3DTest, GroupIdentities) {
  const Xform a(eigenPose(0)), b(eigenPose(1)), c(eigenPose(2));
  EXPECT_FALSE((a * b).isApprox(b * a));
  EXPECT_EQ(Xform(), Xform::Identity);
  EXPECT_TRUE((a * a.inverse()).isApprox(Xform::Identity));
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
  Xform scaled(Qtn(2 * a.getQtn().w(), 2 * a.getQtn().x(), 2 * a.getQtn().y(), 2 * a.getQtn().z()),
               a.getPosition());
  EXPECT_TRUE(scaled.normalize().isApprox(a, 1e-15));
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
    x.setPosition(1, 2, 3);
    x.setRPY(rpy[0], rpy[1], rpy[2]);
    EXPECT_EQ(x.getPosition(), Vec(1, 2, 3));
    EXPECT_TRUE(x.getQtn().toRotationMatrix().isApprox(rzyx(rpy[0], rpy[1], rpy[2]), 1e-12));
    double roll, pitch, yaw;
    Xform(Qtn(Eigen::Quaterniond(rzyx(rpy[0], rpy[1], rpy[2]))), Vec()).getRPY(roll, pitch, yaw);
    EXPECT_NEAR(roll, rpy[0], 1e-12);
    EXPECT_NEAR(pitch, rpy[1], 1e-12);
    EXPECT_NEAR(yaw, rpy[2], 1e-12);
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
    if (!std::isnan(c[3])) {
      EXPECT_NEAR(roll, 0, 1e-12);
      EXPECT_NEAR(yaw, c[3], 1e-12);
    }
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
  os.str("");
  os << std::defaultfloat << std::setw(3) << Vec(1, 2, 3);
  EXPECT_EQ(os.str(), "  1 2 3");
}

TEST(KVRBasicProfile3DTest, ClearAssignAndCompare) {
  using Profile = KVRBasicProfile3D<double>;
  EXPECT_EQ(Profile(), Profile::Identity);
  Profile p;
  p.setLinearVelocity(Vec(1, 0, 0));
  p.setAngularVelocity(Vec(0, 2, 0));
  p.setLinearAcceleration(Vec(0, 0, 3));
  p.setAngularAcceleration(Vec(4, 0, 0));
  p.setLocation(Xform(eigenPose(1)));
  EXPECT_EQ(p.getLinearVelocity(), Vec(1, 0, 0));
  Profile q;
  q = p;
  Profile& alias = q;
  q = alias;
  EXPECT_EQ(q, p);
  q.getLocation().translate(Vec(0, 0, 1), KVRMath3D::ParentFrame);
  EXPECT_FALSE(q == p);
  p.clearVelocity();
  EXPECT_EQ(p.getAngularVelocity(), Vec::Zero);
  EXPECT_EQ(p.getLinearAcceleration(), Vec(0, 0, 3));
  p.clearAcceleration();
  EXPECT_EQ(p.getAngularAcceleration(), Vec::Zero);
  EXPECT_EQ(p.getLocation(), Xform(eigenPose(1)));
  EXPECT_EQ(p.getLinearVelocity(), Vec::Zero);
}

TEST(KVRBasicEuler3DTest, StoresThreeAngles) {
  KVRBasicEuler3D<double> e;
  EXPECT_EQ(e, KVRBasicEuler3D<double>(0, 0, 0));
  e.setAngles(0.1, 0.2, 0.3);
  double a, b, c;
  e.getAngles(a, b, c);
  EXPECT_EQ(KVRBasicEuler3D<double>(a, b, c), KVRBasicEuler3D<double>(0.1, 0.2, 0.3));
  EXPECT_FALSE(e == KVRBasicEuler3D<double>(0.1, 0.2, 0.4));
}
