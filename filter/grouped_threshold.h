// The grouped hard-thresholding estimate: the first stage of the one call,
// whose result is the Wiener stage's pilot. Blocks are matched on the noisy
// image itself, each group is transformed jointly (the unitary 2-D DFT of
// each block, the unitary DFT along the group), its coefficients below
// lambda x sigma are set to zero (the group's DC kept), and the blocks are
// put back with weight window x 1 / (coefficients kept).
#ifndef SORVIK_FILTER_GROUPED_THRESHOLD_H
#define SORVIK_FILTER_GROUPED_THRESHOLD_H

#include <sorvik/sorvik.h>

namespace sorvik {

struct ThresholdParams {
    // rows, cols, blockSize, searchRadius, maxGroupSize, step and
    // matchThreshold as for the Wiener stage; sigma is not read (each
    // channel has its own).
    FilterParams filter;
    float lambda = 2.7f;      // threshold = lambda * the channel's sigma, one rounding
    // Matching compares spectra whose coefficients below matchFloor x the
    // first channel's sigma are zero (the DC aside); 0 compares them whole.
    float matchFloor = 0.0f;
};

// Runs the stage on channels[0 .. count - 1] together: groups are matched on
// channels[0] and shared by all, as runFilterChannels shares them; each
// channel is thresholded with its own sigma. Every channel's pilot must be
// null. Same engine, threads and progress as runFilterChannels: the output
// is the same bits for any thread count. invalidParameters for parameters
// checkParams refuses, lambda or matchFloor negative or not finite, a null
// noisy or estimate, a pilot given, or count < 1.
FilterStatus runThresholdChannels(const ThresholdParams& params, const Channel* channels,
                                  int count, const double* window,
                                  const FilterOptions& options = {});

} // namespace sorvik

#endif
