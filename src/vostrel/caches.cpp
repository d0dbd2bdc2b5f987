// The component's in-memory and disk caches, and showing its results in the notebook.
#include "common/fork_guard.hpp"
#include "common/py_paths.hpp"
#include "core/cache_folders.hpp"
#include "vostrel/component.hpp"

namespace orvane::vostrel {

using namespace pybind11::literals;

// Truth of a result value; values without a truth value of their own (arrays, frames) count as
// present rather than failing the caller.
static bool holds_value(py::handle value) {
  if (value.is_none()) return false;
  const int r = PyObject_IsTrue(value.ptr());
  if (r < 0) PyErr_Clear();  // no truth value of its own: present
  return r != 0;
}

void load_in_memory_cache(ComponentNative& c, py::object cache) {
  c.memory = std::move(cache);
  c.touch();
}

bool load_diskcache(ComponentNative& c, const std::optional<py::str>& cache_dir) {
  // Looked up per call so the disk cache implementation can be swapped in the package.
  const bool opened = quietly([&] {
    py::object open = lookup("orvane_core.cache:OrvaneDiskCache");
    c.diskcache_handle = open("cache_dir"_a = py::cast(cache_dir));
  });
  c.apply_disk(DiskInput{opened ? DiskEvent::Attached : DiskEvent::LoadFailed});
  if (!opened) return false;
  c.clear_memory_cache();

  set_status(
      c, component::loaded_status([&c](Field field) { return holds_value(cache_get(c, field)); }));
  return true;
}

void clear_diskcache(ComponentNative& c) {
  if (c.diskcache_handle.is_none()) return;
  // A forked child inherits the component, not the directory: the parent still uses it.
  if (fork_guard::in_forked_child()) return;
  py::object handle = c.diskcache_handle;
  handle.attr("clear_cache")();
  handle.attr("close")();
  py::object dir = c.diskcache_dir();
  if (!dir.is_none()) remove_directory(py_paths::text(dir));
  c.touch();
}

void unload_diskcache(ComponentNative& c) {
  clear_diskcache(c);
  c.diskcache_handle = py::none();
  c.apply_disk(DiskInput{DiskEvent::Detached});
}

void clear_cache(ComponentNative& c) {
  c.clear_memory_cache();
  unload_diskcache(c);
}

// Shown as a cell's result by the capture module, which owns the kernel's message channel.
void show_last_output(const ComponentNative& c, py::handle shell) {
  py::object value = cache_get(c, Field::LastOutput);
  if (holds_value(value)) kept("orvane_core.capture:show_result")(value, shell, c.id);
}

void show_captured(const ComponentNative& c, py::handle shell) {
  py::object captured = cache_get(c, Field::Captured);
  if (!truthy(captured)) return;
  captured.attr("show")("shell"_a = shell, "component_id"_a = c.id);
}

void register_caches(const py::object& cls) {
  pc::def(cls, "load_in_memory_cache", &load_in_memory_cache, py::arg("cache"),
          "Load cache from memory.");
  pc::def(cls, "clear_in_memory_cache", &C::clear_memory_cache, "Clear in-memory cache.");
  pc::def(cls, "load_diskcache", &load_diskcache, py::arg("cache_dir"), "Load cache from disk.");
  pc::def(cls, "unload_diskcache", &unload_diskcache, "Unload diskcache.");
  pc::def(cls, "clear_cache", &clear_cache, "Clear in-memory cache and diskcache.");
  pc::def(cls, "clear_diskcache", &clear_diskcache,
          "Disconnect diskcache database and delete diskcache directory.");
  pc::def(cls, "show_last_output", &show_last_output, py::arg("shell"),
          "Show last_output of the component.");
  pc::def(cls, "show_captured", &show_captured, py::arg("shell") = py::none(),
          "Show captured of the component.");
}

}  // namespace orvane::vostrel
