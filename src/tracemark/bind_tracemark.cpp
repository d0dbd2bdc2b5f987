// Module definition of the native `tracemark` module.
#include <pybind11/pybind11.h>

PYBIND11_MODULE(tracemark, m) { m.doc() = "Native tracemark module."; }
