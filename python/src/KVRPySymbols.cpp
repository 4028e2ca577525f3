// Properties: typed symbols, the entity's own symbols, and the symbol table
// that finds them by path.
//
// A symbol reaches Python as a copy, which reads and writes the same value
// as the symbol the entity holds (a copy shares the functors). A script may
// make symbols of its own, whose value lives in a real-data holder the
// symbol owns, or behind Python callables; an entity given such a symbol
// holds a copy of it.

#include <type_traits>

#include "KVRPyModule.h"

namespace kvrpy {

namespace {

using Euler = KVRBasicEuler3D<double>;

// A Python object held by C++ storage that may outlive the interpreter (a
// symbol on an entity still in the universe when the process ends): the
// reference is given back only while the interpreter runs.
class PythonRef {
 public:
  explicit PythonRef(const py::object& object) : object_(object.inc_ref().ptr()) {}
  PythonRef(const PythonRef&) = delete;
  PythonRef& operator=(const PythonRef&) = delete;
  ~PythonRef() {
    if (!object_ || !Py_IsInitialized()) return;
    const PyGILState_STATE state = PyGILState_Ensure();
    Py_DECREF(object_);
    PyGILState_Release(state);
  }

  bool isNone() const { return object_ == Py_None; }
  py::handle get() const { return object_; }

 private:
  PyObject* object_;
};

// What a value of the symbol's type is in Python, for messages.
template <class T>
const char* valueKind() {
  if constexpr (std::is_same_v<T, int> || std::is_same_v<T, long long>) return "an int";
  if constexpr (std::is_same_v<T, char> || std::is_same_v<T, wchar_t>) return "a str of one character";
  if constexpr (std::is_same_v<T, std::string> || std::is_same_v<T, std::wstring>) return "a str";
  if constexpr (std::is_same_v<T, double>) return "a float";
  if constexpr (std::is_same_v<T, std::vector<int>> || std::is_same_v<T, std::vector<long long>>)
    return "a sequence of ints";
  if constexpr (std::is_same_v<T, std::vector<double>>) return "a sequence of floats";
  return "a KVRBasicEuler3D";
}

// A value from Python as the symbol's type; 3-D vectors also from sequences.
// TypeError, naming what the symbol takes, for a value of another type.
template <class T>
T fromPython(const py::handle& value) {
  try {
    return value.cast<T>();
  } catch (const py::cast_error&) {
    throw py::type_error(std::string("a symbol value must be ") + valueKind<T>() + ", not " +
                         typeName(value));
  }
}
template <>
Vector fromPython<Vector>(const py::handle& value) {
  Vector v;
  if (!loadVector(value, v))
    throw py::type_error("a 3-D vector value must be a KVRBasicVector3D or three numbers, not " +
                         py::repr(value).cast<std::string>());
  return v;
}

// What a symbol made from Python callables reads and writes through: its
// functors call these members, and the symbol owns this object as its storage.
template <class T>
class CallableSource {
 public:
  CallableSource(const py::object& getter, const py::object& setter) : getter_(getter), setter_(setter) {}

  T get() const {
    py::gil_scoped_acquire gil;
    return fromPython<T>(getter_.get()());
  }
  void set(const T& value) {
    py::gil_scoped_acquire gil;
    setter_.get()(value);
  }
  bool hasGetter() const { return !getter_.isNone(); }
  bool hasSetter() const { return !setter_.isNone(); }

