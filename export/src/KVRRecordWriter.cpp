#include "KVRRecordWriter.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <stdexcept>

#include "KVRMathConst.h"
#include "KVRMessage.h"

namespace {

constexpr double ToDegrees = 180.0 / KVRMathConst::Pi;
// 2^53: every whole double of smaller magnitude is an exact 64-bit integer.
constexpr double ExactIntegers = 9007199254740992.0;

bool isWhole(double v) {
  return v > -ExactIntegers && v < ExactIntegers && v == static_cast<double>(static_cast<std::int64_t>(v));
}

// The ten numbers of a location: position, quaternion (w x y z), roll pitch
// yaw in degrees (+ 0 turns -0 into 0).
void locationNumbers(const KVRBasicXform3D<double>& location, double (&values)[10]) {
  const auto& p = location.getPosition();
  const auto& q = location.getQtn();
  double roll, pitch, yaw;
  location.getRPY(roll, pitch, yaw);
  const double all[10] = {p.x(),
                          p.y(),
                          p.z(),
                          q.w(),
                          q.x(),
                          q.y(),
                          q.z(),
                          roll * ToDegrees + 0.0,
                          pitch * ToDegrees + 0.0,
                          yaw * ToDegrees + 0.0};
  std::copy(std::begin(all), std::end(all), values);
}

bool allFinite(const double (&values)[10]) {
  bool finite = true;
  for (const double v : values) finite = finite && std::isfinite(v);
  return finite;
}

// A location's skeleton with a placeholder for each number.
KVRJson locationSkeleton() {
  const KVRJson h = KVRJsonText::hole();
  return KVRJson{{"position", {h, h, h}}, {"quaternion", {h, h, h, h}}, {"rpy", {h, h, h}}};
}

}  // namespace

// --- Text with placeholders ---------------------------------------------------

// Control characters, which nlohmann writes escaped: no name or key of a
// record's skeleton reads like these.
KVRJson KVRJsonText::hole() { return "\x01KVR value\x02"; }
KVRJson KVRJsonText::textHole() { return "\x01KVR text\x02"; }

KVRJsonText::KVRJsonText(const KVRJson& value) {
  const std::string text = value.dump();
  const std::string whole = hole().dump(), quoted = textHole().dump();
  const std::string inner = quoted.substr(1, quoted.size() - 2);
  std::size_t from = 0;
  while (true) {
    const std::size_t atWhole = text.find(whole, from), atInner = text.find(inner, from);
    const std::size_t at = std::min(atWhole, atInner);
    if (at == std::string::npos) break;
    pieces.push_back(text.substr(from, at - from));
    from = at + (at == atWhole ? whole : inner).size();
  }
  pieces.push_back(text.substr(from));
}

// --- The records ----------------------------------------------------------------

struct KVRRecordWriter::Shape {
  explicit Shape(const KVRJson& skeleton) : text(skeleton) {}
  // The record's text around its values: id, name, full name, logical
  // parent, for a 3-D entity spatial parent, events, relative and base
  // location, then one per section.
  KVRJsonText text;
  bool spatial = false;
  // Each section's value, kept so that filling it again reuses its room.
  std::vector<std::pair<const KVRRecordSection*, KVRJson>> sections;
};

KVRRecordWriter::KVRRecordWriter(const KVRExportScene& scene, const KVRSimTime& time)
    : scene_(scene),
      time_(time),
      serializer_(std::make_unique<nlohmann::detail::serializer<KVRJson>>(
          nlohmann::detail::output_adapter<char>(text_), ' ', KVRJson::error_handler_t::replace)),
      numbers_(4096, NumberText{0x7FF8000000000001ull, {}, 0}) {  // a NaN: never looked up
  null_ = KVRJson().dump();
  true_ = KVRJson(true).dump();
  false_ = KVRJson(false).dump();
  emptyArray_ = KVRJson::array().dump();
  // The characters of "/" in a string, as nlohmann writes them.
  const std::string slash = KVRJson("/").dump();
  separator_ = slash.substr(1, slash.size() - 2);
  // A location's text around its numbers, and the ending of one that holds
  // a non-finite number.
  const KVRJsonText location(locationSkeleton());
  KVRJson marked = locationSkeleton();
  marked["nonFinite"] = true;
  for (std::size_t i = 0; i < 11; ++i) locationPieces_[i] = ShortText(location.pieces[i]);
  locationPieces_[11] = ShortText(KVRJsonText(marked).pieces.back());
  locationRoom_ = 11 * sizeof(ShortText::text) + 10 * MaxNumber;
}

