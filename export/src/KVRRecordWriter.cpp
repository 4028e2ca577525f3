#include "KVRRecordWriter.h"

#include <cmath>
#include <cstdint>

#include "KVRMathConst.h"
#include "KVRMessage.h"

struct KVRRecordWriter::Shape {
  KVRJson record = KVRJson::object();
  // Slots inside `record`; its keys are all in place, so they stay put.
  KVRJson* id = nullptr;
  KVRJson* name = nullptr;
  KVRJson* fullName = nullptr;
  KVRJson* logicalParent = nullptr;
  KVRJson* spatialParent = nullptr;
  KVRJson* events = nullptr;
  KVRJson* relative = nullptr;
  KVRJson* base = nullptr;
  std::vector<std::pair<const KVRRecordSection*, KVRJson*>> sections;
};

KVRRecordWriter::KVRRecordWriter(const KVRExportScene& scene)
    : scene_(scene),
      serializer_(std::make_unique<nlohmann::detail::serializer<KVRJson>>(
          nlohmann::detail::output_adapter<char>(buffer_), ' ', KVRJson::error_handler_t::replace)) {}

KVRRecordWriter::~KVRRecordWriter() = default;

KVRRecordWriter::Shape& KVRRecordWriter::shapeOf(const KVRBasicEntity& entity) {
  std::unique_ptr<Shape>& shape = shapes_[&entity.getClassInfo()];
  if (shape) return *shape;
  shape = std::make_unique<Shape>();
  KVRJson& r = shape->record;
  const bool spatial = dynamic_cast<const KVRBasicEntity3D*>(&entity) != nullptr;
  // Insert every key first, then take the slots: inserting moves the values.
  r["id"] = 0;
  r["name"] = "";
  r["fullName"] = "";
  r["type"] = KVRToUtf8(entity.getEntityTypeName().scribe(KVRLocale::global()));
  r["class"] = entity.getClassName();
  r["logicalParent"] = nullptr;
  if (spatial) r["spatialParent"] = nullptr;
  r["events"] = KVRJson::array();
  if (spatial) {
    r["relative"] = KVRJson::object();
    r["base"] = KVRJson::object();
  }
  std::vector<const KVRRecordSection*> sections;
  for (const KVRRecordSection& section : KVRRecordSections()) {
    if (!entity.isDerivedFrom(*section.classInfo)) continue;
    r[section.key] = KVRJson::object();
    sections.push_back(&section);
  }
  shape->id = &r["id"];
  shape->name = &r["name"];
  shape->fullName = &r["fullName"];
  shape->logicalParent = &r["logicalParent"];
  shape->events = &r["events"];
  if (spatial) {
    shape->spatialParent = &r["spatialParent"];
    shape->relative = &r["relative"];
    shape->base = &r["base"];
  }
  for (const KVRRecordSection* section : sections) shape->sections.emplace_back(section, &r[section->key]);
  return *shape;
}

void KVRRecordWriter::append(std::size_t index, std::string& out) {
  const KVRBasicEntity& e = scene_.entity(index);
  Shape& shape = shapeOf(e);
  *shape.id = scene_.id(index);
  KVRAssignUtf8(e.getEntityName(), shape.name->get_ref<std::string&>());
  KVRExternalFullName(e, shape.fullName->get_ref<std::string&>());
  const int parent = scene_.logicalParentIndex(index);
  const KVRBasicEntity* logicalParent = e.getLogicalParent().get();
  if (parent >= 0) {
    *shape.logicalParent = scene_.id(static_cast<std::size_t>(parent));
  } else {
    setReference(*shape.logicalParent, logicalParent);
  }

  auto& events = shape.events->get_ref<KVRJson::array_t&>();
  events.clear();
  const auto& pending = e.getPendingEvents();
  if (pending.any())
    for (std::size_t bit = 0; bit < pending.size(); ++bit)
      if (pending.test(bit)) events.emplace_back(bit);

  if (const KVRBasicEntity3D* e3 = scene_.entity3D(index)) {
    const KVRBasicEntity* spatialParent = e3->getSpatialParent().get();
    if (parent >= 0 && spatialParent == logicalParent) {
      *shape.spatialParent = scene_.id(static_cast<std::size_t>(parent));
    } else {
      setReference(*shape.spatialParent, spatialParent);
    }
    setLocation(*shape.relative, e3->getRelativeLocation());
    setLocation(*shape.base, e3->getBaseLocation());
  }
  for (auto& [section, slot] : shape.sections) section->fill(e, *slot, *this);

  // As dump() does it, but into a buffer that is not allocated anew for each record.
  buffer_.clear();
  serializer_->dump(shape.record, false, false, 0);
  out += buffer_;
}

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

// A number: whole numbers as integers, which are written faster and read the same.
KVRJson number(double v) {
  constexpr double Exact = 9007199254740992.0;  // 2^53: every whole double below it is an exact integer
  if (v > -Exact && v < Exact && v == static_cast<double>(static_cast<std::int64_t>(v)))
    return static_cast<std::int64_t>(v);
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
  const auto& p = location.getPosition();
  const auto& q = location.getQtn();
  double roll, pitch, yaw;
  location.getRPY(roll, pitch, yaw);
  constexpr double toDegrees = 180.0 / KVRMathConst::Pi;
  const double values[10] = {p.x(), p.y(), p.z(), q.w(), q.x(), q.y(), q.z(),
                             // + 0 turns -0 into 0
                             roll * toDegrees + 0.0, pitch * toDegrees + 0.0, yaw * toDegrees + 0.0};
  // Every key in place before a value is held: an insertion moves the others.
  for (const char* key : {"position", "quaternion", "rpy"}) slot[key];
  auto& position = numbers(slot["position"], 3);
  auto& quaternion = numbers(slot["quaternion"], 4);
  auto& rpy = numbers(slot["rpy"], 3);
  for (int i = 0; i < 3; ++i) position[i] = number(values[i]);
  for (int i = 0; i < 4; ++i) quaternion[i] = number(values[3 + i]);
  for (int i = 0; i < 3; ++i) rpy[i] = number(values[7 + i]);

  bool finite = true;
  for (double v : values) finite = finite && std::isfinite(v);
  // JSON has no NaN or infinity: such a number is written as null, and the
  // location says so.
  if (!finite) {
    slot["nonFinite"] = true;
  } else if (slot.contains("nonFinite")) {
    slot.erase("nonFinite");
  }
}
