#include "OmxDictionary.h"

#include <map>

namespace {

// Built on first use, since libraries register from their static
// initialisers, and never destroyed: entries (and the meta classes they hold)
// stay until the process ends, also past the unloading of the library that
// registered them. Entries are nodes of a map, so the pointers handed out
// stay valid.
std::map<OmxGUID, OmxDictionaryEntry>& entries() {
  static auto* dictionary = new std::map<OmxGUID, OmxDictionaryEntry>;
  return *dictionary;
}

}  // namespace

const OmxDictionaryEntry* OmxDictionary::FindById(const OmxGUID& id) {
  const auto it = entries().find(id);
  return it == entries().end() ? nullptr : &it->second;
}

const OmxDictionaryEntry* OmxDictionary::FindByName(const std::string& name) {
  for (const auto& [id, entry] : entries())
    if (entry.name == name) return &entry;
  return nullptr;
}

int OmxDictionary::GetEntryCount() { return static_cast<int>(entries().size()); }

bool AddDictionary(const OmxGUID& id, const OmxGUID& classId, const char* name, const char* functionName,
                   OmxMetaClass* metaClass, int kind, int flags, int version, const char* libraryName) {
  if (!name || !*name || !metaClass) return false;
  const auto [it, added] = entries().try_emplace(id);
  OmxDictionaryEntry& entry = it->second;
  ++entry.registrations;
  if (!added) return false;
  entry.id = id;
  entry.classId = classId;
  entry.name = name;
  entry.functionName = functionName ? functionName : "";
  entry.metaClass = metaClass;
  entry.kind = kind;
  entry.flags = flags;
  entry.version = version;
  entry.libraryName = libraryName ? libraryName : "";
  return true;
}

OmxFillDictionary::OmxFillDictionary(const OmxGUID& id, const OmxGUID& classId, OmxMetaClass* metaClass,
                                     int flags) {
  if (OmxDictionary::FindById(id) || !metaClass) return;
  added_ = AddDictionary(id, classId, metaClass->GetName(), "MetaObject", metaClass, 1, flags, 2);
}
