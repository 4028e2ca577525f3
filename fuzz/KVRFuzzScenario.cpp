#include "KVRFuzzScenario.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <iomanip>
#include <limits>
#include <sstream>
#include <string>
#include <type_traits>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "KVRSnapshot.h"
#include "KVRWorldModel.h"

namespace {

using Xform = KVRBasicXform3D<double>;
using Vec = KVRBasicVector3D<double>;
using Entity = KVRSharedHandle<KVRBasicEntity>;
using Entity3D = KVRSharedHandle<KVRBasicEntity3D>;
using Body = KVRSharedHandle<KVRBasicBody3D>;

// The object as a T when its class derives from T: the class descriptors
// answer without the string comparisons a dynamic_cast may make.
template <class T, class U>
T* as(U* object) {
  return object && object->isDerivedFrom(std::remove_const_t<T>::ClassInfo_) ? static_cast<T*>(object)
                                                                             : nullptr;
}

// --- Reading the input -------------------------------------------------------

// The input, one byte at a time; zeros once it is used up. Callers read one
// value per statement, never two in one argument list: the compiler chooses
// the order of arguments, and the replay (gcc) must read an input as the
// fuzzer (clang) does.
class Input {
 public:
  Input(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
  bool done() const { return position_ >= size_; }
  unsigned byte() { return position_ < size_ ? data_[position_++] : 0u; }
  int below(int n) { return static_cast<int>(byte() % static_cast<unsigned>(n)); }
  // A coordinate in [-4, 4), in steps of 1/32; now and then (bytes 254 and
  // 255) an infinity or a NaN, which every request must refuse unchanged.
  double coordinate() {
    const unsigned b = byte();
    if (b == 254) return std::numeric_limits<double>::infinity();
    if (b == 255) return std::numeric_limits<double>::quiet_NaN();
    return (static_cast<int>(b) - 128) / 32.0;
  }
  Xform pose() {
    static const Vec axes[] = {Vec(1, 0, 0), Vec(0, 1, 0), Vec(0, 0, 1), Vec(1, 2, 3), Vec(-2, 1, 0.5)};
    const Vec& axis = axes[below(5)];
    const double angle = (static_cast<int>(byte()) - 128) / 40.0;
    KVRBasicQtn3D<double> q;
    q.setEAA(axis, angle);
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

enum Kind {
  World,
  Body3D,
  Part,
  Camera,
  Group,
  Assembly,
  Shuttle,
  Frame,
  TagPoint,
  Path,
  Attachment,
  Rule,
  Plain
};

// The kind of object each slot holds.
constexpr Kind SlotKinds[] = {World,    World,    Body3D,   Body3D,     Body3D, Part,  Part,     Camera,
                              Group,    Assembly, Assembly, Shuttle,    Frame,  Frame, TagPoint, TagPoint,
                              TagPoint, Path,     Path,     Attachment, Rule,   Plain};
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
    case Shuttle:
      return Entity(new KVRBasicShuttle3D);
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
      if (auto* t = as<T>(e.get())) matching.push_back(t);
    if (matching.empty()) return named(KVRSharedHandle<T>());
    return named(KVRSharedHandle<T>(matching[b % matching.size()]));
  }
  // Never empty when the pool has a T.
  template <class T>
  KVRSharedHandle<T> target(Input& in) {
    std::vector<T*> matching;
    for (const Entity& e : slots)
      if (auto* t = as<T>(e.get())) matching.push_back(t);
    const unsigned b = in.byte();
    return named(matching.empty() ? KVRSharedHandle<T>() : KVRSharedHandle<T>(matching[b % matching.size()]));
  }

  // Adds the object's name to the description of the current call, and
  // tells `reached` that the call reaches it.
  template <class H>
  const H& named(const H& handle) {
    if (call) *call += ' ' + (handle ? KVRToUtf8(handle->getEntityName()) : std::string("(empty)"));
    if (handle) touch(handle.get());
    return handle;
  }
  // An entity the current call reaches: told before the call changes it.
  void touch(const KVRBasicEntity* e) {
    if (reached) reached(e);
  }

  std::vector<Entity> slots;
  std::vector<Entity> everything;  // every object the scenario made
  std::string* call = nullptr;     // the description of the call being played
  std::function<void(const KVRBasicEntity*)> reached;
  KVRFuzzExtraCall extra;  // played as op 51 when given
};

// --- Digests ---------------------------------------------------------------------

// Where a description goes: a 64-bit digest, and with KVR_FUZZ_VERBOSE set in
// the environment a text to read as well.
class Sink {
 public:
  explicit Sink(bool text) : text_(text) {}
  bool operator==(const Sink& other) const { return digest_ == other.digest_ && out_ == other.out_; }
  const std::string& text() const { return out_; }
  std::uint64_t digest() const { return digest_; }

