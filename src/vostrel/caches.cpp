// The component's in-memory and disk caches, and showing its results in the notebook.
#include "common/fork_guard.hpp"
#include "common/pyclass.hpp"
#include "vostrel/component.hpp"

namespace orvane::vostrel {

using namespace pybind11::literals;

void load_in_memory_cache(py::handle self, py::handle cache) {
  set(self, names().in_memory_cache, cache);
  touch(self);
}

void clear_in_memory_cache(py::handle self) {
  py::object memory = get(self, names().in_memory_cache);
  if (memory.is_none()) return;
  memory.attr("clear_cache")();
  touch(self);
}

bool load_diskcache(py::handle self, py::handle cache_dir) {
  const Refs& r = refs();
  const Names& n = names();
  try {
    // Looked up per call so the disk cache implementation can be swapped in the package.
    py::object disk_cache_class = py::module_::import("orvane_core.cache").attr("OrvaneDiskCache");
    set(self, n.diskcache, disk_cache_class("cache_dir"_a = cache_dir));
    set(self, n.diskcache_status, r.dc_cached);
  } catch (py::error_already_set& e) {
    if (!e.matches(PyExc_Exception)) throw;
    set(self, n.diskcache_status, r.dc_failed);
    touch(self);
    return false;
  }
  touch(self);
  clear_in_memory_cache(self);

  py::handle derived = r.status_invalid;
  if (holds_value(cache_get(self, n.f_exception_msg))) {
    derived = r.status_failed;
  } else {
    for (py::handle field :
         {n.f_module_statements, n.f_non_module_outputs, n.f_last_output, n.f_captured}) {
      if (holds_value(cache_get(self, field))) {
        derived = r.status_successful;
        break;
      }
    }
  }
  set_status(self, derived);
  return true;
}

void clear_diskcache(py::handle self) {
  py::object disk = get(self, names().diskcache);
  if (disk.is_none()) return;
  // A forked child inherits the component, not the directory: the parent still uses it.
  if (fork_guard::in_forked_child()) return;
  disk.attr("clear_cache")();
  disk.attr("close")();
  py::object directory = get(disk, names().f_cache_dir);
  py::module_::import("shutil").attr("rmtree")("path"_a = directory, "ignore_errors"_a = true);
  touch(self);
}

void unload_diskcache(py::handle self) {
  clear_diskcache(self);
  set(self, names().diskcache, py::none());
  set(self, names().diskcache_status, refs().dc_uncached);
  touch(self);
}

void clear_cache(py::handle self) {
  clear_in_memory_cache(self);
  unload_diskcache(self);
}

namespace {

void show_last_output(py::handle self, py::handle shell) {
  const Refs& r = refs();
  py::object value = cache_get(self, names().f_last_output);
  if (!holds_value(value)) return;
  py::str text = py::repr(value);
  if (!truthy(shell)) {
    r.builtins_print(text);
    return;
  }
  py::object component_id = get(self, names().id);
  py::object hook = py::getattr(shell, "displayhook", py::none());
  py::object session = hook.is_none() ? py::none() : py::getattr(hook, "session", py::none());
  if (!session.is_none()) {
    py::dict content("execution_count"_a = 0, "data"_a = py::dict("text/plain"_a = text),
                     "metadata"_a = py::dict("component_id"_a = component_id));
    session.attr("send")(hook.attr("pub_socket"), "execute_result", content,
                         "parent"_a = hook.attr("parent_header"),
                         "ident"_a = py::bytes("execute_result"));
    return;
  }
  // A shell outside a kernel has no message session; its own display publisher shows the value.
  py::object publisher = py::getattr(shell, "display_pub", py::none());
  if (publisher.is_none()) {
    r.builtins_print(text);
    return;
  }
  publisher.attr("publish")("data"_a = py::dict("text/plain"_a = text),
                            "metadata"_a = py::dict("component_id"_a = component_id));
}

void show_captured(py::handle self, py::handle shell) {
  py::object captured = cache_get(self, names().f_captured);
  if (!truthy(captured)) return;
  captured.attr("show")("shell"_a = shell, "component_id"_a = get(self, names().id));
}

}  // namespace

void register_caches(const py::object& cls) {
  pyclass::def(
      cls, "load_in_memory_cache",
      [](py::object self, py::object cache) { load_in_memory_cache(self, cache); },
      py::arg("cache"), "Load cache from memory.");
  pyclass::def(
      cls, "clear_in_memory_cache", [](py::object self) { clear_in_memory_cache(self); },
      "Clear in-memory cache.");
  pyclass::def(
      cls, "load_diskcache",
      [](py::object self, py::object cache_dir) {
        require_text_or_none(cache_dir, "cache_dir");
        return load_diskcache(self, cache_dir);
      },
      py::arg("cache_dir"), "Load cache from disk.");
  pyclass::def(
      cls, "unload_diskcache", [](py::object self) { unload_diskcache(self); },
      "Unload diskcache.");
  pyclass::def(
      cls, "clear_cache", [](py::object self) { clear_cache(self); },
      "Clear in-memory cache and diskcache.");
  pyclass::def(
      cls, "clear_diskcache", [](py::object self) { clear_diskcache(self); },
      "Disconnect diskcache database and delete diskcache directory.");
  pyclass::def(
      cls, "show_last_output",
      [](py::object self, py::object shell) { show_last_output(self, shell); }, py::arg("shell"),
      "Show last_output of the component.");
  pyclass::def(
      cls, "show_captured", [](py::object self, py::object shell) { show_captured(self, shell); },
      py::arg("shell") = py::none(), "Show captured of the component.");
}

}  // namespace orvane::vostrel
