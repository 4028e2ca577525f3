// An application written against the installed package with nothing but the
// umbrella header, as the README shows: it builds a small cell, moves it,
// copies a body and catches what the library refuses. Exits non-zero when
// something is off.
#include <KVRWorldModel.h>

#include <iostream>

int main() {
  int failures = 0;
  const auto expect = [&](bool ok, const char* what) {
    if (!ok) std::cout << "consumer FAILED: " << what << '\n';
    failures += !ok;
  };
  KVRSharedHandle<KVRBasicWorld> cell(new KVRBasicWorld);
  KVRSharedHandle<KVRBasicBody3D> floor(new KVRBasicBody3D), robot(new KVRBasicBody3D);
  robot->setEntityName(L"Robot");
  cell->addEntity(floor);
  cell->addEntity(robot);
  floor->attachBody(robot);
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
  expect(KVRCheckModel(cell).empty(), "model checker");
  cell->orphanObject();
  copy->orphanObject();
  if (failures == 0) std::cout << "consumer ok\n";
  return failures;
}