KVRRecordWriter::~KVRRecordWriter() = default;

KVRRecordWriter::ShortText::ShortText(const std::string& from) : length(from.size()) {
  if (length > sizeof text) throw std::logic_error("a piece of a location's text is too long");
  std::copy(from.begin(), from.end(), text);
}

char* KVRRecordWriter::ShortText::copyTo(char* out) const {
  std::memcpy(out, text, sizeof text);
  return out + length;
}

KVRRecordWriter::Shape& KVRRecordWriter::shapeOf(const KVRBasicEntity& entity) {
  std::unique_ptr<Shape>& shape = shapes_[&entity.getClassInfo()];
  if (shape) return *shape;
  const bool spatial = dynamic_cast<const KVRBasicEntity3D*>(&entity) != nullptr;
  const KVRJson h = KVRJsonText::hole();
  KVRJson r = KVRJson::object();
  r["id"] = h;
  r["name"] = h;
  r["fullName"] = KVRJsonText::textHole();
  r["type"] = KVRToUtf8(entity.getEntityTypeName().scribe(KVRLocale::global()));
  r["class"] = entity.getClassName();
  r["logicalParent"] = h;
  if (spatial) r["spatialParent"] = h;
  r["events"] = h;
  if (spatial) {
    r["relative"] = h;
    r["base"] = h;
  }
  std::vector<const KVRRecordSection*> sections;
  for (const KVRRecordSection& section : KVRRecordSections()) {
    if (!entity.isDerivedFrom(*section.classInfo)) continue;
    r[section.key] = section.skeleton ? section.skeleton() : h;
    sections.push_back(&section);
  }
  shape = std::make_unique<Shape>(r);
  shape->spatial = spatial;
  for (const KVRRecordSection* section : sections) shape->sections.emplace_back(section, KVRJson::object());
  return *shape;
}

void KVRRecordWriter::append(std::size_t index) {
  const KVRBasicEntity& e = scene_.entity(index);
  Shape& shape = shapeOf(e);
  piece_ = shape.text.pieces.cbegin();
  const auto next = [&] { text_ += *piece_++; };

  next();
  writeInteger(scene_.id(index));
  next();
  const std::size_t nameAt = text_.size();
  // The stored full name ends with the base name, after the last separator
  // (a name holds none): read there, it is not copied.
  storedName_.clear();
  e.appendStoredFullName(storedName_);
  const std::wstring_view stored = storedName_;
  KVRAssignUtf8(stored.substr(stored.rfind(KVRBasicEntity::NameSeparator) + 1),
                string_.get_ref<std::string&>());
  writeString();
  const std::size_t nameEnd = text_.size();
  next();
  writeFullName(index, nameAt, nameEnd);

  const int parent = scene_.logicalParentIndex(index);
  const KVRBasicEntity* logicalParent = e.getLogicalParent().get();
  next();
  writeReference(parent, logicalParent);
  const KVRBasicEntity3D* e3 = scene_.entity3D(index);
  if (shape.spatial) {
    const KVRBasicEntity* spatialParent = e3->getSpatialParent().get();
    next();
    // Mostly the spatial parent is the logical one, whose place is known.
    writeReference(spatialParent == logicalParent ? parent : -1, spatialParent);
  }

  next();
  const auto& pending = e.getPendingEvents();
  if (pending.none()) {
    text_ += emptyArray_;
  } else {
    auto& events = events_.get_ref<KVRJson::array_t&>();
    events.clear();
    for (std::size_t bit = 0; bit < pending.size(); ++bit)
      if (pending.test(bit)) events.emplace_back(bit);
    writeValue(events_);
  }

  if (shape.spatial) {
    next();
    writeLocation(e3->getRelativeLocation());
    next();
    writeLocation(e3->getBaseLocation());
  }
  for (auto& [section, value] : shape.sections) {
    if (section->write) {
      section->write(e, *this);
      continue;
    }
    next();
    section->fill(e, value, *this);
    writeValue(value);
  }
  next();
}

