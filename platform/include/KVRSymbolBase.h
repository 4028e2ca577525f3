#pragma once

// A named, typed property of an entity. The entity owns its symbols and
// deletes them through this base.

#include <memory>
#include <string>

#include "KVRPlatformExport.h"

class KVRPLATFORM_API KVRSymbolBase {
 public:
  // Type codes of the typed symbols.
  enum symbolType {
    UnknownType = 0,
    BoolType = 1,
    CharType = 2,
    WcharType = 3,
    StringType = 4,
    WstringType = 5,
    Int32Type = 6,
    Int32VectorType = 7,
    Int64Type = 8,
    Int64VectorType = 9,
    RealType = 10,
    RealVectorType = 11,
    Vector3DType = 12,
    EulerType = 13
  };

  KVRSymbolBase() = default;
  KVRSymbolBase(const KVRSymbolBase&) = default;
  KVRSymbolBase& operator=(const KVRSymbolBase&) = default;
  virtual ~KVRSymbolBase();

  const std::wstring& getSymbolName() const { return name_ ? *name_ : noName(); }
  symbolType getSymbolType() const { return type_; }
  void setSymbolName(const std::wstring& name) { name_ = std::make_shared<const std::wstring>(name); }
  void setSymbolType(symbolType type) { type_ = type; }

 private:
  static const std::wstring& noName();

  // Shared by the copies: the symbols a table hands out copy no text.
  std::shared_ptr<const std::wstring> name_;
  symbolType type_ = UnknownType;
};

// Widens a narrow text character by character.
KVRPLATFORM_API void KVRAssign(std::wstring& destination, const std::string& source);
