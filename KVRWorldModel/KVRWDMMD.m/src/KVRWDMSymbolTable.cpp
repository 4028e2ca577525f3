#include "KVRWDMSymbolTable.h"

#include <memory>
#include <type_traits>

#include "KVRRealData.h"

namespace {

using SymbolType = KVRSymbolBase::symbolType;

template <class T>
constexpr SymbolType typeCodeOf() {
  if constexpr (std::is_same_v<T, char>)
    return KVRSymbolBase::CharType;
  else if constexpr (std::is_same_v<T, wchar_t>)
    return KVRSymbolBase::WcharType;
  else if constexpr (std::is_same_v<T, std::string>)
    return KVRSymbolBase::StringType;
  else if constexpr (std::is_same_v<T, std::wstring>)
    return KVRSymbolBase::WstringType;
  else if constexpr (std::is_same_v<T, int>)
    return KVRSymbolBase::Int32Type;
  else if constexpr (std::is_same_v<T, std::vector<int>>)
    return KVRSymbolBase::Int32VectorType;
  else if constexpr (std::is_same_v<T, long long>)
    return KVRSymbolBase::Int64Type;
  else if constexpr (std::is_same_v<T, std::vector<long long>>)
    return KVRSymbolBase::Int64VectorType;
  else if constexpr (std::is_same_v<T, double>)
    return KVRSymbolBase::RealType;
  else if constexpr (std::is_same_v<T, std::vector<double>>)
    return KVRSymbolBase::RealVectorType;
  else if constexpr (std::is_same_v<T, KVRBasicVector3D<double>>)
    return KVRSymbolBase::Vector3DType;
  else if constexpr (std::is_same_v<T, KVRBasicEuler3D<double>>)
    return KVRSymbolBase::EulerType;
  else
    static_assert(!sizeof(T), "no type code for this symbol type");
}

// The symbol as a KVRSymbol<T> when its type code is one of T's (an int
// symbol may be a boolean, code 1) and it really is one; otherwise null, so
// that a symbol whose code does not match its class is never misread.
template <class T>
KVRSymbol<T>* asTyped(KVRSymbolBase* symbol) {
  if (!symbol) return nullptr;
  const SymbolType code = symbol->getSymbolType();
  const bool accepted =
      code == typeCodeOf<T>() || (std::is_same_v<T, int> && code == KVRSymbolBase::BoolType);
  return accepted ? dynamic_cast<KVRSymbol<T>*>(symbol) : nullptr;
}

// A symbol path split at its last symbol separator, read in place.
struct SymbolPath {
  explicit SymbolPath(const std::wstring& path, wchar_t symbolSeparator) {
    const std::size_t split = path.rfind(symbolSeparator);
    if (split == std::wstring::npos) {
      symbolName = path;
      return;
    }
    hasEntityPart = true;
    entityPath = std::wstring_view(path).substr(0, split);
    symbolName = std::wstring_view(path).substr(split + 1);
  }

  // The entity the entity part names, below or from `anchor`; the anchor
  // itself for a bare name or an entity part that names nothing.
  KVRSharedHandle<KVRBasicEntity> owner(const KVRSharedHandle<KVRBasicEntity>& anchor,
                                        wchar_t entitySeparator) const {
    if (!hasEntityPart) return anchor;
    KVRSharedHandle<KVRBasicEntity> entity(anchor->findEntity(entityPath, entitySeparator),
                                           KVRSharedBase::WriteLock);
    return entity ? entity : anchor;
  }

  bool hasEntityPart = false;
  std::wstring_view entityPath;
  std::wstring_view symbolName;
};

}  // namespace

KVRSymbolTable::~KVRSymbolTable() = default;

KVRWDMSymbolTable::KVRWDMSymbolTable() = default;

KVRWDMSymbolTable::KVRWDMSymbolTable(const KVRSharedHandle<KVRBasicEntity>& anchor) : anchor_(anchor) {}

KVRWDMSymbolTable::~KVRWDMSymbolTable() = default;

// --- Lookup and creation ---------------------------------------------------

KVRSymbolBase* KVRWDMSymbolTable::locateSymbol_(const std::wstring& path, const wchar_t entitySeparator,
                                                const wchar_t symbolSeparator) const {
  if (!anchor_) return nullptr;
  const KVRSharedHandle<KVRBasicEntity> anchor(anchor_, KVRSharedBase::WriteLock);
  if (path.find(symbolSeparator) == std::wstring::npos) return anchor->getSymbol(std::wstring_view(path));
  const SymbolPath parts(path, symbolSeparator);
  return parts.owner(anchor, entitySeparator)->getSymbol(parts.symbolName);
}

