// Builds a two-level tree through the installed headers and library and
// checks one full name; exits non-zero when something is off.
#include <KVRWorldModel.h>

#include <iostream>

int main() {
  KVRSharedHandle<KVRBasicEntity> root(new KVRBasicEntity);
  KVRSharedHandle<KVRBasicEntity> child(new KVRBasicEntity);
  root->setEntityName(L"Cell");
  child->setEntityName(L"Robot");
  root->addLogicalChild(child);
  const bool ok = child->getEntityName(KVRBasicEntity::FullName, L'/') == L"/Robot" &&
                  child->getLogicalParent() == root;
  root->orphanObject();
  std::cout << (ok ? "consumer ok" : "consumer FAILED") << '\n';
  return ok ? 0 : 1;
}
