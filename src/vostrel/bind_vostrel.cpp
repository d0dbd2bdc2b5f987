// Module definition of the native `vostrel` module.
#include <pybind11/pybind11.h>

PYBIND11_MODULE(vostrel, m) { m.doc() = "Native vostrel module."; }
