#include "KVRFuzzScenario.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <functional>
#include <iomanip>
#include <sstream>
#include <string>
#include <type_traits>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "KVRWorldModel.h"

namespace {

using Xform = KVRBasicXform3D<double>;
using Vec = KVRBasicVector3D<double>;
using Entity = KVRSharedHandle<KVRBasicEntity>;
using Entity3D = KVRSharedHandle<KVRBasicEntity3D>;
using Body = KVRSharedHandle<KVRBasicBody3D>;

// --- Reading the input -------------------------------------------------------

// The input, one byte at a time; zeros once it is used up.
class Input {
 public:
  Input(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
  bool done() const { return position_ >= size_; }
  unsigned byte() { return position_ < size_ ? data_[position_++] : 0u; }
  int below(int n) { return static_cast<int>(byte() % static_cast<unsigned>(n)); }
  // A coordinate in [-4, 4), in steps of 1/32.
  double coordinate() { return (static_cast<int>(byte()) - 128) / 32.0; }
  Xform pose() {
    static const Vec axes[] = {Vec(1, 0, 0), Vec(0, 1, 0), Vec(0, 0, 1), Vec(1, 2, 3), Vec(-2, 1, 0.5)};
    KVRBasicQtn3D<double> q;
    q.setEAA(axes[below(5)], (static_cast<int>(byte()) - 128) / 40.0);
    const double x = coordinate(), y = coordinate(), z = coordinate();
    return Xform(q, Vec(x, y, z));
  }
  std::wstring name() {
    static const wchar_t* names[] = {L"A",   L"B",    L"Cell",      L"",
                                     L"a/b", L"x\ny", L"Copy of A", L"\u00dcn\u00ef"};
    return names[below(8)];
  }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t position_ = 0;
};

// --- A relationship with a rule that moves things ------------------------------

// Holds while `verdict` is nonzero; when enforced, it puts the outer entity
// at X_WI · offset, which may itself be refused.
class FuzzRule : public KVRBasicRelationship3D {
 public:
  static const KVRClassInfo ClassInfo_;
  FuzzRule() = default;
  FuzzRule(const FuzzRule& source, CopyMode mode)
      : KVRBasicRelationship3D(source, mode), verdict(source.verdict), offset(source.offset) {}
  const KVRClassInfo& getClassInfo() const override { return ClassInfo_; }
  int verifyVariableProfile(const Profile&) const override { return verdict; }
  void enforceRelationship() override {
    const Entity3D inner = getInnerEntity(), outer = getOuterEntity();
    if (inner && outer) outer->setBaseLocation(inner->getBaseLocation() * offset);
  }
  int verdict = 1;
  Xform offset;
};
constinit const KVRClassInfo FuzzRule::ClassInfo_ =
    KVRClassInfo::concrete<FuzzRule>("FuzzRule", KVRBasicRelationship3D::ClassInfo_);

// --- The pool ------------------------------------------------------------------

enum Kind { World, Body3D, Part, Camera, Group, Assembly, Frame, TagPoint, Path, Attachment, Rule, Plain };

// The kind of object each slot holds.
constexpr Kind SlotKinds[] = {World,    World, Body3D,     Body3D,   Body3D, Part,  Part,
                              Camera,   Group, Assembly,   Assembly, Frame,  Frame, TagPoint,
                              TagPoint, Path,  Attachment, Rule,     Plain};
constexpr int SlotCount = static_cast<int>(sizeof(SlotKinds) / sizeof(SlotKinds[0]));

Entity makeObject(Kind kind) {
  switch (kind) {
    case World:
      return Entity(new KVRBasicWorld);
    case Body3D:
      return Entity(new KVRBasicBody3D);
    case Part:
      return Entity(new KVRBasicPart3D);
    case Camera:
      return Entity(new KVRBasicCamera3D);
    case Group:
      return Entity(new KVRBasicGroup3D);
    case Assembly:
      return Entity(new KVRBasicMfgAssembly3D);
    case Frame:
      return Entity(new KVRBasicFrame3D);
    case TagPoint:
      return Entity(new KVRBasicTagPoint3D);
    case Path:
      return Entity(new KVRBasicPath3D);
    case Attachment:
      return Entity(new KVRBasicAttachment3D);
    case Rule:
      return Entity(new FuzzRule);
    case Plain:
      return Entity(new KVRBasicEntity);
  }
  return Entity();
}

struct Pool {
  Pool() {
    for (int i = 0; i < SlotCount; ++i) renew(i);
  }

  // A new object in slot i, named after the slot.
  void renew(int i) {
    Entity made = makeObject(SlotKinds[i]);
    made->setEntityName(made->getEntityTypeName().scribe(KVRLocale::global()) + std::to_wstring(i));
    if (i < static_cast<int>(slots.size()))
      slots[static_cast<std::size_t>(i)] = made;
    else
      slots.push_back(made);
    everything.push_back(made);
  }

