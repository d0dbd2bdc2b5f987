// Module definition of the native `optimizer` module.
#include <pybind11/pybind11.h>

PYBIND11_MODULE(optimizer, m) { m.doc() = "Native optimizer module."; }
