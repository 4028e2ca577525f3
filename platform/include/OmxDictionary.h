#pragma once

// The dictionary of the component-framework stand-in (see OmxMetaClass.h): a
// process-wide record of the interfaces that loaded libraries declare, which
// a host looks up by interface identifier or by name. It lives in memory
// only; nothing is read from or written to disk.
//
// A registration records what it is given. The three numbers a library passes
// (kind, flags, version) are kept as given and not interpreted. Registering an
// identifier that is registered already keeps the first entry and counts the
// attempt, so a double registration shows in `registrations`.

#include <string>

#include "KVRPlatformExport.h"
#include "OmxMetaClass.h"

struct OmxDictionaryEntry {
  OmxGUID id;
  OmxGUID classId;
  std::string name;
  std::string functionName;  // the function that hands out the meta class
  OmxMetaClass* metaClass = nullptr;
  int kind = 0;
  int flags = 0;
  int version = 0;
  std::string libraryName;  // empty: the library that registered it
  int registrations = 0;
};

class KVRPLATFORM_API OmxDictionary {
 public:
  // The entry registered under `id`, or null.
  static const OmxDictionaryEntry* FindById(const OmxGUID& id);
  // The first entry, in identifier order, registered under `name`, or null.
  static const OmxDictionaryEntry* FindByName(const std::string& name);
  static int GetEntryCount();
};

// Records `metaClass` under `id`. Returns true when the entry is new; false
// when `id` is registered already (the first entry stays, its count of
// registrations goes up) or when the name or the meta class is missing
// (nothing is recorded). Entries stay until the process ends.
KVRPLATFORM_API bool AddDictionary(const OmxGUID& id, const OmxGUID& classId, const char* name,
                                   const char* functionName, OmxMetaClass* metaClass, int kind, int flags,
                                   int version, const char* libraryName = nullptr);

// Built as a static object of a library, it makes sure at load that the meta
// class is registered: when the dictionary has no entry for `id`, it adds
// one (under the meta class's name, kind 1, the given flags, version 2);
// an entry made already is left as it is.
class KVRPLATFORM_API OmxFillDictionary {
 public:
  OmxFillDictionary(const OmxGUID& id, const OmxGUID& classId, OmxMetaClass* metaClass, int flags);
  OmxFillDictionary(const OmxFillDictionary&) = delete;
  OmxFillDictionary& operator=(const OmxFillDictionary&) = delete;

  // The entry was added by this object (not found registered already).
  bool addedEntry() const { return added_; }

 private:
  bool added_ = false;
};