  // A slot's object as a T; an empty handle now and then, and when the
  // chosen slot holds no T.
  template <class T>
  KVRSharedHandle<T> pick(Input& in) {
    const unsigned b = in.byte();
    if (b >= 250) return named(KVRSharedHandle<T>());
    std::vector<T*> matching;
    for (const Entity& e : slots)
      if (auto* t = dynamic_cast<T*>(e.get())) matching.push_back(t);
    if (matching.empty()) return named(KVRSharedHandle<T>());
    return named(KVRSharedHandle<T>(matching[b % matching.size()]));
  }
  // Never empty when the pool has a T.
  template <class T>
  KVRSharedHandle<T> target(Input& in) {
    std::vector<T*> matching;
    for (const Entity& e : slots)
      if (auto* t = dynamic_cast<T*>(e.get())) matching.push_back(t);
    const unsigned b = in.byte();
    return named(matching.empty() ? KVRSharedHandle<T>() : KVRSharedHandle<T>(matching[b % matching.size()]));
  }

  // Adds the object's name to the description of the current call.
  template <class H>
  const H& named(const H& handle) {
    if (call) *call += ' ' + (handle ? KVRToUtf8(handle->getEntityName()) : std::string("(empty)"));
    return handle;
  }

  std::vector<Entity> slots;
  std::vector<Entity> everything;  // every object the scenario made, for the final orphaning
  std::string* call = nullptr;     // the description of the call being played
};

// --- Snapshots -------------------------------------------------------------------

// Where a snapshot goes: a text to read (with KVR_FUZZ_VERBOSE set in the
// environment), or else a 64-bit digest, much cheaper to take before every call.
class Sink {
 public:
  explicit Sink(bool text) : text_(text) {}
  bool operator==(const Sink& other) const { return digest_ == other.digest_ && out_ == other.out_; }
  const std::string& text() const { return out_; }

  Sink& operator<<(const char* s) {
    if (text_)
      out_ += s;
    else
      mix(s, std::char_traits<char>::length(s));
    return *this;
  }
  Sink& operator<<(const std::wstring& w) {
    if (text_)
      out_ += KVRToUtf8(w);
    else
      mix(w.data(), w.size() * sizeof(wchar_t));
    return *this;
  }
  template <class T>
  requires std::is_arithmetic_v<T> Sink& operator<<(T value) {
    if (text_) {
      std::ostringstream os;
      os << std::setprecision(17) << value;
      out_ += os.str() + ' ';
    } else {
      mix(&value, sizeof value);
    }
    return *this;
  }
  Sink& operator<<(const Xform& x) {
    const auto& q = x.getQtn().eigen();
    const auto& p = x.getPosition().eigen();
    return *this << "[" << q.w() << q.x() << q.y() << q.z() << "|" << p.x() << p.y() << p.z() << "]";
  }

 private:
  void mix(const void* data, std::size_t size) {
    const auto* bytes = static_cast<const unsigned char*>(data);
    for (std::size_t i = 0; i < size; ++i) digest_ = (digest_ ^ bytes[i]) * 1099511628211ull;  // FNV-1a
  }

  bool text_;
  std::uint64_t digest_ = 14695981039346656037ull;
  std::string out_;
};

bool verbose() {
  static const bool on = std::getenv("KVR_FUZZ_VERBOSE") != nullptr;
  return on;
}

// Everything that the model's calls could change, for every object reachable
// from the pool, each object numbered in the order it is reached.
class Snapshot {
 public:
  explicit Snapshot(const Pool& pool) : sink_(verbose()) {
    for (const Entity& e : pool.everything) reach(e.get());
    for (std::size_t i = 0; i < order_.size(); ++i) describe(*order_[i]);
  }
  bool operator==(const Snapshot& other) const { return sink_ == other.sink_; }
  const std::string& text() const { return sink_.text(); }

 private:
  void reach(const KVRSharedObject* object) {
    if (object && ids_.emplace(object, static_cast<int>(order_.size())).second) order_.push_back(object);
  }
  int id(const KVRSharedObject* object) {
    if (!object) return -1;
    reach(object);
    return ids_[object];
  }
  template <class Container>
  void ids(const Container& handles) {
    sink_ << "(";
    for (const auto& h : handles) sink_ << id(h.get());
    sink_ << ")";
  }

  void describe(const KVRSharedObject& object) {
    sink_ << "#" << ids_[&object] << object.getClassInfo().getClassName() << " orphaned "
          << object.isOrphaned();
    if (const auto* agent = dynamic_cast<const KVRNotificationAgent*>(&object))
      sink_ << " bits " << agent->getPendingEvents().to_ullong() << " hooks "
            << agent->getNotificationHookCount() << " subscribers " << agent->getSubscriberCount();
    if (const auto* e = dynamic_cast<const KVRBasicEntity*>(&object)) entity(*e);
    sink_ << "\n";
  }

