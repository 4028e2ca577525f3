#pragma once

// KVRSymbol<T>: a named property of an entity with a value of type T (a
// conveyor's speed, a fixture's clamp flag, a part's serial number). The
// symbol keeps no value itself: it reads the value through its get functor
// and writes it through its set functor, which reach wherever the value
// lives. A copy has the same name, type code and functors, so it reads and
// writes the same value as the symbol it was copied from.
//
// When the value lives in an object made for the symbol alone (a real data
// holder made on request), the symbol owns that object as its storage: the
// symbol and all its copies share it and the last of them frees it.
//
// Type codes (KVRSymbolBase::symbolType): boolean 1 and int 6 (both
// KVRSymbol<int>), char 2, wchar_t 3, string 4, wstring 5, vector<int> 7,
// long long 8, vector<long long> 9, double 10, vector<double> 11, 3-D vector
// 12, Euler angles 13.

#include <memory>
#include <string>
#include <vector>

#include "KVRBasicEuler3D.h"
#include "KVRBasicVector3D.h"
#include "KVRException.h"
#include "KVRFunctor.h"
#include "KVRSymbolBase.h"
#include "KVRWorldModelExport.h"

template <class T>
class KVRWORLDMODEL_API KVRSymbol : public KVRSymbolBase {
 public:
  using value_type = T;

  // No name, type code 0, no functors.
  KVRSymbol() = default;
  KVRSymbol(const KVRSymbol&) = default;
  KVRSymbol& operator=(const KVRSymbol&) = default;
  ~KVRSymbol() override = default;

  // Calls the get functor; KVREInvalidArgument when the symbol has none (a
  // symbol a symbol-table lookup did not find has none).
  T getValue() const {
    if (getter_.isEmpty()) refuseWithout(L"get");
    return getter_();
  }
  bool hasGetFunctor() const { return !getter_.isEmpty(); }
  bool hasSetFunctor() const { return !setter_.isEmpty(); }
  // The object that holds the value when the symbol owns it; null otherwise.
  const std::shared_ptr<void>& getStorage() const { return storage_; }

  // Calls the set functor; KVREInvalidArgument when the symbol has none.
  void setValue(const T& value) {
    if (setter_.isEmpty()) refuseWithout(L"set");
    setter_(value);
  }
  // A symbol has one functor of each kind: adding one replaces the previous.
  void addGetFunctor(const KVRFunctor0wRet<T>& getter) { getter_ = getter; }
  void addSetFunctor(const KVRFunctor1<T>& setter) { setter_ = setter; }
  // Makes the symbol (and the copies made from now on) share ownership of
  // the object its functors reach.
  void setStorage(std::shared_ptr<void> storage) { storage_ = std::move(storage); }

 private:
  [[noreturn]] void refuseWithout(const wchar_t* kind) const {
    throw KVREInvalidArgument(std::wstring(L"The symbol \"%1\" has no ") + kind +
                              L" functor (a symbol the table did not find has none)")
        << getSymbolName();
  }

  KVRFunctor1<T> setter_;
  KVRFunctor0wRet<T> getter_;
  std::shared_ptr<void> storage_;
};
