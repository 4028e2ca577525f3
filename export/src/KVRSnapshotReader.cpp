#include "KVRSnapshotReader.h"

#include <cmath>
#include <limits>
#include <unordered_map>
#include <utility>
#include <vector>

#include "KVRAttributeExt.h"
#include "KVRBasicAttachment3D.h"
#include "KVRBasicCamera3D.h"
#include "KVRBasicFrame3D.h"
#include "KVRBasicGroup3D.h"
#include "KVRBasicMfgAssembly3D.h"
#include "KVRBasicPart3D.h"
#include "KVRBasicPath3D.h"
#include "KVRBasicRelationship3D.h"
#include "KVRBasicShuttle3D.h"
#include "KVRBasicTagPoint3D.h"
#include "KVRBasicUniverse.h"
#include "KVRBasicWorld.h"
#include "KVRCellProperties.h"
#include "KVRCellText.h"
#include "KVRCheckModel.h"
#include "KVRException.h"
#include "KVRMathConst.h"
#include "KVRMfgAssemblyTagPointExt.h"
#include "KVRShuttlePlannerExt.h"

namespace {

using Json = nlohmann::json;
using Xform = KVRBasicXform3D<double>;
using Entity = KVRSharedHandle<KVRBasicEntity>;

constexpr int None = -1;

// The entity as a T, or an empty handle.
template <class T>
KVRSharedHandle<T> as(const Entity& e) {
  T* typed = dynamic_cast<T*>(e.get());
  return typed ? KVRSharedHandle<T>(typed) : KVRSharedHandle<T>();
}
constexpr double ToRadians = KVRMathConst::Pi / 180.0;
// How far the norm of a quaternion may be from 1: what a few thousand
// compositions leave behind, far below what a typing slip gives.
constexpr double UnitTolerance = 1e-6;

// The model's own classes a record may name.
const KVRClassInfo* const LibraryClasses[] = {
    &KVRBasicEntity::ClassInfo_,        &KVRBasicWorld::ClassInfo_,   &KVRBasicFrame3D::ClassInfo_,
    &KVRBasicBody3D::ClassInfo_,        &KVRBasicPart3D::ClassInfo_,  &KVRBasicCamera3D::ClassInfo_,
    &KVRBasicMfgAssembly3D::ClassInfo_, &KVRBasicGroup3D::ClassInfo_, &KVRBasicShuttle3D::ClassInfo_,
    &KVRBasicTagPoint3D::ClassInfo_,    &KVRBasicPath3D::ClassInfo_,  &KVRBasicAttachment3D::ClassInfo_,
};

bool derives(const KVRClassInfo* info, const KVRClassInfo& base) {
  for (; info; info = info->getBaseClass())
    if (info == &base) return true;
  return false;
}

// A connection as a record or a body's section describes it.
struct Connection {
  int record = None;  // the connection's own record, or None for one only its body describes
  int body = None;    // the body whose section describes it
  std::string field;  // where it is described: "connection" or "body.connection"
  const KVRClassInfo* info = &KVRBasicAttachment3D::ClassInfo_;
  std::wstring name;
  bool connected = false;
  int innerBody = None, outerBody = None, innerFrame = None, outerFrame = None;
  Xform innerOffset, outerOffset;
  bool hasRelative = false;
  Xform relative;
  KVRSharedHandle<KVRBasicConnection3D> made;
};

struct Record {
  const Json* json = nullptr;
  long long id = 0;
  const KVRClassInfo* info = nullptr;
  std::wstring name;
  std::string utf8Name;  // as the document writes it
  int logicalParent = None;
  int spatialParent = None;
  int connection = None;  // the Connection this body hangs on
  bool spatial = false;
  bool staleBase = false;  // a spatial ancestor had its base location changed, unflushed
  Entity entity;
  KVRBasicEntity3D* entity3D = nullptr;
};

class Reader {
 public:
  Reader(const Json& document, const KVRSnapshot::ReadOptions& options) : doc_(document), options_(options) {}

  Entity read();

 private:
  // --- Refusals ---
  [[noreturn]] void refuse(int record, const std::string& field, const std::wstring& what) const;
  [[noreturn]] void refuseDocument(const std::wstring& what) const {
    throw KVREInvalidArgument(L"The document is not a cell: %1") << what;
  }

  // --- Reading fields ---
  const Json* find(int r, const char* key) const {
    const Json& j = *records_[static_cast<std::size_t>(r)].json;
    const auto it = j.find(key);
    return it == j.end() ? nullptr : &*it;
  }
  const Json* section(int r, const char* key) const {
    const Json* s = find(r, key);
    if (s && !s->is_null() && !s->is_object()) refuse(r, key, L"is not an object");
    return s && s->is_object() ? s : nullptr;
  }
  int reference(int r, const Json* ref, const std::string& field) const;
  int reference(int r, const Json& in, const char* key, const std::string& field) const {
    const auto it = in.find(key);
    return it == in.end() ? None : reference(r, &*it, field);
  }
  int referenceOf(int r, const Json& in, const char* key, const std::string& field, const KVRClassInfo& base,
                  const wchar_t* kind) const {
    const auto it = in.find(key);
    return it == in.end() ? None : referenceOf(r, *it, field, base, kind);
  }
  // The record `ref` names, which must be of class `base` (a `kind`); None for null.
  int referenceOf(int r, const Json& ref, const std::string& field, const KVRClassInfo& base,
                  const wchar_t* kind) const;
  Xform pose(int r, const Json& j, const std::string& field) const;
  double number(int r, const Json& j, const std::string& field) const;
  KVRSimTime time(int r, const Json& j, const std::string& field) const;
  bool flag(int r, const Json& in, const char* key, bool otherwise, const std::string& field) const;
  // The string under `key`, or `otherwise` when there is none.
  std::string text(int r, const Json& in, const char* key, const char* otherwise,
                   const std::string& field) const {
    const auto it = in.find(key);
    if (it == in.end() || it->is_null()) return otherwise;
    if (!it->is_string()) refuse(r, field, L"is not a string");
    return it->get<std::string>();
  }

  // --- Reading the document ---
  void readRecords();
  void readLogicalTree();
  void readConnections();
  // `outer`: the outer body when the description names none (a body's own).
  Connection readConnection(int r, const Json& j, const std::string& field, int outer = None) const;
  void readSpatialTree();
  // Refuses a record that nothing below the root holds: it would be built
  // and lost.
  void requireHeld() const;
  // Refuses a cycle or a tree deeper than the limit among the links
  // `parentOf`; otherwise the records level by level from the top, each
  // level in document order.
  template <class Parent>
  std::vector<std::vector<int>> levels(Parent parentOf, const char* field, const wchar_t* kind) const;

