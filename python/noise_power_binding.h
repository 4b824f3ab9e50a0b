// The noise spectrum measured in chunks (noise_power_binding.cpp), registered by
// the module's entry: what sorvik.dask needs for the correlated model.
#ifndef SORVIK_PYTHON_NOISE_POWER_BINDING_H
#define SORVIK_PYTHON_NOISE_POWER_BINDING_H

#include <sorvik/denoise.h>

#include <pybind11/pybind11.h>

#include <optional>
#include <vector>

// A spectrum as it travels between tasks: (cosine, fourier, blocks).
sorvik::NoiseSpectrum spectrumOf(const pybind11::tuple& spectrum);
std::optional<std::vector<sorvik::NoiseSpectrum>> spectraOf(const pybind11::object& spectra);

void registerSpectrum(pybind11::module_& m);

#endif
