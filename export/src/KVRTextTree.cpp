#include "KVRTextTree.h"

#include <ostream>
#include <sstream>
#include <vector>

#include "KVRExportScene.h"
#include "KVRExportSupport.h"
#include "KVRMessage.h"

namespace {

// Deeper than this the guides stop and the line says its depth instead, so
// that a very deep tree still gives lines of bounded length.
constexpr std::size_t MaxDrawnDepth = 48;

using Children = std::vector<std::vector<std::size_t>>;

// Writes the trees hanging from `roots` in the style of `tree`, iteratively.
template <class Describe>
void writeTree(std::ostream& out, const std::vector<std::size_t>& roots, const Children& children,
               Describe describe) {
  struct Pending {
    std::size_t index;
    std::size_t depth;
    bool last;
  };
  std::vector<Pending> pending;
  for (auto root = roots.rbegin(); root != roots.rend(); ++root) pending.push_back({*root, 0, true});
  std::vector<bool> lastAt;  // whether the ancestor at each depth was the last of its siblings
  while (!pending.empty()) {
    const Pending p = pending.back();
    pending.pop_back();
    lastAt.resize(p.depth + 1);
    lastAt[p.depth] = p.last;
    const std::size_t drawn = std::min(p.depth, MaxDrawnDepth);
    for (std::size_t d = 1; d < drawn; ++d) out << (lastAt[d] ? "    " : "│   ");
    if (drawn > 0) out << (p.last ? "└── " : "├── ");
    if (p.depth > MaxDrawnDepth) out << "┄ (depth " << p.depth << ") ";
    describe(out, p.index);
    out << '\n';
    const auto& kids = children[p.index];
    for (std::size_t k = kids.size(); k-- > 0;)
      pending.push_back({kids[k], p.depth + 1, k + 1 == kids.size()});
  }
}

}  // namespace

void KVRTextTree::write(std::ostream& out, const KVRSharedHandle<KVRBasicEntity>& root) {
  KVRRequireExportRoot(root);
  const KVRExportScene scene(*root);
  const std::size_t n = scene.size();
  Children logical(n), spatial(n);
  std::vector<std::size_t> logicalRoots, spatialRoots;
  for (std::size_t i = 0; i < n; ++i) {
    const int parent = scene.indexOf(scene.entity(i).getLogicalParent().get());
    (parent < 0 ? logicalRoots : logical[static_cast<std::size_t>(parent)]).push_back(i);
    if (const KVRBasicEntity3D* e = scene.entity3D(i)) {
      const int inner = scene.indexOf(e->getSpatialParent().get());
      (inner < 0 ? spatialRoots : spatial[static_cast<std::size_t>(inner)]).push_back(i);
    }
  }

  std::string fullName;
  const auto describe = [&](std::ostream& os, std::size_t i, bool spatialTree) {
    const KVRBasicEntity& e = scene.entity(i);
    os << KVRPrintable(KVRToUtf8(e.getEntityName())) << "  "
       << KVRToUtf8(e.getEntityTypeName().scribe(KVRLocale::global()));
    if (const KVRBasicEntity3D* e3 = scene.entity3D(i)) {
      os << "  " << e3->getBaseLocation();
      const KVRBasicEntity3D* inner = e3->getSpatialParent().get();
      if (spatialTree && inner && scene.indexOf(inner) < 0) {
        KVRExternalFullName(*inner, fullName);
        os << "  (hangs on " << KVRPrintable(fullName) << ')';
      }
    }
  };
  out << "Logical tree of " << KVRPrintable(KVRToUtf8(root->getEntityTitle().scribe(KVRLocale::global())))
      << '\n';
  writeTree(out, logicalRoots, logical, [&](std::ostream& os, std::size_t i) { describe(os, i, false); });
  out << "Spatial tree\n";
  if (spatialRoots.empty()) out << "(no 3-D entities)\n";
  writeTree(out, spatialRoots, spatial, [&](std::ostream& os, std::size_t i) { describe(os, i, true); });
  KVRRequireWritten(out);
}

std::string KVRTextTree::toText(const KVRSharedHandle<KVRBasicEntity>& root) {
  std::ostringstream out;
  write(out, root);
  return out.str();
}
