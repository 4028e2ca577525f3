#include "KVRCellReader.h"

#include <algorithm>
#include <cstring>

namespace kvrcell {

namespace {

bool sameBits(const Xform& a, const Xform& b) {
  const double x[7] = {a.getPosition().x(), a.getPosition().y(), a.getPosition().z(), a.getQtn().w(),
                       a.getQtn().x(),      a.getQtn().y(),      a.getQtn().z()};
  const double y[7] = {b.getPosition().x(), b.getPosition().y(), b.getPosition().z(), b.getQtn().w(),
                       b.getQtn().x(),      b.getQtn().y(),      b.getQtn().z()};
  return std::memcmp(x, y, sizeof x) == 0;
}

}  // namespace

// --- Building ------------------------------------------------------------------------------

void Reader::createEntities() {
  for (std::size_t i = 0; i < records_.size(); ++i) {
    Record& rec = records_[i];
    const int r = static_cast<int>(i);
    rec.entity = Entity(dynamic_cast<KVRBasicEntity*>(rec.info->createObject()));
    if (!rec.entity) refuse(r, "class", L"does not make an entity");
    rec.entity3D = dynamic_cast<KVRBasicEntity3D*>(rec.entity.get());
    at(r, "name", [&] { rec.entity->setEntityName(rec.name); });
    const Json* properties = find(r, "properties");
    // Not copied: a value of the document may be nested deeper than a copy's recursion can go.
    static const Json nothing;
    at(r, "", [&] { KVRRestoreProperties(*rec.entity, properties ? *properties : nothing); });
  }
}

void Reader::linkLogically() {
  // A world joins the universe first: its entities take their full names
  // below it as they are linked.
  const Entity& root = records_[static_cast<std::size_t>(root_)].entity;
  if (options_.addToUniverse && as<KVRBasicWorld>(root)) {
    at(root_, "", [&] { KVRBasicUniverse::getUniverse()->addEntity(root); });
    addedToUniverse_ = true;
  }
  // Parents first, so that names and ancestor lists are right as they are
  // linked; siblings in document order, which is their order as children.
  for (const auto& level : logicalLevels_)
    for (const int r : level) {
      const Record& rec = records_[static_cast<std::size_t>(r)];
      if (rec.logicalParent == None) continue;
      at(r, "logicalParent",
         [&] { records_[static_cast<std::size_t>(rec.logicalParent)].entity->addLogicalChild(rec.entity); });
    }
}

void Reader::placeRelatively() {
  // Frames, tag points, paths and classes of the program's own keep their
  // relative location; a body's is its connection's.
  for (std::size_t i = 0; i < records_.size(); ++i) {
    Record& rec = records_[i];
    const int r = static_cast<int>(i);
    if (!rec.spatial || derives(rec.info, KVRBasicBody3D::ClassInfo_)) continue;
    const Json* relative = find(r, "relative");
    const Json* base = find(r, "base");
    if ((!relative || relative->is_null()) && rec.spatialParent == None) relative = base;
    if (!relative || relative->is_null()) continue;
    Xform location = pose(r, *relative, "relative");
    at(r, "relative", [&] {
      if (rec.entity3D->setRelativeLocation(location) == 0)
        throw KVREInvalidRelation(L"%1 refuses its relative location") << rec.entity->getEntityTitle();
    });
  }
}

std::vector<int> Reader::spatialRanks() const {
  // A body lists its frames, tag points and paths in its own order (its
  // spatial children's), which may differ from the document's: the places
  // a kind's children take in document order are given to them in the
  // body's order. A list that does not name exactly the body's children of
  // that kind (a hand-written file may leave it out) leaves document order.
  std::vector<int> rank(records_.size());
  for (std::size_t i = 0; i < rank.size(); ++i) rank[i] = static_cast<int>(i);
  for (std::size_t b = 0; b < records_.size(); ++b) {
    const Json* s = section(static_cast<int>(b), "body");
    if (!s || !s->is_object()) continue;
    for (const char* key : {"frames", "tagPoints", "paths"}) {
      const auto list = s->find(key);
      if (list == s->end() || !list->is_array()) continue;
      std::vector<int> listed;
      for (const Json& ref : *list) {
        const int c = ref.is_number_integer() || ref.is_string() ? reference(static_cast<int>(b), &ref, key) : None;
        if (c == None || records_[static_cast<std::size_t>(c)].spatialParent != static_cast<int>(b)) break;
        listed.push_back(c);
      }
      std::vector<int> places = listed;
      std::sort(places.begin(), places.end());
      if (listed.size() != list->size() || std::adjacent_find(places.begin(), places.end()) != places.end())
        continue;
      for (std::size_t k = 0; k < listed.size(); ++k) rank[static_cast<std::size_t>(listed[k])] = places[k];
    }
  }
  return rank;
}

void Reader::linkSpatially(bool early) {
  // Parents first, as the logical tree, each parent's children in the order
  // they are written, in two passes. A connection made between two frames
  // needs each frame on its body, so the first pass links the frames of
  // connections, each after the siblings that come before it. Connections
  // are made between the passes; the second pass hangs bodies through them
  // and links the rest, so every parent's children keep their order (but
  // for a frame that comes after the body that hangs through it, which is
  // linked first).
  const std::vector<int> rank = spatialRanks();
  std::vector<bool> ofConnection(records_.size(), false);
  for (const Connection& c : connections_)
    for (const int frame : {c.innerFrame, c.outerFrame})
      if (frame != None) ofConnection[static_cast<std::size_t>(frame)] = true;
  std::vector<int> lastEarly(records_.size(), -1);  // by parent: where its first-pass children end
  for (std::vector<int> level : spatialLevels_) {
    std::stable_sort(level.begin(), level.end(), [&](int a, int b) {
      return rank[static_cast<std::size_t>(a)] < rank[static_cast<std::size_t>(b)];
    });
    for (std::size_t i = 0; i < level.size(); ++i) {
      const Record& rec = records_[static_cast<std::size_t>(level[i])];
      if (rec.spatialParent != None && ofConnection[static_cast<std::size_t>(level[i])])
        lastEarly[static_cast<std::size_t>(rec.spatialParent)] = static_cast<int>(i);
    }
    for (std::size_t i = 0; i < level.size(); ++i) {
      const int r = level[i];
      const Record& rec = records_[static_cast<std::size_t>(r)];
      if (rec.spatialParent == None) continue;
      const bool first =
          rec.connection == None && static_cast<int>(i) <= lastEarly[static_cast<std::size_t>(rec.spatialParent)];
      if (first != early) continue;
      const Record& parent = records_[static_cast<std::size_t>(rec.spatialParent)];
      if (rec.connection != None) {
        const auto& made = connections_[static_cast<std::size_t>(rec.connection)].made;
        at(r, "body.connection",
           [&] { as<KVRBasicBody3D>(rec.entity)->setInnerBody(as<KVRBasicBody3D>(parent.entity), made); });
      } else {
        at(r, "spatialParent",
           [&] { parent.entity3D->addSpatialChild(KVRSharedHandle<KVRBasicEntity3D>(rec.entity3D)); });
      }
    }
  }
}

void Reader::refreshAncestors() {
  // What was linked before the body it is under hung holds a shorter
  // ancestor list than its parent's followed by the parent: it takes that
  // list, parents first, as a flush would hand it down.
  for (const auto& level : spatialLevels_)
    for (const int r : level) {
      const Record& rec = records_[static_cast<std::size_t>(r)];
      if (rec.spatialParent == None) continue;
      const int parentDepth = records_[static_cast<std::size_t>(rec.spatialParent)].entity3D->getSpatialAncestorsCount();
      if (rec.entity3D->getSpatialAncestorsCount() != parentDepth + 1) rec.entity3D->refreshSpatialAncestors();
    }
}

void Reader::connect() {
  const auto bodyOf = [&](int r) { return as<KVRBasicBody3D>(records_[static_cast<std::size_t>(r)].entity); };
  const auto frameOf = [&](int r) {
    return as<KVRBasicFrame3D>(records_[static_cast<std::size_t>(r)].entity);
  };
  for (Connection& c : connections_) {
    const int r = c.record != None ? c.record : c.body;
    at(r, c.field, [&] {
      if (c.record != None) {
        c.made = as<KVRBasicConnection3D>(records_[static_cast<std::size_t>(r)].entity);
      } else {
        c.made = KVRSharedHandle<KVRBasicConnection3D>(
            dynamic_cast<KVRBasicConnection3D*>(c.info->createObject()));
        c.made->setEntityName(c.name);
      }
      if (!c.connected) {
        if (c.hasRelative) c.made->setCachedRelativeLocation(c.relative);
        return;
      }
      if (c.innerFrame != None) {
        c.made->connectBodies(frameOf(c.innerFrame), frameOf(c.outerFrame));
        if (c.made->getInnerBody() != bodyOf(c.innerBody) || c.made->getOuterBody() != bodyOf(c.outerBody))
          throw KVREInvalidRelation(L"its frames are not those of its inner and outer bodies");
      } else {
        c.made->connectBodies(bodyOf(c.innerBody), bodyOf(c.outerBody), c.innerOffset, c.outerOffset);
      }
      c.made->setInnerOffset(c.innerOffset);
      c.made->setOuterOffset(c.outerOffset);
      // An attachment written without its relative location holds the
      // outer body as attaching does: its variable location is the identity.
      if (c.hasRelative)
        c.made->setCachedRelativeLocation(c.relative);
      else if (derives(c.info, KVRBasicAttachment3D::ClassInfo_))
        c.made->setCachedRelativeLocation(
            KVRBasicConnection3D::calcRelativeLocation(c.innerOffset, Xform(), c.outerOffset));
    });
  }
}

void Reader::restoreBodies() {
  for (std::size_t i = 0; i < records_.size(); ++i) {
    const int r = static_cast<int>(i);
    const Record& rec = records_[i];
    const auto body = as<KVRBasicBody3D>(rec.entity);
    if (!body) continue;
    const Json* b = section(r, "body");
    if (rec.connection != None) {
      const Connection& c = connections_[static_cast<std::size_t>(rec.connection)];
      if (b && flag(r, *b, "attached", false, "body.attached")) body->setAttachment(c.made);
    } else if (b && flag(r, *b, "attached", false, "body.attached")) {
      refuse(r, "body.attached", L"a body that hangs on no connection is not attached");
    }
    if (!b) continue;
    const int original = referenceOf(r, *b, "innerBodyOriginal", "body.innerBodyOriginal",
                                     KVRBasicBody3D::ClassInfo_, L"a body");
    const int home =
        referenceOf(r, *b, "homeAttachBody", "body.homeAttachBody", KVRBasicBody3D::ClassInfo_, L"a body");
    if (original != None)
      body->setInnerBodyOriginal(as<KVRBasicBody3D>(records_[static_cast<std::size_t>(original)].entity));
    if (home != None)
      body->setHomeAttachBody(as<KVRBasicBody3D>(records_[static_cast<std::size_t>(home)].entity));
    if (const auto state = b->find("transientState"); state != b->end()) {
      if (!state->is_number_integer()) refuse(r, "body.transientState", L"is not a whole number");
      body->setTransientState(state->get<int>());
    }
  }
}

void Reader::setBases() {
  // Parents before children: the spatial tree level by level.
  for (const auto& level : spatialLevels_)
    for (const int r : level) {
      Record& rec = records_[static_cast<std::size_t>(r)];
      if (!rec.spatial) continue;
      const Record* parent =
          rec.spatialParent == None ? nullptr : &records_[static_cast<std::size_t>(rec.spatialParent)];
      // A parent whose base location changed without a flush had not moved
      // its children yet: theirs are computed, not taken.
      if (parent) {
        const Json* events = find(rec.spatialParent, "events");
        bool pending = false;
        if (events && events->is_array())
          for (const Json& bit : *events) pending = pending || bit == KVRBasicEntity3D::BaseLocationChanged;
        rec.staleBase = parent->staleBase || pending;
      }
      at(r, "base", [&] {
        if (parent) rec.entity3D->updateParentLocation(parent->entity3D->getBaseLocation());
        const Json* base = find(r, "base");
        if (base && !base->is_null() && !rec.staleBase) {
          const Xform given = pose(r, *base, "base");
          // Compared bit for bit: -0 and 0 are equal, but not the same base.
          if (!sameBits(given, rec.entity3D->getBaseLocation())) rec.entity3D->setCachedBaseLocation(given);
        } else if (!parent && derives(rec.info, KVRBasicBody3D::ClassInfo_)) {
          const Json* relative = find(r, "relative");
          if (relative && !relative->is_null())
            rec.entity3D->setCachedBaseLocation(pose(r, *relative, "relative"));
        }
      });
    }
}

void Reader::restoreRoutes() {
  // Before the base locations are set: a path takes a point without parents
  // as its child, which a point recorded without them is not.
  for (std::size_t i = 0; i < records_.size(); ++i) {
    const int r = static_cast<int>(i);
    const Record& rec = records_[i];
    if (const auto path = as<KVRBasicPath3D>(rec.entity)) {
      const Json* s = section(r, "path");
      const auto points = s ? s->find("points") : Json::const_iterator();
      if (!s || points == s->end()) continue;
      if (!points->is_array()) refuse(r, "path.points", L"is not a list");
      for (std::size_t k = 0; k < points->size(); ++k) {
        const std::string field = "path.points[" + std::to_string(k) + "]";
        const int point = referenceOf(r, (*points)[k], field, KVRBasicTagPoint3D::ClassInfo_, L"a tag point");
        if (point == None) refuse(r, field, L"is null");
        at(r, field, [&] {
          path->_addTagPoint(as<KVRBasicTagPoint3D>(records_[static_cast<std::size_t>(point)].entity));
        });
      }
    }
  }
  for (const Record& rec : records_) {
    if (!as<KVRBasicTagPoint3D>(rec.entity)) continue;
    if (rec.logicalParent == None && rec.entity->hasLogicalParent()) rec.entity->removeLogicalParent();
    if (rec.spatialParent == None && rec.entity3D->hasSpatialParent()) rec.entity3D->removeSpatialParent();
  }
}

void Reader::restoreTagPoints() {
  for (std::size_t i = 0; i < records_.size(); ++i) {
    const int r = static_cast<int>(i);
    const Record& rec = records_[i];
    const auto point = as<KVRBasicTagPoint3D>(rec.entity);
    const Json* s = point ? section(r, "tagPoint") : nullptr;
    if (!s) continue;
    const std::string timing = text(r, *s, "timing", "duration", "tagPoint.timing");
    if (timing != "duration" && timing != "velocity")
      refuse(r, "tagPoint.timing", L"is not \"duration\" or \"velocity\"");
    const bool velocity = timing == "velocity";
    if (const auto d = s->find("duration"); d != s->end())
      point->setDuration(time(r, *d, "tagPoint.duration"));
    if (const auto v = s->find("velocity"); v != s->end() && (velocity || s->find("timing") == s->end()))
      at(r, "tagPoint.velocity", [&] { point->setVelocity(number(r, *v, "tagPoint.velocity")); });
    if (!velocity && s->find("duration") != s->end()) point->setDuration(point->getDuration());
    if (flag(r, *s, "locked", false, "tagPoint.locked")) point->lockRelativeLocation();
    const auto frames = s->find("referenceFrames");
    if (frames == s->end() || frames->is_null()) continue;
    if (!frames->is_object()) refuse(r, "tagPoint.referenceFrames", L"is not an object or null");
    KVRSharedHandle<KVRMfgAssemblyTagPointExt> extension(new KVRMfgAssemblyTagPointExt);
    at(r, "tagPoint.referenceFrames", [&] { point->addExtension(extension); });
    const auto first = frames->find("first"), second = frames->find("second");
    if (!flag(r, *frames, "set", true, "tagPoint.referenceFrames.set")) {
      // Frames never set sit on the tag point once it has moved since the
      // extension came: at its base location then, at the origin before.
      if (first != frames->end() && !first->is_null() &&
          pose(r, *first, "tagPoint.referenceFrames.first") == point->getBaseLocation()) {
        std::bitset<64> moved;
        moved.set(KVRBasicEntity3D::BaseLocationChanged);
        extension->onEvent(KVRSharedConstPointer<KVRBasicTagPoint3D>(point.get()), moved);
      }
      continue;
    }
    if (first == frames->end() || second == frames->end())
      refuse(r, "tagPoint.referenceFrames", L"a set pair of reference frames has \"first\" and \"second\"");
    const Xform f1 = pose(r, *first, "tagPoint.referenceFrames.first");
    const Xform f2 = pose(r, *second, "tagPoint.referenceFrames.second");
    at(r, "tagPoint.referenceFrames", [&] { extension->setReferenceFrame(f1, f2); });
  }
}

void Reader::restoreRelations() {
  for (std::size_t i = 0; i < records_.size(); ++i) {
    const int r = static_cast<int>(i);
    const Record& rec = records_[i];
    const auto entity3D = [&](int target) {
      return as<KVRBasicEntity3D>(records_[static_cast<std::size_t>(target)].entity);
    };
    if (const auto relationship = as<KVRBasicRelationship3D>(rec.entity)) {
      const Json* s = section(r, "relationship");
      if (!s) continue;
      const int inner = referenceOf(r, *s, "innerEntity", "relationship.innerEntity",
                                    KVRBasicEntity3D::ClassInfo_, L"a 3-D entity");
      const int outer = referenceOf(r, *s, "outerEntity", "relationship.outerEntity",
                                    KVRBasicEntity3D::ClassInfo_, L"a 3-D entity");
      const auto sync = s->find("syncMode");
      if (sync != s->end() && !(sync->is_number_integer() && (*sync == 0 || *sync == 1)))
        refuse(r, "relationship.syncMode", L"is not 0 (synchronise when set) or 1 (do not)");
      const auto mode = sync != s->end() && *sync == 1 ? KVRBasicRelationship3D::NoSyncOnSet
                                                       : KVRBasicRelationship3D::SyncOnSet;
      if (flag(r, *s, "set", inner != None, "relationship.set")) {
        if (inner == None || outer == None)
          refuse(r, "relationship", L"a set relationship names both entities");
        // Set as saved, without enforcing the rule: the entities stand where they stood.
        relationship->setSyncMode(KVRBasicRelationship3D::NoSyncOnSet);
        at(r, "relationship", [&] { relationship->setRelationship(entity3D(inner), entity3D(outer)); });
      }
      relationship->setSyncMode(mode);
    }
    if (const auto camera = as<KVRBasicCamera3D>(rec.entity)) {
      const Json* s = section(r, "camera");
      if (!s) continue;
      const int relationship = referenceOf(r, *s, "relationship", "camera.relationship",
                                           KVRBasicRelationship3D::ClassInfo_, L"a relationship");
      if (relationship != None)
        at(r, "camera.relationship", [&] {
          camera->setRelationship(
              as<KVRBasicRelationship3D>(records_[static_cast<std::size_t>(relationship)].entity));
        });
    }
  }
}

void Reader::restoreGroups() {
  for (std::size_t i = 0; i < records_.size(); ++i) {
    const int r = static_cast<int>(i);
    const auto group = as<KVRBasicGroup3D>(records_[i].entity);
    const Json* s = group ? section(r, "group") : nullptr;
    if (!s) continue;
    // Activating records where the members stand: done before they are listed.
    if (flag(r, *s, "active", false, "group.active")) group->activate();
    const auto members = s->find("members");
    if (members == s->end()) continue;
    if (!members->is_array()) refuse(r, "group.members", L"is not a list");
    for (std::size_t k = 0; k < members->size(); ++k) {
      const std::string field = "group.members[" + std::to_string(k) + "]";
      const Json& entry = (*members)[k];
      static const Json nothing;
      const auto named = entry.is_object() ? entry.find("entity") : entry.end();
      const Json& target = !entry.is_object() ? entry : named != entry.end() ? *named : nothing;
      const int member = referenceOf(r, target, field, KVRBasicEntity3D::ClassInfo_, L"a 3-D entity");
      if (member == None) refuse(r, field, L"names no member");
      const auto handle = as<KVRBasicEntity3D>(records_[static_cast<std::size_t>(member)].entity);
      const auto relative = entry.is_object() ? entry.find("relative") : entry.end();
      if (!entry.is_object() || relative == entry.end() || relative->is_null()) {
        at(r, field, [&] { group->addEntity(handle); });  // written by hand: carried from where it stands
        continue;
      }
      const KVRBasicGroup3D::GroupSubEntry saved(
          handle, pose(r, *relative, field + ".relative"),
          flag(r, entry, "propagating", true, field + ".propagating") ? 1 : 0,
          flag(r, entry, "alwaysActive", false, field + ".alwaysActive") ? 1 : 0);
      at(r, field, [&] { group->restoreEntity(saved); });
    }
  }
}

void Reader::restorePlanners() {
  for (std::size_t i = 0; i < records_.size(); ++i) {
    const int r = static_cast<int>(i);
    const auto shuttle = as<KVRBasicShuttle3D>(records_[i].entity);
    const Json* s = shuttle ? section(r, "shuttle") : nullptr;
    if (!s || !flag(r, *s, "planner", s->contains("path"), "shuttle.planner")) continue;
    const int path = referenceOf(r, *s, "path", "shuttle.path", KVRBasicPath3D::ClassInfo_, L"a path");
    std::vector<KVRSimTime> times;
    if (const auto list = s->find("times"); list != s->end() && !list->is_null()) {
      if (!list->is_array()) refuse(r, "shuttle.times", L"is not a list");
      for (std::size_t k = 0; k < list->size(); ++k)
        times.push_back(time(r, (*list)[k], "shuttle.times[" + std::to_string(k) + "]"));
    }
    KVRSimTime start, end;
    if (const auto span = s->find("span"); span != s->end()) {
      if (!span->is_array() || span->size() != 2) refuse(r, "shuttle.span", L"is not a list of two times");
      start = time(r, (*span)[0], "shuttle.span");
      end = time(r, (*span)[1], "shuttle.span");
    } else if (!times.empty()) {
      start = times.front();
      end = times.back();
    }
    const KVRSharedHandle<KVRShuttlePlannerExt> planner(new KVRShuttlePlannerExt);
    at(r, "shuttle.planner", [&] { shuttle->addExtension(planner); });
    // The custom flag shapes the plan: set before planning.
    if (const auto scheduled = s->find("scheduledStart"); scheduled != s->end() && !scheduled->is_null())
      planner->setScheduledStart(time(r, *scheduled, "shuttle.scheduledStart"));
    if (const auto custom = s->find("customFlag"); custom != s->end()) {
      if (!custom->is_number_integer()) refuse(r, "shuttle.customFlag", L"is not a whole number");
      planner->setCustomFlag(custom->get<int>());
    }

    at(r, "shuttle.path", [&] {
      if (path != None)
        planner->setPath(as<KVRBasicPath3D>(records_[static_cast<std::size_t>(path)].entity), start, end);
      else
        planner->setPoints(start, end);
    });
    const auto distance = s->find("distance");
    const bool given = s->contains("times") && !s->at("times").is_null();
    if (given)
      at(r, "shuttle.times", [&] {
        planner->restoreTimes(times, distance == s->end() ? 0.0 : number(r, *distance, "shuttle.distance"));
      });
    if (const auto located = s->find("shuttlePath"); located != s->end() && !located->is_null()) {
      const Xform X_SP = pose(r, *located, "shuttle.shuttlePath");
      planner->setShuttlePathXform(X_SP);
    }
  }
}

void Reader::quieten() {
  for (Record& rec : records_) rec.entity->clearEvents();
  for (Connection& c : connections_)
    if (c.made) c.made->clearEvents();
}

void Reader::undo() noexcept {
  if (addedToUniverse_) {
    try {
      KVRBasicUniverse::getUniverse()->removeLogicalChild(records_[static_cast<std::size_t>(root_)].entity);
    } catch (...) {
    }
  }
  // Orphaning breaks every link, so that what was built is freed.
  for (Connection& c : connections_)
    if (c.made) c.made->orphanObject();
  for (Record& rec : records_)
    if (rec.entity) rec.entity->orphanObject();
}

void Reader::build() {
  createEntities();
  linkLogically();
  placeRelatively();
  linkSpatially(true);
  connect();
  linkSpatially(false);
  refreshAncestors();
  restoreBodies();
  restoreRoutes();
  setBases();
  restoreTagPoints();
  restoreRelations();
  restoreGroups();
  restorePlanners();
  // Each world's time; the document's time stands for a root world's
  // section that gives none.
  for (std::size_t i = 0; i < records_.size(); ++i) {
    const int r = static_cast<int>(i);
    const auto world = as<KVRBasicWorld>(records_[i].entity);
    if (!world) continue;
    const Json* s = section(r, "world");
    const Json* t = s && s->contains("time")              ? &s->at("time")
                    : r == root_ && doc_.contains("time") ? &doc_["time"]
                                                          : nullptr;
    if (!t) continue;
    const KVRSimTime now = time(r, *t, "world.time");
    at(r, "world.time", [&] { world->setSimulationTime(now); });
  }
  Record& root = records_[static_cast<std::size_t>(root_)];
  quieten();
  if (options_.check) {
    const std::vector<std::wstring> found = KVRCheckModel(root.entity);
    if (!found.empty()) refuse(root_, "", L"the cell it describes is not sound: " + found.front());
  }
}

}  // namespace kvrcell
