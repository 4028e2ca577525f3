#pragma once

// KVRIWDMExt: the interface by which the component framework of a host
// application finds the world model. Its meta class ("KVRIWDMExt", framework
// name "KVRWorldModel", derived from OmxBaseUnknown) is made on first use and
// registered once in the framework's dictionary under IID_KVRIWDMExt; the
// library does this as soon as it is loaded. KVRIWDMExt_var holds an object
// of the interface, cast from any framework object that implements it.
//
// Loading the library also opens its trace channel, KVRWorldTrace ("KVRWorldTrace",
// level 3, format "DefaultFormat"), which stays open until the library is
// unloaded. The library itself traces nothing; a host reads the channel by
// installing a sink (KVRTraceLog::setSink).

#include "KVRTraceLog.h"
#include "KVRWorldModelExport.h"
#include "OmxBaseUnknown.h"

KVRWORLDMODEL_API extern const OmxGUID IID_KVRIWDMExt;

class KVRWORLDMODEL_API KVRIWDMExt : public OmxBaseUnknown {
 public:
  // The interface's meta class, made and registered on the first call.
  static OmxMetaClass* MetaObject();
  static const OmxGUID& ClassId();
  static const char* ClassName();

  OmxMetaClass* GetMetaObject() const override;

 protected:
  KVRIWDMExt() = default;
  ~KVRIWDMExt() override;

 private:
  static OmxMetaClass* meta_object;  // null until first requested; never freed
};

// Holds one reference to a KVRIWDMExt.
class KVRWORLDMODEL_API KVRIWDMExt_var : public OmxBaseUnknown_var {
 public:
  KVRIWDMExt_var() = default;
  // Holds `object` as a KVRIWDMExt; holds nothing when it does not implement it.
  explicit KVRIWDMExt_var(IUnknown* object) : OmxBaseUnknown_var(__CastTo(object)) {}

  // `object` as a KVRIWDMExt, or null.
  static KVRIWDMExt* __CastTo(IUnknown* object);

  KVRIWDMExt* get() const { return static_cast<KVRIWDMExt*>(OmxBaseUnknown_var::get()); }
  KVRIWDMExt* operator->() const { return get(); }
};

// The library's trace channel, open while the library is loaded.
KVRWORLDMODEL_API extern KVRTraceLog KVRWorldTrace;

// Answers 1: a host calls it to tell that this library is loaded.
extern "C" KVRWORLDMODEL_API int KVRWorldModelMarker();
