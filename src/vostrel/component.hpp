// Shared internals of the code-cell component: cached Python objects, attribute access, state.
#pragma once

#include <pybind11/pybind11.h>

#include <string>
#include <utility>

namespace orvane::vostrel {

namespace py = pybind11;

// Python objects the component needs on every call, resolved once at module import. Held by a
// leaked pointer: releasing them after the interpreter has finalised would crash.
struct Refs {
  py::object module_dict;
  py::object logging_mixin;
  py::object component_status, status_invalid, status_running, status_successful, status_failed;
  py::object diskcache_status, dc_uncached, dc_cached, dc_failed;
  py::object in_memory_cache, captured_io, pipeline_error;
  py::object in_out_model, metadata_model, info_model, request_model, outputs_summary_model;
  py::object http_ok, http_partial;
  py::object sys, builtins_eval, builtins_print, format_exception;
};

// Interned attribute names used on hot paths.
struct Names {
  py::handle id, name, cell_code, metadata, status, success_count, in_and_out, in_memory_cache,
      diskcache, diskcache_status, summary_sink, info_cache, info_gen;
  py::handle f_diskcache, f_remote, f_component_type, f_module_statements, f_non_module_outputs,
      f_last_output, f_captured, f_exception_msg, f_outputs_summary, f_outputs, f_inputs, f_imports,
      f_summary, f_cache_dir, f_result, f_message, f_backend, f_broker;
};

const Refs& refs();
const Names& names();
void init_refs(py::module_& m);

// Attribute access that raises the Python error as is.
inline py::object get(py::handle obj, py::handle name) {
  PyObject* r = PyObject_GetAttr(obj.ptr(), name.ptr());
  if (r == nullptr) throw py::error_already_set();
  return py::reinterpret_steal<py::object>(r);
}
inline void set(py::handle obj, py::handle name, py::handle value) {
  if (PyObject_SetAttr(obj.ptr(), name.ptr(), value.ptr()) != 0) throw py::error_already_set();
}
inline bool truthy(py::handle value) {
  const int r = PyObject_IsTrue(value.ptr());
  if (r < 0) throw py::error_already_set();
  return r != 0;
}
inline bool equal(py::handle a, py::handle b) {
  const int r = PyObject_RichCompareBool(a.ptr(), b.ptr(), Py_EQ);
  if (r < 0) throw py::error_already_set();
  return r != 0;
}
// Truth of a result value; values without a truth value of their own (arrays, frames) count as
// present rather than failing the caller.
bool holds_value(py::handle value);

[[noreturn]] void raise(PyObject* type, const std::string& message);

// Text conversions that survive lone surrogates in exception texts and tracebacks.
std::string utf8(py::handle text);
py::str from_utf8(const std::string& text);
std::string format_text(py::handle value);  // format(value), as an f-string would

// A value that must be str or None; anything else is a TypeError naming the argument.
void require_text_or_none(py::handle value, const char* argument);

// Unpacks an iterable into exactly two values, with Python's own error texts.
std::pair<py::object, py::object> unpack2(py::handle iterable);

// The summary of this component changed: drop the cached info and tell the pipeline.
void touch(py::handle self);

// State shared by the parts of the class (state.cpp).
void set_status(py::handle self, py::handle new_status);
void set_diskcache_status(py::handle self, py::handle new_status);
void set_in_and_out(py::handle self, py::handle new_info);
py::object cache_get(py::handle self, py::handle field);
void cache_set(py::handle self, py::handle field, py::handle value);
py::object outputs_summary(py::handle self);
py::object remote_config(py::handle self);

// Cache operations (caches.cpp).
void load_in_memory_cache(py::handle self, py::handle cache);
void clear_in_memory_cache(py::handle self);
bool load_diskcache(py::handle self, py::handle cache_dir);
void unload_diskcache(py::handle self);
void clear_diskcache(py::handle self);
void clear_cache(py::handle self);

// Error recording (execution.cpp); never raises.
void handle_error(py::handle self, py::handle exc);

// Each adds its members to the class object built with type().
void register_state(const py::object& cls);
void register_caches(const py::object& cls);
void register_execution(const py::object& cls);

}  // namespace orvane::vostrel
