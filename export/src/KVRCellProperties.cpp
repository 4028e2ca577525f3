#include "KVRCellProperties.h"

#include <cmath>
#include <memory>
#include <vector>

#include "KVRAttributeExt.h"
#include "KVRBasicEuler3D.h"
#include "KVRCellText.h"
#include "KVRSymbol.h"

namespace {

using Json = nlohmann::json;

// --- Symbols ---------------------------------------------------------------------

// A value a loaded symbol keeps itself, shared by the symbol and its copies.
template <class T>
struct StoredValue {
  T value{};
  T get() const { return value; }
  void set(T v) { value = std::move(v); }
};

template <class T>
struct SymbolType;  // how a value of type T reads and writes in JSON

template <class T>
struct Whole {  // integers and characters: written as numbers
  static KVRJson write(const T& v) { return static_cast<long long>(v); }
  static T read(const Json& j) {
    if (!j.is_number_integer()) throw std::wstring(L"is not a whole number");
    const long long v = j.get<long long>();
    if (v < static_cast<long long>(std::numeric_limits<T>::min()) ||
        v > static_cast<long long>(std::numeric_limits<T>::max()))
      throw std::wstring(L"is out of range");
    return static_cast<T>(v);
  }
};
template <class T>
struct List {  // vectors of numbers
  static KVRJson write(const std::vector<T>& v) {
    KVRJson list = KVRJson::array();
    for (const T& x : v) list.push_back(SymbolType<T>::write(x));
    return list;
  }
  static std::vector<T> read(const Json& j) {
    if (!j.is_array()) throw std::wstring(L"is not a list");
    std::vector<T> v;
    v.reserve(j.size());
    for (const Json& x : j) v.push_back(SymbolType<T>::read(x));
    return v;
  }
};
template <>
struct SymbolType<int> : Whole<int> {};
template <>
struct SymbolType<char> : Whole<char> {};
template <>
struct SymbolType<wchar_t> : Whole<wchar_t> {};
template <>
struct SymbolType<long long> : Whole<long long> {};
template <>
struct SymbolType<std::vector<int>> : List<int> {};
template <>
struct SymbolType<std::vector<long long>> : List<long long> {};
template <>
struct SymbolType<std::vector<double>> : List<double> {};
template <>
struct SymbolType<double> {
  static KVRJson write(double v) { return v; }  // not finite: null, read back as no value
  static double read(const Json& j) {
    if (!j.is_number()) throw std::wstring(L"is not a number");
    return j.get<double>();
  }
};
template <>
struct SymbolType<std::string> {
  static KVRJson write(const std::string& v) { return v; }
  static std::string read(const Json& j) {
    if (!j.is_string()) throw std::wstring(L"is not a string");
    return j.get<std::string>();
  }
};
template <>
struct SymbolType<std::wstring> {
  static KVRJson write(const std::wstring& v) { return KVRToUtf8(v); }
  static std::wstring read(const Json& j) { return KVRFromUtf8(SymbolType<std::string>::read(j)); }
};
// Values of three numbers: a vector (x y z) and Euler angles (alpha beta gamma).
template <class T>
struct Triple {
  static KVRJson write(const T& v) {
    double a, b, c;
    parts(v, a, b, c);
    return {a, b, c};
  }
  static T read(const Json& j) {
    const std::vector<double> v = List<double>::read(j);
    if (v.size() != 3) throw std::wstring(L"does not hold three numbers");
    return T(v[0], v[1], v[2]);
  }
  static void parts(const KVRBasicVector3D<double>& v, double& a, double& b, double& c) {
    a = v.x(), b = v.y(), c = v.z();
  }
  static void parts(const KVRBasicEuler3D<double>& v, double& a, double& b, double& c) {
    v.getAngles(a, b, c);
  }
};
template <>
struct SymbolType<KVRBasicVector3D<double>> : Triple<KVRBasicVector3D<double>> {};
template <>
struct SymbolType<KVRBasicEuler3D<double>> : Triple<KVRBasicEuler3D<double>> {};

// The type words of the symbol types, by type code.
struct TypeWord {
  KVRSymbolBase::symbolType code;
  const char* word;
};
constexpr TypeWord TypeWords[] = {
    {KVRSymbolBase::UnknownType, "unknown"},   {KVRSymbolBase::BoolType, "boolean"},
    {KVRSymbolBase::CharType, "char"},         {KVRSymbolBase::WcharType, "wchar"},
    {KVRSymbolBase::StringType, "string"},     {KVRSymbolBase::WstringType, "wstring"},
    {KVRSymbolBase::Int32Type, "int32"},       {KVRSymbolBase::Int32VectorType, "int32Vector"},
    {KVRSymbolBase::Int64Type, "int64"},       {KVRSymbolBase::Int64VectorType, "int64Vector"},
    {KVRSymbolBase::RealType, "real"},         {KVRSymbolBase::RealVectorType, "realVector"},
    {KVRSymbolBase::Vector3DType, "vector3D"}, {KVRSymbolBase::EulerType, "euler"},
};

// Calls `visit` with a null pointer of the symbol class that holds values of
// the type code's type; false for the unknown type.
template <class Visit>
bool withType(KVRSymbolBase::symbolType code, Visit visit) {
  switch (code) {
    case KVRSymbolBase::BoolType:
    case KVRSymbolBase::Int32Type:
      return visit(static_cast<KVRSymbol<int>*>(nullptr)), true;
    case KVRSymbolBase::CharType:
      return visit(static_cast<KVRSymbol<char>*>(nullptr)), true;
    case KVRSymbolBase::WcharType:
      return visit(static_cast<KVRSymbol<wchar_t>*>(nullptr)), true;
    case KVRSymbolBase::StringType:
      return visit(static_cast<KVRSymbol<std::string>*>(nullptr)), true;
    case KVRSymbolBase::WstringType:
      return visit(static_cast<KVRSymbol<std::wstring>*>(nullptr)), true;
    case KVRSymbolBase::Int32VectorType:
      return visit(static_cast<KVRSymbol<std::vector<int>>*>(nullptr)), true;
    case KVRSymbolBase::Int64Type:
      return visit(static_cast<KVRSymbol<long long>*>(nullptr)), true;
    case KVRSymbolBase::Int64VectorType:
      return visit(static_cast<KVRSymbol<std::vector<long long>>*>(nullptr)), true;
    case KVRSymbolBase::RealType:
      return visit(static_cast<KVRSymbol<double>*>(nullptr)), true;
    case KVRSymbolBase::RealVectorType:
      return visit(static_cast<KVRSymbol<std::vector<double>>*>(nullptr)), true;
    case KVRSymbolBase::Vector3DType:
      return visit(static_cast<KVRSymbol<KVRBasicVector3D<double>>*>(nullptr)), true;
    case KVRSymbolBase::EulerType:
      return visit(static_cast<KVRSymbol<KVRBasicEuler3D<double>>*>(nullptr)), true;
    default:
      return false;
  }
}

KVRJson symbolRecord(const KVRSymbolBase& symbol) {
  const auto code = symbol.getSymbolType();
  KVRJson record{{"name", KVRToUtf8(symbol.getSymbolName())}, {"type", "unknown"}, {"value", nullptr}};
  for (const TypeWord& t : TypeWords)
    if (t.code == code) record["type"] = t.word;
  if (record["type"] == "unknown") record["type"] = static_cast<int>(code);
  withType(code, [&](auto* kind) {
    using Symbol = std::remove_pointer_t<decltype(kind)>;
    using T = typename Symbol::value_type;
    const auto* typed = dynamic_cast<const Symbol*>(&symbol);
    if (!typed || !typed->hasGetFunctor()) return;
    try {
      record["value"] = SymbolType<T>::write(typed->getValue());
    } catch (const std::exception&) {
      // A value its functor cannot read now is saved as none.
    }
  });
  return record;
}

std::unique_ptr<KVRSymbolBase> readSymbol(const Json& record, const std::string& field) {
  if (!record.is_object()) throw KVRCellProblem{field, L"is not an object"};
  const auto name = record.find("name");
  if (name == record.end() || !name->is_string())
    throw KVRCellProblem{field + ".name", L"is missing or not a string"};
  const auto type = record.find("type");
  KVRSymbolBase::symbolType code = KVRSymbolBase::UnknownType;
  bool known = false;
  if (type != record.end() && type->is_string()) {
    for (const TypeWord& t : TypeWords)
      if (*type == t.word) code = t.code, known = true;
  } else if (type != record.end() && type->is_number_integer()) {
    code = static_cast<KVRSymbolBase::symbolType>(type->get<int>());
    known = true;
  }
  if (!known) throw KVRCellProblem{field + ".type", L"is not a symbol type"};
  const auto value = record.find("value");
  std::unique_ptr<KVRSymbolBase> made;
  withType(code, [&](auto* kind) {
    using Symbol = std::remove_pointer_t<decltype(kind)>;
    using T = typename Symbol::value_type;
    auto symbol = std::make_unique<Symbol>();
    if (value != record.end() && !value->is_null()) {
      auto stored = std::make_shared<StoredValue<T>>();
      try {
        stored->value = SymbolType<T>::read(*value);
      } catch (const std::wstring& what) {
        throw KVRCellProblem{field + ".value", what};
      }
      symbol->addGetFunctor(KVRMakeFunctorM(KVRFunctor0wRet<T>(), stored.get(), &StoredValue<T>::get));
      symbol->addSetFunctor(KVRMakeFunctorM(KVRFunctor1<T>(), stored.get(), &StoredValue<T>::set));
      symbol->setStorage(std::move(stored));
    }
    made = std::move(symbol);
  });
  if (!made) made = std::make_unique<KVRSymbol<int>>();  // a type the model has no class for: no value
  made->setSymbolName(KVRFromUtf8(name->get<std::string>()));
  made->setSymbolType(code);
  return made;
}

// --- Attributes --------------------------------------------------------------------

KVRJson attributeRecord(const std::wstring& key, const KVRAttributeBase& attribute) {
  KVRJson record{{"key", KVRToUtf8(key)}, {"type", nullptr}, {"value", nullptr}};
  if (const auto* a = dynamic_cast<const KVRIntegerAttribute*>(&attribute)) {
    record["type"] = "integer";
    record["value"] = a->getValue();
  } else if (const auto* r = dynamic_cast<const KVRRealAttribute*>(&attribute)) {
    record["type"] = "real";
    record["value"] = r->getValue();
  } else if (const auto* s = dynamic_cast<const KVRWStringAttribute*>(&attribute)) {
    record["type"] = "string";
    record["value"] = KVRToUtf8(s->getValue());
  } else if (const auto* v = dynamic_cast<const KVRVector3DAttribute*>(&attribute)) {
    record["type"] = "vector";
    record["value"] = SymbolType<KVRBasicVector3D<double>>::write(v->getValue());
  } else {
    return nullptr;  // a class of the program's own, which a file cannot rebuild
  }
  return record;
}

std::unique_ptr<KVRAttributeBase> readAttribute(const Json& record, const std::string& field) {
  const auto word = record.find("type");
  const std::string type = word != record.end() && word->is_string() ? word->get<std::string>() : "";
  const auto value = record.find("value");
  if (value == record.end()) throw KVRCellProblem{field + ".value", L"is missing"};
  try {
    if (type == "integer") return std::make_unique<KVRIntegerAttribute>(SymbolType<int>::read(*value));
    if (type == "real") return std::make_unique<KVRRealAttribute>(SymbolType<double>::read(*value));
    if (type == "string")
      return std::make_unique<KVRWStringAttribute>(SymbolType<std::wstring>::read(*value));
    if (type == "vector")
      return std::make_unique<KVRVector3DAttribute>(SymbolType<KVRBasicVector3D<double>>::read(*value));
  } catch (const std::wstring& what) {
    throw KVRCellProblem{field + ".value", what};
  }
  throw KVRCellProblem{field + ".type", L"is not \"integer\", \"real\", \"string\" or \"vector\""};
}

}  // namespace

