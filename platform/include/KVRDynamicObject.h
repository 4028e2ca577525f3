#pragma once

// Run-time class information. Every model class has one static descriptor,
// ClassInfo_, built at library load (constant-initialised, so it is ready
// before any other static code runs): the class name, the instance size, the
// base class's descriptor, and for concrete classes a default factory and a
// copying factory. Class filters of the model select objects whose class is
// the given class or derives from it (isDerivedFrom).

#include <cstddef>

#include "KVRPlatformExport.h"
#include "KVRUUID.h"

class KVRClassInfo;

// Base of every model object: run-time class services and copying.
class KVRPLATFORM_API KVRDynamicObject {
 public:
  // How much a copy takes along: CopyAlone copies the object alone; the two
  // deep modes also copy its children.
  enum CopyMode { CopyAlone = 0, CopyDeep = 1, CopyDeepAll = 2 };

  static const KVRClassInfo ClassInfo_;

  KVRDynamicObject() = default;
  KVRDynamicObject(const KVRDynamicObject&) = default;
  KVRDynamicObject& operator=(const KVRDynamicObject&) = delete;
  virtual ~KVRDynamicObject();

  virtual const KVRClassInfo& getClassInfo() const;
  // The class identifier; the root class has none and answers a nil identity.
  virtual const KVRUUID& getClassID() const;
  const char* getClassName() const;
  // Exactly the given class.
  bool isInstanceOf(const KVRClassInfo& info) const;
  // The given class or a class derived from it.
  bool isDerivedFrom(const KVRClassInfo& info) const;

  // A new object of this object's own class made by its copying factory with
  // CopyAlone; null for a class without factories.
  KVRDynamicObject* replicateObject() const;
  // A new object of this object's own class made by its copying factory with
  // the given mode; null for a class without factories.
  virtual KVRDynamicObject* duplicateObject(CopyMode mode) const;
};

class KVRPLATFORM_API KVRClassInfo {
 public:
  using Factory = KVRDynamicObject* (*)();
  using CopyFactory = KVRDynamicObject* (*)(const KVRDynamicObject& source, KVRDynamicObject::CopyMode mode);

  constexpr KVRClassInfo(const char* name, std::size_t size, const KVRClassInfo* base, Factory create,
                         CopyFactory copy)
      : name_(name), size_(size), base_(base), create_(create), copy_(copy) {}
  KVRClassInfo(const KVRClassInfo&) = delete;
  KVRClassInfo& operator=(const KVRClassInfo&) = delete;

  // The descriptor of a concrete class T, which must offer a default
  // constructor and a constructor (const T&, CopyMode).
  template <class T>
  static constexpr KVRClassInfo concrete(const char* name, const KVRClassInfo& base) {
    return KVRClassInfo(
        name, sizeof(T), &base, []() -> KVRDynamicObject* { return new T; },
        [](const KVRDynamicObject& source, KVRDynamicObject::CopyMode mode) -> KVRDynamicObject* {
          return new T(static_cast<const T&>(source), mode);
        });
  }
  // The descriptor of an abstract class T: no factories.
  template <class T>
  static constexpr KVRClassInfo abstract(const char* name, const KVRClassInfo& base) {
    return KVRClassInfo(name, sizeof(T), &base, nullptr, nullptr);
  }

  const char* getClassName() const { return name_; }
  std::size_t getInstanceSize() const { return size_; }
  const KVRClassInfo* getBaseClass() const { return base_; }
  bool hasFactory() const { return create_ != nullptr; }

  bool isInstanceOf(const KVRClassInfo& other) const { return this == &other; }
  bool isDerivedFrom(const KVRClassInfo& other) const {
    for (const KVRClassInfo* info = this; info; info = info->base_)
      if (info == &other) return true;
    return false;
  }

  // A new default object of the class; null for an abstract class.
  KVRDynamicObject* createObject() const { return create_ ? create_() : nullptr; }
  // A copy of `source`, which must be of this class, made by the copying
  // factory; null for an abstract class.
  KVRDynamicObject* copyObject(const KVRDynamicObject& source, KVRDynamicObject::CopyMode mode) const {
    return copy_ ? copy_(source, mode) : nullptr;
  }

 private:
  const char* name_;
  std::size_t size_;
  const KVRClassInfo* base_;
  Factory create_;
  CopyFactory copy_;
};

// The object as a T when its class derives from T, otherwise null.
template <class TPointer, class Source>
TPointer KVRDynamicCast(Source* object) {
  return dynamic_cast<TPointer>(object);
}
