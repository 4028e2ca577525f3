#pragma once

// KVRRecordWriter: the JSON record of each entity of a scene. Every entity
// gets the common part (names, type, class, parents, pending events, and for
// 3-D entities the relative and base locations); each class with data of its
// own adds a section under its key, written by the section functions listed
// in KVRRecordSections.cpp. Records of one class share a skeleton that is
// filled in place, so a large world is written without building a tree of
// JSON values per entity.

#include <cstddef>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <unordered_map>
#include <vector>

#include "KVRBasicXform3D.h"
#include "KVRExportScene.h"

class KVRRecordWriter;

// Keys keep their insertion order, so every record reads id, names, parents,
// locations, sections.
using KVRJson = nlohmann::ordered_json;

// What one class of entity adds to its record, under `key`.
struct KVRRecordSection {
  const KVRClassInfo* classInfo;  // this class and the classes derived from it
  const char* key;
  void (*fill)(const KVRBasicEntity& entity, KVRJson& section, const KVRRecordWriter& writer);
};

// The sections, in the order they appear in a record.
const std::vector<KVRRecordSection>& KVRRecordSections();

class KVRRecordWriter {
 public:
  explicit KVRRecordWriter(const KVRExportScene& scene);
  ~KVRRecordWriter();

  // Appends the compact record of the entity at `index` to `out`.
  void append(std::size_t index, std::string& out);

  // How a record refers to another entity: its id when the scene holds it,
  // else its full name; null for none.
  void setReference(KVRJson& slot, const KVRBasicEntity* entity) const;
  KVRJson reference(const KVRBasicEntity* entity) const;
  // A location: "position", "quaternion" (w x y z), "rpy" (degrees), and
  // "nonFinite": true when any of them is not a finite number.
  static void setLocation(KVRJson& slot, const KVRBasicXform3D<double>& location);
  // A list of references, replacing the slot's contents.
  template <class Handles>
  void setReferences(KVRJson& slot, const Handles& entities) const {
    if (!slot.is_array()) slot = KVRJson::array();
    auto& list = slot.get_ref<KVRJson::array_t&>();
    list.clear();
    for (const auto& e : entities) list.push_back(reference(e.get()));
  }

 private:
  struct Shape;
  Shape& shapeOf(const KVRBasicEntity& entity);

  const KVRExportScene& scene_;
  std::unordered_map<const KVRClassInfo*, std::unique_ptr<Shape>> shapes_;
  // Each record is serialised into this buffer, whose room is kept.
  std::string buffer_;
  std::unique_ptr<nlohmann::detail::serializer<KVRJson>> serializer_;
};
