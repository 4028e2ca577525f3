// A small tour of the world model: builds a work cell's logical tree, renames
// and re-parents entities, flushes, duplicates a subtree, and shows a refused
// operation with the message it raised.

#include <iostream>
#include <string>

#include "KVRException.h"
#include "KVRWorldModel.h"

namespace {

using Entity = KVRSharedHandle<KVRBasicEntity>;

Entity named(const std::wstring& name) {
  Entity e(new KVRBasicEntity);
  e->setEntityName(name);
  return e;
}

std::string narrow(const std::wstring& text) { return KVRToUtf8(text); }

std::string title(const Entity& e) { return narrow(e->getEntityTitle().scribe(KVRLocale::global())); }

// The logical tree below `e`, one entity per line, indented by depth.
void printTree(const Entity& e, int depth = 0) {
  std::cout << std::string(2 * depth, ' ') << narrow(e->getEntityName()) << "   "
            << narrow(e->getEntityName(KVRBasicEntity::FullName)) << '\n';
  KVRSharedVector<KVRBasicEntity> children;
  e->getLogicalChildren(children);
  for (const Entity& child : children) printTree(child, depth + 1);
}

void section(const char* heading) { std::cout << "\n== " << heading << " ==\n"; }

}  // namespace

int main() {
  section("A cell with two robots");
  Entity cell = named(L"Cell");
  Entity line = named(L"Line1");
  Entity robot1 = named(L"Robot1");
  Entity robot2 = named(L"Robot2");
  cell->addLogicalChild(line);
  line->addLogicalChild(robot1);
  line->addLogicalChild(robot2);
  robot1->addLogicalChild(named(L"Base"));
  robot1->addLogicalChild(named(L"Tool"));
  cell->flushLogicalState();
  printTree(cell);
  std::cout << "found Line1/Robot1/Tool: " << title(cell->findEntity(L"Line1/Robot1/Tool")) << '\n';

  section("Renaming Line1: descendants follow at the flush");
  line->setEntityName(L"Assembly Line");
  Entity tool = robot1->getLogicalChild(L"Tool");
  std::cout << "before flush: " << title(tool) << '\n';
  line->flushLogicalState();
  std::cout << "after flush:  " << title(tool) << '\n';

  section("Moving Robot2 directly under the cell");
  line->removeLogicalChild(robot2);
  cell->addLogicalChild(robot2);
  robot2->flushLogicalState();
  printTree(cell);

  section("Duplicating Robot1 with its children");
  Entity copy(static_cast<KVRBasicEntity*>(robot1->duplicateObject(KVRDynamicObject::CopyDeep)));
  cell->addLogicalChild(copy);
  copy->flushLogicalState();
  printTree(cell);

  section("A refused operation");
  try {
    robot2->addLogicalChild(cell);  // the cell would become its own descendant
  } catch (const KVRException& e) {
    std::cout << "refused: " << e.what() << '\n';
  }
  try {
    line->addLogicalChild(robot1);  // Robot1 already has a parent
  } catch (const KVRException& e) {
    std::cout << "refused: " << e.what() << '\n';
  }

  cell->orphanObject();  // breaks the links so that everything is freed
  return 0;
}
