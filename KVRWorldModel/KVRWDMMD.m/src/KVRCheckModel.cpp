#include "KVRCheckModel.h"

#include <algorithm>
#include <cmath>
#include <deque>
#include <unordered_map>
#include <unordered_set>

#include "KVRBasicBody3D.h"
#include "KVRBasicConnection3D.h"
#include "KVRBasicEntity3D.h"
#include "KVRBasicFrame3D.h"
#include "KVRBasicGroup3D.h"

namespace {

// Read without leaving a copy on the entity.
std::wstring storedFullName(const KVRBasicEntity& e) {
  std::wstring text;
  e.appendStoredFullName(text);
  return text;
}

using Xform = KVRBasicXform3D<double>;

// The object as a T when its class derives from T: the class descriptors
// answer without the string comparisons a dynamic_cast may make.
template <class T, class U>
const T* as(const U* object) {
  return object && object->isDerivedFrom(T::ClassInfo_) ? static_cast<const T*>(object) : nullptr;
}

// The entity's title; a root's reads "/", so its base name follows.
std::wstring titleOf(const KVRBasicEntity* entity) {
  if (!entity) return L"(nothing)";
  std::wstring title = entity->getEntityTitle(KVRBasicEntity::FullName, KVRBasicEntity::ExternalNameSeparator)
                           .scribe(KVRLocale::global());
  if (!entity->hasLogicalParent()) title += L" (" + entity->getEntityName(KVRBasicEntity::BaseName) + L")";
  return title;
}

// Equal within rounding: the tolerance grows with the size of the positions.
bool near(const Xform& a, const Xform& b) {
  const double scale = std::max(
      {1.0, a.getPosition().eigen().cwiseAbs().maxCoeff(), b.getPosition().eigen().cwiseAbs().maxCoeff()});
  return a.isApprox(b, 1e-8 * scale);
}

// Walks up parent links, remembering what is known to end at a root, so that
// every entity is climbed once: a cycle is found without walking it for ever.
template <class T, class Parent>
class CycleFinder {
 public:
  explicit CycleFinder(Parent parent) : parent_(parent) {}

  // Whether the parent links from `start` run into a cycle.
  bool inCycle(const T* start) {
    std::vector<const T*> path;
    const T* e = start;
    bool cycle = false;
    while (e) {
      const auto known = state_.find(e);
      if (known != state_.end()) {
        cycle = known->second != EndsAtRoot;  // back on this walk, or into a known cycle
        break;
      }
      state_[e] = OnPath;
      path.push_back(e);
      e = parent_(e);
    }
    for (const T* p : path) state_[p] = cycle ? Cyclic : EndsAtRoot;
    return cycle;
  }

 private:
  enum State { OnPath, EndsAtRoot, Cyclic };
  Parent parent_;
  std::unordered_map<const T*, State> state_;
};

}  // namespace

// Checks what KVRCheckModel promises; a friend of the entity classes, so
// that ancestor chains are compared where they are shared, without copies.
class KVRModelChecker {
 public:
  // Everything reachable downwards from `root`.
  std::vector<std::wstring> run(const KVRSharedHandle<KVRBasicEntity>& root) {
    if (root) visit(root.get(), Everything);
    return finish();
  }
  // Each of `entities` and what is linked to it directly.
  std::vector<std::wstring> runAround(const std::vector<KVRSharedHandle<KVRBasicEntity>>& entities) {
    for (const auto& e : entities)
      if (e) visit(e.get(), 1);
    return finish();
  }

 private:
  static constexpr int Everything = -1;

  struct Pending {
    const KVRBasicEntity* entity;
    int reach;  // how many links further the check goes from it; Everything: downwards, without end
  };

  void visit(const KVRBasicEntity* e, int reach) {
    if (e && visited_.insert(e).second) queue_.push_back({e, reach});
  }

  std::vector<std::wstring> finish() {
    while (!queue_.empty()) {
      const Pending next = queue_.front();
      queue_.pop_front();
      reach_ = next.reach;
      check(*next.entity);
    }
    return std::move(violations_);
  }

  void check(const KVRBasicEntity& e) {
    checkLogical(e);
    if (const auto* e3 = as<KVRBasicEntity3D>(&e)) checkSpatial(*e3);
    if (const auto* body = as<KVRBasicBody3D>(&e)) checkBody(*body);
    if (const auto* connection = as<KVRBasicConnection3D>(&e)) checkConnection(*connection);
    if (const auto* group = as<KVRBasicGroup3D>(&e)) checkGroup(*group);
  }

