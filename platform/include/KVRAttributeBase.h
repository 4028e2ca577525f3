#pragma once

// Named attributes: values a user hangs on a model object under a key (a
// fixture's clamp force, a part's lot number, a tool's offset). An attribute
// set owns its attributes and copies them through clone(), so every attribute
// class answers clone() with a new object of its own class.
//
// The typed attributes hold one value each: an integer, a real, a wide
// string or a 3-D vector.

#include <string>

#include "KVRBasicVector3D.h"
#include "KVRPlatformExport.h"

class KVRPLATFORM_API KVRAttributeBase {
 public:
  KVRAttributeBase() = default;
  KVRAttributeBase(const KVRAttributeBase&) = default;
  KVRAttributeBase& operator=(const KVRAttributeBase&) = default;
  virtual ~KVRAttributeBase();

  // A new attribute of this one's own class and value; the caller owns it.
  virtual KVRAttributeBase* clone() const = 0;
};

template <class T>
class KVRPLATFORM_API KVRAttribute : public KVRAttributeBase {
 public:
  using value_type = T;

  KVRAttribute() = default;
  explicit KVRAttribute(T value) : value_(std::move(value)) {}

  KVRAttribute* clone() const override { return new KVRAttribute(*this); }

  const T& getValue() const { return value_; }
  void setValue(const T& value) { value_ = value; }

 private:
  T value_{};
};

using KVRIntegerAttribute = KVRAttribute<int>;
using KVRRealAttribute = KVRAttribute<double>;
using KVRWStringAttribute = KVRAttribute<std::wstring>;
using KVRVector3DAttribute = KVRAttribute<KVRBasicVector3D<double>>;
