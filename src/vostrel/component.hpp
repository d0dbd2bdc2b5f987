// Internals shared by the parts of the code-cell component: Python objects it calls, conversions
// at the boundary, and the operations one part uses from another.
#pragma once

#include <pybind11/pybind11.h>

#include <utility>

#include "common/py_values.hpp"
#include "common/pyclass.hpp"
#include "vostrel/component_native.hpp"

namespace orvane::vostrel {

// The helpers on Python values shared by the binding modules: objects looked up once by path
// (kept), truth, and text conversions that survive lone surrogates in exception texts.
using namespace py_values;

// The records and caches the component makes, as the package names them.
inline py::handle in_memory_cache() { return kept("orvane_core.cache.memory:OrvaneInMemoryCache"); }
inline py::handle in_out_model() {
  return kept("orvane_core.misc.models:OrvaneComponentInOutModel");
}
inline py::handle captured_io() { return kept("orvane_core.capture:OrvaneCapturedIO"); }

// The native state behind a component object, named C where the class's members are added (with
// pc, the helpers adding them).
using C = ComponentNative;
namespace pc = pyclass;
inline ComponentNative& native(py::handle self) { return py::cast<ComponentNative&>(self); }

// Unpacks an iterable into exactly two values, with Python's own error texts.
std::pair<py::object, py::object> unpack2(py::handle iterable);

// State changes shared by the parts of the class (state.cpp).
void set_in_and_out(ComponentNative& c, py::object new_info);
// Appends the import line of each of the module statements ({symbol: statement}) to `lines`.
void add_imports(py::list& lines, const py::object& module_statements);
void cache_set(ComponentNative& c, Field field, py::handle value);
py::object outputs_summary(const ComponentNative& c);

// Cache operations (caches.cpp).
void load_in_memory_cache(ComponentNative& c, py::object cache);

// Each adds its members to the class object built with type().
void register_state(const py::object& cls);
void register_caches(const py::object& cls);
void register_execution(const py::object& cls);

}  // namespace orvane::vostrel
