#pragma once

// What an entity holds beyond its names, links and locations, as a record's
// "properties" and back: a description and an integer attribute other than
// the defaults, its symbols with their values, and the attributes of its
// attribute extension.
//
// A symbol is written with its name, its type word and its value as its get
// functor reads it (null without one). Read back, it is a symbol of the same
// name and type that keeps the value itself: the functors of a saved symbol
// reach code of the program that saved it, which a file cannot hold.

#include <string>

#include "KVRBasicEntity.h"
#include "KVRRecordWriter.h"

// Null when the entity holds nothing of the kind.
KVRJson KVRPropertiesOf(const KVRBasicEntity& entity);

// A problem in what a document holds: the field, below the record, and what
// is wrong with it. The reader adds the record.
struct KVRCellProblem {
  std::string field;
  std::wstring what;
};

// Gives `entity` the properties of a record (an object, or null for none).
// Throws KVRCellProblem, leaving the entity as it found it, when they are
// not properties as KVRPropertiesOf writes them.
void KVRRestoreProperties(KVRBasicEntity& entity, const nlohmann::json& properties);
