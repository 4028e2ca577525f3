// The sections that classes with data of their own add to their records.
// A new class gets its section by a fill function and a line in the table.

#include "KVRBasicBody3D.h"
#include "KVRBasicCamera3D.h"
#include "KVRBasicConnection3D.h"
#include "KVRBasicFrame3D.h"
#include "KVRBasicPath3D.h"
#include "KVRBasicRelationship3D.h"
#include "KVRBasicTagPoint3D.h"
#include "KVRBasicWorld.h"
#include "KVRMessage.h"
#include "KVRRecordWriter.h"

namespace {

std::string typeWord(const KVRBasicEntity& entity) {
  return KVRToUtf8(entity.getEntityTypeName().scribe(KVRLocale::global()));
}

// A connection: its kind, the bodies and frames it joins, its offsets and
// the location of the outer body relative to the inner one.
void describeConnection(const KVRBasicConnection3D& c, KVRJson& section, const KVRRecordWriter& writer) {
  section["kind"] = typeWord(c);
  section["class"] = c.getClassName();
  section["connected"] = c.isConnected();
  writer.setReference(section["innerBody"], c.getInnerBody().get());
  writer.setReference(section["outerBody"], c.getOuterBody().get());
  writer.setReference(section["innerFrame"], c.getInnerFrame().get());
  writer.setReference(section["outerFrame"], c.getOuterFrame().get());
  KVRRecordWriter::setLocation(section["innerOffset"], c.getInnerOffset());
  KVRRecordWriter::setLocation(section["outerOffset"], c.getOuterOffset());
  KVRRecordWriter::setLocation(section["relative"], c.getCachedRelativeLocation());
}

void world(const KVRBasicEntity& e, KVRJson& section, const KVRRecordWriter&) {
  section["time"] = static_cast<const KVRBasicWorld&>(e).getSimulationTime().toSeconds();
}

// A body: the connection it hangs on (with that connection's name), what it
// owns, and whether it is attached or grabbed.
void body(const KVRBasicEntity& e, KVRJson& section, const KVRRecordWriter& writer) {
  const auto& b = static_cast<const KVRBasicBody3D&>(e);
  KVRJson& connection = section["connection"];
  if (const auto inner = b.getInnerConnection()) {
    if (!connection.is_object()) connection = KVRJson::object();
    connection["name"] = KVRToUtf8(inner->getEntityName());
    describeConnection(*inner, connection, writer);
  } else {
    connection = nullptr;
  }
  section["attached"] = b.isAttached();
  section["transientState"] = b.getTransientState();
  KVRSharedVector<KVRBasicFrame3D> frames;
  b.getFrames(frames);
  writer.setReferences(section["frames"], frames);
  KVRSharedVector<KVRBasicTagPoint3D> points;
  b.getTagPoints(points);
  writer.setReferences(section["tagPoints"], points);
  KVRSharedVector<KVRBasicPath3D> paths;
  b.getPaths(paths);
  writer.setReferences(section["paths"], paths);
}

void camera(const KVRBasicEntity& e, KVRJson& section, const KVRRecordWriter& writer) {
  writer.setReference(section["relationship"],
                      static_cast<const KVRBasicCamera3D&>(e).getRelationship().get());
}

void tagPoint(const KVRBasicEntity& e, KVRJson& section, const KVRRecordWriter&) {
  const auto& p = static_cast<const KVRBasicTagPoint3D&>(e);
  section["timing"] = p.getTimingMode() == KVRBasicTagPoint3D::VelocityTiming ? "velocity" : "duration";
  section["duration"] = p.getDuration().toSeconds();
  section["velocity"] = p.getVelocity();
  section["locked"] = p.isRelativeLocationLocked();
}

// A path: its points in route order (a point may be listed twice).
void path(const KVRBasicEntity& e, KVRJson& section, const KVRRecordWriter& writer) {
  KVRSharedVector<KVRBasicTagPoint3D> points;
  static_cast<const KVRBasicPath3D&>(e).getTagPoints(points);
  writer.setReferences(section["points"], points);
}

void connection(const KVRBasicEntity& e, KVRJson& section, const KVRRecordWriter& writer) {
  describeConnection(static_cast<const KVRBasicConnection3D&>(e), section, writer);
}

void relationship(const KVRBasicEntity& e, KVRJson& section, const KVRRecordWriter& writer) {
  const auto& r = static_cast<const KVRBasicRelationship3D&>(e);
  section["set"] = r.isRelationshipSet();
  writer.setReference(section["innerEntity"], r.getInnerEntity().get());
  writer.setReference(section["outerEntity"], r.getOuterEntity().get());
  section["syncMode"] = static_cast<int>(r.getSyncMode());
}

}  // namespace

const std::vector<KVRRecordSection>& KVRRecordSections() {
  static const std::vector<KVRRecordSection> sections{
      {&KVRBasicWorld::ClassInfo_, "world", &world},
      {&KVRBasicBody3D::ClassInfo_, "body", &body},
      {&KVRBasicCamera3D::ClassInfo_, "camera", &camera},
      {&KVRBasicTagPoint3D::ClassInfo_, "tagPoint", &tagPoint},
      {&KVRBasicPath3D::ClassInfo_, "path", &path},
      {&KVRBasicConnection3D::ClassInfo_, "connection", &connection},
      {&KVRBasicRelationship3D::ClassInfo_, "relationship", &relationship},
  };
  return sections;
}