  Sink& operator<<(const char* s) {
    mix(s, std::char_traits<char>::length(s));
    if (text_) out_ += s;
    return *this;
  }
  Sink& operator<<(const std::wstring& w) {
    mix(w.data(), w.size() * sizeof(wchar_t));
    if (text_) out_ += KVRToUtf8(w);
    return *this;
  }
  template <class T>
  requires std::is_arithmetic_v<T> Sink& operator<<(T value) {
    mix(&value, sizeof value);
    if (text_) {
      std::ostringstream os;
      os << std::setprecision(17) << value;
      out_ += os.str() + ' ';
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

std::string firstDifference(const std::string& before, const std::string& after) {
  std::istringstream a(before), b(after);
  std::string x, y;
  while (true) {
    const bool moreA = static_cast<bool>(std::getline(a, x)), moreB = static_cast<bool>(std::getline(b, y));
    if (!moreA && !moreB) return "(none)";
    if (x != y || moreA != moreB) return "before: " + x + "\n    after:  " + y;
  }
}

// The model as the scenario sees it. Every entity met gets a serial number
// for the rest of the input, so that an entity reads the same before and
// after a call whatever else changed, and is held until the end: a serial is
// never taken over by a new object at the same address, and the final
// orphaning reaches every subtree unlinked without a handle to it (the
// library made it, as a copy's children are), which would otherwise keep
// itself alive by its own links.
//
// A call's region is what it can have reached: each entity the call picked
// and every entity linked to it, described as they are before the call. A
// refused call must leave every description of its region as it was; the
// whole model is compared only now and then, since its descriptions cost
// what the call's few do many times over.
class Watch {
 public:
  explicit Watch(Pool& pool) : pool_(pool) {}

  // A digest of everything reachable from the objects the scenario made.
  Sink whole() {
    Sink sink(verbose());
    ++walk_;
    order_.clear();
    const auto reach = [this](const KVRBasicEntity* e, Seen& seen) {
      if (seen.walk != walk_) {
        seen.walk = walk_;
        order_.push_back(e);
      }
    };
    for (const Entity& e : pool_.everything) reach(e.get(), seen(e.get()));
    for (std::size_t i = 0; i < order_.size(); ++i) {
      const KVRBasicEntity* e = order_[i];
      describe(*e, sink, reach);
    }
    return sink;
  }

  // A new call: nothing reached yet.
  void beginCall() {
    ++call_;
    touched_.clear();
    region_.clear();
  }

  // An entity the call picked, with everything linked to it, described as
  // they are now, before the call changes anything.
  void touch(const KVRBasicEntity* e) {
    Seen& seen = this->seen(e);
    if (seen.touched == call_) return;
    seen.touched = call_;
    touched_.push_back(e);
    links_.clear();
    const auto collect = [this](const KVRBasicEntity* link, Seen&) { links_.push_back(link); };
    if (seen.region == call_) {
      Sink ignored(false);
      describe(*e, ignored, collect);
    } else {
      seen.region = call_;
      seen.at = static_cast<int>(region_.size());
      region_.push_back({e, Sink(verbose())});
      describe(*e, region_.back().before, collect);
    }
    for (std::size_t i = 0; i < links_.size(); ++i) {
      const KVRBasicEntity* link = links_[i];
      Seen& linked = this->seen(link);
      if (linked.region == call_) continue;
      linked.region = call_;
      linked.at = static_cast<int>(region_.size());
      region_.push_back({link, Sink(verbose())});
      describe(*link, region_.back().before, ignore);
    }
  }

  // After a refused call: how the first description of its region that
  // changed reads now, or nothing when none did.
  std::string changedInRegion() {
    for (const Described& d : region_) {
      Sink after(verbose());
      describe(*d.entity, after, ignore);
      if (after == d.before) continue;
      std::string what = "in the description of " + KVRToUtf8(d.entity->getEntityName());
      if (verbose()) what += "\n    " + firstDifference(d.before.text(), after.text());
      return what;
    }
    return std::string();
  }

  // After a call, what to check. Around: the entities it picked or made,
  // with what is linked to them now, and those of its region that are no
  // longer linked to any of them (what the call unlinked). Below: each of
  // those it picked whose own description the call changed, with everything
  // under it, where a move or a flush of it goes on.
  void toCheck(std::vector<Entity>& around, std::vector<Entity>& below) {
    around.clear();
    below.clear();
    const auto linked = [this](const KVRBasicEntity*, Seen& seen) { seen.linked = call_; };
    for (const KVRBasicEntity* e : touched_) {
      around.emplace_back(const_cast<KVRBasicEntity*>(e));
      Sink after(false);
      describe(*e, after, linked);
      if (!(after.digest() == region_[static_cast<std::size_t>(seen(e).at)].before.digest()))
        below.emplace_back(const_cast<KVRBasicEntity*>(e));
    }
    for (const Described& d : region_) {
      const Seen& seen = this->seen(d.entity);
      if (seen.touched != call_ && seen.linked != call_)
        around.emplace_back(const_cast<KVRBasicEntity*>(d.entity));
    }
  }

 private:
  struct Seen {
    int serial;
    unsigned walk = 0;     // the last whole walk that reached it
    unsigned touched = 0;  // the last call that picked it
    unsigned region = 0;   // the last call whose region holds it
    unsigned linked = 0;   // the last call after which a picked entity links to it
    int at = 0;            // where it is in the region, when the current call's region holds it
  };
  struct Described {
    const KVRBasicEntity* entity;
    Sink before;
  };

  Seen& seen(const KVRBasicEntity* e) {
    const auto [at, added] = seen_.try_emplace(e, Seen{static_cast<int>(seen_.size())});
    if (added) held_.emplace_back(const_cast<KVRBasicEntity*>(e));
    return at->second;
  }
  static void ignore(const KVRBasicEntity*, Seen&) {}

  // Everything that the model's calls could change about `e`, the entities it
  // links to written as their serial numbers and each passed to `link`.
  template <class Link>
  void describe(const KVRBasicEntity& e, Sink& sink, const Link& link) {
    const auto id = [&](const KVRBasicEntity* other) {
      if (!other) return -1;
      Seen& seen = this->seen(other);
      link(other, seen);
      return seen.serial;
    };
    const auto ids = [&](const auto& handles) {
      sink << "(";
      for (const auto& h : handles) sink << id(h.get());
      sink << ")";
    };

    sink << "#" << seen(&e).serial << e.getClassInfo().getClassName() << " orphaned " << e.isOrphaned();
    if (const auto* agent = as<const KVRNotificationAgent>(&e))
      sink << " bits " << agent->getPendingEvents().to_ullong() << " hooks "
           << agent->getNotificationHookCount() << " subscribers " << agent->getSubscriberCount();
    name_.clear();
    e.appendStoredFullName(name_);
    sink << " name " << e.getEntityName() << " full " << name_ << " symbols " << e.getSymbolCount()
         << "\n  L " << id(e.getLogicalParent().get());
    e.getLogicalChildren(logical_);
    ids(logical_);
    // The lists themselves are the checker's: here their length tells a change.
    sink << e.getLogicalAncestorsCount();
    if (const auto* e3 = as<const KVRBasicEntity3D>(&e)) {
      sink << "\n  S " << id(e3->getSpatialParent().get());
      e3->getSpatialChildren(spatial_);
      ids(spatial_);
      sink << e3->getSpatialAncestorsCount() << " base " << e3->getBaseLocation() << " parent "
           << e3->getCachedParentProfile().getLocation() << " relative " << e3->getRelativeLocation();
    }
    if (const auto* body = as<const KVRBasicBody3D>(&e))
      sink << "\n  B inner " << id(body->getInnerConnection().get()) << " attachment "
           << id(body->getAttachment().get()) << " original " << id(body->getInnerBodyOriginal().get())
           << " home " << id(body->getHomeAttachBody().get()) << " transient " << body->getTransientState();
    if (const auto* group = as<const KVRBasicGroup3D>(&e)) {
      spatial_.clear();  // members are appended
      group->getEntities(spatial_);
      sink << "\n  G active " << group->isActive() << " members ";
      ids(spatial_);
      for (const auto& member : spatial_) sink << group->getRelativeLocation(member);
    }
    if (const auto* camera = as<const KVRBasicCamera3D>(&e))
      sink << "\n  relationship " << id(camera->getRelationship().get());
    if (const auto* connection = as<const KVRBasicConnection3D>(&e))
      sink << "\n  C " << connection->isConnected() << id(connection->getInnerBody().get())
           << id(connection->getOuterBody().get()) << id(connection->getInnerFrame().get())
           << id(connection->getOuterFrame().get()) << connection->getInnerOffset()
           << connection->getOuterOffset() << connection->getCachedRelativeLocation();
    if (const auto* path = as<const KVRBasicPath3D>(&e)) {
      points_.clear();  // points are appended
      path->getTagPoints(points_);
      sink << "\n  P route ";
      ids(points_);
    }
    if (const auto* shuttle = as<const KVRBasicShuttle3D>(&e)) {
      if (const auto planner = shuttle->getPlanner()) {
        sink << "\n  planner path " << id(planner->getPath().get()) << " start "
             << planner->getScheduledStart().getSeconds() << planner->getScheduledStart().getNanoseconds()
             << " custom " << planner->getCustomFlag() << " distance " << planner->getCurrentDistance()
             << " times";
        for (const KVRSimTime& t : planner->getTimes()) sink << t.getSeconds() << t.getNanoseconds();
        sink << planner->getShuttlePathXform();
      }
    }
    if (const auto* rule = as<const KVRBasicRelationship3D>(&e))
      sink << "\n  R " << id(rule->getInnerEntity().get()) << id(rule->getOuterEntity().get())
           << static_cast<int>(rule->getSyncMode());
    if (const auto* point = as<const KVRBasicTagPoint3D>(&e)) {
      auto ext = KVRSharedHandle<KVRMfgAssemblyTagPointExt>::downcast(
          point->getExtension(KVRMfgAssemblyTagPointExt::ClassID_));
      if (ext) {
        Xform f1, f2;
        ext->getReferenceFrame(f1, f2);
        sink << "\n  X " << ext->hasReferenceFrame() << f1 << f2;
      }
    }
    sink << "\n";
  }

  Pool& pool_;
  std::unordered_map<const KVRBasicEntity*, Seen> seen_;
  std::vector<Entity> held_;
  unsigned walk_ = 0, call_ = 0;
  std::vector<const KVRBasicEntity*> order_;    // of the whole walk
  std::vector<const KVRBasicEntity*> touched_;  // by the current call
  std::vector<const KVRBasicEntity*> links_;
  std::vector<Described> region_;
  // Buffers kept from one description to the next.
  std::wstring name_;
  KVRSharedVector<KVRBasicEntity> logical_;
  KVRSharedVector<KVRBasicEntity3D> spatial_;
  KVRSharedVector<KVRBasicTagPoint3D> points_;

 public:
  // Orphans every entity held, after the pool's own: what the model still
  // links to goes with them.
  void orphanHeld() {
    for (const Entity& e : held_) e->orphanObject();
  }
};

// --- Checking ------------------------------------------------------------------

// A broken rule, with the calls that led to it.
struct Broken {
  std::string text;
};

[[noreturn]] void fail(const std::vector<std::string>& journal, const std::string& what) {
  Broken broken{"\n=== model fuzzing: " + what + "\n--- calls:\n"};
  for (const std::string& call : journal) broken.text += "  " + call + "\n";
  throw broken;
}

void failOnViolations(const std::vector<std::string>& journal, const std::vector<std::wstring>& found,
                      const char* where) {
  if (found.empty()) return;
  std::string text = "the model checker found " + std::to_string(found.size()) + " violations " + where;
  for (const auto& v : found) text += "\n    " + KVRToUtf8(v);
  fail(journal, text);
}

// The checker's findings around the logical roots of everything made: the
// whole model. A climb that does not end (a cycle of logical parents) starts
// at the entity itself, where the checker reports the cycle.
std::vector<std::wstring> violations(const Pool& pool) {
  std::unordered_set<const KVRBasicEntity*> roots;
  for (const Entity& e : pool.everything) {
    const KVRBasicEntity* root = e.get();
    for (int steps = 0; root->hasLogicalParent(); ++steps) {
      if (steps > 100000) {
        root = e.get();
        break;
      }
      root = root->getLogicalParent().get();
    }
    roots.insert(root);
  }
  std::vector<std::wstring> found;
  for (const KVRBasicEntity* root : roots) {
    auto more = KVRCheckModel(Entity(const_cast<KVRBasicEntity*>(root)));
    found.insert(found.end(), more.begin(), more.end());
  }
  return found;
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
KVRSimTime someTime(Input& in) { return KVRSimTime(in.below(64) / 4.0); }

Outcome play(Pool& pool, Input& in, std::string& call) {
  const int op = in.below(54);
  call = "op " + std::to_string(op) + ":";
  pool.call = &call;
  switch (op) {
    case 0: {  // a new object in a slot; the old one is orphaned or only dropped
      const int slot = in.below(SlotCount);
      pool.touch(pool.slots[static_cast<std::size_t>(slot)].get());
      if (in.below(2)) pool.slots[static_cast<std::size_t>(slot)]->orphanObject();
      pool.renew(slot);
      pool.touch(pool.slots[static_cast<std::size_t>(slot)].get());
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
        case 0: {
          const double x = in.coordinate(), y = in.coordinate(), z = in.coordinate();
          status = e->translateBase(Vec(x, y, z), frame);
          break;
        }
        case 1: {
          const auto axis = KVRMath3D::AxisType(in.below(3));
          status = e->rotateBase(axis, in.coordinate(), frame);
          break;
        }
        case 2:
          status = e->moveBase(in.pose(), frame);
          break;
        case 3: {
          const Xform motion = in.pose();
          status = e->moveBase(motion, pool.pick<KVRBasicEntity3D>(in));
          break;
        }
        default: {
          const Xform location = in.pose();
          status = e->setBaseLocation(location, pool.pick<KVRBasicEntity3D>(in));
        }
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
        auto body = pool.pick<KVRBasicBody3D>(in);
        grabbing->grabBody(body, 1 + in.below(3));
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
      const int how = in.below(8);
      if (how % 2) {
        auto innerFrame = pool.pick<KVRBasicFrame3D>(in);
        connection->connectBodies(innerFrame, pool.pick<KVRBasicFrame3D>(in));
      } else {
        auto inner = pool.pick<KVRBasicBody3D>(in);
        auto outer = pool.pick<KVRBasicBody3D>(in);
        const Xform innerOffset = in.pose();
        connection->connectBodies(inner, outer, innerOffset, in.pose());
      }
      // Now and then the connection only records its two bodies, the outer
      // one not hung on it: the interface allows it, and later calls must
      // cope with it.
      if (how >= 6) {
        call += " recorded, not hung";
        return Outcome::Done;
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
        const auto count = static_cast<unsigned>(in.below(3));
        path->createPoints(count, L"T", static_cast<unsigned short>(in.byte()));
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
      pool.touch(source.get());
      Entity copy = KVRDuplicate(source, copyMode(in));
      if (!copy) return Outcome::Done;
      pool.touch(copy.get());
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
        case 3: {
          rule->verdict = in.below(2);
          // The rule is this scenario's own code: a non-finite offset would
          // only make its enforcement throw after the pair is set.
          const Xform offset = in.pose();
          if (offset.isFinite()) rule->offset = offset;
          break;
        }
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
            if (in.below(2)) {
              ext->setReferenceFrame(f1, in.pose());
            } else {
              const Xform f2 = in.pose();
              ext->setReferenceFrame(f1, f2, pool.pick<KVRBasicEntity3D>(in));
            }
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
      pool.touch(child.get());
      pool.slots[static_cast<std::size_t>(slot)] = child;
      call += " take child into slot " + std::to_string(slot);
      return Outcome::Done;
    }
    case 48: {
      auto universe = KVRBasicUniverse::getUniverse();
      pool.touch(universe.get());
      auto world = pool.pick<KVRBasicWorld>(in);
      if (in.below(2))
        universe->addEntity(world);
      else
        universe->removeLogicalChild(world);
      return Outcome::Done;
    }
    case 49: {
      auto e = pool.target<KVRBasicEntity>(in);
      static const wchar_t* paths[] = {L"speed", L"A.speed", L"A/B.speed", L"Missing.speed", L".", L""};
      KVRWDMSymbolTable table(e);
      switch (in.below(4)) {
        case 0:
        case 2:
          e->removeSymbol(L"speed");
          return Outcome::Done;
        case 1:  // made when the table finds none
          table.getRealSymbol(paths[in.below(6)], L'/', L'.');
          return Outcome::Done;
        default: {
          // Integer symbols are only found, never made: one the table did not
          // find has no functors, and reading it is refused.
          KVRSymbol<int> symbol = table.getInteger32Symbol(paths[in.below(6)], L'/', L'.');
          (void)symbol.getValue();
          return Outcome::Refused;  // found or not, reading changes nothing
        }
      }
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
    case 52: {  // a planner for a shuttle, and its path
      auto shuttle = pool.target<KVRBasicShuttle3D>(in);
      auto planner = shuttle->getPlanner();
      switch (in.below(4)) {
        case 0:
          shuttle->addExtension(KVRSharedHandle<KVRExtensionObject>(new KVRShuttlePlannerExt));
          break;
        case 1:
          return refusedIf(!shuttle->removeExtension(KVRShuttlePlannerExt::ClassID_));
        case 2: {
          if (!planner) return Outcome::Refused;
          auto path = pool.pick<KVRBasicPath3D>(in);
          const KVRSimTime start = someTime(in);
          planner->setPath(path, start, someTime(in));
          break;
        }
        default:
          if (!planner) return Outcome::Refused;
          if (in.below(2))
            planner->clearPath();
          else
            planner->unRegisterEventFunctor();
      }
      return Outcome::Done;
    }
    case 53: {  // planning and moving along the plan
      auto shuttle = pool.target<KVRBasicShuttle3D>(in);
      auto planner = shuttle->getPlanner();
      if (!planner) return Outcome::Refused;
      const KVRSimTime start = someTime(in), end = someTime(in);
      switch (in.below(6)) {
        case 0:
          planner->setPoints(start, end);
          break;
        case 1:
          planner->changeMoveTime(start, end);
          break;
        case 2:
          planner->setScheduledStart(start);
          break;
        case 3:
          planner->setCustomFlag(in.below(2));
          break;
        case 4:
          return refusedIf(planner->moveBasicObject(start) == 0);
        default: {
          Xform pose;
          KVRBasicVector3D<double> velocity;
          (void)shuttle->evaluateShuttlePosition(start, pose);
          (void)shuttle->evaluateShuttleVelocity(start, velocity);
          (void)shuttle->isMotionActive(start);
          return Outcome::Done;  // evaluating sets the planner's current distance
        }
      }
      return Outcome::Done;
    }
    case 51:
      if (pool.extra) return refusedIf(pool.extra(pool.target<KVRBasicEntity>(in)));
      [[fallthrough]];
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
      if (auto* group = as<KVRBasicGroup3D>(e.get())) group->dump(sink);
      return Outcome::Refused;
    }
  }
}

// How often the whole model is looked at: a refused call is compared on the
// whole model's digest as well as on its region's when its index in the
// input is a multiple of WholeDigestEvery, and the checker goes through the
// whole model every WholeCheckEvery calls and after the last. By index, so
// that a replay looks at what the fuzzer looked at.
constexpr int WholeDigestEvery = 16;
constexpr int WholeCheckEvery = 100;
// Inputs play at most this many calls.
constexpr int MaxCalls = 200;

std::uint64_t callsPlayed = 0;

}  // namespace

std::uint64_t KVRFuzzCallsPlayed() { return callsPlayed; }

// --- Cell files ------------------------------------------------------------------------

// Everything a loaded tree holds, in both trees and through the connections
// its bodies hang on, orphaned so that it is freed.
void orphanTree(const Entity& root) {
  std::vector<Entity> stack{root};
  std::unordered_set<const KVRBasicEntity*> seen;
  std::vector<Entity> all;
  while (!stack.empty()) {
    const Entity e = stack.back();
    stack.pop_back();
    if (!e || !seen.insert(e.get()).second) continue;
    all.push_back(e);
    KVRSharedVector<KVRBasicEntity> children;
    e->getLogicalChildren(children);
    stack.insert(stack.end(), children.begin(), children.end());
    if (auto* e3 = as<KVRBasicEntity3D>(e.get())) {
      KVRSharedVector<KVRBasicEntity3D> spatial;
      e3->getSpatialChildren(spatial);
      stack.insert(stack.end(), spatial.begin(), spatial.end());
    }
    if (auto* body = as<KVRBasicBody3D>(e.get()))
      if (const auto connection = body->getInnerConnection()) stack.push_back(connection);
  }
  for (const Entity& e : all) e->orphanObject();
}

// Whether a saved document holds pending events: a world saved between a
// change and its flush is not read back as it was.
bool quiet(const std::string& document) {
  const std::string key = "\"events\":[";
  for (std::size_t at = document.find(key); at != std::string::npos; at = document.find(key, at + 1))
    if (document[at + key.size()] != ']') return false;
  return true;
}

// Every world of the pool, flushed, is saved, read back and saved again:
// the two documents must be the same, and the loaded tree as sound as the
// saved one. A world that holds what a file cannot (a link to an entity
// outside it, a location that is not finite) must be refused cleanly,
// leaving nothing behind.
void checkCellFiles(Pool& pool, std::vector<std::string>& journal) {
  std::unordered_set<const KVRBasicEntity*> seen;
  for (const Entity& e : pool.everything) {
    if (!e->isOrphaned()) {
      e->flushLogicalState();
      if (auto* e3 = as<KVRBasicEntity3D>(e.get())) e3->flushSpatialState();
    }
  }
  journal.push_back("end: everything flushed; each world saved, read back and saved again");
  const auto universe = KVRBasicUniverse::getUniverse();
  for (const Entity& e : pool.everything) {
    const auto* w = as<KVRBasicWorld>(e.get());
    if (!w || w->isOrphaned() || !seen.insert(w).second) continue;
    const std::string saved = KVRSnapshot::toJson(e);
    KVRSnapshot::ReadOptions options;
    options.classes = {&FuzzRule::ClassInfo_};
    options.check = false;  // the checker runs below: a refusal would hide what it finds
    // A world hanging below another entity is read without it: only the
    // universe is outside every cell and can be joined again.
    const KVRBasicEntity* parent = w->getLogicalParent().get();
    options.addToUniverse = parent == universe.get();
    const std::size_t bytes = KVRBasicEntity3D::getEntityBlockBytes();
    const int worlds = universe->getLogicalChildrenCount();
    Entity loaded;
    try {
      loaded = KVRSnapshot::read(saved, options);
    } catch (const KVREInvalidArgument& refusal) {
      if (KVRBasicEntity3D::getEntityBlockBytes() != bytes || universe->getLogicalChildrenCount() != worlds)
        fail(journal, std::string("a refused cell left entities behind: ") + refusal.what());
      const std::string why = refusal.what();
      if (why.find("full name") == std::string::npos && why.find("not finite") == std::string::npos)
        fail(journal, "a saved world was refused: " + why + "\n" + saved);
      continue;
    }
    const std::string again = KVRSnapshot::toJson(loaded);
    const std::vector<std::wstring> found = KVRCheckModel(loaded);
    orphanTree(loaded);
    if (quiet(saved) && (!parent || parent == universe.get()) && again != saved)
      fail(journal, "a world read back saves differently\n    " + firstDifference(saved, again));
    if (!found.empty() && KVRCheckModel(e).empty())
      fail(journal, "a world read back is not sound: " + KVRToUtf8(found.front()));
  }
}

std::string KVRFuzzPlayScenario(const std::uint8_t* data, std::size_t size, const KVRFuzzExtraCall& extra) {
  Input in(data, size);
  std::vector<std::string> journal;
  std::vector<std::wstring> reports;
  // Restored, and everything made orphaned, however the scenario ends.
  struct Handler {
    KVRAssertionHandler previous;
    ~Handler() { KVRSetAssertionHandler(previous); }
  } handler{
      KVRSetAssertionHandler([&](const KVRAssertionReport& report) { reports.push_back(report.text); })};
  Pool pool;
  Watch watch(pool);
  struct Orphaning {
    Pool& pool;
    Watch& watch;
    ~Orphaning() {
      pool.reached = nullptr;
      (void)watch.whole();  // holds whatever the model still links to
      for (const Entity& e : pool.everything) e->orphanObject();
      watch.orphanHeld();
    }
  } orphaning{pool, watch};
  pool.reached = [&](const KVRBasicEntity* e) { watch.touch(e); };
  pool.extra = extra;
  expectedReports = 0;
  try {
    std::vector<Entity> around, below;
    int calls = 0;
    bool checkedWhole = true;
    for (; !in.done() && calls < MaxCalls; ++calls) {
      const bool compareWhole = calls % WholeDigestEvery == 0;
      const Sink before = compareWhole ? watch.whole() : Sink(false);
      watch.beginCall();
      std::string call;
      Outcome outcome = Outcome::Done;
      try {
        outcome = play(pool, in, call);
      } catch (const KVRException& e) {
        call += std::string(" refused: ") + e.what();
        outcome = Outcome::Refused;
      }
      ++callsPlayed;
      if (outcome == Outcome::Refused && call.find(" refused: ") == std::string::npos) call += " (refused)";
      journal.push_back(call);
      if (verbose()) std::fprintf(stderr, "%s\n", call.c_str());
      if (static_cast<int>(reports.size()) > expectedReports)
        fail(journal, "an assertion report: " + KVRToUtf8(reports.back()));
      reports.clear();
      expectedReports = 0;
      if (outcome == Outcome::Refused) {
        const std::string changed = watch.changedInRegion();
        if (!changed.empty()) fail(journal, "a refused call changed the model, " + changed);
        if (compareWhole) {
          const Sink after = watch.whole();
          if (!(after == before))
            fail(journal, "a refused call changed the model outside what it picked\n    " +
                              (verbose() ? firstDifference(before.text(), after.text())
                                         : std::string("(replay with KVR_FUZZ_VERBOSE set to see how)")));
        }
      }
      watch.toCheck(around, below);
      failOnViolations(journal, KVRCheckModelAround(around), "around what the call reached");
      for (const Entity& e : below)
        failOnViolations(journal, KVRCheckModel(e), "below what the call changed");
      checkedWhole = (calls + 1) % WholeCheckEvery == 0;
      if (checkedWhole) failOnViolations(journal, violations(pool), "in the whole model");
    }
    if (!checkedWhole) failOnViolations(journal, violations(pool), "in the whole model at the end");
    checkCellFiles(pool, journal);
  } catch (const Broken& broken) {
    return broken.text;
  }
  return std::string();
}

void KVRFuzzRunScenario(const std::uint8_t* data, std::size_t size) {
  const std::string broken = KVRFuzzPlayScenario(data, size);
  if (broken.empty()) return;
  std::fputs(broken.c_str(), stderr);
  std::fflush(stderr);
  std::abort();
}