  void entity(const KVRBasicEntity& e) {
    sink_ << " name " << e.getEntityName() << " full " << e.getStoredFullName() << " symbols "
          << e.getSymbolCount() << "\n  L " << id(e.getLogicalParent().get());
    KVRSharedVector<KVRBasicEntity> entities;
    e.getLogicalChildren(entities);
    ids(entities);
    e.getLogicalAncestors(entities);
    ids(entities);
    if (const auto* e3 = dynamic_cast<const KVRBasicEntity3D*>(&e)) spatial(*e3);
    if (const auto* body = dynamic_cast<const KVRBasicBody3D*>(&e))
      sink_ << "\n  B inner " << id(body->getInnerConnection().get()) << " attachment "
            << id(body->getAttachment().get()) << " original " << id(body->getInnerBodyOriginal().get())
            << " home " << id(body->getHomeAttachBody().get()) << " transient " << body->getTransientState();
    if (const auto* group = dynamic_cast<const KVRBasicGroup3D*>(&e)) {
      KVRSharedVector<KVRBasicEntity3D> members;
      group->getEntities(members);
      sink_ << "\n  G active " << group->isActive() << " members ";
      ids(members);
      for (const auto& member : members) sink_ << group->getRelativeLocation(member);
    }
    if (const auto* camera = dynamic_cast<const KVRBasicCamera3D*>(&e))
      sink_ << "\n  relationship " << id(camera->getRelationship().get());
    if (const auto* connection = dynamic_cast<const KVRBasicConnection3D*>(&e))
      sink_ << "\n  C " << connection->isConnected() << id(connection->getInnerBody().get())
            << id(connection->getOuterBody().get()) << id(connection->getInnerFrame().get())
            << id(connection->getOuterFrame().get()) << connection->getInnerOffset()
            << connection->getOuterOffset() << connection->getCachedRelativeLocation();
    if (const auto* path = dynamic_cast<const KVRBasicPath3D*>(&e)) {
      KVRSharedVector<KVRBasicTagPoint3D> points;
      path->getTagPoints(points);
      sink_ << "\n  P route ";
      ids(points);
    }
    if (const auto* rule = dynamic_cast<const KVRBasicRelationship3D*>(&e))
      sink_ << "\n  R " << id(rule->getInnerEntity().get()) << id(rule->getOuterEntity().get())
            << static_cast<int>(rule->getSyncMode());
    if (const auto* point = dynamic_cast<const KVRBasicTagPoint3D*>(&e)) {
      auto ext = KVRSharedHandle<KVRMfgAssemblyTagPointExt>::downcast(
          point->getExtension(KVRMfgAssemblyTagPointExt::ClassID_));
      if (ext) {
        Xform f1, f2;
        ext->getReferenceFrame(f1, f2);
        sink_ << "\n  X " << ext->hasReferenceFrame() << f1 << f2;
      }
    }
  }

  void spatial(const KVRBasicEntity3D& e) {
    sink_ << "\n  S " << id(e.getSpatialParent().get());
    KVRSharedVector<KVRBasicEntity3D> entities;
    e.getSpatialChildren(entities);
    ids(entities);
    e.getSpatialAncestors(entities);
    ids(entities);
    sink_ << " base " << e.getBaseLocation() << " parent " << e.getCachedParentProfile().getLocation()
          << " relative " << e.getRelativeLocation();
  }

