// Typed symbols, real data and the symbol table: type codes, copies that share
// a value, real symbols created on request, the anchor fallback.

#include <memory>

#include "KVRTestSupport.h"

namespace {

using namespace kvrtest;

// Where a test keeps the value behind a symbol; counts the writes.
template <class T>
struct Store {
  T get() const { return value; }
  void set(const T& v) {
    value = v;
    ++writes;
  }
  T value{};
  int writes = 0;
};

// A new symbol named `name` with type code `code`, reading and writing `store`.
template <class T>
KVRSymbol<T>* bound(Store<T>& store, const std::wstring& name, KVRSymbolBase::symbolType code) {
  auto* symbol = new KVRSymbol<T>;
  symbol->setSymbolName(name);
  symbol->setSymbolType(code);
  symbol->addGetFunctor(KVRMakeFunctorM(KVRFunctor0wRet<T>(), &store, &Store<T>::get));
  symbol->addSetFunctor(KVRMakeFunctorM(KVRFunctor1<T>(), &store, &Store<T>::set));
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

TEST(RealData, BoundSymbolAndItsCopiesReadAndWriteTheHolder) {
  KVRSymbol<double> symbol;
  KVRRealData data(symbol, L"speed", 2.5);
  EXPECT_EQ(symbol.getSymbolType(), KVRSymbolBase::RealType);
  EXPECT_EQ(symbol.getSymbolName(), L"speed");
  EXPECT_EQ(symbol.getValue(), 2.5);

  KVRSymbol<double> copy = symbol;
  symbol.setValue(4.0);
  EXPECT_EQ(data.getRealDataValue(), 4.0);
  EXPECT_EQ(copy.getValue(), 4.0);
  copy.setValue(-1.0);
  EXPECT_EQ(symbol.getValue(), -1.0);

  KVRRealData unbound(data);  // copies name and value, drives no symbol
  unbound.setRealDataValue(9.0);
  EXPECT_EQ(unbound.getRealDataName(), L"speed");
  EXPECT_EQ(symbol.getValue(), -1.0);
}

TEST(RealData, HolderMadeForASymbolLivesAsLongAsItsLastCopy) {
  auto* symbol = new KVRSymbol<double>;
  KVRRealData::bindNew(*symbol, L"speed", 1.5);
  std::weak_ptr<void> holder = symbol->getStorage();
  KVRSymbol<double> copy = *symbol;
  delete symbol;
  EXPECT_FALSE(holder.expired());
  copy.setValue(3.0);  // still reaches the holder
  EXPECT_EQ(copy.getValue(), 3.0);
  copy = KVRSymbol<double>();
  EXPECT_TRUE(holder.expired());
}

TEST(Symbol, WithoutFunctorsRefusesToReadOrWriteWithTheLibrarysException) {
  KVRSymbol<int> symbol;
  EXPECT_TRUE(isDefault(symbol));
  EXPECT_FALSE(symbol.hasGetFunctor() || symbol.hasSetFunctor());
  symbol.setSymbolName(L"clamped");
  expectThrowWithText<KVREInvalidArgument>(
      [&] { symbol.getValue(); },
      L"The symbol \"clamped\" has no get functor (a symbol the table did not find has none)");
  expectThrowWithText<KVREInvalidArgument>([&] { symbol.setValue(1); },
                                           L"The symbol \"clamped\" has no set functor (a symbol the "
                                           L"table did not find has none)");
}

// The scene: Cell ─┬─ Arm ── Link1
//                  └─ speed          (an entity named like Cell's symbol)
// Symbols: Cell.speed = 1.5, Link1.speed = 2.5, speed.speed = 9 (all real),
// Cell.clamped (boolean, code 1), Cell.count (int, code 6).
class SymbolTable : public testing::Test {
 protected:
  void SetUp() override {
    cell->addLogicalChild(arm);
    arm->addLogicalChild(link1);
    cell->addLogicalChild(speedEntity);
    cell->flushLogicalState();
    cell->addSymbol(real(L"speed", 1.5));
    link1->addSymbol(real(L"speed", 2.5));
    speedEntity->addSymbol(real(L"speed", 9.0));
    clamped.value = 1;
    cell->addSymbol(bound(clamped, L"clamped", KVRSymbolBase::BoolType));
    count.value = 42;
    cell->addSymbol(bound(count, L"count", KVRSymbolBase::Int32Type));
  }
  void TearDown() override { cell->orphanObject(); }

  // Symbols on Cell, Arm and Link1.
  std::vector<int> symbolCounts() const {
    return {cell->getSymbolCount(), arm->getSymbolCount(), link1->getSymbolCount()};
  }

  KVRSharedHandle<KVRBasicEntity> cell = make(L"Cell"), arm = make(L"Arm"), link1 = make(L"Link1"),
                                  speedEntity = make(L"speed");
  Store<int> clamped, count;
  KVRWDMSymbolTable table{cell};
};

TEST_F(SymbolTable, PathFindsTheNamedEntitysSymbolAndFallsBackToTheAnchor) {
  EXPECT_EQ(table.getRealSymbol(L"Arm/Link1.speed", L'/', L'.').getValue(), 2.5);
  EXPECT_EQ(table.getRealSymbol(L"Missing/Link.speed", L'/', L'.').getValue(), 1.5);
  EXPECT_EQ(table.getRealSymbol(L".speed", L'/', L'.').getValue(), 1.5);  // empty entity part
  // The same separator for both: the symbol name is after the last one.
  EXPECT_EQ(table.getRealSymbol(L"Arm/Link1/speed", L'/', L'/').getValue(), 2.5);
  // An absolute entity path has no world to start from here: the anchor's symbol.
  EXPECT_EQ(table.getRealSymbol(L"/W/Arm/Link1.speed", L'/', L'.').getValue(), 1.5);
  EXPECT_EQ(symbolCounts(), (std::vector<int>{3, 0, 1}));
}

TEST_F(SymbolTable, BareNameIsLookedUpOnTheAnchorOnlyNotOnAChildOfThatName) {
  EXPECT_EQ(table.getRealSymbol(L"speed", L'/', L'.').getValue(), 1.5);
  EXPECT_EQ(table.locateSymbol_(L"speed", L'/', L'.'), cell->getSymbol(L"speed"));
  EXPECT_EQ(table.getRealSymbol(L"speed.speed", L'/', L'.').getValue(), 9.0);
}

TEST_F(SymbolTable, GettersAcceptOnlyTheirTypeCodesAndBooleanSharesTheIntSymbol) {
  Store<long long> wide;
  cell->addSymbol(bound(wide, L"wide", KVRSymbolBase::Int64Type));
  const auto found = [&](auto getter) {
    std::vector<std::wstring> names;
    for (const wchar_t* name : {L"clamped", L"count", L"wide", L"speed"}) {
      const auto symbol = (table.*getter)(name, L'/', L'.');
      if (!isDefault(symbol)) names.push_back(symbol.getSymbolName());
    }
    return names;
  };
  using Names = std::vector<std::wstring>;
  EXPECT_EQ(found(&KVRWDMSymbolTable::getboolSymbol), (Names{L"clamped", L"count"}));
  EXPECT_EQ(found(&KVRWDMSymbolTable::getInteger32Symbol), (Names{L"clamped", L"count"}));
  EXPECT_EQ(found(&KVRWDMSymbolTable::getInteger64Symbol), (Names{L"wide"}));
  EXPECT_EQ(found(&KVRWDMSymbolTable::getRealSymbol), (Names{L"speed"}));  // creates none for the others
  EXPECT_EQ(found(&KVRWDMSymbolTable::getcharSymbol), Names{});
  EXPECT_EQ(found(&KVRWDMSymbolTable::getEulerSymbol), Names{});
  EXPECT_EQ(cell->getSymbolCount(), 4);

  EXPECT_EQ(table.getboolSymbol(L"clamped", L'/', L'.').getValue(), 1);
  EXPECT_EQ(table.getInteger64Symbol(L"wide", L'/', L'.').getSymbolType(), KVRSymbolBase::Int64Type);
}

TEST_F(SymbolTable, EveryOtherTypeIsFoundByItsOwnGetter) {
  Store<char> c;
  Store<wchar_t> w;
  Store<std::string> s;
  Store<std::wstring> ws;
  Store<std::vector<int>> vi;
  Store<std::vector<long long>> vl;
  Store<std::vector<double>> vd;
  Store<KVRBasicVector3D<double>> v3;
  Store<KVRBasicEuler3D<double>> e;
  arm->addSymbol(bound(c, L"c", KVRSymbolBase::CharType));
  arm->addSymbol(bound(w, L"w", KVRSymbolBase::WcharType));
  arm->addSymbol(bound(s, L"s", KVRSymbolBase::StringType));
  arm->addSymbol(bound(ws, L"ws", KVRSymbolBase::WstringType));
  arm->addSymbol(bound(vi, L"vi", KVRSymbolBase::Int32VectorType));
  arm->addSymbol(bound(vl, L"vl", KVRSymbolBase::Int64VectorType));
  arm->addSymbol(bound(vd, L"vd", KVRSymbolBase::RealVectorType));
  arm->addSymbol(bound(v3, L"v3", KVRSymbolBase::Vector3DType));
  arm->addSymbol(bound(e, L"e", KVRSymbolBase::EulerType));

  table.getcharSymbol(L"Arm.c", L'/', L'.').setValue('x');
  table.getwhar_tSymbol(L"Arm.w", L'/', L'.').setValue(L'y');
  table.getstringSymbol(L"Arm.s", L'/', L'.').setValue("lot 7");
  table.getwstringSymbol(L"Arm.ws", L'/', L'.').setValue(L"serial 12");
  table.getInt32VectSymbol(L"Arm.vi", L'/', L'.').setValue({1, 2});
  table.getInt64VectSymbol(L"Arm.vl", L'/', L'.').setValue({3LL << 40});
  table.getRealVectSymbol(L"Arm.vd", L'/', L'.').setValue({0.5});
  table.getVect3DSymbol(L"Arm.v3", L'/', L'.').setValue(KVRBasicVector3D<double>(1, 2, 3));
  table.getEulerSymbol(L"Arm.e", L'/', L'.').setValue(KVRBasicEuler3D<double>(0.1, 0.2, 0.3));
  EXPECT_EQ(c.value, 'x');
  EXPECT_EQ(w.value, L'y');
  EXPECT_EQ(s.value, "lot 7");
  EXPECT_EQ(ws.value, L"serial 12");
  EXPECT_EQ(vi.value, (std::vector<int>{1, 2}));
  EXPECT_EQ(vl.value, (std::vector<long long>{3LL << 40}));
  EXPECT_EQ(vd.value, (std::vector<double>{0.5}));
  EXPECT_EQ(v3.value, KVRBasicVector3D<double>(1, 2, 3));
  EXPECT_EQ(e.value, KVRBasicEuler3D<double>(0.1, 0.2, 0.3));
  // A string symbol is not a wide string one.
  EXPECT_TRUE(isDefault(table.getwstringSymbol(L"Arm.s", L'/', L'.')));
}

TEST_F(SymbolTable, CopyFromTheTableReadsAndWritesTheEntitysValue) {
  KVRSymbol<int> flag = table.getboolSymbol(L"clamped", L'/', L'.');
  flag.setValue(0);
  EXPECT_EQ(clamped.value, 0);
  clamped.value = 1;
  EXPECT_EQ(flag.getValue(), 1);

  KVRSymbol<double> speed = table.getRealSymbol(L"Arm/Link1.speed", L'/', L'.');
  speed.setValue(7.0);
  EXPECT_EQ(static_cast<KVRSymbol<double>*>(link1->getSymbol(L"speed"))->getValue(), 7.0);
}

TEST_F(SymbolTable, FoundRealSymbolIsWrittenBackWithItsOwnValue) {
  Store<double> torque;
  torque.value = 0.25;
  cell->addSymbol(bound(torque, L"torque", KVRSymbolBase::RealType));
  EXPECT_EQ(table.getRealSymbol(L"torque", L'/', L'.').getValue(), 0.25);
  EXPECT_EQ(torque.writes, 1);
  EXPECT_EQ(torque.value, 0.25);

  // A read-only real symbol is handed out without the write it cannot take.
  auto* readOnly = new KVRSymbol<double>;
  readOnly->setSymbolName(L"gauge");
  readOnly->setSymbolType(KVRSymbolBase::RealType);
  readOnly->addGetFunctor(KVRMakeFunctorM(KVRFunctor0wRet<double>(), &torque, &Store<double>::get));
  cell->addSymbol(readOnly);
  EXPECT_EQ(table.getRealSymbol(L"gauge", L'/', L'.').getValue(), 0.25);
  EXPECT_EQ(torque.writes, 1);
}

TEST_F(SymbolTable, RealSymbolOfABareNameIsCreatedOnTheAnchorOnce) {
  KVRSymbol<double> first = table.getRealSymbol(L"load", L'/', L'.');
  EXPECT_EQ(first.getSymbolName(), L"load");
  EXPECT_EQ(first.getSymbolType(), KVRSymbolBase::RealType);
  EXPECT_EQ(first.getValue(), 0.0);
  EXPECT_EQ(symbolCounts(), (std::vector<int>{4, 0, 1}));

  first.setValue(3.0);
  EXPECT_EQ(table.getRealSymbol(L"load", L'/', L'.').getValue(), 3.0);
  EXPECT_EQ(symbolCounts(), (std::vector<int>{4, 0, 1}));
}

TEST_F(SymbolTable, RealSymbolOfAnEntityPathIsCreatedOnThatEntityUnderItsNameOnce) {
  KVRSymbol<double> first = table.getRealSymbol(L"Arm/Link1.torque", L'/', L'.');
  EXPECT_EQ(first.getSymbolName(), L"torque");
  EXPECT_EQ(symbolCounts(), (std::vector<int>{3, 0, 2}));
  ASSERT_NE(link1->getSymbol(L"torque"), nullptr);

  first.setValue(5.0);
  EXPECT_EQ(table.getRealSymbol(L"Arm/Link1.torque", L'/', L'.').getValue(), 5.0);
  EXPECT_EQ(symbolCounts(), (std::vector<int>{3, 0, 2}));
}

TEST_F(SymbolTable, RealSymbolOfAnUnresolvedPathIsCreatedOnTheAnchorUnderItsName) {
  table.getRealSymbol(L"Missing/Link.torque", L'/', L'.').setValue(2.0);
  EXPECT_EQ(symbolCounts(), (std::vector<int>{4, 0, 1}));
  ASSERT_NE(cell->getSymbol(L"torque"), nullptr);
  EXPECT_EQ(table.getRealSymbol(L"torque", L'/', L'.').getValue(), 2.0);
  EXPECT_EQ(table.getRealSymbol(L"Other.torque", L'/', L'.').getValue(), 2.0);
  EXPECT_EQ(symbolCounts(), (std::vector<int>{4, 0, 1}));
}

TEST_F(SymbolTable, NothingIsCreatedUnderAnEmptyNameOrOverASymbolOfAnotherType) {
  EXPECT_TRUE(isDefault(table.getRealSymbol(L"Arm/Link1.", L'/', L'.')));
  EXPECT_TRUE(isDefault(table.getRealSymbol(L"", L'/', L'.')));
  EXPECT_EQ(table.createSymbol_(L"Arm.", L'/', L'.'), nullptr);
  EXPECT_TRUE(isDefault(table.getRealSymbol(L"count", L'/', L'.')));
  // A symbol that claims code 10 but is no real symbol is not misread.
  auto* impostor = new KVRSymbolBase;
  impostor->setSymbolName(L"fake");
  impostor->setSymbolType(KVRSymbolBase::RealType);
  cell->addSymbol(impostor);
  EXPECT_TRUE(isDefault(table.getRealSymbol(L"fake", L'/', L'.')));
  EXPECT_EQ(symbolCounts(), (std::vector<int>{4, 0, 1}));
}

TEST_F(SymbolTable, GetSymbolLeavesTheOutArgumentAsItWasWhenNothingMatches) {
  Store<int> other;
  KVRSymbol<int>* mine = bound(other, L"mine", KVRSymbolBase::Int32Type);
  KVRSymbol<int> out = *mine;
  delete mine;
  table.getSymbol(out, L"Arm.nothing", L'/', L'.');
  EXPECT_EQ(out.getSymbolName(), L"mine");
  table.getSymbol(out, L"speed", L'/', L'.');  // a real symbol: not an int
  EXPECT_EQ(out.getSymbolName(), L"mine");
  table.getSymbol(out, L"count", L'/', L'.');
  EXPECT_EQ(out.getValue(), 42);
}

TEST_F(SymbolTable, WithoutAnAnchorEveryGetterReturnsADefaultSymbolAndCreatesNothing) {
  KVRWDMSymbolTable empty;
  EXPECT_TRUE(empty.getEntity().isNull());
  EXPECT_TRUE(isDefault(empty.getRealSymbol(L"speed", L'/', L'.')));
  EXPECT_TRUE(isDefault(empty.getRealSymbol(L"fresh", L'/', L'.')));
  EXPECT_TRUE(isDefault(empty.getboolSymbol(L"clamped", L'/', L'.')));
  EXPECT_TRUE(isDefault(empty.getwstringSymbol(L"Arm.name", L'/', L'.')));
  EXPECT_EQ(empty.locateSymbol_(L"speed", L'/', L'.'), nullptr);
  EXPECT_EQ(empty.createSymbol_(L"speed", L'/', L'.'), nullptr);
  EXPECT_EQ(symbolCounts(), (std::vector<int>{3, 0, 1}));

  empty.setEntity(arm);
  EXPECT_EQ(empty.getRealSymbol(L"Link1.speed", L'/', L'.').getValue(), 2.5);
}

}  // namespace
