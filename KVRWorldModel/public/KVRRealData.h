#pragma once

// KVRRealData: the home of a real-valued property that has no other place to
// live, such as a conveyor speed a user asks for before anything defines it.
// It holds a name and a double, and bound to a KVRSymbol<double> it is what
// the symbol reads and writes: the symbol's functors call this object.
//
// A holder bound to a symbol must live as long as the symbol and its copies.
// bindNew() makes one that the symbol owns, which guarantees it.

#include <string>

#include "KVRSymbol.h"
#include "KVRWorldModelExport.h"

class KVRWORLDMODEL_API KVRRealData {
 public:
  // Empty name, value 0.0, bound to nothing.
  KVRRealData();
  // Binds `symbol` to this holder: its functors read and write this value,
  // its type code becomes 10 and its name `name`; then `value` is written
  // through the symbol.
  KVRRealData(KVRSymbol<double>& symbol, const std::wstring& name, double value);
  // Copies name and value; the copy is bound to no symbol.
  KVRRealData(const KVRRealData& source);
  KVRRealData& operator=(const KVRRealData& source) = default;
  // Leaves bound symbols as they are.
  ~KVRRealData();

  // A new holder bound to `symbol` as above and owned by it: the symbol and
  // its copies share it, and the last of them frees it.
  static KVRRealData& bindNew(KVRSymbol<double>& symbol, const std::wstring& name, double value);

  const std::wstring& getRealDataName() const { return name_; }
  double getRealDataValue() const { return value_; }

  void setRealDataValue(double value) { value_ = value; }

 private:
  std::wstring name_;
  double value_ = 0.0;
};