KVRJson KVRPropertiesOf(const KVRBasicEntity& entity) {
  const int symbolCount = entity.getSymbolCount();
  const auto extension =
      KVRSharedHandle<KVRAttributeExt>::downcast(entity.getExtension(KVRAttributeExt::ClassID_));
  const bool plain = &entity.getDescription() == &KVRBasicEntity::DefaultDescription ||
                     entity.getDescription() == KVRBasicEntity::DefaultDescription;
  if (plain && entity.getIntAttribute() == 0 && symbolCount == 0 && !extension) return nullptr;
  KVRJson properties = KVRJson::object();
  if (!plain) properties["description"] = KVRToUtf8(entity.getDescription());
  if (entity.getIntAttribute() != 0) properties["intAttribute"] = entity.getIntAttribute();
  if (symbolCount > 0) {
    KVRJson& symbols = properties["symbols"] = KVRJson::array();
    for (int i = 0; i < symbolCount; ++i)
      if (const KVRSymbolBase* symbol = entity.getSymbolAt(i)) symbols.push_back(symbolRecord(*symbol));
  }
  if (extension) {
    KVRJson& attributes = properties["attributes"] = KVRJson::array();
    for (const auto& [key, attribute] : extension->getAttributeSet())
      if (KVRJson record = attributeRecord(key, *attribute); !record.is_null()) attributes.push_back(record);
  }
  return properties;
}

