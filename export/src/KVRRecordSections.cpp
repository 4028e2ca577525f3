// The sections that classes with data of their own add to their records.
// A new class gets its section by a fill function and a line in the table.

#include "KVRBasicBody3D.h"
#include "KVRBasicCamera3D.h"
#include "KVRBasicConnection3D.h"
#include "KVRBasicFrame3D.h"
#include "KVRBasicGroup3D.h"
#include "KVRBasicMfgAssembly3D.h"
#include "KVRBasicPath3D.h"
#include "KVRBasicRelationship3D.h"
#include "KVRBasicShuttle3D.h"
#include "KVRBasicTagPoint3D.h"
#include "KVRBasicWorld.h"
#include "KVRCellProperties.h"
#include "KVRMessage.h"
#include "KVRMfgAssemblyTagPointExt.h"
#include "KVRRecordWriter.h"
#include "KVRShuttlePlannerExt.h"

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
    // The connection's own record when the document holds one; null for a
    // connection only this section describes (as attaching makes them).
    if (writer.holds(inner.get()))
      writer.setReference(connection["record"], inner.get());
    else
      connection["record"] = nullptr;
    describeConnection(*inner, connection, writer);
  } else {
    connection = nullptr;
  }
  section["attached"] = b.isAttached();
  section["transientState"] = b.getTransientState();
  writer.setReference(section["innerBodyOriginal"], b.getInnerBodyOriginal().get());
  writer.setReference(section["homeAttachBody"], b.getHomeAttachBody().get());
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

// A tag point: how a move to it is timed, and the two reference frames an
// assembly extension gives it (null without one), in world terms. The
// commonest section of all, written around its values.
KVRJson tagPointSkeleton() {
  const KVRJson h = KVRJsonText::hole();
  return {{"timing", h}, {"duration", h}, {"velocity", h}, {"locked", h}, {"referenceFrames", h}};
}

