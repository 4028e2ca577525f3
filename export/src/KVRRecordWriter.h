#pragma once

// KVRRecordWriter: the JSON record of each entity of a scene. Every entity
// gets the common part (names, type, class, parents, pending events, and for
// 3-D entities the relative and base locations); each class with data of its
// own adds a section under its key, written by the section functions listed
// in KVRRecordSections.cpp.
//
// nlohmann-json writes every piece of JSON text, but a large world is not
// written by building a tree of JSON values per entity. For each class,
// nlohmann writes the record once with placeholders for the values: the text
// between them (braces, keys, the type and class) is kept, and each record is
// that text with its values written into the gaps, strings through
// nlohmann's serializer (which escapes them) and numbers through nlohmann's
// number formatting. A section is a small JSON value kept per class, filled
// in place and serialized into its gap.

#include <cstddef>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "KVRBasicXform3D.h"
#include "KVRExportScene.h"
#include "KVRSimTime.h"

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

// The compact text of a JSON value as nlohmann writes it, cut at its
// placeholders: the strings equal to KVRJsonText::hole(). `pieces` holds the
// text before each placeholder and, last, the text after them all.
struct KVRJsonText {
  static KVRJson hole();
  explicit KVRJsonText(const KVRJson& value);
  std::vector<std::string> pieces;
};

class KVRRecordWriter {
 public:
  // Records of the entities of `scene` as they stand at simulation time `time`.
  KVRRecordWriter(const KVRExportScene& scene, const KVRSimTime& time);
  ~KVRRecordWriter();
  KVRRecordWriter(const KVRRecordWriter&) = delete;
  KVRRecordWriter& operator=(const KVRRecordWriter&) = delete;

  // Appends the compact record of the entity at `index` to text().
  void append(std::size_t index);
  // The text records are appended to; the caller takes it or clears it.
  std::string& text() { return text_; }

  // The simulation time the records describe.
  const KVRSimTime& time() const { return time_; }

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

  void writeValue(const KVRJson& value);
  // The string in `string_`, escaped and quoted.
  void writeString();
  void writeInteger(long long value);
  void writeNumber(double value);
  void writeReference(int sceneIndex, const KVRBasicEntity* entity);
  void writeLocation(const KVRBasicXform3D<double>& location);

  const KVRExportScene& scene_;
  const KVRSimTime time_;
  std::unordered_map<const KVRClassInfo*, std::unique_ptr<Shape>> shapes_;
  std::string text_;
  // Writes into text_.
  std::unique_ptr<nlohmann::detail::serializer<KVRJson>> serializer_;
  // A string value whose room is kept, for the strings written.
  KVRJson string_ = "";
  KVRJson events_ = KVRJson::array();
  // The location text around its ten numbers, and its two endings.
  KVRJsonText location_;
  std::string finiteEnd_, nonFiniteEnd_;
  std::string null_, emptyArray_;
};
