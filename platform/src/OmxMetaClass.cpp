#include "OmxMetaClass.h"

constinit const OmxGUID CLSID_OmxMetaClass("3b0f6d2a-71c4-4e8e-9a5d-0c6e1f2b7a90");

OmxMetaClass::OmxMetaClass(const OmxGUID& id, const char* name, OmxMetaClass* base, OmxMetaClass* secondBase,
                           int kind)
    : id_(id), name_(name ? name : ""), base_(base), secondBase_(secondBase), kind_(kind) {}

bool OmxMetaClass::IsA(const OmxGUID& id) const {
  if (id_ == id) return true;
  return (base_ && base_->IsA(id)) || (secondBase_ && secondBase_->IsA(id));
}

void OmxMetaClass::SetFWname(const char* name) { frameworkName_ = name ? name : ""; }
