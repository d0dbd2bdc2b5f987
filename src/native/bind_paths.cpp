// Bindings of the cache-directory rules: identifier names and private directories. The
// ownership locks are taken by the pipeline module only: one registry per process.
#include <pybind11/pybind11.h>

#include <string>

#include "core/cache_paths.hpp"

namespace py = pybind11;

namespace orvane {

void bind_paths(py::module_& m) {
  m.def(
      "pipeline_folder_name", [](const std::string& id) { return pipeline_folder_name(id); },
      py::arg("identifier"),
      "The cache folder name of a pipeline identifier; ValueError naming the rule it breaks.");
  m.def(
      "prepare_app_directory",
      [](const std::string& root, bool allow_link) {
        DirFd dir = open_root(root, allow_link);
        return dir.path();
      },
      py::arg("root"), py::arg("allow_link"),
      "Create the application root 0700, or check that an existing one is the user's and that "
      "nobody else can write it; RuntimeError otherwise.");
  m.def(
      "check_cache_directory",
      [](const std::string& path) {
        DirFd dir = open_owned_directory(path);
        return dir.path();
      },
      py::arg("path"),
      "RuntimeError unless the directory is the user's and nobody else writes it.");
}

}  // namespace orvane