 private:
  PythonRef getter_;
  PythonRef setter_;
};

template <class T>
KVRSymbol<T> makeCallableSymbol(const std::wstring& name, const py::object& getter, const py::object& setter,
                                KVRSymbolBase::symbolType type) {
  for (const py::object* f : {&getter, &setter})
    if (!f->is_none() && !PyCallable_Check(f->ptr()))
      throw py::type_error("a symbol's get and set functors must be callables or None");
  auto source = std::make_shared<CallableSource<T>>(getter, setter);
  KVRSymbol<T> symbol;
  symbol.setSymbolName(name);
  symbol.setSymbolType(type);
  if (source->hasGetter())
    symbol.addGetFunctor(KVRMakeFunctorM(KVRFunctor0wRet<T>(), source.get(), &CallableSource<T>::get));
  if (source->hasSetter())
    symbol.addSetFunctor(KVRMakeFunctorM(KVRFunctor1<T>(), source.get(), &CallableSource<T>::set));
  symbol.setStorage(source);
  return symbol;
}

template <class T>
T valueOf(const KVRSymbol<T>& symbol) {
  return symbol.getValue();  // KVREInvalidArgument (a ValueError) without a get functor
}

template <class T>
void assign(KVRSymbol<T>& symbol, const py::handle& value) {
  const T converted = fromPython<T>(value);  // before anything is called
  symbol.setValue(converted);
}

// The Python class of KVRSymbol<T>.
template <class T>
void bindSymbol(py::module_& m, const char* name, KVRSymbolBase::symbolType defaultType) {
  py::class_<KVRSymbol<T>, KVRSymbolBase> s(
      m, name,
      "A typed symbol. It keeps no value: it reads and writes through its functors, wherever the\n"
      "value lives, and a copy reads and writes the same value.");
  s.def(py::init<>(), "A default symbol: no name, type code 0, no functors.")
      .def(py::init(&makeCallableSymbol<T>), py::arg("name"), py::arg("get") = py::none(),
           py::arg("set") = py::none(), py::arg("type") = defaultType,
           "A symbol whose value is read by calling `get()` and written by calling `set(value)`.")
      .def("getValue", &valueOf<T>,
           "The value, read through the get functor; KVREInvalidArgument (a ValueError) without one.")
      .def("setValue", &assign<T>, py::arg("value"),
           "Writes the value through the set functor; KVREInvalidArgument without one, TypeError for a\n"
           "value of another type.")
      .def_property("value", &valueOf<T>, &assign<T>,
                    "The value, read and written as getValue() and setValue() do.")
      .def("hasGetFunctor", &KVRSymbol<T>::hasGetFunctor, "Whether the value can be read.")
      .def("hasSetFunctor", &KVRSymbol<T>::hasSetFunctor, "Whether the value can be written.")
      .def(
          "__repr__",
          [name](const KVRSymbol<T>& symbol) {
            return std::string(name) + "(" +
                   py::repr(py::cast(symbol.getSymbolName())).template cast<std::string>() + ", type " +
                   std::to_string(symbol.getSymbolType()) + ")";
          },
          "The class, the name and the type code.");
}

// Each symbol instance, in the order of the type codes, with its Python class name.
template <class F>
void forEachSymbolType(F&& f) {
  f.template operator()<int>("KVRSymbolInt", KVRSymbolBase::Int32Type);
  f.template operator()<char>("KVRSymbolChar", KVRSymbolBase::CharType);
  f.template operator()<wchar_t>("KVRSymbolWchar", KVRSymbolBase::WcharType);
  f.template operator()<std::string>("KVRSymbolString", KVRSymbolBase::StringType);
  f.template operator()<std::wstring>("KVRSymbolWstring", KVRSymbolBase::WstringType);
  f.template operator()<std::vector<int>>("KVRSymbolIntVect", KVRSymbolBase::Int32VectorType);
  f.template operator()<long long>("KVRSymbolInt64", KVRSymbolBase::Int64Type);
  f.template operator()<std::vector<long long>>("KVRSymbolInt64Vect", KVRSymbolBase::Int64VectorType);
  f.template operator()<double>("KVRSymbolReal", KVRSymbolBase::RealType);
  f.template operator()<std::vector<double>>("KVRSymbolRealVect", KVRSymbolBase::RealVectorType);
  f.template operator()<Vector>("KVRSymbolVect3D", KVRSymbolBase::Vector3DType);
  f.template operator()<Euler>("KVRSymbolEuler", KVRSymbolBase::EulerType);
}

// A typed copy of a symbol the entity holds, or None.
py::object copyOf(const KVRSymbolBase* symbol) {
  py::object copy = py::none();
  if (!symbol) return copy;
  forEachSymbolType([&]<class T>(const char*, KVRSymbolBase::symbolType) {
    if (copy.is_none())
      if (const auto* typed = dynamic_cast<const KVRSymbol<T>*>(symbol)) copy = py::cast(*typed);
  });
  return copy;
}

void bindEuler(py::module_& m) {
  py::class_<Euler>(m, "KVRBasicEuler3D", "Three angles alpha, beta, gamma kept as a property value.")
      .def(py::init<>(), "All three angles zero.")
      .def(py::init<double, double, double>(), py::arg("alpha"), py::arg("beta"), py::arg("gamma"),
           "The three angles, in the convention and unit of the property holding them.")
      .def("alpha", &Euler::alpha, "The first angle.")
      .def("beta", &Euler::beta, "The second angle.")
      .def("gamma", &Euler::gamma, "The third angle.")
      .def(
          "getAngles", [](const Euler& e) { return py::make_tuple(e.alpha(), e.beta(), e.gamma()); },
          "(alpha, beta, gamma).")
      .def("setAngles", &Euler::setAngles, py::arg("alpha"), py::arg("beta"), py::arg("gamma"),
           "Sets all three angles.")
      .def("__eq__", [](const Euler& a, const Euler& b) { return a == b; })
      .def("__repr__", [](const Euler& e) {
        return "KVRBasicEuler3D(" + py::repr(py::float_(e.alpha())).cast<std::string>() + ", " +
               py::repr(py::float_(e.beta())).cast<std::string>() + ", " +
               py::repr(py::float_(e.gamma())).cast<std::string>() + ")";
      });
}

void bindSymbolBase(py::module_& m) {
  py::class_<KVRSymbolBase> base(m, "KVRSymbolBase", "A named, typed property of an entity.");
  py::enum_<KVRSymbolBase::symbolType>(base, "symbolType", "The type codes of the typed symbols.")
      .value("UnknownType", KVRSymbolBase::UnknownType)
      .value("BoolType", KVRSymbolBase::BoolType)
      .value("CharType", KVRSymbolBase::CharType)
      .value("WcharType", KVRSymbolBase::WcharType)
      .value("StringType", KVRSymbolBase::StringType)
      .value("WstringType", KVRSymbolBase::WstringType)
      .value("Int32Type", KVRSymbolBase::Int32Type)
      .value("Int32VectorType", KVRSymbolBase::Int32VectorType)
      .value("Int64Type", KVRSymbolBase::Int64Type)
      .value("Int64VectorType", KVRSymbolBase::Int64VectorType)
      .value("RealType", KVRSymbolBase::RealType)
      .value("RealVectorType", KVRSymbolBase::RealVectorType)
      .value("Vector3DType", KVRSymbolBase::Vector3DType)
      .value("EulerType", KVRSymbolBase::EulerType)
      .export_values();
  base.def("getSymbolName", &KVRSymbolBase::getSymbolName, "The symbol's name.")
      .def("setSymbolName", &KVRSymbolBase::setSymbolName, py::arg("name"), "Renames the symbol.")
      .def("getSymbolType", &KVRSymbolBase::getSymbolType, "The type code (symbolType).")
      .def("setSymbolType", &KVRSymbolBase::setSymbolType, py::arg("type"), "Sets the type code.")
      .def(
          "__repr__",
          [](const KVRSymbolBase& symbol) {
            return "<KVRSymbolBase " + py::repr(py::cast(symbol.getSymbolName())).cast<std::string>() +
                   ", type " + std::to_string(symbol.getSymbolType()) + ">";
          },
          "The name and the type code.");
}

void bindEntitySymbols(py::module_& m) {
  auto entity = py::reinterpret_borrow<ModelClass<KVRBasicEntity>>(m.attr("KVRBasicEntity"));
  forEachSymbolType([&]<class T>(const char*, KVRSymbolBase::symbolType) {
    entity.def(
        "addSymbol",
        [](KVRBasicEntity& self, const KVRSymbol<T>& symbol) { self.addSymbol(new KVRSymbol<T>(symbol)); },
        py::arg("symbol"), "The entity holds a copy of `symbol`, which reads and writes the same value.");
  });
  entity
      .def(
          "getSymbol",
          [](const KVRBasicEntity& self, const std::wstring& name) { return copyOf(self.getSymbol(name)); },
          py::arg("name"), "A typed copy of the first symbol named `name`, or None.")
      .def("removeSymbol", &KVRBasicEntity::removeSymbol, py::arg("name"),
           "Deletes the first symbol named `name`, if any.")
      .def("removeAllSymbols", &KVRBasicEntity::removeAllSymbols, "Deletes every symbol of the entity.")
      .def("getSymbolCount", &KVRBasicEntity::getSymbolCount, "The number of symbols the entity holds.");
}

void bindSymbolTable(py::module_& m) {
  using Table = KVRWDMSymbolTable;
  py::class_<Table> t(
      m, "KVRWDMSymbolTable",
      "Finds the symbols of entities by path from an anchor entity: \"Arm/Link1.speed\" is the\n"
      "symbol speed of the anchor's descendant Arm/Link1. Getters return a typed copy, or a\n"
      "default symbol (no name, type 0) when there is none of that type; getRealSymbol creates\n"
      "a real symbol of value 0.0 when the path finds nothing.");
  t.def(py::init<>(), "Without an anchor: every request finds nothing.")
      .def(py::init<const KVRSharedHandle<KVRBasicEntity>&>(), py::arg("anchor"),
           "Anchored at `anchor`: paths start there.")
      .def("getEntity", &Table::getEntity, "The anchor, or None.")
      .def("setEntity", &Table::setEntity, py::arg("anchor"), "Sets the anchor (None for none).")
      .def(
          "__repr__",
          [](const Table& self) {
            return self.getEntity().isNull()
                       ? std::wstring(L"<KVRWDMSymbolTable without anchor>")
                       : L"<KVRWDMSymbolTable at " + quotedName(*self.getEntity()) + L">";
          },
          "<KVRWDMSymbolTable at \"anchor\">.");
  const auto path = py::arg("path");
  const auto entitySeparator = py::arg("entitySeparator") = L'/';
  const auto symbolSeparator = py::arg("symbolSeparator") = L'.';
  // Each getter: a typed copy of the symbol the path names, or a default symbol.
#define KVRPY_GETTER(kind) "The " kind " symbol the path names (\"Arm/Link1.speed\"), or a default symbol."
  t.def("getboolSymbol", &Table::getboolSymbol, path, entitySeparator, symbolSeparator,
        KVRPY_GETTER("boolean (KVRSymbolInt, type 1 or 6)"))
      .def("getcharSymbol", &Table::getcharSymbol, path, entitySeparator, symbolSeparator,
           KVRPY_GETTER("char"))
      .def("getwhar_tSymbol", &Table::getwhar_tSymbol, path, entitySeparator, symbolSeparator,
           KVRPY_GETTER("wchar_t"))
      .def("getstringSymbol", &Table::getstringSymbol, path, entitySeparator, symbolSeparator,
           KVRPY_GETTER("string"))
      .def("getwstringSymbol", &Table::getwstringSymbol, path, entitySeparator, symbolSeparator,
           KVRPY_GETTER("wide string"))
      .def("getInteger32Symbol", &Table::getInteger32Symbol, path, entitySeparator, symbolSeparator,
           KVRPY_GETTER("int (type 1 or 6)"))
      .def("getInt32VectSymbol", &Table::getInt32VectSymbol, path, entitySeparator, symbolSeparator,
           KVRPY_GETTER("int vector"))
      .def("getInteger64Symbol", &Table::getInteger64Symbol, path, entitySeparator, symbolSeparator,
           KVRPY_GETTER("64-bit int"))
      .def("getInt64VectSymbol", &Table::getInt64VectSymbol, path, entitySeparator, symbolSeparator,
           KVRPY_GETTER("64-bit int vector"))
      .def("getRealSymbol", &Table::getRealSymbol, path, entitySeparator, symbolSeparator,
           "The real symbol the path names; one of value 0.0 is created there (or on the anchor) when\n"
           "the path finds none.")
      .def("getRealVectSymbol", &Table::getRealVectSymbol, path, entitySeparator, symbolSeparator,
           KVRPY_GETTER("real vector"))
      .def("getVect3DSymbol", &Table::getVect3DSymbol, path, entitySeparator, symbolSeparator,
           KVRPY_GETTER("3-D vector"))
      .def("getEulerSymbol", &Table::getEulerSymbol, path, entitySeparator, symbolSeparator,
           KVRPY_GETTER("Euler angles"));
#undef KVRPY_GETTER
  forEachSymbolType([&]<class T>(const char*, KVRSymbolBase::symbolType) {
    t.def(
        "getSymbol",
        [](Table& self, KVRSymbol<T>& symbol, const std::wstring& p, wchar_t e, wchar_t s) {
          self.getSymbol(symbol, p, e, s);
        },
        py::arg("symbol"), path, entitySeparator, symbolSeparator,
        "Copies the symbol the path names into `symbol` when it is of its type; else leaves it as it was.");
  });
}

}  // namespace

void bindSymbols(py::module_& m) {
  bindEuler(m);
  bindSymbolBase(m);
  forEachSymbolType(
      [&]<class T>(const char* name, KVRSymbolBase::symbolType type) { bindSymbol<T>(m, name, type); });
  py::reinterpret_borrow<py::class_<KVRSymbol<double>, KVRSymbolBase>>(m.attr("KVRSymbolReal"))
      .def_static(
          "bindNew",
          [](const std::wstring& name, double value) {
            KVRSymbol<double> symbol;
            KVRRealData::bindNew(symbol, name, value);
            return symbol;
          },
          py::arg("name"), py::arg("value") = 0.0,
          "A real symbol whose value lives in a real-data holder the symbol (and its copies) owns.");
  bindEntitySymbols(m);
  bindSymbolTable(m);
}

}  // namespace kvrpy
