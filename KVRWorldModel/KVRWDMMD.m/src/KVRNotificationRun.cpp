// Flushing without nesting. An entity's flush runs its hooks, which flush its
// children, whose hooks flush theirs: calls nested as deep as the tree, which
// a deep but valid tree would take past the end of the stack. For entities
// whose hooks are the model's own (the logical hook, then the spatial one) and
// whose class keeps the model's propagations, the same steps run here from a
// stack of frames kept on the heap, one per entity being flushed: a child's
// flush is a frame pushed above its parent's, whose walk of its children goes
// on when the child's frame is done. The order of hooks, bits and subscribers
// is the nested one. Any other entity is flushed by its own
// notifySubscribers(), and the flushes its hooks start run here again.

#include <deque>
#include <memory>
#include <optional>

#include "KVRBasicEntity3D.h"

class KVRNotificationRun {
 public:
  static void flush(KVRBasicEntity& entity);

 private:
  using Entity3D = KVRBasicEntity3D;
  using Chain = KVRSharedChain<KVRBasicEntity3D>;

  enum Stage : std::uint8_t {
    Start,         // the notification is to begin
    Names,         // the logical hook walks the logical children
    SpatialHook,   // the spatial hook is to begin
    Places,        // it walks the spatial children with a location or a profile
    AncestorsStep, // it is to hand down the spatial ancestors
    Ancestors,     // it walks the spatial children with them
    Publish,       // the subscribers are to be told
  };

  struct Frame {
    Frame() = default;
    explicit Frame(Entity3D& e) : entity(&e) {}
    Entity3D* entity = nullptr;
    // The walk: the child being flushed (visited) or to be flushed, and the one after it.
    KVRSharedHandle<KVRBasicEntity> item, next;
    Entity3D::ParentPose* pose = nullptr;  // a walk with a location: the pose delivered
    std::unique_ptr<Entity3D::Profile> profile;  // a walk with a profile: the profile delivered
    std::optional<KVRBasicEntity::Delivery> names;
    Chain shared;  // the ancestor list handed to the children whose parent this entity is
    Stage stage = Start;
    bool held = false;     // a reference keeps the entity alive during its run
    bool visited = false;  // `item` has been flushed
    bool walked = true;    // no child was taken out ahead of the walk
    bool deliver = false, mark = false, withAncestors = false, inScope = false;
  };

  // The frames of the runs in progress, innermost last. A frame stays where
  // it is while others are pushed above it. The room of a popped frame is
  // kept for the next push, so that a flush allocates no frame where flushes
  // have been as deep before; beyond `Kept` frames it is given back once
  // every run has ended.
  class FrameStack {
   public:
    std::size_t size() const { return size_; }
    Frame& back() { return frames_[size_ - 1]; }
    void push(Entity3D& e) {
      if (size_ == frames_.size()) {
        frames_.emplace_back(e);
      } else {
        Frame* f = &frames_[size_];
        std::destroy_at(f);
        std::construct_at(f, e);
      }
      ++size_;
    }
    // Drops what the innermost frame holds, as its destruction would. The
    // frame counts until then: a run that the last handle to an entity
    // starts as it goes pushes its frames above it.
    void pop() {
      Frame* f = &frames_[size_ - 1];
      std::destroy_at(f);
      std::construct_at(f);
      if (--size_ == 0 && frames_.size() > Kept) frames_.resize(Kept);
    }

   private:
    static constexpr std::size_t Kept = 4096;
    std::deque<Frame> frames_;
    std::size_t size_ = 0;
  };

  static FrameStack& frames() {
    static FrameStack stack;
    return stack;
  }

  // The entity as one whose steps run here; null when it runs its own.
  static Entity3D* ownSteps(KVRBasicEntity& entity) {
    const std::uint32_t plain = Entity3D::plainHookSignature_;
    if (plain == 0 || entity.getHookSignature() != plain) return nullptr;
    auto& e = static_cast<Entity3D&>(entity);  // the spatial hook is bound to it: a 3-D entity
    return e.kind() == Entity3D::Kind::Other ? nullptr : &e;
  }

  static bool flushInPlace(Entity3D& e);
  // The flat pass through the subtree of `e`, counted as a propagation running.
  static void passFlat(Entity3D& e, Entity3D::FlatTree& tree, bool deliver, bool mark);
  static void run(std::size_t base);
  static void step(Frame& f);
  static bool startWalk(Frame& f, KVRBasicEntity* first);
  static bool walk(Frame& f);
  static void prepare(Frame& f, KVRBasicEntity& child);
  static KVRBasicEntity* following(const Frame& f, KVRBasicEntity& child);
  static bool listed(const Frame& f, const KVRBasicEntity& child);
  static void endWalk(Frame& f);
  static void unwind(Frame& f);
};

void KVRBasicEntity::flushLogicalState() { KVRNotificationRun::flush(*this); }

