#pragma once

// KVRSnapshot: where everything below an entity stands at one moment, as a
// JSON document a person can read and a program can parse. It covers the
// entity's logical subtree, depth-first with children in order, and any 3-D
// entity that hangs spatially below one of those without belonging to the
// subtree (a body hanging on a fixture of the world while kept outside it).
//
// The document is one object: "format" ("KVRWorldModel snapshot"), "version",
// "root" (the root's id), "time" (the simulation time in seconds) and
// "entities", one record per line. A record holds the entity's "id" (its
// place in "entities"), "name", "fullName", "type", "class", "logicalParent"
// and pending "events" (bit numbers); a 3-D entity adds "spatialParent",
// "relative" and "base" locations ("position", "quaternion" w x y z, "rpy"
// roll pitch yaw in degrees); bodies, tag points, paths, connections,
// relationships, cameras and worlds add a section of their own under their
// type's key. A reference to another entity is its id when the document
// holds it, else its full name, or null for none. A location holding a
// non-finite number marks itself "nonFinite": true; the number reads null.
//
// Version 2 adds what loading needs: every record's "properties"
// (description, integer attribute, symbols with their values, attributes),
// a body's "innerBodyOriginal" and "homeAttachBody" and which connection
// record it hangs on, each group member's flags, and a shuttle's planned
// span, custom flag and path location.
//
// read() builds a new entity tree from such a document: the format is the
// cell file (the cell-file page in docs/ describes it field by field). It is
// built apart; a document that fails anywhere throws KVREInvalidArgument
// naming the record and the field, and leaves nothing behind. Pending events
// are not restored: the tree read is quiet, every cache holds what the
// document says (a base location left out is computed), and nothing is
// flushed. Version 1 documents load with defaults for what they lack.

#include <cstddef>
#include <iosfwd>
#include <string>
#include <string_view>
#include <vector>

#include "KVRBasicEntity.h"
#include "KVRExportAPI.h"
#include "KVRSimTime.h"

class KVREXPORT_API KVRSnapshot {
 public:
  static constexpr const char* Format = "KVRWorldModel snapshot";
  static constexpr int Version = 2;

  // What read() accepts.
  struct ReadOptions {
    // Classes of the program's own that records may name by their class
    // name (relationships, which the model leaves abstract, and classes
    // derived from the model's). Each needs a factory.
    std::vector<const KVRClassInfo*> classes;
    // A world read joins the universe (KVRBasicUniverse::addEntity).
    bool addToUniverse = false;
    // Larger documents are refused before they are parsed.
    std::size_t maxBytes = std::size_t(1) << 30;
    // Deeper trees (logical or spatial) are refused before anything is built.
    int maxDepth = 10000;
    // The model checker goes through the tree read; the first thing it
    // finds refuses the document.
    bool check = true;
  };

  // Writes the snapshot of `root` at its world's simulation time (zero in no
  // world), or at `time`. KVREInvalidArgument for an empty handle;
  // KVRERuntimeError when the stream fails.
  static void write(std::ostream& out, const KVRSharedHandle<KVRBasicEntity>& root);
  static void write(std::ostream& out, const KVRSharedHandle<KVRBasicEntity>& root, const KVRSimTime& time);
  static std::string toJson(const KVRSharedHandle<KVRBasicEntity>& root);
  static std::string toJson(const KVRSharedHandle<KVRBasicEntity>& root, const KVRSimTime& time);

  // The root of a new tree built from a snapshot document: a world, or any
  // entity a snapshot was taken of. KVREInvalidArgument for a document that
  // is not a cell (the message names the record and the field), and
  // KVRERuntimeError when the stream fails.
  static KVRSharedHandle<KVRBasicEntity> read(std::string_view text);
  static KVRSharedHandle<KVRBasicEntity> read(std::string_view text, const ReadOptions& options);
  static KVRSharedHandle<KVRBasicEntity> read(std::istream& in);
  static KVRSharedHandle<KVRBasicEntity> read(std::istream& in, const ReadOptions& options);
};
