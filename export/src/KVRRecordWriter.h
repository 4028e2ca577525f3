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
#include <cstdint>
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

// What one class of entity adds to its record, under `key`: either a JSON
// value that `fill` fills in place (it keeps what it held last, so that its
// room is reused), or, for a section whose keys never change, a `skeleton`
// with KVRJsonText::hole() for each value and a `write` that writes the
// values in their order with the writer's value functions.
struct KVRRecordSection {
  const KVRClassInfo* classInfo;  // this class and the classes derived from it
  const char* key;
  void (*fill)(const KVRBasicEntity& entity, KVRJson& section, const KVRRecordWriter& writer);
  KVRJson (*skeleton)() = nullptr;
  void (*write)(const KVRBasicEntity& entity, KVRRecordWriter& writer) = nullptr;
};

// The sections, in the order they appear in a record.
const std::vector<KVRRecordSection>& KVRRecordSections();

// The compact text of a JSON value as nlohmann writes it, cut at its
// placeholders: hole() stands for a whole value, textHole() for the
// characters of a string (its quotes stay in the text). `pieces` holds the
// text before each placeholder and, last, the text after them all.
struct KVRJsonText {
  static KVRJson hole();
  static KVRJson textHole();
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

  // The next value of a section written around its values.
  void text(std::string_view value);
  void number(double value);
  void boolean(bool value);
  void value(const KVRJson& value);

  // How a record refers to another entity: its id when the scene holds it,
  // else its full name; null for none.
  void setReference(KVRJson& slot, const KVRBasicEntity* entity) const;
  KVRJson reference(const KVRBasicEntity* entity) const;
  // Whether the document holds a record of `entity`.
  bool holds(const KVRBasicEntity* entity) const { return scene_.indexOf(entity) >= 0; }
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
  // Writes the number at `out`, which has room for MaxNumber characters;
  // returns the end of what it wrote.
  char* formatNumber(double value, char* out);
  static constexpr std::size_t MaxNumber = 32;
  void writeReference(int sceneIndex, const KVRBasicEntity* entity);
  void writeLocation(const KVRBasicXform3D<double>& location);
  // The characters of the external full name of the entity at `index`,
  // whose escaped base name was just written from `nameAt` to `nameEnd`
  // (with its quotes).
  void writeFullName(std::size_t index, std::size_t nameAt, std::size_t nameEnd);

  const KVRExportScene& scene_;
  const KVRSimTime time_;
  std::unordered_map<const KVRClassInfo*, std::unique_ptr<Shape>> shapes_;
  std::string text_;
  // Writes into text_.
  std::unique_ptr<nlohmann::detail::serializer<KVRJson>> serializer_;
  // A string value whose room is kept, for the strings written.
  KVRJson string_ = "";
  KVRJson events_ = KVRJson::array();
  std::string null_, emptyArray_, separator_, true_, false_;
  // The next piece of the record being written.
  std::vector<std::string>::const_iterator piece_;

  // An entity's full name is its logical parent's, a separator and its own
  // name, while the model's names are up to date: records come parents
  // first, so the escaped full name of the entity last written is kept with
  // the length of each of its ancestors' (of those the scene holds).
  struct Ancestor {
    std::size_t index;
    std::size_t length;  // of its escaped full name, a prefix of fullName_
    bool root;           // its full name is the root's alone: "/"
  };
  std::vector<Ancestor> ancestors_;
  std::string fullName_;
  // The stored full names of the entity being written and of its parent.
  std::wstring storedName_, storedParentName_;

  // Numbers already written, by their bits: a cell has many equal offsets
  // and turns, and formatting a number costs more than finding it here.
  struct NumberText {
    std::uint64_t bits;
    char text[MaxNumber];  // the longest nlohmann writes is 24 characters
    unsigned char length;
  };
  std::vector<NumberText> numbers_;

  // A short piece of text, copied whole into room made for it.
  struct ShortText {
    ShortText() = default;
    explicit ShortText(const std::string& from);
    char* copyTo(char* out) const;
    char text[32] = {};
    std::size_t length = 0;
  };
  // The pieces of a location's text around its ten numbers, then its two endings.
  ShortText locationPieces_[12];
  std::size_t locationRoom_ = 0;
};
