#pragma once

// KVRSymbolTable: name-based access to the typed properties (symbols) of a
// scene. A symbol path names an entity and a symbol on it, with two
// separators the caller chooses for each request: "Arm/Link1.speed" with '/'
// between entity names and '.' before the symbol name. Each getter returns a
// typed copy of the symbol it finds (reading and writing the same value as
// the symbol itself), or a default symbol (no name, type code 0, no functors)
// when there is none of that type.
//
// The getters come first in the virtual table, in the order of the type
// codes, then the getSymbol overloads; the destructor is declared last so
// that it takes no slot before them.

#include <string>
#include <vector>

#include "KVRSymbol.h"
#include "KVRWorldModelExport.h"

class KVRWORLDMODEL_API KVRSymbolTable {
 public:
  KVRSymbolTable() = default;
  KVRSymbolTable(const KVRSymbolTable&) = default;
  KVRSymbolTable& operator=(const KVRSymbolTable&) = default;

  // Arguments of every getter: the symbol path, the entity separator, the
  // symbol separator.
  virtual KVRSymbol<int> getboolSymbol(const std::wstring& path, const wchar_t entitySeparator,
                                       const wchar_t symbolSeparator) = 0;
  virtual KVRSymbol<char> getcharSymbol(const std::wstring& path, const wchar_t entitySeparator,
                                        const wchar_t symbolSeparator) = 0;
  virtual KVRSymbol<wchar_t> getwhar_tSymbol(const std::wstring& path, const wchar_t entitySeparator,
                                             const wchar_t symbolSeparator) = 0;
  virtual KVRSymbol<std::string> getstringSymbol(const std::wstring& path, const wchar_t entitySeparator,
                                                 const wchar_t symbolSeparator) = 0;
  virtual KVRSymbol<std::wstring> getwstringSymbol(const std::wstring& path, const wchar_t entitySeparator,
                                                   const wchar_t symbolSeparator) = 0;
  virtual KVRSymbol<int> getInteger32Symbol(const std::wstring& path, const wchar_t entitySeparator,
                                            const wchar_t symbolSeparator) = 0;
  virtual KVRSymbol<std::vector<int>> getInt32VectSymbol(const std::wstring& path,
                                                         const wchar_t entitySeparator,
                                                         const wchar_t symbolSeparator) = 0;
  virtual KVRSymbol<long long> getInteger64Symbol(const std::wstring& path, const wchar_t entitySeparator,
                                                  const wchar_t symbolSeparator) = 0;
  virtual KVRSymbol<std::vector<long long>> getInt64VectSymbol(const std::wstring& path,
                                                               const wchar_t entitySeparator,
                                                               const wchar_t symbolSeparator) = 0;
  virtual KVRSymbol<double> getRealSymbol(const std::wstring& path, const wchar_t entitySeparator,
                                          const wchar_t symbolSeparator) = 0;
  virtual KVRSymbol<std::vector<double>> getRealVectSymbol(const std::wstring& path,
                                                           const wchar_t entitySeparator,
                                                           const wchar_t symbolSeparator) = 0;
  virtual KVRSymbol<KVRBasicVector3D<double>> getVect3DSymbol(const std::wstring& path,
                                                              const wchar_t entitySeparator,
                                                              const wchar_t symbolSeparator) = 0;
  virtual KVRSymbol<KVRBasicEuler3D<double>> getEulerSymbol(const std::wstring& path,
                                                            const wchar_t entitySeparator,
                                                            const wchar_t symbolSeparator) = 0;

  // The symbol the path names, when it has the type of `symbol`, is copied
  // into `symbol`; otherwise `symbol` is left as it was.
  virtual void getSymbol(KVRSymbol<char>& symbol, const std::wstring& path, const wchar_t entitySeparator,
                         const wchar_t symbolSeparator) = 0;
  virtual void getSymbol(KVRSymbol<wchar_t>& symbol, const std::wstring& path, const wchar_t entitySeparator,
                         const wchar_t symbolSeparator) = 0;
  virtual void getSymbol(KVRSymbol<std::string>& symbol, const std::wstring& path,
                         const wchar_t entitySeparator, const wchar_t symbolSeparator) = 0;
  virtual void getSymbol(KVRSymbol<std::wstring>& symbol, const std::wstring& path,
                         const wchar_t entitySeparator, const wchar_t symbolSeparator) = 0;
  virtual void getSymbol(KVRSymbol<int>& symbol, const std::wstring& path, const wchar_t entitySeparator,
                         const wchar_t symbolSeparator) = 0;
  virtual void getSymbol(KVRSymbol<std::vector<int>>& symbol, const std::wstring& path,
                         const wchar_t entitySeparator, const wchar_t symbolSeparator) = 0;
  virtual void getSymbol(KVRSymbol<long long>& symbol, const std::wstring& path,
                         const wchar_t entitySeparator, const wchar_t symbolSeparator) = 0;
  virtual void getSymbol(KVRSymbol<std::vector<long long>>& symbol, const std::wstring& path,
                         const wchar_t entitySeparator, const wchar_t symbolSeparator) = 0;
  virtual void getSymbol(KVRSymbol<double>& symbol, const std::wstring& path, const wchar_t entitySeparator,
                         const wchar_t symbolSeparator) = 0;
  virtual void getSymbol(KVRSymbol<std::vector<double>>& symbol, const std::wstring& path,
                         const wchar_t entitySeparator, const wchar_t symbolSeparator) = 0;
  virtual void getSymbol(KVRSymbol<KVRBasicVector3D<double>>& symbol, const std::wstring& path,
                         const wchar_t entitySeparator, const wchar_t symbolSeparator) = 0;
  virtual void getSymbol(KVRSymbol<KVRBasicEuler3D<double>>& symbol, const std::wstring& path,
                         const wchar_t entitySeparator, const wchar_t symbolSeparator) = 0;

  virtual ~KVRSymbolTable();
};