KVRSymbolBase* KVRWDMSymbolTable::createSymbol_(const std::wstring& path, const wchar_t entitySeparator,
                                                const wchar_t symbolSeparator) {
  if (!anchor_) return nullptr;
  const SymbolPath parts(path, symbolSeparator);
  if (parts.symbolName.empty()) return nullptr;  // would read as a default symbol
  const KVRSharedHandle<KVRBasicEntity> anchor(anchor_, KVRSharedBase::WriteLock);
  const KVRSharedHandle<KVRBasicEntity> owner = parts.owner(anchor, entitySeparator);

  auto symbol = std::make_unique<KVRSymbol<double>>();
  KVRRealData::bindNew(*symbol, std::wstring(parts.symbolName), 0.0);
  owner->addSymbol(symbol.release());
  return locateSymbol_(path, entitySeparator, symbolSeparator);
}

template <class T>
void KVRWDMSymbolTable::copyLocated(KVRSymbol<T>& symbol, const std::wstring& path, wchar_t entitySeparator,
                                    wchar_t symbolSeparator) const {
  if (KVRSymbol<T>* found = asTyped<T>(locateSymbol_(path, entitySeparator, symbolSeparator)))
    symbol = *found;
}

template <class T>
KVRSymbol<T> KVRWDMSymbolTable::typed(const std::wstring& path, wchar_t entitySeparator,
                                      wchar_t symbolSeparator) {
  KVRSymbol<T> symbol;
  getSymbol(symbol, path, entitySeparator, symbolSeparator);
  return symbol;
}

// --- getSymbol -------------------------------------------------------------

void KVRWDMSymbolTable::getSymbol(KVRSymbol<char>& symbol, const std::wstring& path,
                                  const wchar_t entitySeparator, const wchar_t symbolSeparator) {
  copyLocated(symbol, path, entitySeparator, symbolSeparator);
}

void KVRWDMSymbolTable::getSymbol(KVRSymbol<wchar_t>& symbol, const std::wstring& path,
                                  const wchar_t entitySeparator, const wchar_t symbolSeparator) {
  copyLocated(symbol, path, entitySeparator, symbolSeparator);
}

void KVRWDMSymbolTable::getSymbol(KVRSymbol<std::string>& symbol, const std::wstring& path,
                                  const wchar_t entitySeparator, const wchar_t symbolSeparator) {
  copyLocated(symbol, path, entitySeparator, symbolSeparator);
}

void KVRWDMSymbolTable::getSymbol(KVRSymbol<std::wstring>& symbol, const std::wstring& path,
                                  const wchar_t entitySeparator, const wchar_t symbolSeparator) {
  copyLocated(symbol, path, entitySeparator, symbolSeparator);
}

void KVRWDMSymbolTable::getSymbol(KVRSymbol<int>& symbol, const std::wstring& path,
                                  const wchar_t entitySeparator, const wchar_t symbolSeparator) {
  copyLocated(symbol, path, entitySeparator, symbolSeparator);
}

void KVRWDMSymbolTable::getSymbol(KVRSymbol<std::vector<int>>& symbol, const std::wstring& path,
                                  const wchar_t entitySeparator, const wchar_t symbolSeparator) {
  copyLocated(symbol, path, entitySeparator, symbolSeparator);
}

void KVRWDMSymbolTable::getSymbol(KVRSymbol<long long>& symbol, const std::wstring& path,
                                  const wchar_t entitySeparator, const wchar_t symbolSeparator) {
  copyLocated(symbol, path, entitySeparator, symbolSeparator);
}

void KVRWDMSymbolTable::getSymbol(KVRSymbol<std::vector<long long>>& symbol, const std::wstring& path,
                                  const wchar_t entitySeparator, const wchar_t symbolSeparator) {
  copyLocated(symbol, path, entitySeparator, symbolSeparator);
}

void KVRWDMSymbolTable::getSymbol(KVRSymbol<double>& symbol, const std::wstring& path,
                                  const wchar_t entitySeparator, const wchar_t symbolSeparator) {
  if (KVRSymbolBase* found = locateSymbol_(path, entitySeparator, symbolSeparator)) {
    if (KVRSymbol<double>* real = asTyped<double>(found)) {
      symbol = *real;
      if (symbol.hasGetFunctor() && symbol.hasSetFunctor()) symbol.setValue(symbol.getValue());
    }
    return;
  }
  if (KVRSymbol<double>* created = asTyped<double>(createSymbol_(path, entitySeparator, symbolSeparator)))
    symbol = *created;
}