  // Checks `e` later: below what is checked now, or, around given entities,
  // next to them.
  void enqueue(const KVRBasicEntity* e) {
    if (reach_ == Everything)
      visit(e, Everything);
    else if (reach_ > 0)
      visit(e, reach_ - 1);
  }
  // Checks `e` later when checking around given entities: it is linked to
  // one, but does not lie below it.
  void enqueueAround(const KVRBasicEntity* e) {
    if (reach_ > 0) visit(e, reach_ - 1);
  }

  void report(const KVRBasicEntity* e, const std::wstring& what) {
    violations_.push_back(titleOf(e) + L": " + what);
  }

  // Links to orphaned entities, in either direction.
  void checkLinkTo(const KVRBasicEntity& e, const KVRBasicEntity* other, const wchar_t* role) {
    if (!other) return;
    if (e.isOrphaned())
      report(&e, std::wstring(L"orphaned, but still has ") + role + L" " + titleOf(other));
    else if (other->isOrphaned())
      report(&e, std::wstring(L"has the orphaned ") + role + L" " + titleOf(other));
  }

  void checkLogical(const KVRBasicEntity& e) {
    const KVRBasicEntity* parent = e.getLogicalParent().get();
    const std::wstring& name = e.getEntityName(KVRBasicEntity::BaseName);

    KVRSharedVector<KVRBasicEntity> children;
    e.getLogicalChildren(children);
    for (const auto& child : children) {
      checkLinkTo(e, child.get(), L"logical child");
      if (child->getLogicalParent().get() != &e)
        report(child.get(), L"listed as a logical child of " + titleOf(&e) + L", but names " +
                                titleOf(child->getLogicalParent().get()) + L" as its parent");
      enqueue(child.get());
    }
    if (!parent) {
      if (e.getLogicalAncestorsCount() != 0) report(&e, L"a logical root with logical ancestors");
      if (storedFullName(e) != KVRBasicEntity::NameSeparator + name)
        report(&e, L"a logical root whose stored full name is not its own name");
      return;
    }
    checkLinkTo(e, parent, L"logical parent");
    enqueueAround(parent);
    if (!parent->hasLogicalChild(KVRSharedHandle<KVRBasicEntity>(const_cast<KVRBasicEntity*>(&e))))
      report(&e, L"names " + titleOf(parent) + L" as its logical parent, which does not list it");
    if (logicalCycles_.inCycle(&e)) {
      report(&e, L"its logical parent links form a cycle");
      return;
    }
    const bool namesPending = parent->testEvent(KVRBasicEntity::FullNameChanged) ||
                              parent->testEvent(KVRBasicEntity::LogicalAncestorsChanged);
    if (!namesPending && !e.storedFullNameFollows(*parent))
      report(&e, L"its stored full name does not follow its logical parent's");
    if (!parent->testEvent(KVRBasicEntity::LogicalAncestorsChanged) &&
        !(e.logicalAncestors_.lastObject() == parent &&
          e.logicalAncestors_.rest() == parent->logicalAncestors_))
      report(&e, L"its logical ancestor list is not its parent's followed by the parent");
  }

