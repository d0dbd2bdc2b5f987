// Module definition of the native `pipeline` module.
#include <pybind11/pybind11.h>

PYBIND11_MODULE(pipeline, m) { m.doc() = "Native pipeline module."; }
