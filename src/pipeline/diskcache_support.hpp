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

// The native core of the pipeline's writer: writes go to it as native data, not as records.
inline WriterObject& writer_of(const PipelineState& st) {
  return st.writer.attr("_core").cast<WriterObject&>();
}

// The folder of the disk cache attached to the component, or empty text.
inline std::string folder_of(const py::handle& component) {
  py::object folder = comp::diskcache_dir(component);
  return folder.is_none() ? std::string() : py_paths::text(folder);
}

// Runs `op` on the native part of every component.
template <typename F>
void each_component(const PipelineState& st, F&& op) {
  py::dict nodes = st.nodes;
  for (const auto& item : nodes) op(comp::native(item.second));
}

// Every entry of the directory `dir`, described (a listing error raised as OSError).
inline std::vector<CacheDirEntry> entries_of(const std::string& dir) {
  std::vector<CacheDirEntry> entries;
  for (const std::string& name : py_paths::list(dir)) {
    entries.push_back(describe_cache_entry(dir, name));
  }
  return entries;
}

// Makes the component load the cache at `path`. A different cache it had attached before is
// deleted once the new one is in place: it is superseded, and nothing else would ever delete it.
// Returns the component's result.
inline bool load_into_component(const py::handle& component, const std::string& path) {
  comp::ComponentNative& native = comp::native(component);
  const std::string previous_dir = folder_of(component);
  bool loaded = false;
  if (!py_values::quietly([&] { loaded = vostrel::load_diskcache(native, py_paths::str(path)); })) {
    // A cache whose first values (read to decide the status) are damaged: a failed load, and
    // the damaged cache is let go of and deleted rather than served later.
    vostrel::unload_diskcache(native);
    return false;
  }
  // The same directory loaded again keeps its files: only the old handle goes.
  if (loaded && !previous_dir.empty() && absolute_path(previous_dir) != absolute_path(path)) {
    remove_owned(previous_dir, true);
  }
  return loaded;
}

}  // namespace orvane::pipeline::support
