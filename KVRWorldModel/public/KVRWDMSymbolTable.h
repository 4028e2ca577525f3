#pragma once

// KVRWDMSymbolTable: the symbol table of the world model, anchored at one
// entity (a cell, a robot). A path "Arm/Link1.speed" finds the anchor's
// descendant Arm/Link1 and its first symbol named speed; a bare name "speed"
// finds the anchor's own symbol; a path whose entity part names nothing
// ("Missing/Link.speed") falls back to the anchor's own symbol of that name.
// Symbols are matched by type code: a symbol of another type is not found.
//
// Only real symbols are made on request: getRealSymbol of a path that finds
// nothing creates a real symbol of value 0.0 under the symbol name, on the
// entity the path names, or on the anchor when the entity part names nothing,
// and the next request finds it. Its value lives in a KVRRealData that the
// symbol owns.
//
// Nothing is raised by the table: with no anchor, an unresolved path, a
// missing symbol or a type mismatch the getters return a default symbol.
// Exceptions of the symbols' functors reach the caller.

#include "KVRBasicEntity.h"
#include "KVRSymbolTable.h"

class KVRWORLDMODEL_API KVRWDMSymbolTable : public KVRSymbolTable {
 public:
  // No anchor: every request finds nothing.
  KVRWDMSymbolTable();
  explicit KVRWDMSymbolTable(const KVRSharedHandle<KVRBasicEntity>& anchor);
  ~KVRWDMSymbolTable() override;

  const KVRSharedHandle<KVRBasicEntity>& getEntity() const { return anchor_; }
  void setEntity(const KVRSharedHandle<KVRBasicEntity>& anchor) { anchor_ = anchor; }

  // getboolSymbol and getInteger32Symbol both return symbols of code 1 and 6.
  KVRSymbol<int> getboolSymbol(const std::wstring& path, const wchar_t entitySeparator,
                               const wchar_t symbolSeparator) override;
  KVRSymbol<char> getcharSymbol(const std::wstring& path, const wchar_t entitySeparator,
                                const wchar_t symbolSeparator) override;
  KVRSymbol<wchar_t> getwhar_tSymbol(const std::wstring& path, const wchar_t entitySeparator,
                                     const wchar_t symbolSeparator) override;
  KVRSymbol<std::string> getstringSymbol(const std::wstring& path, const wchar_t entitySeparator,
                                         const wchar_t symbolSeparator) override;
  KVRSymbol<std::wstring> getwstringSymbol(const std::wstring& path, const wchar_t entitySeparator,
                                           const wchar_t symbolSeparator) override;
  KVRSymbol<int> getInteger32Symbol(const std::wstring& path, const wchar_t entitySeparator,
                                    const wchar_t symbolSeparator) override;
  KVRSymbol<std::vector<int>> getInt32VectSymbol(const std::wstring& path, const wchar_t entitySeparator,
                                                 const wchar_t symbolSeparator) override;
  KVRSymbol<long long> getInteger64Symbol(const std::wstring& path, const wchar_t entitySeparator,
                                          const wchar_t symbolSeparator) override;
  KVRSymbol<std::vector<long long>> getInt64VectSymbol(const std::wstring& path,
                                                       const wchar_t entitySeparator,
                                                       const wchar_t symbolSeparator) override;
  // Creates the symbol when the path finds none (see above).
  KVRSymbol<double> getRealSymbol(const std::wstring& path, const wchar_t entitySeparator,
                                  const wchar_t symbolSeparator) override;
  KVRSymbol<std::vector<double>> getRealVectSymbol(const std::wstring& path, const wchar_t entitySeparator,
                                                   const wchar_t symbolSeparator) override;
  KVRSymbol<KVRBasicVector3D<double>> getVect3DSymbol(const std::wstring& path, const wchar_t entitySeparator,
                                                      const wchar_t symbolSeparator) override;
  KVRSymbol<KVRBasicEuler3D<double>> getEulerSymbol(const std::wstring& path, const wchar_t entitySeparator,
                                                    const wchar_t symbolSeparator) override;

  void getSymbol(KVRSymbol<char>& symbol, const std::wstring& path, const wchar_t entitySeparator,
                 const wchar_t symbolSeparator) override;
  void getSymbol(KVRSymbol<wchar_t>& symbol, const std::wstring& path, const wchar_t entitySeparator,
                 const wchar_t symbolSeparator) override;
  void getSymbol(KVRSymbol<std::string>& symbol, const std::wstring& path, const wchar_t entitySeparator,
                 const wchar_t symbolSeparator) override;
  void getSymbol(KVRSymbol<std::wstring>& symbol, const std::wstring& path, const wchar_t entitySeparator,
                 const wchar_t symbolSeparator) override;
  void getSymbol(KVRSymbol<int>& symbol, const std::wstring& path, const wchar_t entitySeparator,
                 const wchar_t symbolSeparator) override;
  void getSymbol(KVRSymbol<std::vector<int>>& symbol, const std::wstring& path, const wchar_t entitySeparator,
                 const wchar_t symbolSeparator) override;
  void getSymbol(KVRSymbol<long long>& symbol, const std::wstring& path, const wchar_t entitySeparator,
                 const wchar_t symbolSeparator) override;
  void getSymbol(KVRSymbol<std::vector<long long>>& symbol, const std::wstring& path,
                 const wchar_t entitySeparator, const wchar_t symbolSeparator) override;
  // A real symbol found is written back with its own value (so that whatever
  // its set functor does happens on every request); one not found is created.
  void getSymbol(KVRSymbol<double>& symbol, const std::wstring& path, const wchar_t entitySeparator,
                 const wchar_t symbolSeparator) override;
  void getSymbol(KVRSymbol<std::vector<double>>& symbol, const std::wstring& path,
                 const wchar_t entitySeparator, const wchar_t symbolSeparator) override;
  void getSymbol(KVRSymbol<KVRBasicVector3D<double>>& symbol, const std::wstring& path,
                 const wchar_t entitySeparator, const wchar_t symbolSeparator) override;
  void getSymbol(KVRSymbol<KVRBasicEuler3D<double>>& symbol, const std::wstring& path,
                 const wchar_t entitySeparator, const wchar_t symbolSeparator) override;

  // The symbol the path names, of any type: on the entity the entity part
  // names, else on the anchor; a bare name is looked up on the anchor only.
  // Null with no anchor or when there is none.
  KVRSymbolBase* locateSymbol_(const std::wstring& path, const wchar_t entitySeparator,
                               const wchar_t symbolSeparator) const;
  // Adds a real symbol of value 0.0 named after the symbol part of the path,
  // to the entity the entity part names or else to the anchor, and returns
  // it. Null, creating nothing, with no anchor or an empty symbol name.
  KVRSymbolBase* createSymbol_(const std::wstring& path, const wchar_t entitySeparator,
                               const wchar_t symbolSeparator);

 private:
  template <class T>
  void copyLocated(KVRSymbol<T>& symbol, const std::wstring& path, wchar_t entitySeparator,
                   wchar_t symbolSeparator) const;
  template <class T>
  KVRSymbol<T> typed(const std::wstring& path, wchar_t entitySeparator, wchar_t symbolSeparator);

  KVRSharedHandle<KVRBasicEntity> anchor_;
};
