// The one-call denoiser's bindings (denoise_binding.cpp), registered by the
// module's entry.
#ifndef SORVIK_PYTHON_DENOISE_BINDING_H
#define SORVIK_PYTHON_DENOISE_BINDING_H

#include <sorvik/denoise.h>

#include <pybind11/pybind11.h>

#include <optional>
#include <string>

// noise_model= as given (None: auto), for the library.
sorvik::NoiseChoice noiseChoiceOf(const std::optional<std::string>& name);
// A model as Python sees it: (kind, sigma, gain, read_noise, offset).
pybind11::tuple modelTuple(const sorvik::NoiseModel& model);

void registerDenoise(pybind11::module_& m);

// ValueError naming the place of a value that is not finite, as numpy
// indexes it (from 0, the channel where there are several): every binding
// that reads an image says it in these words.
[[noreturn]] void rethrowNonFinite(const sorvik::NonFiniteValue& e, int channels);

#endif
