// Typed symbols, real data and the symbol table: type codes, shared values, the anchor fallback.
#include <memory>
#include "KVRTestSupport.h"

namespace {
using namespace kvrtest;
using Names = std::vector<std::wstring>;
using Counts = std::vector<int>;
using Table = KVRWDMSymbolTable;
using Type = KVRSymbolBase::symbolType;

template <class T>
struct Store {  // the value behind a symbol; counts the writes
  T get() const { return value; }
  void set(const T& v) { value = v, ++writes; }
  T value{}; int writes = 0;
};
template <class S>
S* named(S* symbol, const std::wstring& name, Type code) {
  symbol->setSymbolName(name); symbol->setSymbolType(code);
  return symbol;
}
// A new symbol reading (and unless `readOnly`, writing) `store`.
template <class T>
KVRSymbol<T>* bound(Store<T>& store, const std::wstring& name, Type code, bool readOnly = false) {
  auto* symbol = named(new KVRSymbol<T>, name, code);
  symbol->addGetFunctor(KVRMakeFunctorM(KVRFunctor0wRet<T>(), &store, &Store<T>::get));
  if (!readOnly) symbol->addSetFunctor(KVRMakeFunctorM(KVRFunctor1<T>(), &store, &Store<T>::set));
  return symbol;
}
KVRSymbol<double>* real(const std::wstring& name, double value) {
  auto* symbol = new KVRSymbol<double>;
  KVRRealData::bindNew(*symbol, name, value);
  return symbol;
}
bool isDefault(const KVRSymbolBase& symbol) {
  return symbol.getSymbolName().empty() && symbol.getSymbolType() == KVRSymbolBase::UnknownType;
}

TEST(RealData, BoundSymbolsAndCopiesShareTheHolderWhichLivesAsLongAsTheLastCopy) {
  KVRSymbol<double> symbol;
  KVRRealData data(symbol, L"speed", 2.5);
  EXPECT_TRUE(symbol.getSymbolType() == KVRSymbolBase::RealType && symbol.getSymbolName() == L"speed");
  KVRSymbol<double> copy = symbol;
  EXPECT_EQ(copy.getValue(), 2.5);
  symbol.setValue(4.0);
  EXPECT_TRUE(data.getRealDataValue() == 4.0 && copy.getValue() == 4.0);
  copy.setValue(-1.0);
  EXPECT_EQ(symbol.getValue(), -1.0);
  KVRRealData unbound(data);  // copies name and value, drives no symbol
  unbound.setRealDataValue(9.0);
  EXPECT_TRUE(unbound.getRealDataName() == L"speed" && symbol.getValue() == -1.0);
  auto* made = real(L"speed", 1.5);
  std::weak_ptr<void> holder = made->getStorage();
  copy = *made;
  delete made;
  copy.setValue(3.0);  // still reaches the holder
  EXPECT_TRUE(!holder.expired() && copy.getValue() == 3.0);
  copy = KVRSymbol<double>();
  EXPECT_TRUE(holder.expired());
  KVRSymbol<int> bare;  // without functors: refuses to read or write
  bare.setSymbolName(L"clamped");
  const std::wstring missing = L" functor (a symbol the table did not find has none)";
  const std::wstring no = L"The symbol \"clamped\" has no ";
  expectThrowWithText<KVREInvalidArgument>([&] { bare.getValue(); }, no + L"get" + missing);
  expectThrowWithText<KVREInvalidArgument>([&] { bare.setValue(1); }, no + L"set" + missing);
}

// The scene: Cell ─┬─ Arm ── Link1
//                  └─ speed          (an entity named like Cell's symbol)
// Symbols: Cell.speed 1.5, Link1.speed 2.5, speed.speed 9 (real), Cell.clamped (bool) 1, Cell.count (int) 42.
class SymbolTable : public testing::Test {
 protected:
  void SetUp() override {
    cell->addLogicalChild(arm); arm->addLogicalChild(link1); cell->addLogicalChild(speedEntity);
    cell->flushLogicalState(); cell->addSymbol(real(L"speed", 1.5)); link1->addSymbol(real(L"speed", 2.5));
    speedEntity->addSymbol(real(L"speed", 9.0));
    clamped.value = 1, count.value = 42;
    cell->addSymbol(bound(clamped, L"clamped", KVRSymbolBase::BoolType));
    cell->addSymbol(bound(count, L"count", KVRSymbolBase::Int32Type));
  }
  void TearDown() override { cell->orphanObject(); }
  Counts counts() const { return {cell->getSymbolCount(), arm->getSymbolCount(), link1->getSymbolCount()}; }
  KVRSymbol<double> realAt(const std::wstring& path) { return table.getRealSymbol(path, L'/', L'.'); }
  KVRSharedHandle<KVRBasicEntity> cell = make(L"Cell"), arm = make(L"Arm"), link1 = make(L"Link1"),
                                  speedEntity = make(L"speed");
  Store<int> clamped, count;
  Table table{cell};
};

TEST_F(SymbolTable, PathFindsTheNamedEntitysSymbolFallsBackToTheAnchorAndSharesTheValue) {
  // To the anchor: missing entities, an empty entity part, an absolute path (no world), a bare name.
  for (const wchar_t* path : {L"Missing/Link.speed", L".speed", L"/W/Arm/Link1.speed", L"speed"})
    EXPECT_EQ(realAt(path).getValue(), 1.5) << path;
  EXPECT_EQ(realAt(L"Arm/Link1.speed").getValue(), 2.5); EXPECT_EQ(realAt(L"speed.speed").getValue(), 9.0);
  EXPECT_EQ(table.getRealSymbol(L"Arm/Link1/speed", L'/', L'/').getValue(), 2.5);  // name after the last
  EXPECT_EQ(table.locateSymbol_(L"speed", L'/', L'.'), cell->getSymbol(L"speed"));
  // Copies from the table read and write the entity's value.
  KVRSymbol<int> flag = table.getboolSymbol(L"clamped", L'/', L'.');
  flag.setValue(0);
  EXPECT_EQ(clamped.value, 0);
  clamped.value = 1;
  EXPECT_EQ(flag.getValue(), 1);
  realAt(L"Arm/Link1.speed").setValue(7.0);
  EXPECT_EQ(static_cast<KVRSymbol<double>*>(link1->getSymbol(L"speed"))->getValue(), 7.0);
  // getSymbol leaves its out argument as it was when nothing matches (or only a real symbol).
  Store<int> other;
  std::unique_ptr<KVRSymbol<int>> mine(bound(other, L"mine", KVRSymbolBase::Int32Type));
  KVRSymbol<int> out = *mine;
  table.getSymbol(out, L"Arm.nothing", L'/', L'.'); table.getSymbol(out, L"speed", L'/', L'.');
  EXPECT_EQ(out.getSymbolName(), L"mine");
  table.getSymbol(out, L"count", L'/', L'.');
  EXPECT_EQ(out.getValue(), 42);
  // Without an anchor every getter returns a default symbol and creates nothing.
  Table empty;
  EXPECT_TRUE(empty.getEntity().isNull());
  EXPECT_TRUE(isDefault(empty.getRealSymbol(L"fresh", L'/', L'.')));
  EXPECT_EQ(empty.locateSymbol_(L"speed", L'/', L'.'), nullptr);
  EXPECT_EQ(empty.createSymbol_(L"speed", L'/', L'.'), nullptr);
  EXPECT_EQ(counts(), (Counts{3, 0, 1}));  // nothing made by any lookup above
  empty.setEntity(arm);
  EXPECT_EQ(empty.getRealSymbol(L"Link1.speed", L'/', L'.').getValue(), 7.0);  // written above
}

TEST_F(SymbolTable, RealSymbolsAreCreatedOnceWhereThePathPointsAndEachGetterAcceptsOnlyItsTypeCodes) {
  Store<double> torque;
  torque.value = 0.25;
  cell->addSymbol(bound(torque, L"torque", KVRSymbolBase::RealType));
  EXPECT_EQ(realAt(L"torque").getValue(), 0.25); EXPECT_TRUE(torque.writes == 1 && torque.value == 0.25);
  // A read-only one is handed out without the write it cannot take.
  cell->addSymbol(bound(torque, L"gauge", KVRSymbolBase::RealType, true));
  EXPECT_EQ(realAt(L"gauge").getValue(), 0.25); EXPECT_EQ(torque.writes, 1);
  EXPECT_EQ(counts(), (Counts{5, 0, 1}));
  // A bare name: on the anchor, once.
  KVRSymbol<double> load = realAt(L"load");
  EXPECT_TRUE(load.getSymbolName() == L"load" && load.getSymbolType() == KVRSymbolBase::RealType);
  EXPECT_EQ(load.getValue(), 0.0); load.setValue(3.0);
  EXPECT_EQ(realAt(L"load").getValue(), 3.0); EXPECT_EQ(counts(), (Counts{6, 0, 1}));
  // An entity path: on that entity under its name, once.
  realAt(L"Arm/Link1.force").setValue(5.0);
  ASSERT_NE(link1->getSymbol(L"force"), nullptr); EXPECT_EQ(realAt(L"Arm/Link1.force").getValue(), 5.0);
  EXPECT_EQ(counts(), (Counts{6, 0, 2}));
  // An unresolved path: on the anchor under its name.
  realAt(L"Missing/Link.pressure").setValue(2.0);
  ASSERT_NE(cell->getSymbol(L"pressure"), nullptr); EXPECT_EQ(realAt(L"pressure").getValue(), 2.0);
  EXPECT_EQ(realAt(L"Other.pressure").getValue(), 2.0); EXPECT_EQ(counts(), (Counts{7, 0, 2}));
  // Nothing under an empty name, nor over another type, nor over a symbol that only claims the real code.
  cell->addSymbol(named(new KVRSymbolBase, L"fake", KVRSymbolBase::RealType));
  for (const wchar_t* path : {L"Arm/Link1.", L"", L"count", L"fake"})
    EXPECT_TRUE(isDefault(realAt(path))) << path;
  EXPECT_EQ(table.createSymbol_(L"Arm.", L'/', L'.'), nullptr);
  EXPECT_EQ(counts(), (Counts{8, 0, 2}));
  // Each getter accepts only its own type codes; boolean shares the int symbol.
  Store<long long> wide;
  cell->addSymbol(bound(wide, L"wide", KVRSymbolBase::Int64Type));
  const auto found = [&](auto getter) {
    Names names;
    for (const wchar_t* name : {L"clamped", L"count", L"wide", L"speed"}) {
      const auto symbol = (table.*getter)(name, L'/', L'.');
      if (!isDefault(symbol)) names.push_back(symbol.getSymbolName());
    }
    return names;
  };
  EXPECT_EQ(found(&Table::getboolSymbol), (Names{L"clamped", L"count"}));
  EXPECT_EQ(found(&Table::getInteger32Symbol), (Names{L"clamped", L"count"}));
  EXPECT_EQ(found(&Table::getInteger64Symbol), (Names{L"wide"}));
  EXPECT_EQ(found(&Table::getRealSymbol), (Names{L"speed"}));  // creates none for the others
  EXPECT_EQ(found(&Table::getcharSymbol), Names{}); EXPECT_EQ(found(&Table::getEulerSymbol), Names{});
  EXPECT_EQ(cell->getSymbolCount(), 9);
  const auto roundTrip = [&](auto getter, Type code, auto value) {
    Store<decltype(value)> store;
    arm->addSymbol(bound(store, L"v", code));
    (table.*getter)(L"Arm.v", L'/', L'.').setValue(value);
    EXPECT_EQ(store.value, value) << code;
    arm->removeSymbol(L"v");
  };
  roundTrip(&Table::getcharSymbol, KVRSymbolBase::CharType, 'x');
  roundTrip(&Table::getwhar_tSymbol, KVRSymbolBase::WcharType, L'y');
  roundTrip(&Table::getstringSymbol, KVRSymbolBase::StringType, std::string("lot 7"));
  roundTrip(&Table::getwstringSymbol, KVRSymbolBase::WstringType, std::wstring(L"serial 12"));
  roundTrip(&Table::getInt32VectSymbol, KVRSymbolBase::Int32VectorType, std::vector<int>{1, 2});
  roundTrip(&Table::getInt64VectSymbol, KVRSymbolBase::Int64VectorType, std::vector<long long>{3LL << 40});
  roundTrip(&Table::getRealVectSymbol, KVRSymbolBase::RealVectorType, std::vector<double>{0.5});
  roundTrip(&Table::getVect3DSymbol, KVRSymbolBase::Vector3DType, KVRBasicVector3D<double>(1, 2, 3));
  roundTrip(&Table::getEulerSymbol, KVRSymbolBase::EulerType, KVRBasicEuler3D<double>(0.1, 0.2, 0.3));
  Store<std::string> s;  // a string symbol is not a wide string one
  arm->addSymbol(bound(s, L"s", KVRSymbolBase::StringType));
  EXPECT_TRUE(isDefault(table.getwstringSymbol(L"Arm.s", L'/', L'.')));
}
}  // namespace
