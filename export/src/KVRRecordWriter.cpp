#include "KVRRecordWriter.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <iterator>

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

KVRJson KVRJsonText::hole() {
  // Control characters, which nlohmann writes escaped: no name or key of a
  // record's skeleton reads like this.
  return "\x01KVR value\x02";
}

KVRJsonText::KVRJsonText(const KVRJson& value) {
  const std::string text = value.dump();
  const std::string placeholder = hole().dump();
  std::size_t from = 0;
  for (std::size_t at = text.find(placeholder); at != std::string::npos; at = text.find(placeholder, from)) {
    pieces.push_back(text.substr(from, at - from));
    from = at + placeholder.size();
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
      location_(locationSkeleton()) {
  finiteEnd_ = location_.pieces.back();
  KVRJson marked = locationSkeleton();
  marked["nonFinite"] = true;
  nonFiniteEnd_ = KVRJsonText(marked).pieces.back();
  null_ = KVRJson().dump();
  emptyArray_ = KVRJson::array().dump();
}

KVRRecordWriter::~KVRRecordWriter() = default;

KVRRecordWriter::Shape& KVRRecordWriter::shapeOf(const KVRBasicEntity& entity) {
  std::unique_ptr<Shape>& shape = shapes_[&entity.getClassInfo()];
  if (shape) return *shape;
  const bool spatial = dynamic_cast<const KVRBasicEntity3D*>(&entity) != nullptr;
  const KVRJson h = KVRJsonText::hole();
  KVRJson r = KVRJson::object();
  r["id"] = h;
  r["name"] = h;
  r["fullName"] = h;
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
    r[section.key] = h;
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
  auto piece = shape.text.pieces.cbegin();
  const auto next = [&] { text_ += *piece++; };

  next();
  writeInteger(scene_.id(index));
  next();
  KVRAssignUtf8(e.getEntityName(), string_.get_ref<std::string&>());
  writeString();
  next();
  KVRExternalFullName(e, string_.get_ref<std::string&>());
  writeString();

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
    next();
    section->fill(e, value, *this);
    writeValue(value);
  }
  next();
}

void KVRRecordWriter::writeValue(const KVRJson& value) { serializer_->dump(value, false, false, 0); }

void KVRRecordWriter::writeString() { serializer_->dump(string_, false, false, 0); }

void KVRRecordWriter::writeInteger(long long value) {
  char digits[24];
  const auto end = std::to_chars(std::begin(digits), std::end(digits), value).ptr;
  text_.append(digits, end);
}

void KVRRecordWriter::writeNumber(double value) {
  // JSON has no NaN or infinity: such a number is written as null.
  if (!std::isfinite(value)) {
    text_ += null_;
  } else if (isWhole(value)) {
    // Whole numbers as integers, which are written faster and read the same.
    writeInteger(static_cast<long long>(value));
  } else {
    char digits[64];
    text_.append(digits, nlohmann::detail::to_chars(std::begin(digits), std::end(digits), value));
  }
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
  for (int i = 0; i < 10; ++i) {
    text_ += location_.pieces[i];
    writeNumber(values[i]);
  }
  text_ += allFinite(values) ? finiteEnd_ : nonFiniteEnd_;
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

KVRJson number(double v) {
  if (isWhole(v)) return static_cast<std::int64_t>(v);
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
  for (int i = 0; i < 3; ++i) position[i] = number(values[i]);
  for (int i = 0; i < 4; ++i) quaternion[i] = number(values[3 + i]);
  for (int i = 0; i < 3; ++i) rpy[i] = number(values[7 + i]);
  // The serializer writes a NaN or an infinity as null; the location says so.
  if (!allFinite(values)) {
    slot["nonFinite"] = true;
  } else if (slot.contains("nonFinite")) {
    slot.erase("nonFinite");
  }
}