  Sink sink_;
  std::unordered_map<const KVRSharedObject*, int> ids_;
  std::vector<const KVRSharedObject*> order_;
};

// --- Checking ------------------------------------------------------------------

[[noreturn]] void fail(const std::vector<std::string>& journal, const std::string& what) {
  std::fprintf(stderr, "\n=== model fuzzing: %s\n--- calls:\n", what.c_str());
  for (const std::string& call : journal) std::fprintf(stderr, "  %s\n", call.c_str());
  std::fflush(stderr);
  std::abort();
}

// The checker's findings around the logical roots of everything made.
std::vector<std::wstring> violations(const Pool& pool) {
  std::unordered_set<const KVRBasicEntity*> roots;
  for (const Entity& e : pool.everything) {
    const KVRBasicEntity* root = e.get();
    while (root->hasLogicalParent()) root = root->getLogicalParent().get();
    roots.insert(root);
  }
  std::vector<std::wstring> found;
  for (const KVRBasicEntity* root : roots) {
    auto more = KVRCheckModel(Entity(const_cast<KVRBasicEntity*>(root)));
    found.insert(found.end(), more.begin(), more.end());
  }
  return found;
}

std::string firstDifference(const std::string& before, const std::string& after) {
  std::istringstream a(before), b(after);
  std::string x, y;
  while (true) {
    const bool moreA = static_cast<bool>(std::getline(a, x)), moreB = static_cast<bool>(std::getline(b, y));
    if (!moreA && !moreB) return "(none)";
    if (x != y || moreA != moreB) return "before: " + x + "\n    after:  " + y;
  }
}

// --- The calls -------------------------------------------------------------------

// What a call did: went through, or was refused (and must have changed nothing).
enum class Outcome { Done, Refused };

// Assertion reports the current call is allowed to raise.
int expectedReports = 0;

Outcome refusedIf(bool refused) { return refused ? Outcome::Refused : Outcome::Done; }

const KVRClassInfo& someClass(Input& in) {
  static const KVRClassInfo* classes[] = {&KVRBasicEntity::ClassInfo_,      &KVRBasicBody3D::ClassInfo_,
                                          &KVRBasicFrame3D::ClassInfo_,     &KVRBasicTagPoint3D::ClassInfo_,
                                          &KVRBasicPath3D::ClassInfo_,      &KVRBasicPart3D::ClassInfo_,
                                          &KVRBasicAttachment3D::ClassInfo_};
  return *classes[in.below(7)];
}

KVRDynamicObject::CopyMode copyMode(Input& in) {
  return static_cast<KVRDynamicObject::CopyMode>(in.below(3));
}

// One call chosen by the input; `journal` gets a line naming it.
Outcome play(Pool& pool, Input& in, std::string& call) {
  const int op = in.below(52);
  call = "op " + std::to_string(op) + ":";
  pool.call = &call;
  switch (op) {
    case 0: {  // a new object in a slot; the old one is orphaned or only dropped
      const int slot = in.below(SlotCount);
      if (in.below(2)) pool.slots[static_cast<std::size_t>(slot)]->orphanObject();
      pool.renew(slot);
      call += " renew slot " + std::to_string(slot);
      return Outcome::Done;
    }
    case 1:
      pool.target<KVRBasicWorld>(in)->addEntity(pool.pick<KVRBasicEntity>(in));
      return Outcome::Done;
    case 2:
      pool.target<KVRBasicWorld>(in)->removeEntity(pool.pick<KVRBasicEntity>(in));
      return Outcome::Done;
    case 3:
      pool.target<KVRBasicWorld>(in)->destroyEntity(pool.pick<KVRBasicEntity>(in));
      return Outcome::Done;
    case 4: {
      auto world = pool.target<KVRBasicWorld>(in);
      switch (in.below(4)) {
        case 0:
          world->removeEntities();
          break;
        case 1:
          world->removeEntities(someClass(in));
          break;
        case 2:
          world->destroyEntities();
          break;
        default:
          world->destroyEntities(someClass(in));
      }
      return Outcome::Done;
    }
    case 5:
      pool.target<KVRBasicEntity>(in)->addLogicalChild(pool.pick<KVRBasicEntity>(in));
      return Outcome::Done;
    case 6:
      pool.target<KVRBasicEntity>(in)->removeLogicalChild(pool.pick<KVRBasicEntity>(in));
      return Outcome::Done;
    case 7:
      pool.target<KVRBasicEntity>(in)->orphanLogicalChild(pool.pick<KVRBasicEntity>(in));
      return Outcome::Done;
    case 8: {
      auto e = pool.target<KVRBasicEntity>(in);
      switch (in.below(5)) {
        case 0:
          e->removeLogicalParent();
          break;
        case 1:
          e->removeLogicalChildren();
          break;
        case 2:
          e->removeLogicalChildren(someClass(in));
          break;
        case 3:
          e->orphanLogicalChildren();
          break;
        default:
          e->orphanLogicalChildren(someClass(in));
      }
      return Outcome::Done;
    }
    case 9:
      pool.target<KVRBasicEntity3D>(in)->addSpatialChild(pool.pick<KVRBasicEntity3D>(in));
      return Outcome::Done;
    case 10:
      pool.target<KVRBasicEntity3D>(in)->removeSpatialChild(pool.pick<KVRBasicEntity3D>(in));
      return Outcome::Done;
    case 11: {
      auto e = pool.target<KVRBasicEntity3D>(in);
      switch (in.below(3)) {
        case 0:
          e->removeSpatialChildren();
          break;
        case 1:
          e->removeSpatialChildren(someClass(in));
          break;
        default:
          e->destroySpatialChildren();
      }
      return Outcome::Done;
    }
    case 12: {
      auto e = pool.target<KVRBasicEntity3D>(in);
      auto oldChild = pool.pick<KVRBasicEntity3D>(in);
      e->replaceSpatialChild(oldChild, pool.pick<KVRBasicEntity3D>(in));
      return Outcome::Done;
    }
    case 13:
      pool.target<KVRBasicEntity3D>(in)->removeSpatialParent();
      return Outcome::Done;
    case 14:
      pool.target<KVRBasicEntity>(in)->setEntityName(in.name());
      return Outcome::Done;
    case 15:
      return refusedIf(pool.target<KVRBasicEntity3D>(in)->setBaseLocation(in.pose()) == 0);
    case 16: {
      auto e = pool.target<KVRBasicEntity3D>(in);
      const auto frame = static_cast<KVRMath3D::ReferenceFrame>(in.below(2));
      int status = 0;
      switch (in.below(5)) {
        case 0:
          status = e->translateBase(Vec(in.coordinate(), in.coordinate(), in.coordinate()), frame);
          break;
        case 1:
          status = e->rotateBase(KVRMath3D::AxisType(in.below(3)), in.coordinate(), frame);
          break;
        case 2:
          status = e->moveBase(in.pose(), frame);
          break;
        case 3:
          status = e->moveBase(in.pose(), pool.pick<KVRBasicEntity3D>(in));
          break;
        default:
          status = e->setBaseLocation(in.pose(), pool.pick<KVRBasicEntity3D>(in));
      }
      return refusedIf(status == 0);
    }
    case 17: {
      if (in.below(2)) return refusedIf(pool.target<KVRBasicFrame3D>(in)->setFrameLocation(in.pose()) == 0);
      return refusedIf(pool.target<KVRBasicTagPoint3D>(in)->setTagPointLocation(in.pose()) == 0);
    }
    case 18:
      pool.target<KVRBasicEntity>(in)->flushLogicalState();
      return Outcome::Done;
    case 19:
      if (in.below(2))
        pool.target<KVRBasicEntity3D>(in)->flushSpatialState();
      else
        pool.target<KVRBasicEntity3D>(in)->flushBaseLocation();
      return Outcome::Done;
    case 20: {
      auto body = pool.target<KVRBasicBody3D>(in);
      switch (in.below(3)) {
        case 0:
          body->addFrame(pool.pick<KVRBasicFrame3D>(in));
          break;
        case 1:
          body->addTagPoint(pool.pick<KVRBasicTagPoint3D>(in));
          break;
        default:
          body->addPath(pool.pick<KVRBasicPath3D>(in));
      }
      return Outcome::Done;
    }
    case 21: {
      auto body = pool.target<KVRBasicBody3D>(in);
      switch (in.below(6)) {
        case 0:
          body->removeFrame(pool.pick<KVRBasicFrame3D>(in));
          break;
        case 1:
          body->removeTagPoint(pool.pick<KVRBasicTagPoint3D>(in));
          break;
        case 2:
          body->removePath(pool.pick<KVRBasicPath3D>(in));
          break;
        case 3:
          body->removeFrames();
          break;
        case 4:
          body->removeTagPoints();
          break;
        default:
          body->removePaths();
      }
      return Outcome::Done;
    }
    case 22: {
      auto body = pool.target<KVRBasicBody3D>(in);
      switch (in.below(6)) {
        case 0:
          body->destroyFrame(pool.pick<KVRBasicFrame3D>(in));
          break;
        case 1:
          body->destroyPoint(pool.pick<KVRBasicTagPoint3D>(in));
          break;
        case 2:
          body->destroyPath(pool.pick<KVRBasicPath3D>(in));
          break;
        case 3:
          body->destroyFrames();
          break;
        case 4:
          body->destroyPoints();
          break;
        default:
          body->destroyPaths();
      }
      return Outcome::Done;
    }
    case 23: {
      auto carrier = pool.target<KVRBasicBody3D>(in);
      auto body = pool.pick<KVRBasicBody3D>(in);
      switch (in.below(3)) {
        case 0:
          carrier->attachBody(body, in.pose());
          break;
        case 1:
          carrier->attachBody(body);
          break;
        default:
          carrier->attachBody(body, pool.pick<KVRBasicFrame3D>(in));
      }
      return Outcome::Done;
    }
    case 24:
      pool.target<KVRBasicBody3D>(in)->attachBodies(pool.pick<KVRBasicBody3D>(in));
      return Outcome::Done;
    case 25: {
      if (in.below(2)) {
        auto grabbing = pool.target<KVRBasicBody3D>(in);
        grabbing->grabBody(pool.pick<KVRBasicBody3D>(in), 1 + in.below(3));
        return Outcome::Done;
      }
      auto grabbing = pool.pick<KVRBasicBody3D>(in);
      return refusedIf(KVRBasicBody3D::grabBody(grabbing, pool.pick<KVRBasicBody3D>(in)) == 0);
    }
    case 26: {
      if (in.below(2)) {
        pool.target<KVRBasicBody3D>(in)->detachBody();
        return Outcome::Done;
      }
      auto body = pool.pick<KVRBasicBody3D>(in);
      KVRBasicBody3D::detachBody(body, pool.pick<KVRBasicBody3D>(in));
      return Outcome::Done;
    }
    case 27: {
      auto grabbing = pool.target<KVRBasicBody3D>(in);
      KVRSharedHandle<KVRNotifyBasicBody3DList> list(new KVRNotifyBasicBody3DList);
      for (int n = in.below(4); n > 0; --n) list->getBodies().push_back(pool.pick<KVRBasicBody3D>(in));
      grabbing->grab_list_cb(KVRSharedConstPointer<KVRNotificationAgent>(), list.get());
      return Outcome::Done;
    }
    case 28: {
      auto body = pool.target<KVRBasicBody3D>(in);
      if (in.below(2))
        body->setHomeAttachBody(pool.pick<KVRBasicBody3D>(in));
      else
        body->setInnerBodyOriginal(pool.pick<KVRBasicBody3D>(in));
      return Outcome::Done;
    }
    case 29: {  // connecting, then hanging the outer body through the connection, as attaching does
      auto connection = pool.target<KVRBasicConnection3D>(in);
      if (in.below(2)) {
        auto innerFrame = pool.pick<KVRBasicFrame3D>(in);
        connection->connectBodies(innerFrame, pool.pick<KVRBasicFrame3D>(in));
      } else {
        auto inner = pool.pick<KVRBasicBody3D>(in);
        auto outer = pool.pick<KVRBasicBody3D>(in);
        const Xform innerOffset = in.pose();
        connection->connectBodies(inner, outer, innerOffset, in.pose());
      }
      try {
        connection->getOuterBody()->setInnerBody(connection->getInnerBody(), connection);
        connection->propagateLocation();
      } catch (const KVRException& e) {
        call += std::string(" not hung, disconnected again: ") + e.what();
        connection->disconnectBodies();
      }
      return Outcome::Done;
    }
    case 30:
      pool.target<KVRBasicConnection3D>(in)->disconnectBodies();
      return Outcome::Done;
    case 31: {
      auto body = pool.target<KVRBasicBody3D>(in);
      if (in.below(2)) {
        auto inner = pool.pick<KVRBasicBody3D>(in);
        body->setInnerBody(inner, pool.pick<KVRBasicConnection3D>(in));
        // What the attach operations do next: place the body.
        if (auto connection = body->getInnerConnection()) connection->propagateLocation();
      } else {
        body->clearInnerBody();
      }
      return Outcome::Done;
    }
    case 32: {
      auto path = pool.target<KVRBasicPath3D>(in);
      auto point = pool.pick<KVRBasicTagPoint3D>(in);
      switch (in.below(3)) {
        case 0:
          return refusedIf(!path->addTagPoint(point));
        case 1:
          return refusedIf(!path->_addTagPoint(point));
        default:
          return refusedIf(!path->insertTagPoint(static_cast<unsigned>(in.below(4)), point));
      }
    }
    case 33: {
      auto path = pool.target<KVRBasicPath3D>(in);
      switch (in.below(4)) {
        case 0:
          return refusedIf(!path->removeTagPoint(pool.pick<KVRBasicTagPoint3D>(in)));
        case 1:
          return refusedIf(!path->removeTagPoint(static_cast<unsigned>(in.below(4))));
        case 2:
          path->removeTagPoints();
          return Outcome::Done;
        default: {
          const auto i = static_cast<unsigned>(in.below(4));
          return refusedIf(!path->swap(i, static_cast<unsigned>(in.below(4))));
        }
      }
    }
    case 34: {
      auto path = pool.target<KVRBasicPath3D>(in);
      if (in.below(2)) {
        path->createPoints(static_cast<unsigned>(in.below(3)), L"T", static_cast<unsigned short>(in.byte()));
        return Outcome::Done;
      }
      KVRSharedVector<KVRBasicTagPoint3D> points;
      for (int n = in.below(4); n > 0; --n) points.push_back(pool.pick<KVRBasicTagPoint3D>(in));
      if (in.below(2)) {
        path->setTagPoints(points);
      } else {
        KVRSharedList<KVRBasicTagPoint3D> list(points.begin(), points.end());
        path->setTagPoints(list);
      }
      return Outcome::Done;
    }
    case 35: {
      auto path = pool.target<KVRBasicPath3D>(in);
      const auto index = static_cast<unsigned>(in.below(4));
      return refusedIf(path->setTagPointRelativeLocation(index, in.pose()) == 0);
    }
    case 36: {  // a copy of an object takes the place of a slot's object of the same kind
      const int slot = in.below(SlotCount);
      const Entity source = pool.slots[static_cast<std::size_t>(slot)];
      Entity copy = KVRDuplicate(source, copyMode(in));
      if (!copy) return Outcome::Done;
      pool.slots[static_cast<std::size_t>(slot)] = copy;
      pool.everything.push_back(copy);
      call += " duplicate slot " + std::to_string(slot);
      return Outcome::Done;
    }
    case 37:
      pool.target<KVRBasicEntity>(in)->orphanObject();
      return Outcome::Done;
    case 38: {
      auto camera = pool.target<KVRBasicCamera3D>(in);
      if (in.below(2))
        camera->setRelationship(pool.pick<KVRBasicRelationship3D>(in));
      else
        camera->clearRelationship();
      return Outcome::Done;
    }
    case 39: {
      auto rule = pool.target<FuzzRule>(in);
      switch (in.below(5)) {
        case 0: {
          auto inner = pool.pick<KVRBasicEntity3D>(in);
          rule->setRelationship(inner, pool.pick<KVRBasicEntity3D>(in));
          break;
        }
        case 1:
          rule->releaseRelationship();
          break;
        case 2:
          rule->setSyncMode(static_cast<KVRBasicRelationship3D::SyncMode>(in.below(2)));
          break;
        case 3:
          rule->verdict = in.below(2);
          rule->offset = in.pose();
          break;
        default:
          rule->synchronize();
      }
      return Outcome::Done;
    }
    case 40: {
      // Composing profiles is not supported: reported, and refused.
      KVRBasicProfile3D<double> profile;
      profile.setLocation(in.pose());
      expectedReports = 1;
      const int status = pool.target<KVRBasicEntity3D>(in)->setBaseProfile(profile);
      return refusedIf(status == 0);
    }
    case 41: {
      auto group = pool.target<KVRBasicGroup3D>(in);
      switch (in.below(5)) {
        case 0:
          group->addEntity(pool.pick<KVRBasicEntity3D>(in));
          return Outcome::Done;
        case 1:
          return refusedIf(group->removeEntity(pool.pick<KVRBasicEntity3D>(in)) == 0);
        case 2: {
          auto oldEntity = pool.pick<KVRBasicEntity3D>(in);
          group->replaceEntity(oldEntity, pool.pick<KVRBasicEntity3D>(in));
          return Outcome::Done;
        }
        case 3:
          group->removeEntities(someClass(in));
          return Outcome::Done;
        default:
          group->removeAll();
          return Outcome::Done;
      }
    }
    case 42: {
      auto group = pool.target<KVRBasicGroup3D>(in);
      switch (in.below(4)) {
        case 0:
          group->activate();
          break;
        case 1:
          group->deactivate();
          break;
        case 2: {
          auto member = pool.pick<KVRBasicEntity3D>(in);
          group->setRelativeLocation(member, in.pose());
          break;
        }
        default: {
          auto member = pool.pick<KVRBasicEntity3D>(in);
          group->setEntityAlwaysActive(member, in.below(2));
        }
      }
      return Outcome::Done;
    }
    case 43: {
      auto assembly = pool.target<KVRBasicMfgAssembly3D>(in);
      auto body = pool.pick<KVRBasicBody3D>(in);
      switch (in.below(3)) {
        case 0:
          assembly->addBody(body);
          break;
        case 1: {
          const Xform innerOffset = in.pose();
          assembly->addBody(body, innerOffset, in.pose());
          break;
        }
        default: {
          auto innerFrame = pool.pick<KVRBasicFrame3D>(in);
          assembly->addBody(body, innerFrame, pool.pick<KVRBasicFrame3D>(in));
        }
      }
      return Outcome::Done;
    }
    case 44: {
      auto assembly = pool.target<KVRBasicMfgAssembly3D>(in);
      auto body = pool.pick<KVRBasicBody3D>(in);
      switch (in.below(5)) {
        case 0:
          assembly->removeBody(body);
          break;
        case 1:
          assembly->destroyBody(body);
          break;
        case 2:
          assembly->removeBody(in.name());
          break;
        case 3:
          assembly->destroyBody(in.name());
          break;
        default:
          assembly->replaceBody(body, pool.pick<KVRBasicBody3D>(in));
      }
      return Outcome::Done;
    }
    case 45: {
      auto assembly = pool.target<KVRBasicMfgAssembly3D>(in);
      switch (in.below(5)) {
        case 0:
          assembly->removeAll();
          return Outcome::Done;
        case 1:
          assembly->destroyAll();
          return Outcome::Done;
        case 2:
          assembly->destroyAttachments();
          return Outcome::Done;
        case 3:
          assembly->destroyAttachments(someClass(in));
          return Outcome::Done;
        default: {
          Xform location = in.pose();
          return refusedIf(assembly->setAssemblyLocation(location) == 0);
        }
      }
    }
    case 46: {
      auto point = pool.target<KVRBasicTagPoint3D>(in);
      auto ext = KVRSharedHandle<KVRMfgAssemblyTagPointExt>::downcast(
          point->getExtension(KVRMfgAssemblyTagPointExt::ClassID_));
      switch (in.below(3)) {
        case 0:
          point->addExtension(KVRSharedHandle<KVRExtensionObject>(new KVRMfgAssemblyTagPointExt));
          break;
        case 1:
          return refusedIf(!point->removeExtension(KVRMfgAssemblyTagPointExt::ClassID_));
        default:
          if (!ext) return Outcome::Refused;
          {
            const Xform f1 = in.pose();
            if (in.below(2))
              ext->setReferenceFrame(f1, in.pose());
            else
              ext->setReferenceFrame(f1, in.pose(), pool.pick<KVRBasicEntity3D>(in));
          }
      }
      return Outcome::Done;
    }
    case 47: {  // a child of a slot's object, of the right kind, takes the place of a slot's object
      const int slot = in.below(SlotCount);
      auto parent = pool.target<KVRBasicEntity>(in);
      KVRSharedVector<KVRBasicEntity> children;
      parent->getLogicalChildren(children);
      if (children.empty()) return Outcome::Refused;
      const Entity child = children[static_cast<std::size_t>(in.below(static_cast<int>(children.size())))];
      if (&child->getClassInfo() != &pool.slots[static_cast<std::size_t>(slot)]->getClassInfo())
        return Outcome::Refused;
      pool.slots[static_cast<std::size_t>(slot)] = child;
      call += " take child into slot " + std::to_string(slot);
      return Outcome::Done;
    }
    case 48: {
      auto universe = KVRBasicUniverse::getUniverse();
      auto world = pool.pick<KVRBasicWorld>(in);
      if (in.below(2))
        universe->addEntity(world);
      else
        universe->removeLogicalChild(world);
      return Outcome::Done;
    }
    case 49: {
      auto e = pool.target<KVRBasicEntity>(in);
      if (in.below(2)) {
        KVRWDMSymbolTable table(e);
        static const wchar_t* paths[] = {L"speed", L"A.speed", L"A/B.speed", L"Missing.speed", L".", L""};
        table.getRealSymbol(paths[in.below(6)], L'/', L'.');
      } else {
        e->removeSymbol(L"speed");
      }
      return Outcome::Done;
    }
    case 50: {
      switch (in.below(3)) {
        case 0: {
          KVRSimTime t(in.coordinate() + 4.0);
          pool.target<KVRBasicWorld>(in)->setSimulationTime(t);
          break;
        }
        case 1:
          pool.target<KVRBasicEntity>(in)->resetEntityState(in.below(2));
          break;
        default:
          pool.target<KVRBasicEntity>(in)->clearHistory();
      }
      return Outcome::Done;
    }
    default: {  // queries: none may change anything
      auto e = pool.target<KVRBasicEntity3D>(in);
      KVRSharedVector<KVRBasicEntity3D> descendants;
      e->getSpatialDescendants(descendants);
      (void)e->getSpatialDescendantsCount();
      (void)e->findEntity(in.name(), L'/');
      (void)e->getWorld();
      (void)e->getSimulationTime();
      (void)e->getBaseLocation(pool.pick<KVRBasicEntity3D>(in));
      std::ostringstream sink;
      if (auto* group = dynamic_cast<KVRBasicGroup3D*>(e.get())) group->dump(sink);
      return Outcome::Refused;
    }
  }
}

}  // namespace

void KVRFuzzRunScenario(const std::uint8_t* data, std::size_t size) {
  Input in(data, size);
  std::vector<std::string> journal;
  std::vector<std::wstring> reports;
  const KVRAssertionHandler previous =
      KVRSetAssertionHandler([&](const KVRAssertionReport& report) { reports.push_back(report.text); });
  {
    Pool pool;
    for (int calls = 0; !in.done() && calls < 200; ++calls) {
      const Snapshot before(pool);
      std::string call;
      Outcome outcome = Outcome::Done;
      try {
        outcome = play(pool, in, call);
      } catch (const KVRException& e) {
        call += std::string(" refused: ") + e.what();
        outcome = Outcome::Refused;
      }
      journal.push_back(call);
      if (static_cast<int>(reports.size()) > expectedReports)
        fail(journal, "an assertion report: " + KVRToUtf8(reports.back()));
      reports.clear();
      expectedReports = 0;
      if (outcome == Outcome::Refused) {
        const Snapshot after(pool);
        if (!(after == before))
          fail(journal, "a refused call changed the model\n    " +
                            (verbose() ? firstDifference(before.text(), after.text())
                                       : std::string("(replay with KVR_FUZZ_VERBOSE set to see how)")));
      }
      const auto found = violations(pool);
      if (!found.empty()) {
        std::string text = "the model checker found " + std::to_string(found.size()) + " violations";
        for (const auto& v : found) text += "\n    " + KVRToUtf8(v);
        fail(journal, text);
      }
    }
    for (const Entity& e : pool.everything) e->orphanObject();
  }
  KVRSetAssertionHandler(previous);
}
