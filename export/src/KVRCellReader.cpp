#include "KVRCellReader.h"

namespace kvrcell {

// --- Refusals ------------------------------------------------------------------------

void Reader::refuse(int r, const std::string& field, const std::wstring& what) const {
  std::wstring record = L"at position " + std::to_wstring(r);
  if (r >= 0 && static_cast<std::size_t>(r) < records_.size()) {
    record = std::to_wstring(records_[static_cast<std::size_t>(r)].id) + L" (\"" + fullNameOf(r) + L"\")";
  }
  throw KVREInvalidArgument(L"Record %1 of the cell, field \"%2\": %3")
      << record << KVRFromUtf8(field) << what;
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

}  // namespace kvrcell

KVRSharedHandle<KVRBasicEntity> KVRReadSnapshot(const nlohmann::json& document,
                                                const KVRSnapshot::ReadOptions& options) {
  return kvrcell::Reader(document, options).read();
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
