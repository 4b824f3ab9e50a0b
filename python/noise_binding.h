// The noise estimate in chunks (noise_binding.cpp), registered by the
// module's entry.
#ifndef SORVIK_PYTHON_NOISE_BINDING_H
#define SORVIK_PYTHON_NOISE_BINDING_H

#include <pybind11/pybind11.h>

void registerNoise(pybind11::module_& m);

#endif