void KVRBasicEntity3D::flushSpatialState() { KVRNotificationRun::flush(*this); }

void KVRNotificationRun::flush(KVRBasicEntity& entity) {
  Entity3D* own = ownSteps(entity);
  if (!own) {
    entity.notifySubscribers();
    return;
  }
  if (own->isPlainNow() && flushInPlace(*own)) return;
  FrameStack& stack = frames();
  const std::size_t base = stack.size();
  stack.push(*own);
  run(base);
}

void KVRNotificationRun::passFlat(Entity3D& e, Entity3D::FlatTree& tree, bool deliver, bool mark) {
  Entity3D::enterPropagation();
  try {
    e.propagateLocationFlat(tree, deliver, mark);
  } catch (...) {
    Entity3D::leavePropagation();
    throw;
  }
  Entity3D::leavePropagation();
}

// The run of an entity that nothing watches, with at most a location to hand
// down, and without children or with a flat subtree laid out already: the
// steps a frame would take, without one. False, having done nothing, for any
// other run.
bool KVRNotificationRun::flushInPlace(Entity3D& e) {
  Entity3D::FlatTree* tree = nullptr;
  if (e.spatialChildren_.first()) {
    tree = e.currentFlatTree();
    if (!tree || e.placeToHandDown() != Entity3D::Place::Location) return false;
  }
  e.beginNotification();  // not running: the entity is plain
  if (!tree) {  // no hook has anything to do, and nobody is told
    e.endNotification();
    return true;
  }
  // What the flat pass flushes may drop the last handle to it: kept alive until the run ends.
  const bool held = e.getReferenceCount() > 0;
  if (held) e.addReference();
  const Entity3D::Handing handing = e.handingOf(Entity3D::Place::Location);
  const bool deliver = handing.deliver, mark = handing.mark;
  try {
    e.setHooksBegun(2);
    passFlat(e, *tree, deliver, mark);
    // Raised by a subscriber below while the pass ran.
    if (e.handsDownAncestors()) e.propagateSpatialAncestors();
    e.setHooksBegun(0xFF);
    e.publishToSubscribers();
  } catch (...) {
    e.abandonNotification();
    if (held) e.releaseReference();
    throw;
  }
  e.endNotification();
  if (held) e.releaseReference();
  return true;
}

void KVRNotificationRun::run(std::size_t base) {
  FrameStack& stack = frames();
  try {
    while (stack.size() > base) step(stack.back());
  } catch (...) {
    // As the nested calls unwind: the innermost notification is abandoned first.
    while (stack.size() > base) {
      unwind(stack.back());
      stack.pop();
    }
    throw;
  }
}

void KVRNotificationRun::step(Frame& f) {
  Entity3D& e = *f.entity;
  switch (f.stage) {
    case Start: {
      if (!e.beginNotification()) {  // running further up: its bits stay for the next run
        frames().pop();
        return;
      }
      // A hook or subscriber may drop the last handle to it: kept alive until the run ends.
      if (e.getReferenceCount() > 0) {
        e.addReference();
        f.held = true;
      }
      f.stage = Names;
      // The logical hook: ancestors and full names, else full names, else a reset.
      e.setHooksBegun(1);
      if (e.testEvent(KVRBasicEntity::LogicalAncestorsChanged) || e.testEvent(KVRBasicEntity::FullNameChanged)) {
        f.withAncestors = e.testEvent(KVRBasicEntity::LogicalAncestorsChanged);
        f.names.emplace(e);
        if (!startWalk(f, e.logicalChildren_.first())) endWalk(f);
        return;
      }
      if (e.testEvent(KVRBasicEntity::ResetRequested)) e.resetEntity();
      f.stage = SpatialHook;
      return;
    }
    case Names:
    case Places:
    case Ancestors:
      if (walk(f)) return;
      endWalk(f);
      return;
    case SpatialHook: {
      f.stage = Publish;
      // Not run when it was removed during the logical hook.
      if (!(e.getHookAt(1) == KVRMakeFunctorM(KVRNotificationAgent::NotificationHookNil, &e,
                                               &Entity3D::spatialHook_)))
        return;
      e.setHooksBegun(2);
      f.stage = AncestorsStep;
      const Entity3D::Place place = e.placeToHandDown();
      const Entity3D::Handing handing = e.handingOf(place);
      const bool deliver = handing.deliver, mark = handing.mark;
      f.deliver = deliver;
      f.mark = mark;
      Entity3D* first = e.spatialChildren_.first();
      if (!first) return;
      if (place == Entity3D::Place::Profile) {
        f.profile = std::make_unique<Entity3D::Profile>(e.getBaseProfile());
      } else if (place == Entity3D::Place::Location) {
        if (Entity3D::FlatTree* tree = e.flatTreeToUse()) {
          passFlat(e, *tree, deliver, mark);
          return;
        }
        Entity3D::enterPropagation();
        f.inScope = true;
        if (deliver) f.pose = Entity3D::acquirePose(e.baseLocation_);
      } else {
        return;
      }
      f.stage = Places;
      if (startWalk(f, first)) return;
      endWalk(f);
      return;
    }
    case AncestorsStep:
      f.stage = Publish;
      if (!e.handsDownAncestors()) return;
      f.stage = Ancestors;
      if (startWalk(f, e.spatialChildren_.first())) return;
      endWalk(f);
      return;
    case Publish: {
      e.setHooksBegun(0xFF);
      e.publishToSubscribers();
      e.endNotification();
      const bool held = f.held;
      frames().pop();  // `f` is gone from here on
      if (held) e.releaseReference();
      return;
    }
  }
}