void KVRRecordWriter::text(std::string_view value) {
  text_ += *piece_++;
  string_.get_ref<std::string&>().assign(value);
  writeString();
}

void KVRRecordWriter::number(double value) {
  text_ += *piece_++;
  char digits[MaxNumber];
  text_.append(digits, static_cast<std::size_t>(formatNumber(value, digits) - digits));
}

void KVRRecordWriter::boolean(bool value) {
  text_ += *piece_++;
  text_ += value ? true_ : false_;
}

void KVRRecordWriter::value(const KVRJson& value) {
  text_ += *piece_++;
  writeValue(value);
}

void KVRRecordWriter::writeValue(const KVRJson& value) { serializer_->dump(value, false, false, 0); }

void KVRRecordWriter::writeString() { serializer_->dump(string_, false, false, 0); }

void KVRRecordWriter::writeInteger(long long value) {
  if (value >= 0 && value < 10) {
    text_ += static_cast<char>('0' + value);
    return;
  }
  char digits[24];
  const auto end = std::to_chars(std::begin(digits), std::end(digits), value).ptr;
  text_.append(digits, static_cast<std::size_t>(end - digits));
}

char* KVRRecordWriter::formatNumber(double value, char* out) {
  // JSON has no NaN or infinity: such a number is written as null.
  if (!std::isfinite(value)) return std::copy(null_.begin(), null_.end(), out);
  if (value == 0) {  // the commonest number of all
    // -0 keeps its sign, which a rotation read back needs (atan2 of -0 and
    // of 0 differ); only a fraction reads back as -0.
    if (std::signbit(value)) return std::copy_n("-0.0", 4, out);
    *out = '0';
    return out + 1;
  }
  // Whole numbers as integers, which are written faster and read the same.
  if (isWhole(value)) return std::to_chars(out, out + MaxNumber, static_cast<std::int64_t>(value)).ptr;
  std::uint64_t bits;
  std::memcpy(&bits, &value, sizeof bits);
  NumberText& known = numbers_[(bits * 0x9E3779B97F4A7C15ull) >> 52];  // 12 bits: 4096 entries
  if (known.bits != bits) {
    char* end = nlohmann::detail::to_chars(known.text, known.text + sizeof known.text, value);
    known.bits = bits;
    known.length = static_cast<unsigned char>(end - known.text);
  }
  // The whole entry in one go: the room left for a number takes it.
  std::memcpy(out, known.text, sizeof known.text);
  return out + known.length;
}

void KVRRecordWriter::writeFullName(std::size_t index, std::size_t nameAt, std::size_t nameEnd) {
  const KVRBasicEntity& e = scene_.entity(index);
  // The ancestors kept end with the parent, or the parent is not among them.
  const int parent = scene_.logicalParentIndex(index);
  while (!ancestors_.empty() && static_cast<int>(ancestors_.back().index) != parent) ancestors_.pop_back();

  const std::wstring& stored = storedName_;  // written by the caller
  bool derived = false;
  if (!ancestors_.empty()) {
    // The stored names: the parent's, then the separator before the base name.
    std::wstring& above = storedParentName_;
    above.clear();
    scene_.entity(static_cast<std::size_t>(parent)).appendStoredFullName(above);
    derived = stored.rfind(KVRBasicEntity::NameSeparator) == above.size() &&
              stored.compare(0, above.size(), above) == 0;
  }
  if (derived) {
    const Ancestor& up = ancestors_.back();
    fullName_.resize(up.root ? 0 : up.length);
    fullName_ += separator_;
    // The base name's characters, as nlohmann escaped them just now.
    fullName_.append(text_, nameAt + 1, nameEnd - nameAt - 2);
  } else {
    // Written whole by nlohmann, then its characters kept; the entity
    // starts a new line of ancestors.
    ancestors_.clear();
    KVRExternalFullName(e, string_.get_ref<std::string&>());
    const std::size_t at = text_.size();
    writeString();
    fullName_.assign(text_, at + 1, text_.size() - at - 2);
    text_.resize(at);
  }
  text_ += fullName_;
  // Only the root's component: its external full name is "/" alone.
  const bool root = stored.find(KVRBasicEntity::NameSeparator, 1) == std::wstring::npos;
  ancestors_.push_back({index, fullName_.size(), root});
}

