// Helpers to build a Python class from C++ functions, for classes whose base is a Python class.
//
// pybind11's class_ cannot derive from a pure-Python base, so the public classes are created with
// type(name, bases, namespace) at module init and their methods and properties are pybind11
// functions. pybind11 wraps functions defined with is_method in an instancemethod, so they bind
// like ordinary Python methods. A class whose state is native lists a py::class_ base holding it
// among the bases; its methods reach the state with py::cast to that base's C++ type.
#pragma once

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <cstring>
#include <utility>

#include "common/py_values.hpp"

namespace orvane::pyclass {

namespace py = pybind11;

// Creates the class, sets __module__, __qualname__ and __doc__, and stores it on the module.
inline py::object make_class(py::module_& m, const char* name, const py::tuple& bases,
                             const char* doc) {
  py::dict ns(py::arg("__module__") = m.attr("__name__"), py::arg("__qualname__") = name,
              py::arg("__doc__") = doc);
  py::object cls = py::handle(reinterpret_cast<PyObject*>(&PyType_Type))(py::str(name), bases, ns);
  m.attr(name) = cls;
  return cls;
}

// Adds a method; the first parameter of `f` receives the instance. pybind11 treats functions
// named __init__ or __setstate__ as constructors of its own instances and would write into a
// plain Python instance as if it were one, so those are registered under another name. Only a
// function of the class itself takes the new one as an overload: what a base class has under
// the name (a Python method too) is overridden.
template <typename Func, typename... Extra>
void def(const py::object& cls, const char* name, Func&& f, const Extra&... extra) {
  const bool ctor = std::strcmp(name, "__init__") == 0 || std::strcmp(name, "__setstate__") == 0;
  py::cpp_function cf(std::forward<Func>(f), py::name(ctor ? "_initialise" : name),
                      py::is_method(cls),
                      py::sibling(cls.attr("__dict__").attr("get")(name, py::none())), extra...);
  py::setattr(cls, name, cf);
}

// Adds a read-only property backed by `getter(self)`: property(fget, None, None, doc).
template <typename Getter>
void def_property_readonly(const py::object& cls, const char* name, Getter&& getter,
                           const char* doc = "") {
  py::cpp_function fget(std::forward<Getter>(getter), py::name(name), py::is_method(cls));
  py::setattr(cls, name, py_values::lookup("builtins:property")(fget, py::none(), py::none(), doc));
}

// Adds a property with a setter; `setter(self, value)` sees the value after pybind11 conversion,
// so a setter taking std::optional<py::str> rejects anything but text or None with a TypeError.
template <typename Getter, typename Setter, typename... Extra>
void def_property(const py::object& cls, const char* name, Getter&& getter, Setter&& setter,
                  const char* doc = "", const Extra&... extra) {
  py::cpp_function fget(std::forward<Getter>(getter), py::name(name), py::is_method(cls));
  py::cpp_function fset(std::forward<Setter>(setter), py::name(name), py::is_method(cls), extra...);
  py::setattr(cls, name, py_values::lookup("builtins:property")(fget, fset, py::none(), doc));
}

// An interned attribute name (looked up faster than a new text each time). A caller that keeps
// one in a static releases it: static py::objects would be released after the interpreter has
// finalised.
inline py::str intern(const char* text) {
  return py::str(py_values::checked(PyUnicode_InternFromString(text)));
}

// A py::custom_type_setup for a native base whose state holds Python values: the type takes part
// in garbage collection, visiting what `traverse(state, visit, arg)` visits and dropping what
// `clear(state)` drops. Neither runs before the C++ state exists.
template <typename State, int (*Traverse)(State&, visitproc, void*), void (*Clear)(State&)>
void gc_type_setup(PyHeapTypeObject* heap_type) {
  PyTypeObject* type = &heap_type->ht_type;
  type->tp_flags |= Py_TPFLAGS_HAVE_GC;
  type->tp_traverse = [](PyObject* self, visitproc visit, void* arg) -> int {
    Py_VISIT(Py_TYPE(self));
    if (!py::detail::is_holder_constructed(self)) return 0;
    return Traverse(py::cast<State&>(py::handle(self)), visit, arg);
  };
  type->tp_clear = [](PyObject* self) -> int {
    if (py::detail::is_holder_constructed(self)) Clear(py::cast<State&>(py::handle(self)));
    return 0;
  };
}

}  // namespace orvane::pyclass
