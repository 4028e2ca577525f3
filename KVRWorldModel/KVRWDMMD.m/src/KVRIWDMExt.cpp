// The component interface of the library and what loading the library does:
// registering the interface with the component framework and opening the
// trace channel.

#include "KVRIWDMExt.h"

#include "OmxDictionary.h"

constinit const OmxGUID IID_KVRIWDMExt("8e3f5c12-4a7b-4d29-b1e6-0f9a2c7d5e34");

namespace {

constexpr const char* InterfaceName = "KVRIWDMExt";
constexpr const char* MetaObjectFunction = "MetaObject";
constexpr const char* FrameworkName = "KVRWorldModel";
// The numbers the dictionary records with the registration.
constexpr int DictionaryKind = 1;
constexpr int DictionaryFlags = 0;
constexpr int DictionaryVersion = 2;

constexpr int TraceLevel = 3;

}  // namespace

OmxMetaClass* KVRIWDMExt::meta_object = nullptr;

OmxMetaClass* KVRIWDMExt::MetaObject() {
  if (!meta_object) {
    meta_object = new OmxMetaClass(IID_KVRIWDMExt, InterfaceName, OmxBaseUnknown::MetaObject(), nullptr,
                                   OmxMetaClass::InterfaceKind);
    AddDictionary(IID_KVRIWDMExt, CLSID_OmxMetaClass, InterfaceName, MetaObjectFunction, meta_object,
                  DictionaryKind, DictionaryFlags, DictionaryVersion);
    meta_object->SetFWname(FrameworkName);
  }
  return meta_object;
}

const OmxGUID& KVRIWDMExt::ClassId() { return MetaObject()->GetId(); }

const char* KVRIWDMExt::ClassName() { return MetaObject()->GetName(); }

OmxMetaClass* KVRIWDMExt::GetMetaObject() const { return MetaObject(); }

KVRIWDMExt::~KVRIWDMExt() = default;

KVRIWDMExt* KVRIWDMExt_var::__CastTo(IUnknown* object) {
  return dynamic_cast<KVRIWDMExt*>(OmxBaseUnknown_var::CastTo(object, IID_KVRIWDMExt));
}

// --- Library load and unload -----------------------------------------------
// Static objects of the library: built when it is loaded, in this order,
// destroyed when it is unloaded.

namespace {
const OmxFillDictionary registration(IID_KVRIWDMExt, CLSID_OmxMetaClass, KVRIWDMExt::MetaObject(), 0);
}

KVRTraceLog KVRWorldTrace(L"KVRWorldTrace", TraceLevel, L"DefaultFormat");

extern "C" int KVRWorldModelMarker() { return 1; }