void KVRRecordWriter::writeReference(int sceneIndex, const KVRBasicEntity* entity) {
  if (sceneIndex < 0 && entity) sceneIndex = scene_.indexOf(entity);
  if (sceneIndex >= 0) {
    writeInteger(scene_.id(static_cast<std::size_t>(sceneIndex)));
  } else if (!entity) {
    text_ += null_;
  } else {
    KVRExternalFullName(*entity, string_.get_ref<std::string&>());
    writeString();
  }
}

void KVRRecordWriter::writeLocation(const KVRBasicXform3D<double>& location) {
  double values[10];
  locationNumbers(location, values);
  // Written through a pointer into room made for the longest text; each
  // piece is copied whole and the pointer moved by its length.
  const std::size_t at = text_.size();
  text_.resize(at + locationRoom_);
  char* out = text_.data() + at;
  for (int i = 0; i < 10; ++i) {
    out = locationPieces_[i].copyTo(out);
    out = formatNumber(values[i], out);
  }
  out = locationPieces_[allFinite(values) ? 10 : 11].copyTo(out);
  text_.resize(static_cast<std::size_t>(out - text_.data()));
}

// --- Sections ----------------------------------------------------------------------

void KVRRecordWriter::setReference(KVRJson& slot, const KVRBasicEntity* entity) const {
  if (!entity) {
    slot = nullptr;
    return;
  }
  const int index = scene_.indexOf(entity);
  if (index >= 0) {
    slot = scene_.id(static_cast<std::size_t>(index));
    return;
  }
  if (!slot.is_string()) slot = "";
  KVRExternalFullName(*entity, slot.get_ref<std::string&>());
}

KVRJson KVRRecordWriter::reference(const KVRBasicEntity* entity) const {
  KVRJson slot;
  setReference(slot, entity);
  return slot;
}

namespace {

KVRJson jsonNumber(double v) {
  if (isWhole(v) && !(v == 0 && std::signbit(v))) return static_cast<std::int64_t>(v);
  return v;
}

// The slot as an array of `n` values, keeping what it holds.
KVRJson::array_t& numbers(KVRJson& slot, std::size_t n) {
  if (!slot.is_array()) slot = KVRJson::array();
  auto& values = slot.get_ref<KVRJson::array_t&>();
  values.resize(n);
  return values;
}

}  // namespace

void KVRRecordWriter::setLocation(KVRJson& slot, const KVRBasicXform3D<double>& location) {
  if (!slot.is_object()) slot = KVRJson::object();
  double values[10];
  locationNumbers(location, values);
  // Every key in place before a value is held: an insertion moves the others.
  for (const char* key : {"position", "quaternion", "rpy"}) slot[key];
  auto& position = numbers(slot["position"], 3);
  auto& quaternion = numbers(slot["quaternion"], 4);
  auto& rpy = numbers(slot["rpy"], 3);
  for (int i = 0; i < 3; ++i) position[i] = jsonNumber(values[i]);
  for (int i = 0; i < 4; ++i) quaternion[i] = jsonNumber(values[3 + i]);
  for (int i = 0; i < 3; ++i) rpy[i] = jsonNumber(values[7 + i]);
  // The serializer writes a NaN or an infinity as null; the location says so.
  if (!allFinite(values)) {
    slot["nonFinite"] = true;
  } else if (slot.contains("nonFinite")) {
    slot.erase("nonFinite");
  }
}