void KVRRestoreProperties(KVRBasicEntity& entity, const nlohmann::json& properties) {
  if (properties.is_null()) return;
  if (!properties.is_object()) throw KVRCellProblem{"properties", L"is not an object"};
  // Everything is read before the entity changes.
  std::wstring description;
  const auto d = properties.find("description");
  if (d != properties.end()) {
    if (!d->is_string()) throw KVRCellProblem{"properties.description", L"is not a string"};
    description = KVRFromUtf8(d->get<std::string>());
  }
  int intAttribute = 0;
  if (const auto i = properties.find("intAttribute"); i != properties.end()) {
    try {
      intAttribute = SymbolType<int>::read(*i);
    } catch (const std::wstring& what) {
      throw KVRCellProblem{"properties.intAttribute", what};
    }
  }
  std::vector<std::unique_ptr<KVRSymbolBase>> symbols;
  if (const auto s = properties.find("symbols"); s != properties.end()) {
    if (!s->is_array()) throw KVRCellProblem{"properties.symbols", L"is not a list"};
    for (std::size_t k = 0; k < s->size(); ++k)
      symbols.push_back(readSymbol((*s)[k], "properties.symbols[" + std::to_string(k) + "]"));
  }
  KVRSharedHandle<KVRAttributeExt> extension;
  if (const auto a = properties.find("attributes"); a != properties.end()) {
    if (!a->is_array()) throw KVRCellProblem{"properties.attributes", L"is not a list"};
    extension = KVRSharedHandle<KVRAttributeExt>(new KVRAttributeExt);
    for (std::size_t k = 0; k < a->size(); ++k) {
      const std::string field = "properties.attributes[" + std::to_string(k) + "]";
      const Json& record = (*a)[k];
      if (!record.is_object() || !record.contains("key") || !record["key"].is_string())
        throw KVRCellProblem{field + ".key", L"is missing or not a string"};
      const std::wstring key = KVRFromUtf8(record["key"].get<std::string>());
      if (extension->getAttributeSet().hasAttribute(key))
        throw KVRCellProblem{field + ".key", L"names an attribute listed before"};
      extension->getAttributeSet().addAttribute(key, readAttribute(record, field));
    }
  }
  if (d != properties.end()) entity.setDescription(description);
  entity.setIntAttribute(intAttribute);
  for (auto& symbol : symbols) entity.addSymbol(symbol.release());
  if (extension) entity.addExtension(extension);
}
