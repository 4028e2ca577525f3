// The model's exceptions as Python exceptions of the same names, all derived
// from KVRError. The text is the finished wide message; `file` and `line`
// tell where in the library the refusal was raised.

#include "KVRPyModule.h"

namespace kvrpy {

namespace {

// The exception classes, kept for the life of the process (the module
// holds them too; a translator may run until the interpreter ends).
struct ErrorClasses {
  py::handle error, runtime, notFound, alreadyRegistered, invalidRelation, invalidCast, invalidArgument;
};

ErrorClasses& errorClasses() {
  static ErrorClasses classes;
  return classes;
}

py::handle makeErrorClass(py::module_& m, const char* name, const char* doc, py::tuple bases) {
  const std::string qualified = std::string("kvrworldmodel.") + name;
  PyObject* cls = PyErr_NewExceptionWithDoc(qualified.c_str(), doc, bases.ptr(), nullptr);
  if (!cls) throw py::error_already_set();
  m.add_object(name, py::handle(cls));  // the module takes its own reference
  return py::handle(cls);               // ours is never given back
}

void raise(py::handle cls, const KVRException& e) {
  py::object error = cls(e.getMessage());
  error.attr("file") = e.message().getFile() ? e.message().getFile() : "";
  error.attr("line") = e.message().getLine();
  PyErr_SetObject(cls.ptr(), error.ptr());
}

}  // namespace

void bindErrors(py::module_& m) {
  ErrorClasses& c = errorClasses();
  const py::handle exception(PyExc_Exception);
  c.error = makeErrorClass(m, "KVRError", "Base of every exception the world model raises.",
                           py::make_tuple(exception));
  c.runtime =
      makeErrorClass(m, "KVRERuntimeError", "A refused call of the world model.", py::make_tuple(c.error));
  c.notFound = makeErrorClass(m, "KVRENotFound", "A looked-up object is not where the caller says it is.",
                              py::make_tuple(c.runtime, py::handle(PyExc_LookupError)));
  c.alreadyRegistered =
      makeErrorClass(m, "KVREAlreadyRegistered",
                     "An object already has the role (parent, connection, ...) it is being given.",
                     py::make_tuple(c.runtime));
  c.invalidRelation =
      makeErrorClass(m, "KVREInvalidRelation", "The requested relation between objects cannot be made.",
                     py::make_tuple(c.runtime));
  c.invalidCast = makeErrorClass(m, "KVREInvalidCast", "An object is not of the requested class.",
                                 py::make_tuple(c.runtime, py::handle(PyExc_TypeError)));
  c.invalidArgument = makeErrorClass(m, "KVREInvalidArgument",
                                     "An argument no call accepts, such as None where an object is required.",
                                     py::make_tuple(c.runtime, py::handle(PyExc_ValueError)));

  // Most derived first: the first matching handler decides the Python class.
  py::register_exception_translator([](std::exception_ptr p) {
    const ErrorClasses& c = errorClasses();
    try {
      if (p) std::rethrow_exception(p);
    } catch (const KVRENotFound& e) {
      raise(c.notFound, e);
    } catch (const KVREAlreadyRegistered& e) {
      raise(c.alreadyRegistered, e);
    } catch (const KVREInvalidRelation& e) {
      raise(c.invalidRelation, e);
    } catch (const KVREInvalidCast& e) {
      raise(c.invalidCast, e);
    } catch (const KVREInvalidArgument& e) {
      raise(c.invalidArgument, e);
    } catch (const KVRERuntimeError& e) {
      raise(c.runtime, e);
    } catch (const KVRException& e) {
      raise(c.error, e);
    }
  });
}

}  // namespace kvrpy
