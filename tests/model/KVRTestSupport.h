#pragma once

// Helpers shared by the model tests: named entities, names, event masks, test doubles.

#include <gtest/gtest.h>

#include <bitset>
#include <functional>
#include <initializer_list>
#include <iomanip>
#include <sstream>
#include <string>
#include <vector>

#include "KVRAssertion.h"
#include "KVRException.h"
#include "KVRWorldModel.h"

namespace kvrtest {

template <class T = KVRBasicEntity>
KVRSharedHandle<T> make(const std::wstring& name) {
  KVRSharedHandle<T> entity(new T);
  entity->setEntityName(name);
  return entity;
}

// Base names of a container of handles, in order.
template <class Container>
std::vector<std::wstring> names(const Container& entities) {
  std::vector<std::wstring> result;
  for (const auto& e : entities) result.push_back(e->getEntityName(KVRBasicEntity::BaseName));
  return result;
}

// A world under the universe; orphaning it takes it out again.
inline KVRSharedHandle<KVRBasicWorld> makeWorld(const std::wstring& name) {
  KVRSharedHandle<KVRBasicWorld> world = make<KVRBasicWorld>(name);
  KVRBasicUniverse::getUniverse()->addEntity(world);
  return world;
}

inline std::wstring fullName(const KVRSharedHandle<KVRBasicEntity>& e, wchar_t separator = L'/') {
  return e->getEntityName(KVRBasicEntity::FullName, separator);
}

inline std::wstring title(const KVRSharedHandle<KVRBasicEntity>& e) {
  return e->getEntityTitle(KVRBasicEntity::FullName, L'/').scribe(KVRLocale::global());
}

// The numbers of the bits set in `mask`, in order, for readable failures.
inline std::vector<int> bitList(const std::bitset<64>& mask) {
  std::vector<int> result;
  for (int bit = 0; bit < 64; ++bit)
    if (mask.test(static_cast<std::size_t>(bit))) result.push_back(bit);
  return result;
}

inline std::vector<int> pending(const KVRNotificationAgent& agent) {
  return bitList(agent.getPendingEvents());
}

template <class... H>
void orphan(const H&... entities) {
  (entities->orphanObject(), ...);
}

template <class... H>
void flushSpatial(const H&... entities) {
  (entities->flushSpatialState(), ...);
}

// A copy of `source` in `mode`, owned by the returned handle.
template <class T>
KVRSharedHandle<T> duplicate(const KVRSharedHandle<T>& source, KVRDynamicObject::CopyMode mode) {
  return KVRSharedHandle<T>(static_cast<T*>(source->duplicateObject(mode)));
}

// Asks `entity` to stand at base location `location`; returns the request status.
template <class H>
int place(const H& entity, KVRBasicXform3D<double> location) {
  return entity->setBaseLocation(location);
}

// Records, in order, every watched entity that publishes and the bits it published.
struct EventLog : KVRNotificationAgent {
  using Seen = std::vector<std::pair<std::wstring, std::vector<int>>>;
  template <class... H>
  void watch(const H&... entities) {
    (entities->addSubscriber(KVRMakeEventFunctor(this, &EventLog::onEvent), std::bitset<64>().set(), -1),
     ...);
  }
  void onEvent(const KVRSharedConstPointer<KVRBasicEntity>& sender, const std::bitset<64>& mask) {
    seen.emplace_back(sender->getEntityName(), bitList(mask));
  }
  Seen seen;
};

// Runs `call`, expects it to throw E with exactly `text`.
template <class E, class Call>
void expectThrowWithText(Call call, const std::wstring& text) {
  try {
    call();
    ADD_FAILURE() << "expected an exception";
  } catch (const E& e) {
    EXPECT_EQ(e.getMessage(), text);
  }
}

// Collects assertion reports while alive.
class ReportRecorder {
 public:
  ReportRecorder()
      : previous_(KVRSetAssertionHandler([this](const KVRAssertionReport& r) { reports.push_back(r); })) {}
  ~ReportRecorder() { KVRSetAssertionHandler(previous_); }
  std::vector<std::wstring> texts() const {
    std::vector<std::wstring> result;
    for (const auto& r : reports) result.push_back(r.text);
    return result;
  }
  std::vector<KVRAssertionReport> reports;

 private:
  KVRAssertionHandler previous_;
};

// A rotation about a skew axis and a translation: a swapped product or a
// dropped rotation changes the result.
inline KVRBasicXform3D<double> pose(double angle, double x, double y, double z,
                                    KVRBasicVector3D<double> axis = KVRBasicVector3D<double>(1, 2, 3)) {
  KVRBasicQtn3D<double> q;
  q.setEAA(axis, angle);
  return KVRBasicXform3D<double>(q, KVRBasicVector3D<double>(x, y, z));
}

// At (x, y, z), turned `yawDegrees` about z.
inline KVRBasicXform3D<double> at(double x, double y, double z, double yawDegrees = 0) {
  KVRBasicXform3D<double> pose;
  pose.setPosition(x, y, z);
  pose.setRPY(0, 0, yawDegrees * KVRMathConst::Pi / 180);
  return pose;
}

// A concrete 3-D entity for the tests: stores its relative location and
// answers location requests with a chosen status; with status 1 it applies
// `adapted` instead of what it was asked.
class Probe3D : public KVRBasicEntity3D {
 public:
  static const KVRClassInfo ClassInfo_;
  Probe3D() = default;
  Probe3D(const Probe3D& source, CopyMode mode)
      : KVRBasicEntity3D(source, mode), status(source.status), relative(source.relative) {}
  const KVRClassInfo& getClassInfo() const override { return ClassInfo_; }

