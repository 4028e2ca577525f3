#pragma once

// The work cell the export tests look at, and helpers to read exports back.

#include <nlohmann/json.hpp>

#include <map>
#include <string>

#include "KVRExport.h"
#include "KVRTestSupport.h"

namespace kvrtest {

using json = nlohmann::json;

// The cell, in world W: a floor R; a fixture F hanging on R at X_RF, with tag points A at X_FA and B at X_FB
// and a path L on F listing A, B, A; a gripper G on R at X_RG with a tool frame T at X_GT; a part P on F at
// X_FP; a plain entity N (a note) in W.
class ExportCell : public testing::Test {
 protected:
  using Xform = KVRBasicXform3D<double>;
  using Entities = std::vector<KVRSharedHandle<KVRBasicEntity>>;

  void SetUp() override {
    for (const auto& e : Entities{floor, fixture, gripper, part, note}) w->addEntity(e);
    floor->attachBody(fixture, X_RF); floor->attachBody(gripper, X_RG);
    gripper->addFrame(tool); fixture->attachBody(part, X_FP);
    tool->setFrameLocation(X_GT);
    for (const auto& [point, X] : {std::pair{a, X_FA}, {b, X_FB}}) {
      fixture->addTagPoint(point); point->setTagPointLocation(X);
    }
    b->setVelocity(0.25);
    fixture->addPath(route);
    KVRSharedVector<KVRBasicTagPoint3D> points{a, b, a};
    route->setTagPoints(points); flushAll();
  }
  void TearDown() override { w->orphanObject(); }

  void flushAll() {
    w->flushLogicalState(); floor->flushBaseLocation();
    for (const auto& e : everything()) e->clearEvents();
  }
  // Every entity of the cell, the world first.
  Entities everything() const { return {w, floor, fixture, gripper, part, tool, a, b, route, note}; }

  const Xform X_RF = pose(0.3, 2, 0, 0.8), X_RG = pose(-0.8, 0, 3, 1.5), X_GT = pose(0.5, 0, 0, -0.15),
              X_FP = pose(1.1, 0.1, 0.1, 0.05), X_FA = pose(0.2, 0.4, 0, 0.1), X_FB = pose(-0.6, -0.4, 0.2, 0.1);
  KVRSharedHandle<KVRBasicWorld> w = makeWorld(L"W");
  KVRSharedHandle<KVRBasicBody3D> floor = make<KVRBasicBody3D>(L"Floor"),
                                  fixture = make<KVRBasicBody3D>(L"Fixture"),
                                  gripper = make<KVRBasicBody3D>(L"Gripper"), part = make<KVRBasicPart3D>(L"Part");
  KVRSharedHandle<KVRBasicFrame3D> tool = make<KVRBasicFrame3D>(L"Tool");
  KVRSharedHandle<KVRBasicTagPoint3D> a = make<KVRBasicTagPoint3D>(L"A"), b = make<KVRBasicTagPoint3D>(L"B");
  KVRSharedHandle<KVRBasicPath3D> route = make<KVRBasicPath3D>(L"L");
  KVRSharedHandle<KVRBasicEntity> note = make(L"N");
};

inline json parse(const std::string& text) { return json::parse(text); }
inline std::string utf8(const std::wstring& text) { return KVRToUtf8(text); }
// The records of a snapshot by full name.
inline std::map<std::string, json> byFullName(const json& records) {
  std::map<std::string, json> result;
  for (const json& r : records) result[r["fullName"]] = r;
  return result;
}

// A written location against the model's, to 1e-12 (the angles in degrees to 1e-9).
inline void expectLocation(const json& written, const KVRBasicXform3D<double>& x) {
  const auto& q = x.getQtn();
  double rpy[3];
  x.getRPY(rpy[0], rpy[1], rpy[2]);
  const double wq[4] = {q.w(), q.x(), q.y(), q.z()};
  for (int i = 0; i < 4; ++i) {
    EXPECT_NEAR(written["quaternion"][i].get<double>(), wq[i], 1e-12);
    if (i == 3) break;
    EXPECT_NEAR(written["position"][i].get<double>(), x.getPosition()[i], 1e-12);
    EXPECT_NEAR(written["rpy"][i].get<double>(), rpy[i] * 180 / KVRMathConst::Pi, 1e-9);
  }
  EXPECT_FALSE(written.contains("nonFinite"));
}

}  // namespace kvrtest
