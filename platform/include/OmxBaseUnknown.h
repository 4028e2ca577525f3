#pragma once

// Interface objects of the component-framework stand-in (see OmxMetaClass.h).
//
// IUnknown is the root of every framework interface: reference counting and
// the question "do you implement this interface?". OmxBaseUnknown implements
// it: an object answers for every interface its meta class derives from
// (GetMetaObject(), overridden by each interface). OmxBaseUnknown_var holds
// one reference to an interface object and releases it when it goes.
//
// Unlike the framework it stands in for, QueryInterface adds no reference:
// the holder that keeps the result adds its own.

#include "KVRPlatformExport.h"
#include "OmxMetaClass.h"

class KVRPLATFORM_API IUnknown {
 public:
  virtual unsigned long AddRef() = 0;
  // Deletes the object when the last reference goes; returns the references left.
  virtual unsigned long Release() = 0;
  // The object as interface `iid`, or null when it does not implement it.
  virtual IUnknown* QueryInterface(const OmxGUID& iid) = 0;

 protected:
  IUnknown() = default;
  virtual ~IUnknown();
};

class KVRPLATFORM_API OmxBaseUnknown : public IUnknown {
 public:
  // The meta class of the root interface, "OmxBaseUnknown", kind 8, made on first use.
  static OmxMetaClass* MetaObject();
  static const OmxGUID& ClassId() { return MetaObject()->GetId(); }
  static const char* ClassName() { return MetaObject()->GetName(); }

  OmxBaseUnknown(const OmxBaseUnknown&) = delete;
  OmxBaseUnknown& operator=(const OmxBaseUnknown&) = delete;

  unsigned long AddRef() override;
  unsigned long Release() override;
  IUnknown* QueryInterface(const OmxGUID& iid) override;

  // The meta class of the object's most derived interface.
  virtual OmxMetaClass* GetMetaObject() const;

 protected:
  // A new object has no references: the first holder adds one.
  OmxBaseUnknown() = default;
  ~OmxBaseUnknown() override;

 private:
  unsigned long references_ = 0;
};

// Holds one reference to an interface object.
class KVRPLATFORM_API OmxBaseUnknown_var {
 public:
  OmxBaseUnknown_var() = default;
  // Holds `object` (adding a reference); null holds nothing.
  explicit OmxBaseUnknown_var(IUnknown* object);
  OmxBaseUnknown_var(const OmxBaseUnknown_var& other);
  OmxBaseUnknown_var& operator=(const OmxBaseUnknown_var& other);
  ~OmxBaseUnknown_var();

  // `object` as interface `iid`, or null when it is null or does not implement it.
  static IUnknown* CastTo(IUnknown* object, const OmxGUID& iid);

  IUnknown* get() const { return object_; }
  explicit operator bool() const { return object_ != nullptr; }

 private:
  IUnknown* object_ = nullptr;
};