  int setRelativeLocation(Xform& location) override {
    requested = location;
    if (status == 1) location = adapted;
    if (status == 1 || status == 2) relative = location;
    return status;
  }
  Xform getRelativeLocation() const override { return relative; }
  int setRelativeProfile(Profile& profile) override {
    if (status == 1 || status == 2) relative = profile.getLocation();
    return status;
  }
  Profile getRelativeProfile() const override {
    Profile p;
    p.setLocation(relative);
    return p;
  }

  int status = 2;
  Xform requested, adapted, relative;
};
inline constinit const KVRClassInfo Probe3D::ClassInfo_ =
    KVRClassInfo::concrete<Probe3D>("Probe3D", KVRBasicEntity3D::ClassInfo_);

// A connection whose variable location is a fixed V, independent of the offsets.
class FixedJoint : public KVRBasicConnection3D {
 public:
  static const KVRClassInfo ClassInfo_;
  FixedJoint() = default;
  FixedJoint(const FixedJoint& source, CopyMode mode) : KVRBasicConnection3D(source, mode) {}
  const KVRClassInfo& getClassInfo() const override { return ClassInfo_; }
  KVRBasicXform3D<double> getVariableLocation() const override { return variable; }
  KVRBasicXform3D<double> variable = pose(0.6, 0.1, 0.2, 0.3, KVRBasicVector3D<double>(3, -1, 2));
};
inline constinit const KVRClassInfo FixedJoint::ClassInfo_ =
    KVRClassInfo::concrete<FixedJoint>("FixedJoint", KVRBasicConnection3D::ClassInfo_);

// A second concrete class, for class filters.
class Marker3D : public Probe3D {
 public:
  static const KVRClassInfo ClassInfo_;
  Marker3D() = default;
  Marker3D(const Marker3D& source, CopyMode mode) : Probe3D(source, mode) {}
  const KVRClassInfo& getClassInfo() const override { return ClassInfo_; }
};
inline constinit const KVRClassInfo Marker3D::ClassInfo_ =
    KVRClassInfo::concrete<Marker3D>("Marker3D", Probe3D::ClassInfo_);

// A relationship that counts what the base class asks of it, answers its
// check with `verdict`, and may run a caller's action when enforced.
class Rule : public KVRBasicRelationship3D {
 public:
  static const KVRClassInfo ClassInfo_;
  Rule() = default;
  Rule(const Rule& source, CopyMode mode) : KVRBasicRelationship3D(source, mode) {}
  const KVRClassInfo& getClassInfo() const override { return ClassInfo_; }
  int verifyVariableProfile(const Profile& variable) const override {
    ++verifies;
    checked = variable;
    return verdict;
  }
  void enforceRelationship() override {
    if (onEnforce) onEnforce();
    ++enforces;  // touches the rule after the action
  }
  void initRelationship() override { ++inits; }
  void cleanup() override { ++cleanups; }

  int verdict = 1, enforces = 0, inits = 0, cleanups = 0;
  mutable int verifies = 0;
  mutable Profile checked;
  std::function<void()> onEnforce;
};
inline constinit const KVRClassInfo Rule::ClassInfo_ =
    KVRClassInfo::concrete<Rule>("Rule", KVRBasicRelationship3D::ClassInfo_);

// Whether the model checker finds nothing around `entity`; the violations otherwise.
template <class H>
testing::AssertionResult isSound(const H& entity) {
  const std::vector<std::wstring> violations = KVRCheckModel(KVRSharedHandle<KVRBasicEntity>(entity));
  if (violations.empty()) return testing::AssertionSuccess();
  testing::AssertionResult failure = testing::AssertionFailure();
  for (const auto& violation : violations) failure << KVRToUtf8(violation) << "\n";
  return failure;
}

// The lines of a text, without their line ends: for checking dump texts.
inline std::vector<std::string> lines(const std::string& text) {
  std::vector<std::string> result;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) result.push_back(line);
  return result;
}

// `value` written to a narrow stream whose field width is first set to `width`.
template <class T>
std::string streamed(const T& value, int width = 0) {
  std::ostringstream os;
  os << std::setw(width) << value;
  return os.str();
}

#define EXPECT_XFORM_NEAR(a, b) EXPECT_TRUE((a).isApprox((b), 1e-9)) << (a) << "\n vs\n" << (b)

}  // namespace kvrtest
