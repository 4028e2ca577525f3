#pragma once

// A stand-in for the component framework that a host application uses to find
// libraries by interface identifier. It is not that framework: it keeps only
// what a library needs to declare its interfaces (meta classes, a dictionary
// of registrations, reference-counted interface objects) and does it in
// process memory. See OmxDictionary.h and OmxBaseUnknown.h.
//
// OmxMetaClass: the description of one interface of the framework: its
// identifier, its name, the meta classes it derives from, its class kind and
// the name of the framework (library) that declares it. Meta classes are made
// once and live until the process ends.

#include <string>

#include "KVRPlatformExport.h"
#include "KVRUUID.h"

// Interface and class identifiers of the framework.
using OmxGUID = KVRUUID;

class KVRPLATFORM_API OmxMetaClass {
 public:
  /// Class kind of an interface.
  static constexpr int InterfaceKind = 8;

  OmxMetaClass(const OmxGUID& id, const char* name, OmxMetaClass* base, OmxMetaClass* secondBase, int kind);
  OmxMetaClass(const OmxMetaClass&) = delete;
  OmxMetaClass& operator=(const OmxMetaClass&) = delete;

  const OmxGUID& GetId() const { return id_; }
  const char* GetName() const { return name_.c_str(); }
  OmxMetaClass* GetBase() const { return base_; }
  OmxMetaClass* GetSecondBase() const { return secondBase_; }
  int GetKind() const { return kind_; }
  // Empty until the declaring framework sets it.
  const char* GetFWname() const { return frameworkName_.c_str(); }

  // This meta class or one of its bases, at any depth, has identifier `id`.
  bool IsA(const OmxGUID& id) const;

  // A null name reads as empty.
  void SetFWname(const char* name);

 private:
  OmxGUID id_;
  std::string name_;
  OmxMetaClass* base_;
  OmxMetaClass* secondBase_;
  int kind_;
  std::string frameworkName_;
};

// The class identifier of meta classes: the class under which a meta class is
// registered in the dictionary.
KVRPLATFORM_API extern const OmxGUID CLSID_OmxMetaClass;
