#pragma once

// The reader of cell files, shared by its two halves: KVRCellReader.cpp
// reads and checks a document (ids, classes, references, both trees, the
// connections bodies hang on) before anything is built, and
// KVRCellBuilder.cpp builds, links, places and quietens the entities.

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
#include "KVRSnapshotReader.h"

namespace kvrcell {

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
inline const KVRClassInfo* const LibraryClasses[] = {
    &KVRBasicEntity::ClassInfo_,        &KVRBasicWorld::ClassInfo_,   &KVRBasicFrame3D::ClassInfo_,
    &KVRBasicBody3D::ClassInfo_,        &KVRBasicPart3D::ClassInfo_,  &KVRBasicCamera3D::ClassInfo_,
    &KVRBasicMfgAssembly3D::ClassInfo_, &KVRBasicGroup3D::ClassInfo_, &KVRBasicShuttle3D::ClassInfo_,
    &KVRBasicTagPoint3D::ClassInfo_,    &KVRBasicPath3D::ClassInfo_,  &KVRBasicAttachment3D::ClassInfo_,
};

inline bool derives(const KVRClassInfo* info, const KVRClassInfo& base) {
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
  // The order in which spatial siblings are linked, by record.
  std::vector<int> spatialRanks() const;
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
  void linkSpatially(bool early);
  void refreshAncestors();
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

}  // namespace kvrcell
