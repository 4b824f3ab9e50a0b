// A deliberately plain, frozen copy of the filter as first written: one stage
// after another, every transform staged through one pair of buffers, nothing
// vectorised, fused or threaded. It is the oracle that the fast paths of the
// library are compared with, bit for bit. Do not optimise it.
#ifndef SORVIK_TESTS_FILTER_PLAIN_FILTER_H
#define SORVIK_TESTS_FILTER_PLAIN_FILTER_H

#include <sorvik/sorvik.h>

#include "filter/grouped_threshold.h"

namespace sorvik::plain {

// Same contract as sorvik::runFilter for parameters that checkParams accepts.
FilterStatus runFilter(const FilterParams& params, const double* noisy, const float* pilot,
                       const double* window, float* estimate);

// Same contract as sorvik::runFilterChannels for parameters that checkParams
// accepts: matched on channel 0, then each channel's group in turn through
// the pipeline above, with its own rings, sigma and accumulators.
FilterStatus runFilterChannels(const FilterParams& params, const Channel* channels, int count,
                               const double* window);

// Same contract as sorvik::runThresholdChannels for parameters that
// checkParams accepts: the grouped thresholding stage through the pipeline
// above, matched on channel 0's floored cosine spectra.
FilterStatus runThresholdChannels(const ThresholdParams& params, const Channel* channels,
                                  int count, const double* window);

} // namespace sorvik::plain

#endif