bool KVRNotificationRun::startWalk(Frame& f, KVRBasicEntity* first) {
  if (!first) return false;
  f.item = KVRSharedHandle<KVRBasicEntity>(first, KVRSharedBase::WriteLock);
  f.visited = false;
  f.walked = true;
  return walk(f);
}

// Goes on with the walk of the children: true when a child's frame was
// pushed, false when the walk is over.
bool KVRNotificationRun::walk(Frame& f) {
  while (f.item) {
    if (f.visited) {
      // A child taken out ahead of the walk ends it: the walk never follows a stale link.
      if (f.next && !listed(f, *f.next)) {
        f.walked = false;
        f.item = nullptr;
        f.next = nullptr;
        return false;
      }
      f.item = std::move(f.next);
      f.visited = false;
      continue;
    }
    KVRBasicEntity& child = *f.item;
    f.next = KVRSharedHandle<KVRBasicEntity>(following(f, child));
    prepare(f, child);
    f.visited = true;
    if (Entity3D* own = ownSteps(child)) {
      // A plain entity with nothing pending: its flush would run hooks with
      // nothing to do and tell nobody. A parent's hand-down of an ancestor
      // list the child holds already leaves it so.
      if (own->getPendingEvents().none() && own->isPlainNow()) continue;
      frames().push(*own);
      return true;
    }
    child.notifySubscribers();
  }
  return false;
}

KVRBasicEntity* KVRNotificationRun::following(const Frame& f, KVRBasicEntity& child) {
  if (f.stage == Names) return KVRBasicEntity::LogicalLinks::links(child).next;
  auto& child3D = static_cast<Entity3D&>(child);
  Entity3D* next = f.entity->spatialChildren_.next(child3D);
  // Memory latency dominates large trees: start fetching the next sibling
  // and the child's first child while this child is flushed.
  if (next) next->prefetchForPropagation();
  if (const Entity3D* grandchild = child3D.spatialChildren_.first()) grandchild->prefetchForPropagation();
  return next;
}

bool KVRNotificationRun::listed(const Frame& f, const KVRBasicEntity& child) {
  if (f.stage == Names) return f.entity->logicalChildren_.contains(&child);
  return f.entity->spatialChildren_.contains(static_cast<const Entity3D*>(&child));
}

void KVRNotificationRun::prepare(Frame& f, KVRBasicEntity& child) {
  Entity3D& e = *f.entity;
  if (f.stage == Names) {
    f.names->deliverTo(child, f.withAncestors);
    return;
  }
  auto& c = static_cast<Entity3D&>(child);
  if (f.stage == Places) {
    if (f.profile) {
      if (f.deliver) c.updateParentProfile(*f.profile);
      if (f.mark) c.setEvent(Entity3D::AncestorProfileSet);
    } else {
      if (f.deliver) c.receiveParentPose(f.pose);
      if (f.mark) c.setEvent(Entity3D::AncestorLocationSet);
    }
    return;
  }
  e.handAncestorsTo(c, f.shared);
}

void KVRNotificationRun::endWalk(Frame& f) {
  Entity3D& e = *f.entity;
  switch (f.stage) {
    case Names:
      f.names.reset();
      f.stage = SpatialHook;
      return;
    case Places:
      // A child was taken out ahead of the walk, which cannot tell which of the
      // rest it reached: the next flush delivers the base location to them all.
      if (!f.walked && f.deliver) e.raiseAgain(Entity3D::BaseLocationChanged);
      f.profile.reset();
      Entity3D::releasePose(std::exchange(f.pose, nullptr));
      if (std::exchange(f.inScope, false)) Entity3D::leavePropagation();
      f.stage = AncestorsStep;
      return;
    default:
      if (!f.walked) e.raiseAgain(Entity3D::SpatialAncestorsChanged);
      f.shared = Chain();
      f.stage = Publish;
      return;
  }
}

void KVRNotificationRun::unwind(Frame& f) {
  Entity3D& e = *f.entity;
  Entity3D::releasePose(std::exchange(f.pose, nullptr));
  if (std::exchange(f.inScope, false)) Entity3D::leavePropagation();
  if (f.stage != Start) e.abandonNotification();
  if (f.held) e.releaseReference();
}
