// The scenario's checks find what they are meant to find, where they are
// meant to find it: each test plays a few calls and then a call of its own
// that breaks a rule, on the chain Body2 -> Frame12 -> Frame13 (spatial).

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "KVRFuzzScenario.h"
#include "KVRWorldModel.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
using Entity = KVRSharedHandle<KVRBasicEntity>;

// Body2 carries Frame12, which carries Frame13 (op 9 on the pool's 3-D entities).
const Bytes Chain = {9, 0, 10, 9, 10, 11};
// The test's own call (op 51) on Body2, slot 2.
const Bytes OnBody2 = {51, 2};
// A flush of Entity21, which changes nothing: fills the calls up to a given index.
const Bytes Nothing = {18, 21};

Bytes operator+(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}
Bytes times(int n, const Bytes& call) {
  Bytes bytes;
  for (int i = 0; i < n; ++i) bytes = bytes + call;
  return bytes;
}

std::string play(const Bytes& bytes, const KVRFuzzExtraCall& call) {
  return KVRFuzzPlayScenario(bytes.data(), bytes.size(), call);
}

// The entity `steps` spatial links below `e`, the first child each time.
KVRSharedHandle<KVRBasicEntity3D> below(const Entity& e, int steps) {
  auto at = KVRSharedHandle<KVRBasicEntity3D>::downcast(e);
  for (; steps > 0; --steps) {
    KVRSharedVector<KVRBasicEntity3D> children;
    at->getSpatialChildren(children);
    at = children.at(0);
  }
  return at;
}

// A relative location set without recomputing the cached base location: the
// checker reports the frame until its base location is next recomputed.
void misplace(const KVRSharedHandle<KVRBasicEntity3D>& frame) {
  KVRBasicXform3D<double> X_PF(KVRBasicQtn3D<double>(), KVRBasicVector3D<double>(1, 0, 0));
  KVRSharedHandle<KVRBasicFrame3D>::downcast(frame)->setRelativeLocation(X_PF);
}

bool says(const std::string& verdict, const char* what) { return verdict.find(what) != std::string::npos; }

TEST(FuzzChecks, ARefusedCallIsComparedOnItsRegionAndEvery16thOnTheWholeModel) {
  // Renames the entity `steps` links below the one picked, and says it was refused.
  const auto renameBelow = [](int steps) {
    return [steps](const Entity& e) {
      below(e, steps)->setEntityName(L"Renamed");
      return true;
    };
  };
  const char* inRegion = "a refused call changed the model, in the description of";
  EXPECT_TRUE(says(play(Chain + OnBody2, renameBelow(0)), inRegion));
  EXPECT_TRUE(says(play(Chain + OnBody2, renameBelow(1)), inRegion));  // Frame12 is linked to Body2
  // Frame13 lies outside the region: the third call is not compared on the
  // whole model, the sixteenth is.
  EXPECT_EQ(play(Chain + OnBody2, renameBelow(2)), "");
  const std::string verdict = play(Chain + times(14, Nothing) + OnBody2, renameBelow(2));
  EXPECT_TRUE(says(verdict, "a refused call changed the model outside what it picked")) << verdict;
  EXPECT_TRUE(says(verdict, "op 51: Body2 (refused)")) << verdict;
}

TEST(FuzzChecks, AViolationIsFoundAroundTheCallBelowWhatItChangedOrByTheWholeCheck) {
  // Misplaces the frame `steps` links below the one picked; renames the
  // picked one too when `rename`; goes through.
  const auto misplaceBelow = [](int steps, bool rename) {
    return [=](const Entity& e) {
      misplace(below(e, steps));
      if (rename) e->setEntityName(L"Renamed");
      return false;
    };
  };
  EXPECT_TRUE(
      says(play(Chain + OnBody2, misplaceBelow(1, false)), "violations around what the call reached"));
  // Frame13 is two links away: found below Body2 when the call changed Body2,
  // else by the whole check after the last call, or at the 100th.
  EXPECT_TRUE(says(play(Chain + OnBody2, misplaceBelow(2, true)), "violations below what the call changed"));
  EXPECT_TRUE(says(play(Chain + OnBody2 + Nothing, misplaceBelow(2, false)),
                   "violations in the whole model at the end"));
  const std::string verdict = play(Chain + OnBody2 + times(98, Nothing), misplaceBelow(2, false));
  EXPECT_TRUE(says(verdict, "violations in the whole model\n")) << verdict;
  EXPECT_TRUE(says(verdict, "Frame13")) << verdict;
}

}  // namespace