void KVRWDMSymbolTable::getSymbol(KVRSymbol<std::vector<double>>& symbol, const std::wstring& path,
                                  const wchar_t entitySeparator, const wchar_t symbolSeparator) {
  copyLocated(symbol, path, entitySeparator, symbolSeparator);
}

void KVRWDMSymbolTable::getSymbol(KVRSymbol<KVRBasicVector3D<double>>& symbol, const std::wstring& path,
                                  const wchar_t entitySeparator, const wchar_t symbolSeparator) {
  copyLocated(symbol, path, entitySeparator, symbolSeparator);
}

void KVRWDMSymbolTable::getSymbol(KVRSymbol<KVRBasicEuler3D<double>>& symbol, const std::wstring& path,
                                  const wchar_t entitySeparator, const wchar_t symbolSeparator) {
  copyLocated(symbol, path, entitySeparator, symbolSeparator);
}

// --- Typed getters ---------------------------------------------------------

KVRSymbol<int> KVRWDMSymbolTable::getboolSymbol(const std::wstring& path, const wchar_t entitySeparator,
                                                const wchar_t symbolSeparator) {
  return typed<int>(path, entitySeparator, symbolSeparator);
}

KVRSymbol<char> KVRWDMSymbolTable::getcharSymbol(const std::wstring& path, const wchar_t entitySeparator,
                                                 const wchar_t symbolSeparator) {
  return typed<char>(path, entitySeparator, symbolSeparator);
}

KVRSymbol<wchar_t> KVRWDMSymbolTable::getwhar_tSymbol(const std::wstring& path, const wchar_t entitySeparator,
                                                      const wchar_t symbolSeparator) {
  return typed<wchar_t>(path, entitySeparator, symbolSeparator);
}

KVRSymbol<std::string> KVRWDMSymbolTable::getstringSymbol(const std::wstring& path,
                                                          const wchar_t entitySeparator,
                                                          const wchar_t symbolSeparator) {
  return typed<std::string>(path, entitySeparator, symbolSeparator);
}

KVRSymbol<std::wstring> KVRWDMSymbolTable::getwstringSymbol(const std::wstring& path,
                                                            const wchar_t entitySeparator,
                                                            const wchar_t symbolSeparator) {
  return typed<std::wstring>(path, entitySeparator, symbolSeparator);
}

KVRSymbol<int> KVRWDMSymbolTable::getInteger32Symbol(const std::wstring& path, const wchar_t entitySeparator,
                                                     const wchar_t symbolSeparator) {
  return typed<int>(path, entitySeparator, symbolSeparator);
}

KVRSymbol<std::vector<int>> KVRWDMSymbolTable::getInt32VectSymbol(const std::wstring& path,
                                                                  const wchar_t entitySeparator,
                                                                  const wchar_t symbolSeparator) {
  return typed<std::vector<int>>(path, entitySeparator, symbolSeparator);
}

KVRSymbol<long long> KVRWDMSymbolTable::getInteger64Symbol(const std::wstring& path,
                                                           const wchar_t entitySeparator,
                                                           const wchar_t symbolSeparator) {
  return typed<long long>(path, entitySeparator, symbolSeparator);
}

KVRSymbol<std::vector<long long>> KVRWDMSymbolTable::getInt64VectSymbol(const std::wstring& path,
                                                                        const wchar_t entitySeparator,
                                                                        const wchar_t symbolSeparator) {
  return typed<std::vector<long long>>(path, entitySeparator, symbolSeparator);
}

KVRSymbol<double> KVRWDMSymbolTable::getRealSymbol(const std::wstring& path, const wchar_t entitySeparator,
                                                   const wchar_t symbolSeparator) {
  return typed<double>(path, entitySeparator, symbolSeparator);
}

KVRSymbol<std::vector<double>> KVRWDMSymbolTable::getRealVectSymbol(const std::wstring& path,
                                                                    const wchar_t entitySeparator,
                                                                    const wchar_t symbolSeparator) {
  return typed<std::vector<double>>(path, entitySeparator, symbolSeparator);
}

KVRSymbol<KVRBasicVector3D<double>> KVRWDMSymbolTable::getVect3DSymbol(const std::wstring& path,
                                                                       const wchar_t entitySeparator,
                                                                       const wchar_t symbolSeparator) {
  return typed<KVRBasicVector3D<double>>(path, entitySeparator, symbolSeparator);
}

KVRSymbol<KVRBasicEuler3D<double>> KVRWDMSymbolTable::getEulerSymbol(const std::wstring& path,
                                                                     const wchar_t entitySeparator,
                                                                     const wchar_t symbolSeparator) {
  return typed<KVRBasicEuler3D<double>>(path, entitySeparator, symbolSeparator);
}
