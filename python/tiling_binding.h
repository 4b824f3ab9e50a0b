// The exact tiles' bindings (tiling_binding.cpp), registered by the module's
// entry.
#ifndef SORVIK_PYTHON_TILING_BINDING_H
#define SORVIK_PYTHON_TILING_BINDING_H

#include <pybind11/pybind11.h>

void registerTiling(pybind11::module_& m);

#endif
