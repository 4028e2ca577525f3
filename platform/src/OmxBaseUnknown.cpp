#include "OmxBaseUnknown.h"

#include <utility>

namespace {
constexpr OmxGUID IID_OmxBaseUnknown("5a8d1f40-7c1e-4a52-8f3d-6b9e2c4d1a00");
}

IUnknown::~IUnknown() = default;

OmxMetaClass* OmxBaseUnknown::MetaObject() {
  static OmxMetaClass meta(IID_OmxBaseUnknown, "OmxBaseUnknown", nullptr, nullptr,
                           OmxMetaClass::InterfaceKind);
  return &meta;
}

OmxBaseUnknown::~OmxBaseUnknown() = default;

unsigned long OmxBaseUnknown::AddRef() { return ++references_; }

unsigned long OmxBaseUnknown::Release() {
  const unsigned long left = --references_;
  if (left == 0) delete this;
  return left;
}

IUnknown* OmxBaseUnknown::QueryInterface(const OmxGUID& iid) {
  const OmxMetaClass* meta = GetMetaObject();
  return meta && meta->IsA(iid) ? this : nullptr;
}

OmxMetaClass* OmxBaseUnknown::GetMetaObject() const { return MetaObject(); }

OmxBaseUnknown_var::OmxBaseUnknown_var(IUnknown* object) : object_(object) {
  if (object_) object_->AddRef();
}

OmxBaseUnknown_var::OmxBaseUnknown_var(const OmxBaseUnknown_var& other) : OmxBaseUnknown_var(other.object_) {}

OmxBaseUnknown_var& OmxBaseUnknown_var::operator=(const OmxBaseUnknown_var& other) {
  OmxBaseUnknown_var copy(other);
  std::swap(object_, copy.object_);
  return *this;
}

OmxBaseUnknown_var::~OmxBaseUnknown_var() {
  if (object_) object_->Release();
}

IUnknown* OmxBaseUnknown_var::CastTo(IUnknown* object, const OmxGUID& iid) {
  return object ? object->QueryInterface(iid) : nullptr;
}