  // --- Building ---
  void build();
  void createEntities();
  void linkLogically();
  void placeRelatively();
  void linkSpatially();
  void connect();
  void restoreBodies();
  void setBases();
  void restoreRoutes();
  void restoreTagPoints();
  void restoreRelations();
  void restoreGroups();
  void restorePlanners();
  void quieten();
  void undo() noexcept;
  template <class Step>
  void at(int r, const std::string& field, Step step) const;

  const Json& doc_;
  const KVRSnapshot::ReadOptions& options_;
  std::vector<Record> records_;
  std::vector<Connection> connections_;
  std::unordered_map<long long, int> byId_;
  // Full names: the records without a logical parent by name, each
  // record's children by name (the first of equal names), and the full name
  // the document gives its root (a subtree's root keeps its old one).
  std::unordered_map<std::string, int> tops_;
  std::unordered_map<std::string, int> children_;  // key: parent index, '\n', name
  std::string rootFullName_;
  // Every record gives its id and full name, as a saved snapshot does.
  bool savedNames_ = false;
  static std::string childKey(int parent, const std::string& name) {
    return std::to_string(parent) + '\n' + name;
  }
  // The record a full name names, or None.
  int named(const std::string& fullName) const;
  // For messages: the record's full name, shortened when long.
  std::wstring fullNameOf(int r) const;
  // Parents before children, siblings in document order.
  std::vector<std::vector<int>> logicalLevels_, spatialLevels_;
  int root_ = None;
  int version_ = 1;
  bool addedToUniverse_ = false;
};

// --- Refusals ------------------------------------------------------------------------

void Reader::refuse(int r, const std::string& field, const std::wstring& what) const {
  std::wstring record = L"at position " + std::to_wstring(r);
  if (r >= 0 && static_cast<std::size_t>(r) < records_.size()) {
    record = std::to_wstring(records_[static_cast<std::size_t>(r)].id) + L" (\"" + fullNameOf(r) + L"\")";
  }
  throw KVREInvalidArgument(L"Record %1 of the cell, field \"%2\": %3")
      << record << KVRFromUtf8(field) << what;
}

template <class Step>
void Reader::at(int r, const std::string& field, Step step) const {
  // What the model refuses names the record and the field it came from.
  try {
    step();
  } catch (const KVRCellProblem& problem) {
    refuse(r, field.empty() || problem.field.empty() ? field + problem.field : field + "." + problem.field,
           problem.what);
  } catch (const KVRException& e) {
    // A refusal of the reader's own already names its record.
    if (e.getMessage().rfind(L"Record ", 0) == 0) throw;
    refuse(r, field, L"the model refuses it: " + e.getMessage());
  }
}

// --- Reading fields ------------------------------------------------------------------

int Reader::reference(int r, const Json* ref, const std::string& field) const {
  if (!ref || ref->is_null()) return None;
  if (ref->is_number_integer()) {
    const auto it = byId_.find(ref->get<long long>());
    if (it == byId_.end())
      refuse(r, field, L"no record has the id " + std::to_wstring(ref->get<long long>()));
    return it->second;
  }
  if (ref->is_string()) {
    // A snapshot names its own records by id: a full name in it names
    // something outside, even one that reads like a record's.
    const int target = savedNames_ ? None : named(ref->get<std::string>());
    if (target == None)
      refuse(r, field, L"no record has the full name \"" + KVRFromUtf8(ref->get<std::string>()) + L"\"");
    return target;
  }
  refuse(r, field, L"is not an id, a full name or null");
}

int Reader::referenceOf(int r, const Json& ref, const std::string& field, const KVRClassInfo& base,
                        const wchar_t* kind) const {
  const int target = reference(r, &ref, field);
  if (target != None && !derives(records_[static_cast<std::size_t>(target)].info, base))
    refuse(r, field, std::wstring(L"names a record that is not ") + kind);
  return target;
}

double Reader::number(int r, const Json& j, const std::string& field) const {
  if (!j.is_number()) refuse(r, field, L"is not a number");
  const double v = j.get<double>();
  if (!std::isfinite(v)) refuse(r, field, L"is not finite");
  return v;
}

KVRSimTime Reader::time(int r, const Json& j, const std::string& field) const {
  const double seconds = number(r, j, field);
  KVRSimTime t;
  at(r, field, [&] { t = KVRSimTime(seconds); });
  return t;
}

bool Reader::flag(int r, const Json& in, const char* key, bool otherwise, const std::string& field) const {
  const auto it = in.find(key);
  if (it == in.end()) return otherwise;
  if (it->is_boolean()) return it->get<bool>();
  if (it->is_number_integer()) return it->get<long long>() != 0;
  refuse(r, field, L"is not true or false");
}

Xform Reader::pose(int r, const Json& j, const std::string& field) const {
  if (!j.is_object()) refuse(r, field, L"is not a location (an object with \"position\" and a rotation)");
  if (flag(r, j, "nonFinite", false, field + ".nonFinite"))
    refuse(r, field, L"holds a number that is not finite");
  const auto numbers = [&](const char* key, std::size_t n, double* out) {
    const auto it = j.find(key);
    if (it == j.end()) return false;
    if (!it->is_array() || it->size() != n)
      refuse(r, field + "." + key, L"is not a list of " + std::to_wstring(n) + L" numbers");
    for (std::size_t k = 0; k < n; ++k) out[k] = number(r, (*it)[k], field + "." + key);
    return true;
  };
  Xform x;
  double p[3] = {0, 0, 0}, q[4], rpy[3];
  numbers("position", 3, p);
  x.setPosition(p[0], p[1], p[2]);
  if (numbers("quaternion", 4, q)) {
    const double norm2 = q[0] * q[0] + q[1] * q[1] + q[2] * q[2] + q[3] * q[3];
    if (!(std::abs(norm2 - 1.0) <= 2 * UnitTolerance))
      refuse(r, field + ".quaternion", L"is not a unit quaternion");
    x.setQtn(KVRBasicQtn3D<double>(q[0], q[1], q[2], q[3]));
  } else if (numbers("rpy", 3, rpy)) {
    x.setRPY(rpy[0] * ToRadians, rpy[1] * ToRadians, rpy[2] * ToRadians);
  }
  return x;
}

// --- Reading the document --------------------------------------------------------------

void Reader::readRecords() {
  const Json& list = doc_["entities"];
  if (list.empty()) refuseDocument(L"its list \"entities\" is empty");
  records_.resize(list.size());
  std::vector<const KVRClassInfo*> classes(std::begin(LibraryClasses), std::end(LibraryClasses));
  classes.insert(classes.end(), options_.classes.begin(), options_.classes.end());
  for (std::size_t i = 0; i < list.size(); ++i) {
    const int r = static_cast<int>(i);
    Record& rec = records_[i];
    rec.json = &list[i];
    if (!rec.json->is_object()) refuse(r, "", L"is not an object");
    rec.id = r;
    if (const Json* id = find(r, "id")) {
      if (!id->is_number_integer()) refuse(r, "id", L"is not a whole number");
      rec.id = id->get<long long>();
    }
    const Json* name = find(r, "name");
    if (name && !name->is_string()) refuse(r, "name", L"is not a string");
    rec.name = name ? KVRFromUtf8(name->get<std::string>()) : KVRBasicEntity::DefaultBaseName;
    if (!byId_.emplace(rec.id, r).second)
      refuse(r, "id", L"record " + std::to_wstring(byId_[rec.id]) + L" has the same id");
    const Json* cls = find(r, "class");
    if (!cls || !cls->is_string()) refuse(r, "class", L"is missing or not a string");
    for (const KVRClassInfo* info : classes)
      if (info && *cls == info->getClassName()) rec.info = info;
    if (!rec.info)
      refuse(r, "class",
             L"\"" + KVRFromUtf8(cls->get<std::string>()) +
                 L"\" is not a class this program knows (a class of its own goes in the read options)");
    if (!rec.info->hasFactory()) refuse(r, "class", L"names a class that cannot be made (it is abstract)");
    if (derives(rec.info, KVRBasicUniverse::ClassInfo_)) refuse(r, "class", L"a universe cannot be read");
    rec.spatial = derives(rec.info, KVRBasicEntity3D::ClassInfo_);
  }
  root_ = 0;
  if (const auto it = doc_.find("root"); it != doc_.end() && !it->is_null()) {
    if (!it->is_number_integer() || !byId_.count(it->get<long long>()))
      refuseDocument(L"its \"root\" is not the id of one of its records");
    root_ = byId_[it->get<long long>()];
  }
}

int Reader::named(const std::string& fullName) const {
  std::size_t at = 0;
  int r = None;
  if (!rootFullName_.empty() && fullName.compare(0, rootFullName_.size(), rootFullName_) == 0 &&
      (fullName.size() == rootFullName_.size() || fullName[rootFullName_.size()] == '/')) {
    r = root_;
    at = rootFullName_.size();
  } else {
    if (fullName.size() < 2 || fullName[0] != '/') return None;
    const std::size_t end = std::min(fullName.find('/', 1), fullName.size());
    const auto top = tops_.find(fullName.substr(1, end - 1));
    if (top == tops_.end()) return None;
    r = top->second;
    at = end;
  }
  // One component at a time, below the record reached so far.
  while (at < fullName.size()) {
    const std::size_t end = std::min(fullName.find('/', at + 1), fullName.size());
    const auto child = children_.find(childKey(r, fullName.substr(at + 1, end - at - 1)));
    if (child == children_.end()) return None;
    r = child->second;
    at = end;
  }
  return r;
}

std::wstring Reader::fullNameOf(int r) const {
  constexpr std::size_t Longest = 160;
  if (logicalLevels_.empty()) return records_[static_cast<std::size_t>(r)].name;  // parents not read yet
  std::wstring name;
  // Bounded: the parents read so far may still form a cycle.
  for (std::size_t steps = 0; r != None && steps <= records_.size(); ++steps) {
    const Record& rec = records_[static_cast<std::size_t>(r)];
    name = L"/" + rec.name + name;
    if (name.size() > Longest) return L"..." + name.substr(name.size() - Longest);
    if (r == root_) break;
    r = rec.logicalParent;
  }
  return name;
}

void Reader::readLogicalTree() {
  // In document order: a parent named by its full name comes before its
  // children (the names of what comes later are not known yet); one named
  // by its id may come anywhere.
  // "/" is the name of every entity without a parent: it names none.
  if (const Json* given = find(root_, "fullName"); given && given->is_string() && *given != "/")
    rootFullName_ = *given;
  savedNames_ = true;
  for (std::size_t i = 0; i < records_.size() && savedNames_; ++i)
    savedNames_ = find(static_cast<int>(i), "id") && find(static_cast<int>(i), "fullName");
  for (std::size_t i = 0; i < records_.size(); ++i) {
    const int r = static_cast<int>(i);
    Record& rec = records_[i];
    rec.utf8Name = KVRToUtf8(rec.name);
    const Json* parent = find(r, "logicalParent");
    if (r != root_ && parent && !parent->is_null()) {
      if (parent->is_string() && (savedNames_ || named(parent->get<std::string>()) == None))
        refuse(r, "logicalParent",
               L"no record before this one has the full name \"" + KVRFromUtf8(parent->get<std::string>()) +
                   L"\" (an entity outside the document cannot be linked to)");
      rec.logicalParent = reference(r, parent, "logicalParent");
      if (rec.logicalParent == r) refuse(r, "logicalParent", L"names the record itself");
    }
    if (rec.logicalParent == None)
      tops_.emplace(rec.utf8Name, r);
    else
      children_.emplace(childKey(rec.logicalParent, rec.utf8Name), r);
  }
  logicalLevels_ = levels([&](int r) { return records_[static_cast<std::size_t>(r)].logicalParent; },
                          "logicalParent", L"logical");
}

template <class Parent>
std::vector<std::vector<int>> Reader::levels(Parent parentOf, const char* field, const wchar_t* kind) const {
  // Depth of each record, found walking up until a record of known depth;
  // a record met twice on one walk closes a cycle.
  std::vector<int> depth(records_.size(), -1);
  std::vector<int> walk;
  std::vector<char> onWalk(records_.size(), 0);
  for (std::size_t i = 0; i < records_.size(); ++i) {
    walk.clear();
    int r = static_cast<int>(i);
    while (r != None && depth[static_cast<std::size_t>(r)] < 0) {
      if (onWalk[static_cast<std::size_t>(r)])
        refuse(r, field, std::wstring(L"closes a cycle of ") + kind + L" parents");
      onWalk[static_cast<std::size_t>(r)] = 1;
      walk.push_back(r);
      r = parentOf(r);
    }
    int d = r == None ? 0 : depth[static_cast<std::size_t>(r)] + 1;
    for (auto it = walk.rbegin(); it != walk.rend(); ++it, ++d) {
      if (d > options_.maxDepth)
        refuse(*it, field,
               std::wstring(L"lies deeper in the ") + kind + L" tree than the " +
                   std::to_wstring(options_.maxDepth) + L" levels a cell may have");
      depth[static_cast<std::size_t>(*it)] = d;
      onWalk[static_cast<std::size_t>(*it)] = 0;
    }
  }
  std::vector<std::vector<int>> byDepth;
  for (std::size_t i = 0; i < records_.size(); ++i) {
    const auto d = static_cast<std::size_t>(depth[i]);
    if (byDepth.size() <= d) byDepth.resize(d + 1);
    byDepth[d].push_back(static_cast<int>(i));
  }
  return byDepth;
}

Connection Reader::readConnection(int r, const Json& j, const std::string& field, int outer) const {
  Connection c;
  c.field = field;
  if (const auto cls = j.find("class"); cls != j.end()) {
    c.info = nullptr;
    for (const KVRClassInfo* info : LibraryClasses)
      if (*cls == info->getClassName()) c.info = info;
    for (const KVRClassInfo* info : options_.classes)
      if (info && *cls == info->getClassName()) c.info = info;
    if (!c.info || !derives(c.info, KVRBasicConnection3D::ClassInfo_) || !c.info->hasFactory())
      refuse(r, field + ".class", L"is not a connection class this program can make");
  }
  if (const auto name = j.find("name"); name != j.end()) {
    if (!name->is_string()) refuse(r, field + ".name", L"is not a string");
    c.name = KVRFromUtf8(name->get<std::string>());
  }
  const auto body = [&](const char* key) {
    return referenceOf(r, j, key, field + "." + key, KVRBasicBody3D::ClassInfo_, L"a body");
  };
  const auto frame = [&](const char* key) {
    return referenceOf(r, j, key, field + "." + key, KVRBasicFrame3D::ClassInfo_, L"a frame");
  };
  c.innerBody = body("innerBody");
  c.outerBody = body("outerBody");
  if (c.outerBody == None) c.outerBody = outer;
  c.innerFrame = frame("innerFrame");
  c.outerFrame = frame("outerFrame");
  c.connected = flag(r, j, "connected", c.innerBody != None, field + ".connected");
  if (c.connected && (c.innerBody == None || c.outerBody == None))
    refuse(r, field, L"a connected connection names an inner and an outer body");
  if ((c.innerFrame == None) != (c.outerFrame == None))
    refuse(r, field, L"a connection between frames names both frames");
  for (const char* key : {"innerOffset", "outerOffset", "relative"}) {
    const auto it = j.find(key);
    if (it == j.end() || it->is_null()) continue;
    const Xform x = pose(r, *it, field + "." + key);
    if (key[0] == 'i') c.innerOffset = x;
    if (key[0] == 'o') c.outerOffset = x;
    if (key[0] == 'r') c.relative = x, c.hasRelative = true;
  }
  return c;
}

void Reader::readConnections() {
  std::vector<int> recordConnection(records_.size(), None);
  for (std::size_t i = 0; i < records_.size(); ++i) {
    const int r = static_cast<int>(i);
    if (!derives(records_[i].info, KVRBasicConnection3D::ClassInfo_)) continue;
    const Json* s = section(r, "connection");
    Connection c = s ? readConnection(r, *s, "connection") : Connection{};
    c.record = r;
    c.field = "connection";
    c.info = records_[i].info;
    c.name = records_[i].name;
    recordConnection[i] = static_cast<int>(connections_.size());
    connections_.push_back(std::move(c));
  }
  // Which connection each body hangs on: the record its section names, or
  // the connection its section describes; a body without a section hangs on
  // the one connection record that names it as outer body.
  std::vector<int> hangsOn(records_.size(), None);
  for (std::size_t i = 0; i < records_.size(); ++i) {
    const int r = static_cast<int>(i);
    if (!derives(records_[i].info, KVRBasicBody3D::ClassInfo_)) continue;
    const Json* b = section(r, "body");
    const auto described = b ? b->find("connection") : Json::const_iterator();
    if (!b || described == b->end()) {
      hangsOn[i] = -2;  // decided below, from the connection records
      continue;
    }
    if (described->is_null()) continue;
    if (!described->is_object()) refuse(r, "body.connection", L"is not an object or null");
    int record = None;
    if (const auto named = described->find("record"); named != described->end()) {
      record = referenceOf(r, *described, "record", "body.connection.record",
                           KVRBasicConnection3D::ClassInfo_, L"a connection");
    } else if (version_ < 2) {
      // Version 1 does not say: a connection record of the same name that hangs this body.
      const std::string name = text(r, *described, "name", "", "body.connection.name");
      for (const Connection& c : connections_)
        if (c.outerBody == r && KVRToUtf8(c.name) == name) record = c.record;
    }
    if (record != None) {
      hangsOn[i] = recordConnection[static_cast<std::size_t>(record)];
      continue;
    }
    Connection c = readConnection(r, *described, "body.connection", r);
    c.body = r;
    if (!c.connected) refuse(r, "body.connection", L"a body hangs on a connected connection");
    hangsOn[i] = static_cast<int>(connections_.size());
    connections_.push_back(std::move(c));
  }
  // A body whose section does not say hangs on the one connected record that
  // names it as outer body; two such records leave it undecided.
  std::vector<char> implicit(records_.size(), 0);
  for (std::size_t i = 0; i < records_.size(); ++i) implicit[i] = hangsOn[i] == -2;
  for (std::size_t k = 0; k < connections_.size(); ++k) {
    const Connection& c = connections_[k];
    if (c.record == None || !c.connected || !implicit[static_cast<std::size_t>(c.outerBody)]) continue;
    int& hanging = hangsOn[static_cast<std::size_t>(c.outerBody)];
    if (hanging >= 0)
      refuse(c.outerBody, "body",
             L"the body hangs on two connections: records " +
                 std::to_wstring(records_[static_cast<std::size_t>(connections_[hanging].record)].id) +
                 L" and " + std::to_wstring(records_[static_cast<std::size_t>(c.record)].id));
    hanging = static_cast<int>(k);
  }
  for (std::size_t i = 0; i < records_.size(); ++i) {
    if (hangsOn[i] < 0) continue;
    const int r = static_cast<int>(i);
    const Connection& c = connections_[static_cast<std::size_t>(hangsOn[i])];
    if (c.outerBody != r || !c.connected)
      refuse(r, "body.connection", L"the connection it hangs on does not connect it as its outer body");
    records_[i].connection = hangsOn[i];
  }
}

void Reader::readSpatialTree() {
  for (std::size_t i = 0; i < records_.size(); ++i) {
    const int r = static_cast<int>(i);
    Record& rec = records_[i];
    if (!rec.spatial) continue;
    const int parent = referenceOf(r, *rec.json, "spatialParent", "spatialParent",
                                   KVRBasicEntity3D::ClassInfo_, L"a 3-D entity");
    if (parent == r) refuse(r, "spatialParent", L"names the record itself");
    if (rec.connection != None) {
      const int inner = connections_[static_cast<std::size_t>(rec.connection)].innerBody;
      if (parent != None && parent != inner)
        refuse(r, "spatialParent", L"is not the inner body of the connection the body hangs on");
      rec.spatialParent = inner;
    } else {
      rec.spatialParent = parent;
    }
  }
  spatialLevels_ = levels([&](int r) { return records_[static_cast<std::size_t>(r)].spatialParent; },
                          "spatialParent", L"spatial");
}

void Reader::requireHeld() const {
  std::vector<std::vector<int>> held(records_.size());
  for (std::size_t i = 0; i < records_.size(); ++i) {
    const Record& rec = records_[i];
    for (const int holder : {rec.logicalParent, rec.spatialParent})
      if (holder != None) held[static_cast<std::size_t>(holder)].push_back(static_cast<int>(i));
    if (rec.connection != None)
      if (const int c = connections_[static_cast<std::size_t>(rec.connection)].record; c != None)
        held[i].push_back(c);
  }
  std::vector<char> reached(records_.size(), 0);
  std::vector<int> stack{root_};
  reached[static_cast<std::size_t>(root_)] = 1;
  while (!stack.empty()) {
    const int r = stack.back();
    stack.pop_back();
    for (const int next : held[static_cast<std::size_t>(r)])
      if (!reached[static_cast<std::size_t>(next)]) {
        reached[static_cast<std::size_t>(next)] = 1;
        stack.push_back(next);
      }
  }
  for (std::size_t i = 0; i < records_.size(); ++i)
    if (!reached[i])
      refuse(static_cast<int>(i), "logicalParent",
             L"nothing below the root holds the record: it is neither a logical nor a spatial descendant");
}

// --- Building ------------------------------------------------------------------------------

void Reader::createEntities() {
  for (std::size_t i = 0; i < records_.size(); ++i) {
    Record& rec = records_[i];
    const int r = static_cast<int>(i);
    rec.entity = Entity(dynamic_cast<KVRBasicEntity*>(rec.info->createObject()));
    if (!rec.entity) refuse(r, "class", L"does not make an entity");
    rec.entity3D = dynamic_cast<KVRBasicEntity3D*>(rec.entity.get());
    at(r, "name", [&] { rec.entity->setEntityName(rec.name); });
    const Json* properties = find(r, "properties");
    at(r, "", [&] { KVRRestoreProperties(*rec.entity, properties ? *properties : Json()); });
  }
}

void Reader::linkLogically() {
  // A world joins the universe first: its entities take their full names
  // below it as they are linked.
  const Entity& root = records_[static_cast<std::size_t>(root_)].entity;
  if (options_.addToUniverse && as<KVRBasicWorld>(root)) {
    at(root_, "", [&] { KVRBasicUniverse::getUniverse()->addEntity(root); });
    addedToUniverse_ = true;
  }
  // Parents first, so that names and ancestor lists are right as they are
  // linked; siblings in document order, which is their order as children.
  for (const auto& level : logicalLevels_)
    for (const int r : level) {
      const Record& rec = records_[static_cast<std::size_t>(r)];
      if (rec.logicalParent == None) continue;
      at(r, "logicalParent",
         [&] { records_[static_cast<std::size_t>(rec.logicalParent)].entity->addLogicalChild(rec.entity); });
    }
}

void Reader::placeRelatively() {
  // Frames, tag points, paths and classes of the program's own keep their
  // relative location; a body's is its connection's.
  for (std::size_t i = 0; i < records_.size(); ++i) {
    Record& rec = records_[i];
    const int r = static_cast<int>(i);
    if (!rec.spatial || derives(rec.info, KVRBasicBody3D::ClassInfo_)) continue;
    const Json* relative = find(r, "relative");
    const Json* base = find(r, "base");
    if ((!relative || relative->is_null()) && rec.spatialParent == None) relative = base;
    if (!relative || relative->is_null()) continue;
    Xform location = pose(r, *relative, "relative");
    at(r, "relative", [&] {
      if (rec.entity3D->setRelativeLocation(location) == 0)
        throw KVREInvalidRelation(L"%1 refuses its relative location") << rec.entity->getEntityTitle();
    });
  }
}

void Reader::linkSpatially() {
  // Parents first, as the logical tree; a body hangs through its connection.
  for (const auto& level : spatialLevels_)
    for (const int r : level) {
      const Record& rec = records_[static_cast<std::size_t>(r)];
      if (rec.spatialParent == None) continue;
      const Record& parent = records_[static_cast<std::size_t>(rec.spatialParent)];
      if (rec.connection != None) {
        const auto& made = connections_[static_cast<std::size_t>(rec.connection)].made;
        at(r, "body.connection",
           [&] { as<KVRBasicBody3D>(rec.entity)->setInnerBody(as<KVRBasicBody3D>(parent.entity), made); });
      } else {
        at(r, "spatialParent",
           [&] { parent.entity3D->addSpatialChild(KVRSharedHandle<KVRBasicEntity3D>(rec.entity3D)); });
      }
    }
}

void Reader::connect() {
  const auto bodyOf = [&](int r) { return as<KVRBasicBody3D>(records_[static_cast<std::size_t>(r)].entity); };
  const auto frameOf = [&](int r) {
    return as<KVRBasicFrame3D>(records_[static_cast<std::size_t>(r)].entity);
  };
  for (Connection& c : connections_) {
    const int r = c.record != None ? c.record : c.body;
    at(r, c.field, [&] {
      if (c.record != None) {
        c.made = as<KVRBasicConnection3D>(records_[static_cast<std::size_t>(r)].entity);
      } else {
        c.made = KVRSharedHandle<KVRBasicConnection3D>(
            dynamic_cast<KVRBasicConnection3D*>(c.info->createObject()));
        c.made->setEntityName(c.name);
      }
      if (!c.connected) {
        if (c.hasRelative) c.made->setCachedRelativeLocation(c.relative);
        return;
      }
      if (c.innerFrame != None) {
        c.made->connectBodies(frameOf(c.innerFrame), frameOf(c.outerFrame));
        if (c.made->getInnerBody() != bodyOf(c.innerBody) || c.made->getOuterBody() != bodyOf(c.outerBody))
          throw KVREInvalidRelation(L"its frames are not those of its inner and outer bodies");
      } else {
        c.made->connectBodies(bodyOf(c.innerBody), bodyOf(c.outerBody), c.innerOffset, c.outerOffset);
      }
      c.made->setInnerOffset(c.innerOffset);
      c.made->setOuterOffset(c.outerOffset);
      // An attachment written without its relative location holds the
      // outer body as attaching does: its variable location is the identity.
      if (c.hasRelative)
        c.made->setCachedRelativeLocation(c.relative);
      else if (derives(c.info, KVRBasicAttachment3D::ClassInfo_))
        c.made->setCachedRelativeLocation(
            KVRBasicConnection3D::calcRelativeLocation(c.innerOffset, Xform(), c.outerOffset));
    });
  }
}

void Reader::restoreBodies() {
  for (std::size_t i = 0; i < records_.size(); ++i) {
    const int r = static_cast<int>(i);
    const Record& rec = records_[i];
    const auto body = as<KVRBasicBody3D>(rec.entity);
    if (!body) continue;
    const Json* b = section(r, "body");
    if (rec.connection != None) {
      const Connection& c = connections_[static_cast<std::size_t>(rec.connection)];
      if (b && flag(r, *b, "attached", false, "body.attached")) body->setAttachment(c.made);
    } else if (b && flag(r, *b, "attached", false, "body.attached")) {
      refuse(r, "body.attached", L"a body that hangs on no connection is not attached");
    }
    if (!b) continue;
    const int original = referenceOf(r, *b, "innerBodyOriginal", "body.innerBodyOriginal",
                                     KVRBasicBody3D::ClassInfo_, L"a body");
    const int home =
        referenceOf(r, *b, "homeAttachBody", "body.homeAttachBody", KVRBasicBody3D::ClassInfo_, L"a body");
    if (original != None)
      body->setInnerBodyOriginal(as<KVRBasicBody3D>(records_[static_cast<std::size_t>(original)].entity));
    if (home != None)
      body->setHomeAttachBody(as<KVRBasicBody3D>(records_[static_cast<std::size_t>(home)].entity));
    if (const auto state = b->find("transientState"); state != b->end()) {
      if (!state->is_number_integer()) refuse(r, "body.transientState", L"is not a whole number");
      body->setTransientState(state->get<int>());
    }
  }
}

void Reader::setBases() {
  // Parents before children: by spatial depth.
  std::vector<int> depth(records_.size(), 0);
  std::vector<std::vector<int>> byDepth(1);
  // Depths by walking up once per record, memoized (the tree is acyclic and bounded).
  std::vector<char> known(records_.size(), 0);
  for (std::size_t i = 0; i < records_.size(); ++i) {
    std::vector<int> walk;
    int r = static_cast<int>(i);
    while (r != None && !known[static_cast<std::size_t>(r)]) {
      walk.push_back(r);
      r = records_[static_cast<std::size_t>(r)].spatialParent;
    }
    int d = r == None ? 0 : depth[static_cast<std::size_t>(r)] + 1;
    for (auto it = walk.rbegin(); it != walk.rend(); ++it, ++d) {
      depth[static_cast<std::size_t>(*it)] = d;
      known[static_cast<std::size_t>(*it)] = 1;
      if (byDepth.size() <= static_cast<std::size_t>(d)) byDepth.resize(static_cast<std::size_t>(d) + 1);
      byDepth[static_cast<std::size_t>(d)].push_back(*it);
    }
  }
  for (const auto& level : byDepth)
    for (const int r : level) {
      Record& rec = records_[static_cast<std::size_t>(r)];
      if (!rec.spatial) continue;
      const Record* parent =
          rec.spatialParent == None ? nullptr : &records_[static_cast<std::size_t>(rec.spatialParent)];
      // A parent whose base location changed without a flush had not moved
      // its children yet: theirs are computed, not taken.
      if (parent) {
        const Json* events = find(rec.spatialParent, "events");
        bool pending = false;
        if (events && events->is_array())
          for (const Json& bit : *events) pending = pending || bit == KVRBasicEntity3D::BaseLocationChanged;
        rec.staleBase = parent->staleBase || pending;
      }
      at(r, "base", [&] {
        if (parent) rec.entity3D->updateParentLocation(parent->entity3D->getBaseLocation());
        const Json* base = find(r, "base");
        if (base && !base->is_null() && !rec.staleBase) {
          const Xform given = pose(r, *base, "base");
          if (!(given == rec.entity3D->getBaseLocation())) rec.entity3D->setCachedBaseLocation(given);
        } else if (!parent && derives(rec.info, KVRBasicBody3D::ClassInfo_)) {
          const Json* relative = find(r, "relative");
          if (relative && !relative->is_null())
            rec.entity3D->setCachedBaseLocation(pose(r, *relative, "relative"));
        }
      });
    }
}

void Reader::restoreRoutes() {
  // Before the base locations are set: a path takes a point without parents
  // as its child, which a point recorded without them is not.
  for (std::size_t i = 0; i < records_.size(); ++i) {
    const int r = static_cast<int>(i);
    const Record& rec = records_[i];
    if (const auto path = as<KVRBasicPath3D>(rec.entity)) {
      const Json* s = section(r, "path");
      const auto points = s ? s->find("points") : Json::const_iterator();
      if (!s || points == s->end()) continue;
      if (!points->is_array()) refuse(r, "path.points", L"is not a list");
      for (std::size_t k = 0; k < points->size(); ++k) {
        const std::string field = "path.points[" + std::to_string(k) + "]";
        const int point = referenceOf(r, (*points)[k], field, KVRBasicTagPoint3D::ClassInfo_, L"a tag point");
        if (point == None) refuse(r, field, L"is null");
        at(r, field, [&] {
          path->_addTagPoint(as<KVRBasicTagPoint3D>(records_[static_cast<std::size_t>(point)].entity));
        });
      }
    }
  }
  for (const Record& rec : records_) {
    if (!as<KVRBasicTagPoint3D>(rec.entity)) continue;
    if (rec.logicalParent == None && rec.entity->hasLogicalParent()) rec.entity->removeLogicalParent();
    if (rec.spatialParent == None && rec.entity3D->hasSpatialParent()) rec.entity3D->removeSpatialParent();
  }
}

void Reader::restoreTagPoints() {
  for (std::size_t i = 0; i < records_.size(); ++i) {
    const int r = static_cast<int>(i);
    const Record& rec = records_[i];
    const auto point = as<KVRBasicTagPoint3D>(rec.entity);
    const Json* s = point ? section(r, "tagPoint") : nullptr;
    if (!s) continue;
    const std::string timing = text(r, *s, "timing", "duration", "tagPoint.timing");
    if (timing != "duration" && timing != "velocity")
      refuse(r, "tagPoint.timing", L"is not \"duration\" or \"velocity\"");
    const bool velocity = timing == "velocity";
    if (const auto d = s->find("duration"); d != s->end())
      point->setDuration(time(r, *d, "tagPoint.duration"));
    if (const auto v = s->find("velocity"); v != s->end() && (velocity || s->find("timing") == s->end()))
      at(r, "tagPoint.velocity", [&] { point->setVelocity(number(r, *v, "tagPoint.velocity")); });
    if (!velocity && s->find("duration") != s->end()) point->setDuration(point->getDuration());
    if (flag(r, *s, "locked", false, "tagPoint.locked")) point->lockRelativeLocation();
    const auto frames = s->find("referenceFrames");
    if (frames == s->end() || frames->is_null()) continue;
    if (!frames->is_object()) refuse(r, "tagPoint.referenceFrames", L"is not an object or null");
    KVRSharedHandle<KVRMfgAssemblyTagPointExt> extension(new KVRMfgAssemblyTagPointExt);
    at(r, "tagPoint.referenceFrames", [&] { point->addExtension(extension); });
    const auto first = frames->find("first"), second = frames->find("second");
    if (!flag(r, *frames, "set", true, "tagPoint.referenceFrames.set")) {
      // Frames never set sit on the tag point once it has moved since the
      // extension came: at its base location then, at the origin before.
      if (first != frames->end() && !first->is_null() &&
          pose(r, *first, "tagPoint.referenceFrames.first") == point->getBaseLocation()) {
        std::bitset<64> moved;
        moved.set(KVRBasicEntity3D::BaseLocationChanged);
        extension->onEvent(KVRSharedConstPointer<KVRBasicTagPoint3D>(point.get()), moved);
      }
      continue;
    }
    if (first == frames->end() || second == frames->end())
      refuse(r, "tagPoint.referenceFrames", L"a set pair of reference frames has \"first\" and \"second\"");
    const Xform f1 = pose(r, *first, "tagPoint.referenceFrames.first");
    const Xform f2 = pose(r, *second, "tagPoint.referenceFrames.second");
    at(r, "tagPoint.referenceFrames", [&] { extension->setReferenceFrame(f1, f2); });
  }
}

void Reader::restoreRelations() {
  for (std::size_t i = 0; i < records_.size(); ++i) {
    const int r = static_cast<int>(i);
    const Record& rec = records_[i];
    const auto entity3D = [&](int target) {
      return as<KVRBasicEntity3D>(records_[static_cast<std::size_t>(target)].entity);
    };
    if (const auto relationship = as<KVRBasicRelationship3D>(rec.entity)) {
      const Json* s = section(r, "relationship");
      if (!s) continue;
      const int inner = referenceOf(r, *s, "innerEntity", "relationship.innerEntity",
                                    KVRBasicEntity3D::ClassInfo_, L"a 3-D entity");
      const int outer = referenceOf(r, *s, "outerEntity", "relationship.outerEntity",
                                    KVRBasicEntity3D::ClassInfo_, L"a 3-D entity");
      const auto sync = s->find("syncMode");
      if (sync != s->end() && !(sync->is_number_integer() && (*sync == 0 || *sync == 1)))
        refuse(r, "relationship.syncMode", L"is not 0 (synchronise when set) or 1 (do not)");
      const auto mode = sync != s->end() && *sync == 1 ? KVRBasicRelationship3D::NoSyncOnSet
                                                       : KVRBasicRelationship3D::SyncOnSet;
      if (flag(r, *s, "set", inner != None, "relationship.set")) {
        if (inner == None || outer == None)
          refuse(r, "relationship", L"a set relationship names both entities");
        // Set as saved, without enforcing the rule: the entities stand where they stood.
        relationship->setSyncMode(KVRBasicRelationship3D::NoSyncOnSet);
        at(r, "relationship", [&] { relationship->setRelationship(entity3D(inner), entity3D(outer)); });
      }
      relationship->setSyncMode(mode);
    }
    if (const auto camera = as<KVRBasicCamera3D>(rec.entity)) {
      const Json* s = section(r, "camera");
      if (!s) continue;
      const int relationship = referenceOf(r, *s, "relationship", "camera.relationship",
                                           KVRBasicRelationship3D::ClassInfo_, L"a relationship");
      if (relationship != None)
        at(r, "camera.relationship", [&] {
          camera->setRelationship(
              as<KVRBasicRelationship3D>(records_[static_cast<std::size_t>(relationship)].entity));
        });
    }
  }
}

void Reader::restoreGroups() {
  for (std::size_t i = 0; i < records_.size(); ++i) {
    const int r = static_cast<int>(i);
    const auto group = as<KVRBasicGroup3D>(records_[i].entity);
    const Json* s = group ? section(r, "group") : nullptr;
    if (!s) continue;
    // Activating records where the members stand: done before they are listed.
    if (flag(r, *s, "active", false, "group.active")) group->activate();
    const auto members = s->find("members");
    if (members == s->end()) continue;
    if (!members->is_array()) refuse(r, "group.members", L"is not a list");
    for (std::size_t k = 0; k < members->size(); ++k) {
      const std::string field = "group.members[" + std::to_string(k) + "]";
      const Json& entry = (*members)[k];
      const Json& target = entry.is_object() ? entry.value("entity", Json()) : entry;
      const int member = referenceOf(r, target, field, KVRBasicEntity3D::ClassInfo_, L"a 3-D entity");
      if (member == None) refuse(r, field, L"names no member");
      const auto handle = as<KVRBasicEntity3D>(records_[static_cast<std::size_t>(member)].entity);
      const auto relative = entry.is_object() ? entry.find("relative") : entry.end();
      if (!entry.is_object() || relative == entry.end() || relative->is_null()) {
        at(r, field, [&] { group->addEntity(handle); });  // written by hand: carried from where it stands
        continue;
      }
      const KVRBasicGroup3D::GroupSubEntry saved(
          handle, pose(r, *relative, field + ".relative"),
          flag(r, entry, "propagating", true, field + ".propagating") ? 1 : 0,
          flag(r, entry, "alwaysActive", false, field + ".alwaysActive") ? 1 : 0);
      at(r, field, [&] { group->restoreEntity(saved); });
    }
  }
}

void Reader::restorePlanners() {
  for (std::size_t i = 0; i < records_.size(); ++i) {
    const int r = static_cast<int>(i);
    const auto shuttle = as<KVRBasicShuttle3D>(records_[i].entity);
    const Json* s = shuttle ? section(r, "shuttle") : nullptr;
    if (!s || !flag(r, *s, "planner", s->contains("path"), "shuttle.planner")) continue;
    const int path = referenceOf(r, *s, "path", "shuttle.path", KVRBasicPath3D::ClassInfo_, L"a path");
    std::vector<KVRSimTime> times;
    if (const auto list = s->find("times"); list != s->end() && !list->is_null()) {
      if (!list->is_array()) refuse(r, "shuttle.times", L"is not a list");
      for (std::size_t k = 0; k < list->size(); ++k)
        times.push_back(time(r, (*list)[k], "shuttle.times[" + std::to_string(k) + "]"));
    }
    KVRSimTime start, end;
    if (const auto span = s->find("span"); span != s->end()) {
      if (!span->is_array() || span->size() != 2) refuse(r, "shuttle.span", L"is not a list of two times");
      start = time(r, (*span)[0], "shuttle.span");
      end = time(r, (*span)[1], "shuttle.span");
    } else if (!times.empty()) {
      start = times.front();
      end = times.back();
    }
    const KVRSharedHandle<KVRShuttlePlannerExt> planner(new KVRShuttlePlannerExt);
    at(r, "shuttle.planner", [&] { shuttle->addExtension(planner); });
    // The custom flag shapes the plan: set before planning.
    if (const auto scheduled = s->find("scheduledStart"); scheduled != s->end() && !scheduled->is_null())
      planner->setScheduledStart(time(r, *scheduled, "shuttle.scheduledStart"));
    if (const auto custom = s->find("customFlag"); custom != s->end()) {
      if (!custom->is_number_integer()) refuse(r, "shuttle.customFlag", L"is not a whole number");
      planner->setCustomFlag(custom->get<int>());
    }

    at(r, "shuttle.path", [&] {
      if (path != None)
        planner->setPath(as<KVRBasicPath3D>(records_[static_cast<std::size_t>(path)].entity), start, end);
      else
        planner->setPoints(start, end);
    });
    const auto distance = s->find("distance");
    const bool given = s->contains("times") && !s->at("times").is_null();
    if (given)
      at(r, "shuttle.times", [&] {
        planner->restoreTimes(times, distance == s->end() ? 0.0 : number(r, *distance, "shuttle.distance"));
      });
    if (const auto located = s->find("shuttlePath"); located != s->end() && !located->is_null()) {
      const Xform X_SP = pose(r, *located, "shuttle.shuttlePath");
      planner->setShuttlePathXform(X_SP);
    }
  }
}

void Reader::quieten() {
  for (Record& rec : records_) rec.entity->clearEvents();
  for (Connection& c : connections_)
    if (c.made) c.made->clearEvents();
}

void Reader::undo() noexcept {
  if (addedToUniverse_) {
    try {
      KVRBasicUniverse::getUniverse()->removeLogicalChild(records_[static_cast<std::size_t>(root_)].entity);
    } catch (...) {
    }
  }
  // Orphaning breaks every link, so that what was built is freed.
  for (Connection& c : connections_)
    if (c.made) c.made->orphanObject();
  for (Record& rec : records_)
    if (rec.entity) rec.entity->orphanObject();
}

void Reader::build() {
  createEntities();
  linkLogically();
  placeRelatively();
  connect();
  linkSpatially();
  restoreBodies();
  restoreRoutes();
  setBases();
  restoreTagPoints();
  restoreRelations();
  restoreGroups();
  restorePlanners();
  // Each world's time; the document's time stands for a root world's
  // section that gives none.
  for (std::size_t i = 0; i < records_.size(); ++i) {
    const int r = static_cast<int>(i);
    const auto world = as<KVRBasicWorld>(records_[i].entity);
    if (!world) continue;
    const Json* s = section(r, "world");
    const Json* t = s && s->contains("time")              ? &s->at("time")
                    : r == root_ && doc_.contains("time") ? &doc_["time"]
                                                          : nullptr;
    if (!t) continue;
    const KVRSimTime now = time(r, *t, "world.time");
    at(r, "world.time", [&] { world->setSimulationTime(now); });
  }
  Record& root = records_[static_cast<std::size_t>(root_)];
  quieten();
  if (options_.check) {
    const std::vector<std::wstring> found = KVRCheckModel(root.entity);
    if (!found.empty()) refuse(root_, "", L"the cell it describes is not sound: " + found.front());
  }
}

Entity Reader::read() {
  if (!doc_.is_object()) refuseDocument(L"it is not a JSON object");
  const auto format = doc_.find("format");
  if (format == doc_.end() || *format != KVRSnapshot::Format)
    refuseDocument(L"its \"format\" is not \"" + KVRFromUtf8(KVRSnapshot::Format) + L"\"");
  const auto version = doc_.find("version");
  if (version == doc_.end() || !version->is_number_integer() || version->get<long long>() < 1 ||
      version->get<long long>() > KVRSnapshot::Version)
    refuseDocument(L"its \"version\" is not one this program reads (1 to " +
                   std::to_wstring(KVRSnapshot::Version) + L")");
  version_ = version->get<int>();
  const auto entities = doc_.find("entities");
  if (entities == doc_.end() || !entities->is_array()) refuseDocument(L"it has no list \"entities\"");

  readRecords();
  readLogicalTree();
  readConnections();
  readSpatialTree();
  requireHeld();
  try {
    build();
  } catch (...) {
    undo();
    throw;
  }
  return records_[static_cast<std::size_t>(root_)].entity;
}

}  // namespace

KVRSharedHandle<KVRBasicEntity> KVRReadSnapshot(const nlohmann::json& document,
                                                const KVRSnapshot::ReadOptions& options) {
  return Reader(document, options).read();
}

nlohmann::json KVRParseCellText(std::string_view text, std::size_t maxBytes) {
  if (text.size() > maxBytes)
    throw KVREInvalidArgument(L"The document is not a cell: it holds %1 bytes, more than the %2 allowed")
        << std::to_wstring(text.size()) << std::to_wstring(maxBytes);
  try {
    return nlohmann::json::parse(text);
  } catch (const nlohmann::json::exception& e) {
    throw KVREInvalidArgument(L"The document is not a cell: it is not JSON (%1)") << KVRFromUtf8(e.what());
  }
}