  void checkSpatial(const KVRBasicEntity3D& e) {
    KVRSharedVector<KVRBasicEntity3D> children;
    e.getSpatialChildren(children);
    for (const auto& child : children) {
      checkLinkTo(e, child.get(), L"spatial child");
      if (child->getSpatialParent().get() != &e)
        report(child.get(), L"listed as a spatial child of " + titleOf(&e) + L", but names " +
                                titleOf(child->getSpatialParent().get()) + L" as its spatial parent");
      enqueue(child.get());
    }
    const KVRBasicEntity3D* parent = e.getSpatialParent().get();
    if (!parent) {
      if (e.getSpatialAncestorsCount() != 0) report(&e, L"a spatial root with spatial ancestors");
      return;
    }
    checkLinkTo(e, parent, L"spatial parent");
    enqueueAround(parent);
    if (!parent->hasSpatialChild(KVRSharedHandle<KVRBasicEntity3D>(const_cast<KVRBasicEntity3D*>(&e))))
      report(&e, L"names " + titleOf(parent) + L" as its spatial parent, which does not list it");
    if (spatialCycles_.inCycle(&e)) {
      report(&e, L"its spatial parent links form a cycle");
      return;
    }
    if (!parent->testEvent(KVRBasicEntity3D::SpatialAncestorsChanged) &&
        !(e.spatialAncestors_.lastObject() == parent &&
          e.spatialAncestors_.rest() == parent->spatialAncestors_))
      report(&e, L"its spatial ancestor list is not its parent's followed by the parent");
    // X_WC = X_WP · X_PC, with X_WP as last delivered to the child.
    const Xform X_WP = e.getCachedParentProfile().getLocation();
    if (!parent->testEvent(KVRBasicEntity3D::BaseLocationChanged) && !near(X_WP, parent->getBaseLocation()))
      report(&e, L"its cached parent location is not the base location of " + titleOf(parent));
    if (!near(e.getBaseLocation(), X_WP * e.getRelativeLocation()))
      report(&e, L"its base location is not its parent location times its relative location");
  }

  void checkBody(const KVRBasicBody3D& body) {
    const KVRBasicConnection3D* connection = body.getInnerConnection().get();
    if (!connection) return;
    checkLinkTo(body, connection, L"inner connection");
    if (connection->getOuterBody().get() != &body || !connection->isConnected() ||
        connection->getInnerBody().get() != body.getSpatialParent().get())
      report(&body, L"its inner connection " + titleOf(connection) +
                        L" does not connect its spatial parent " + titleOf(body.getSpatialParent().get()) +
                        L" to it");
    enqueue(connection);
  }

  void checkConnection(const KVRBasicConnection3D& connection) {
    if (!connection.isConnected()) return;
    // Connected, the outer body may hang on it or only be recorded there.
    const KVRBasicBody3D* outer = connection.getOuterBody().get();
    checkLinkTo(connection, connection.getInnerBody().get(), L"inner body");
    checkLinkTo(connection, outer, L"outer body");
    enqueueAround(connection.getInnerBody().get());
    enqueueAround(outer);
    // A frame that left its body is let go when it next publishes (bit 9 pending until then).
    const auto leftUnnoticed = [](const KVRBasicFrame3D* frame, const KVRBasicBody3D* body) {
      return frame && frame->getSpatialParent().get() != body &&
             !frame->testEvent(KVRBasicEntity3D::SpatialAncestorsChanged);
    };
    if (leftUnnoticed(connection.getInnerFrame().get(), connection.getInnerBody().get()))
      report(&connection,
             L"its inner frame " + titleOf(connection.getInnerFrame().get()) + L" is not on its inner body");
    if (leftUnnoticed(connection.getOuterFrame().get(), outer))
      report(&connection,
             L"its outer frame " + titleOf(connection.getOuterFrame().get()) + L" is not on its outer body");
  }

  void checkGroup(const KVRBasicGroup3D& group) {
    KVRSharedVector<KVRBasicEntity3D> members;
    group.getEntities(members);
    for (const auto& member : members) enqueueAround(member.get());
    if (KVRBasicGroup3D::carries(group, group))
      report(&group, L"carries itself: what it moves moves it again at every flush");
  }

  static const KVRBasicEntity* logicalParentOf(const KVRBasicEntity* e) {
    return e->getLogicalParent().get();
  }
  static const KVRBasicEntity3D* spatialParentOf(const KVRBasicEntity3D* e) {
    return e->getSpatialParent().get();
  }

  std::deque<Pending> queue_;
  int reach_ = Everything;
  std::unordered_set<const KVRBasicEntity*> visited_;
  std::vector<std::wstring> violations_;
  CycleFinder<KVRBasicEntity, decltype(&logicalParentOf)> logicalCycles_{&logicalParentOf};
  CycleFinder<KVRBasicEntity3D, decltype(&spatialParentOf)> spatialCycles_{&spatialParentOf};
};

std::vector<std::wstring> KVRCheckModel(const KVRSharedHandle<KVRBasicEntity>& root) {
  return KVRModelChecker().run(root);
}

std::vector<std::wstring> KVRCheckModelAround(const std::vector<KVRSharedHandle<KVRBasicEntity>>& entities) {
  return KVRModelChecker().runAround(entities);
}
