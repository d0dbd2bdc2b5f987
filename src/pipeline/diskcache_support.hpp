// Helpers shared by the disk-cache channel and the cache commands: handles on cache folders and
// the rules for which cache directories the pipeline may delete.
#pragma once

#include <pybind11/pybind11.h>

#include <string>
#include <vector>

#include "common/py_paths.hpp"
#include "core/cache_adoption.hpp"
#include "core/cache_folders.hpp"
#include "core/cache_format.hpp"
#include "native/writer_object.hpp"
#include "pipeline/component_access.hpp"
#include "pipeline/pipeline.hpp"

namespace orvane::pipeline::support {

using py_values::quietly;

// The native core of the pipeline's writer: writes go to it as native data, not as records.
inline WriterObject& writer_of(const PipelineState& st) {
  return st.writer.attr("_core").cast<WriterObject&>();
}

// The folder of the disk cache attached to the component, or empty text.
inline std::string folder_of(const py::handle& component) {
  py::object folder = comp::diskcache_dir(component);
  return folder.is_none() ? std::string() : py_paths::text(folder);
}

// Every entry of the directory `dir`, described (a listing error raised as OSError).
inline std::vector<CacheDirEntry> entries_of(const std::string& dir) {
  std::vector<CacheDirEntry> entries;
  for (const std::string& name : py_paths::list(dir)) {
    entries.push_back(describe_cache_entry(dir, name));
  }
  return entries;
}

using orvane::remove_owned;

// Empties, closes and deletes a disk cache that a component no longer uses; its class deletes
// only the files it wrote, whatever is left goes after.
inline void release_cache(const py::handle& cache) {
  py::object dir = py::getattr(cache, "cache_dir", py::none());
  quietly([&] {
    cache.attr("clear_cache")();
    cache.attr("close")();
  });
  if (!dir.is_none()) remove_directory(py_paths::text(dir));
}

// Makes the component load the cache at `path`. A different cache it had attached before is
// closed and deleted once the new one is in place: it is superseded, and nothing else would
// ever delete it. Returns the component's result.
inline bool load_into_component(const py::handle& component, const py::handle& path) {
  comp::ComponentNative& native = comp::native(component);
  py::object previous = native.diskcache();
  bool loaded = false;
  if (!quietly([&] { loaded = vostrel::load_diskcache(native, path); })) {
    // A cache whose first values (read to decide the status) are damaged: a failed load, and
    // the damaged cache is let go of and deleted rather than served later.
    py::object attached = native.diskcache();
    if (!attached.is_none() && !attached.is(previous)) release_cache(attached);
    vostrel::unload_diskcache(native);
    return false;
  }
  if (!loaded || previous.is_none() || native.diskcache().is(previous)) return loaded;
  py::object old_dir = py::getattr(previous, "cache_dir", py::none());
  if (!old_dir.is_none() &&
      absolute_path(py_paths::text(old_dir)) == absolute_path(py_paths::text(path))) {
    // The same directory loaded again: only the old handle goes, the files stay.
    quietly([&] { previous.attr("close")(); });
  } else {
    release_cache(previous);
  }
  return loaded;
}

}  // namespace orvane::pipeline::support
