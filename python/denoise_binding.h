// The one-call denoiser's bindings (denoise_binding.cpp), registered by the
// module's entry.
#ifndef SORVIK_PYTHON_DENOISE_BINDING_H
#define SORVIK_PYTHON_DENOISE_BINDING_H

#include <pybind11/pybind11.h>

void registerDenoise(pybind11::module_& m);

#endif
