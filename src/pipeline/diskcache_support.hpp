// Helpers shared by the disk-cache channel and the cache commands: lookups of the package's
// modules, callback records, and the rules for which cache directories the pipeline may delete.
#pragma once

#include <pybind11/pybind11.h>

#include <string>

#include "common/py_paths.hpp"
#include "core/cache_adoption.hpp"
#include "core/cache_folders.hpp"
#include "core/cache_paths.hpp"
#include "core/cache_store.hpp"
#include "pipeline/component_access.hpp"

namespace orvane::pipeline::support {

namespace py = pybind11;

inline py::module_ models() { return py::module_::import("orvane_core.misc.models"); }
inline py::object disk_cache_class() {
  return py::module_::import("orvane_core.cache").attr("OrvaneDiskCache");
}

// Python equality of two values.
inline bool eq(const py::object& a, const py::object& b) { return a.equal(b); }

// True when a caught Python error is an ordinary Exception (not an interrupt or exit).
inline bool is_exception(py::error_already_set& e) { return e.matches(PyExc_Exception); }

// The record of a cache directory written by this product (component id, success count,
// creation time, completeness), or None for anything else. A record that cannot be read at all
// counts as foreign.
inline py::object read_record(const py::handle& path) {
  try {
    return disk_cache_class().attr("read_record")(path);
  } catch (py::error_already_set& e) {
    if (!is_exception(e)) throw;
    return py::none();
  }
}

// Describes the entry `name` of the directory `dir` for the adoption and clean-up rules.
// Symbolic links are never treated as ours, so nothing outside the directory can be reached
// through them.
inline CacheDirEntry describe_entry(const std::string& dir, const std::string& name) {
  const std::string path = join_path(dir, name);
  const EntryKind kind = inspect(path);
  CacheDirEntry entry;
  entry.name = name;
  entry.is_dir = kind.is_dir;
  if (!entry.is_dir) return entry;
  py::object record = read_record(py_paths::str(path));
  if (!record.is_none()) {
    py::object complete = record.attr("get")("complete", true);
    py::object id = record.attr("get")("component_id", py::none());
    if (py::isinstance<py::str>(id)) {
      entry.has_record = true;
      entry.complete = py::bool_(complete);
      entry.component_id = id.cast<std::string>();
      py::object count = record.attr("get")("success_count", 0);
      entry.success_count = py::isinstance<py::int_>(count) ? count.cast<std::int64_t>() : 0;
      py::object created = record.attr("get")("created", py::none());
      if (created.is_none()) created = record.attr("get")("created_at", py::none());
      const bool number = py::isinstance<py::float_>(created) || py::isinstance<py::int_>(created);
      entry.created = number ? created.cast<double>() : kind.mtime;
    }
  }
  // Recognised by the writer's naming and contents, not by a name prefix alone: a user's folder
  // that happens to look like a temporary one is never deleted.
  entry.unfinished = !entry.has_record && is_product_cache_folder(dir, entry.name, kPartialPrefix);
  return entry;
}

// Deletes a directory that is this product's: a complete cache is emptied through the cache
// class first (it deletes only the files it wrote), then whatever is left goes.
inline void remove_owned(const std::string& path, bool has_record) {
  if (has_record) {
    try {
      py::object cache = disk_cache_class()(py::arg("cache_dir") = py_paths::str(path));
      cache.attr("clear_cache")();
      cache.attr("close")();
    } catch (py::error_already_set& e) {
      if (!is_exception(e)) throw;
    }
  }
  remove_directory(path);
}

// Closes and deletes a disk cache that a component no longer uses.
inline void release_cache(const py::handle& cache) {
  py::object dir = py::getattr(cache, "cache_dir", py::none());
  try {
    cache.attr("clear_cache")();
    cache.attr("close")();
  } catch (py::error_already_set& e) {
    if (!is_exception(e)) throw;
  }
  if (!dir.is_none()) remove_directory(py_paths::text(dir));
}

// Makes the component load the cache at `path`. A different cache it had attached before is
// closed and deleted once the new one is in place: it is superseded, and nothing else would
// ever delete it. Returns the component's result.
inline bool load_into_component(const py::handle& component, const py::handle& path) {
  py::object previous = comp::attached_diskcache(component);
  bool loaded = false;
  try {
    loaded = py::bool_(component.attr("load_diskcache")(py::arg("cache_dir") = path));
  } catch (py::error_already_set& e) {
    // A cache whose first values (read to decide the status) are damaged: a failed load, and
    // the damaged cache is let go of and deleted rather than served later.
    if (!is_exception(e)) throw;
    py::object attached = comp::attached_diskcache(component);
    if (!attached.is_none() && !attached.is(previous)) release_cache(attached);
    component.attr("unload_diskcache")();
    return false;
  }
  if (!loaded || previous.is_none()) return loaded;
  py::object current = comp::attached_diskcache(component);
  if (current.is(previous)) return loaded;
  py::object old_dir = py::getattr(previous, "cache_dir", py::none());
  if (!old_dir.is_none() &&
      absolute_path(py_paths::text(old_dir)) == absolute_path(py_paths::text(path))) {
    // The same directory loaded again: only the old handle goes, the files stay.
    try {
      previous.attr("close")();
    } catch (py::error_already_set& e) {
      if (!is_exception(e)) throw;
    }
    return loaded;
  }
  release_cache(previous);
  return loaded;
}

}  // namespace orvane::pipeline::support
