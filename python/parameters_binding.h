// The parameter table as Python sees it: the table itself, and the one
// reading of keyword arguments into a checked request that denoise, Dask and
// wiener share (parameters_binding.cpp).
#ifndef SORVIK_PYTHON_PARAMETERS_BINDING_H
#define SORVIK_PYTHON_PARAMETERS_BINDING_H

#include "frontend/parameters.h"

#include <sorvik/denoise.h>

#include <pybind11/pybind11.h>

#include <string>

// Reads the keyword arguments that name rows of the table into a request,
// converting each by its row's kind: TypeError for a value of the wrong kind
// (a bool, a float for an integer, a complex or text window), ValueError for
// one no number of the row's kind can hold. Unknown keywords are TypeError.
sorvik::Request pythonRequest(const pybind11::dict& keywords, sorvik::FrontEnd frontEnd);

// A block_size x block_size array (or nested lists) of real weights, row by
// row; None gives none.
std::vector<double> windowWeights(const pybind11::handle& window, std::int64_t blockSize);

// The checked request as keyword arguments: every option resolved (the step,
// group size, search radius, threads; for the one call, oneCall, the values
// its profile sets, a stack's where frames, its colour point where colour),
// the window a float64 array or None.
pybind11::dict requestKeywords(const sorvik::Request& request, sorvik::FrontEnd frontEnd, bool oneCall,
                               bool frames = false, bool colour = false);

// The first stage's keywords (first_stage, first_block_size, ...; None or
// absent: the default) into the library's options, checked as
// _check_parameters checks them: the front ends hand them on as one dict.
void applyFirstStageKeywords(const pybind11::dict& keywords, sorvik::FrontEnd frontEnd,
                             sorvik::DenoiseOptions& options);

void registerParameters(pybind11::module_& m);

#endif
