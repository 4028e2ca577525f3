// An application written against the installed package with nothing but the
// umbrella header, as the README shows: it builds a small cell, moves it,
// copies a body, catches what the library refuses and sees its assertion
// reports. Exits non-zero when something is off.
#include <KVRWorldModel.h>

#include <iostream>
#include <string>
#include <vector>

namespace {

int failures = 0;

void expect(bool ok, const char* what) {
  if (!ok) {
    std::cout << "consumer FAILED: " << what << '\n';
    ++failures;
  }
}

}  // namespace

int main() {
  KVRSharedHandle<KVRBasicWorld> cell(new KVRBasicWorld);
  KVRSharedHandle<KVRBasicBody3D> floor(new KVRBasicBody3D), robot(new KVRBasicBody3D);
  cell->setEntityName(L"Cell");
  floor->setEntityName(L"Floor");
  robot->setEntityName(L"Robot");
  cell->addEntity(floor);
  cell->addEntity(robot);
  floor->attachBody(robot);
  expect(robot->getEntityName(KVRBasicEntity::FullName, L'/') == L"/Robot", "full name");

  // Location setters take temporaries when the adapted value is not wanted.
  expect(robot->setBaseLocation(
             KVRBasicXform3D<double>(KVRBasicQtn3D<double>(), KVRBasicVector3D<double>(1, 2, 3))) == 2,
         "a temporary location");
  robot->flushSpatialState();

  // A copy comes back as a handle of the source's type.
  KVRSharedHandle<KVRBasicBody3D> copy = KVRDuplicate(robot, KVRDynamicObject::CopyDeep);
  expect(copy && copy->getEntityName() == L"Copy of Robot", "typed copy");

  // Refusals are exceptions the application can catch by type.
  try {
    cell->addEntity(robot);
    expect(false, "a second parent was accepted");
  } catch (const KVREAlreadyRegistered& e) {
    expect(e.getMessage() == L"Body \"/Robot\" has already been assigned a logical parent", "message text");
  }

  // Assertion reports reach the application's handler.
  std::vector<std::wstring> reports;
  const KVRAssertionHandler previous =
      KVRSetAssertionHandler([&](const KVRAssertionReport& r) { reports.push_back(r.text); });
  KVRBasicProfile3D<double> profile;
  expect(robot->setBaseProfile(profile) == 0, "a base profile is refused");
  KVRSetAssertionHandler(previous);
  expect(reports.size() == 1 && reports[0] == L"Operation not supported", "assertion report");

  expect(KVRCheckModel(cell).empty(), "model checker");
  cell->orphanObject();
  copy->orphanObject();
  if (failures == 0) std::cout << "consumer ok\n";
  return failures == 0 ? 0 : 1;
}