void tagPoint(const KVRBasicEntity& e, KVRRecordWriter& writer) {
  const auto& p = static_cast<const KVRBasicTagPoint3D&>(e);
  writer.text(p.getTimingMode() == KVRBasicTagPoint3D::VelocityTiming ? "velocity" : "duration");
  writer.number(p.getDuration().toSeconds());
  writer.number(p.getVelocity());
  writer.boolean(p.isRelativeLocationLocked());
  const auto extension = p.getExtensionCount() == 0
                             ? KVRSharedHandle<KVRMfgAssemblyTagPointExt>()
                             : KVRSharedHandle<KVRMfgAssemblyTagPointExt>::downcast(
                                   p.getExtension(KVRMfgAssemblyTagPointExt::ClassID_));
  if (!extension) {
    writer.value(KVRJson());
    return;
  }
  KVRBasicXform3D<double> X_WF1, X_WF2;
  extension->getReferenceFrame(X_WF1, X_WF2);
  KVRJson frames{{"set", extension->hasReferenceFrame() != 0}, {"first", nullptr}, {"second", nullptr}};
  KVRRecordWriter::setLocation(frames["first"], X_WF1);
  KVRRecordWriter::setLocation(frames["second"], X_WF2);
  writer.value(frames);
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

// A group: whether it carries its members now, and each member with the
// location relative to the group it is carried at (as last recorded), and
// whether the group moves it itself (not through a member above it) and
// even while inactive.
void group(const KVRBasicEntity& e, KVRJson& section, const KVRRecordWriter& writer) {
  const auto& g = static_cast<const KVRBasicGroup3D&>(e);
  section["active"] = g.isActive() != 0;
  const KVRBasicGroup3D::EntryList& members = g.getEntries();
  KVRJson& list = section["members"];
  if (!list.is_array()) list = KVRJson::array();
  auto& entries = list.get_ref<KVRJson::array_t&>();
  entries.resize(members.size());
  for (std::size_t i = 0; i < members.size(); ++i) {
    KVRJson& entry = entries[i];
    if (!entry.is_object())
      entry =
          KVRJson{{"entity", nullptr}, {"relative", nullptr}, {"propagating", true}, {"alwaysActive", false}};
    writer.setReference(entry["entity"], members[i].entity.get());
    KVRRecordWriter::setLocation(entry["relative"], members[i].relativeLocation);
    entry["propagating"] = members[i].propagating != 0;
    entry["alwaysActive"] = members[i].alwaysActive != 0;
  }
}

// An assembly: its bodies in child order, the assembly it is part of and
// the outermost one.
void assembly(const KVRBasicEntity& e, KVRJson& section, const KVRRecordWriter& writer) {
  const auto& a = static_cast<const KVRBasicMfgAssembly3D&>(e);
  KVRSharedVector<KVRBasicBody3D> bodies;
  a.getBodies(bodies);
  writer.setReferences(section["bodies"], bodies);
  writer.setReference(section["parentAssembly"], a.getParentAssembly().get());
  writer.setReference(section["rootAssembly"], a.getRootAssembly().get());
}

// A shuttle (its members are in its group section): the path its planner
// follows, the planned time of each of the path's points on the planner's
// axis, the simulation time that axis starts at, and whether the move is
// under way at the time of the record. Without a planner: no path, no times.
void shuttle(const KVRBasicEntity& e, KVRJson& section, const KVRRecordWriter& writer) {
  const auto& s = static_cast<const KVRBasicShuttle3D&>(e);
  const auto planner = s.getPlanner();
  section["planner"] = static_cast<bool>(planner);
  writer.setReference(section["path"], planner ? planner->getPath().get() : nullptr);
  KVRJson& times = section["times"];
  if (!times.is_array()) times = KVRJson::array();
  auto& list = times.get_ref<KVRJson::array_t&>();
  list.clear();
  if (planner)
    for (const KVRSimTime& t : planner->getTimes()) list.emplace_back(t.toSeconds());
  section["scheduledStart"] = planner ? KVRJson(planner->getScheduledStart().toSeconds()) : KVRJson();
  section["distance"] = planner ? planner->getCurrentDistance() : 0.0;
  section["motionActive"] = s.isMotionActive(writer.time());
  // What planning again needs: the span asked for, the custom flag, and
  // where the path stood relative to the shuttle when it was activated.
  KVRSimTime start, end;
  if (planner) planner->getSpan(start, end);
  section["span"] = planner ? KVRJson{start.toSeconds(), end.toSeconds()} : KVRJson();
  section["customFlag"] = planner ? planner->getCustomFlag() : 0;
  if (planner)
    KVRRecordWriter::setLocation(section["shuttlePath"], planner->getShuttlePathXform());
  else
    section["shuttlePath"] = nullptr;
}

// Description, integer attribute, symbols and attributes: null for an entity
// holding none of them, as most do.
void properties(const KVRBasicEntity& e, KVRJson& section, const KVRRecordWriter&) {
  section = KVRPropertiesOf(e);
}

}  // namespace

const std::vector<KVRRecordSection>& KVRRecordSections() {
  static const std::vector<KVRRecordSection> sections{
      {&KVRBasicWorld::ClassInfo_, "world", &world},
      {&KVRBasicBody3D::ClassInfo_, "body", &body},
      {&KVRBasicGroup3D::ClassInfo_, "group", &group},
      {&KVRBasicShuttle3D::ClassInfo_, "shuttle", &shuttle},
      {&KVRBasicMfgAssembly3D::ClassInfo_, "assembly", &assembly},
      {&KVRBasicCamera3D::ClassInfo_, "camera", &camera},
      {&KVRBasicTagPoint3D::ClassInfo_, "tagPoint", nullptr, &tagPointSkeleton, &tagPoint},
      {&KVRBasicPath3D::ClassInfo_, "path", &path},
      {&KVRBasicConnection3D::ClassInfo_, "connection", &connection},
      {&KVRBasicRelationship3D::ClassInfo_, "relationship", &relationship},
      {&KVRBasicEntity::ClassInfo_, "properties", &properties},
  };
  return sections;
}
