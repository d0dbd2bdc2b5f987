// Internals shared by the parts of the code-cell component: Python objects it calls, conversions
// at the boundary, and the operations one part uses from another.
#pragma once

#include <pybind11/pybind11.h>

#include <string>
#include <utility>

#include "common/py_values.hpp"
#include "vostrel/component_api.hpp"

namespace orvane::vostrel {

// Python objects the component needs on every call, resolved once at module import. Held by a
// leaked pointer: releasing them after the interpreter has finalised would crash.
struct Refs {
  py::object module_dict, native_init, logging_init;  // native_init: the native base's __init__
  py::object status[4], disk[4];  // the status enumerations' members, indexed by the native status
  py::object in_memory_cache, captured_io, pipeline_error;
  py::object in_out_model, metadata_model, info_model, request_model, outputs_summary_model;
  py::object plain;  // the records' own conversion to plain mappings and lists
  py::object sys, builtins_eval;
};

const Refs& refs();
void init_refs(py::module_& m, py::handle native_class);

// The native state behind a component object.
inline ComponentNative& native(py::handle self) { return py::cast<ComponentNative&>(self); }

// Enumeration members at the boundary. A value that is not a member of the enumeration raises
// AssertionError with the setter's text.
inline py::object to_py(Status s) { return refs().status[static_cast<int>(s)]; }
inline py::object to_py(DiskStatus s) { return refs().disk[static_cast<int>(s)]; }
Status status_from_py(py::handle value);
DiskStatus disk_status_from_py(py::handle value);

// Attribute access on values, raising the Python error as is.
inline py::object get(py::handle obj, const char* name) { return obj.attr(name); }
inline void set(py::handle obj, const char* name, py::handle value) { obj.attr(name) = value; }
using py_values::equal;
using py_values::truthy;
// Truth of a result value; values without a truth value of their own (arrays, frames) count as
// present rather than failing the caller.
bool holds_value(py::handle value);

[[noreturn]] void raise(PyObject* type, const std::string& message);

// Text conversions that survive lone surrogates in exception texts and tracebacks.
using py_values::from_utf8;
using py_values::utf8;
std::string format_text(py::handle value);  // format(value), as an f-string would

// A value that must be str or None; anything else is a TypeError naming the argument.
void require_text_or_none(py::handle value, const char* argument);

// Unpacks an iterable into exactly two values, with Python's own error texts.
std::pair<py::object, py::object> unpack2(py::handle iterable);

// State changes shared by the parts of the class (state.cpp).
void set_status(ComponentNative& c, Status next);
void set_diskcache_status(ComponentNative& c, DiskStatus next);
void set_in_and_out(ComponentNative& c, py::handle new_info);
py::object cache_get(const ComponentNative& c, Field field);
void cache_set(ComponentNative& c, Field field, py::handle value);
py::object outputs_summary(const ComponentNative& c);

// Cache operations (caches.cpp).
void load_in_memory_cache(ComponentNative& c, py::handle cache);
bool load_diskcache(ComponentNative& c, py::handle cache_dir);
void unload_diskcache(ComponentNative& c);
void clear_diskcache(ComponentNative& c);
void clear_cache(ComponentNative& c);

// The table of operations the module publishes (bind_vostrel.cpp); each part below fills in its
// entries as it registers its members.
extern ComponentApi published;

// Each adds its members to the class object built with type().
void register_state(const py::object& cls);
void register_caches(const py::object& cls);
void register_execution(const py::object& cls);

}  // namespace orvane::vostrel
