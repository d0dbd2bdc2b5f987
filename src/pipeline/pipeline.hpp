// The pipeline engine's class, assembled from the parts defined in the files of this folder.
#pragma once

#include <pybind11/pybind11.h>

namespace orvane::pipeline {

namespace py = pybind11;

// Each adds its members to the OrvanePipeline class object `cls` (built with type()).
void register_lifecycle(py::module_& m, const py::object& cls);         // lifecycle.cpp
void register_execution(py::module_& m, const py::object& cls);         // execution.cpp
void register_diskcache_channel(py::module_& m, const py::object& cls); // diskcache_channel.cpp
void register_cache_commands(py::module_& m, const py::object& cls);    // cache_commands.cpp
void register_parameters(py::module_& m, const py::object& cls);        // parameters.cpp
void register_component_info(py::module_& m, const py::object& cls);    // component_info.cpp

}  // namespace orvane::pipeline
