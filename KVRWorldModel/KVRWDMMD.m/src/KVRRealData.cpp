#include "KVRRealData.h"

#include <memory>

KVRRealData::KVRRealData() = default;

KVRRealData::KVRRealData(KVRSymbol<double>& symbol, const std::wstring& name, double value)
    : name_(name), value_(value) {
  symbol.addSetFunctor(KVRMakeFunctorM(KVRFunctor1<double>(), this, &KVRRealData::setRealDataValue));
  symbol.addGetFunctor(KVRMakeFunctorM(KVRFunctor0wRet<double>(), this, &KVRRealData::getRealDataValue));
  symbol.setSymbolType(KVRSymbolBase::RealType);
  symbol.setSymbolName(name);
  symbol.setValue(value);
}

KVRRealData::KVRRealData(const KVRRealData& source) : name_(source.name_), value_(source.value_) {}

KVRRealData::~KVRRealData() = default;

KVRRealData& KVRRealData::bindNew(KVRSymbol<double>& symbol, const std::wstring& name, double value) {
  auto data = std::make_shared<KVRRealData>(symbol, name, value);
  KVRRealData& bound = *data;
  symbol.setStorage(std::move(data));
  return bound;
}
