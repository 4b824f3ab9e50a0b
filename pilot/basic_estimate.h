// Basic estimate: a first, rough denoising of a grey image, good enough to
// serve as the pilot of the Wiener filter when the caller has none.
//
// Every 8 x 8 block of the image (all positions, step 1) goes through an
// orthonormal 2-D DCT-II; coefficients whose magnitude is below
// thresholdFactor x sigma are set to zero, the DC coefficient is always kept,
// the block is transformed back, and each pixel is the plain average of all
// the filtered blocks that contain it.
#ifndef SORVIK_PILOT_BASIC_ESTIMATE_H
#define SORVIK_PILOT_BASIC_ESTIMATE_H

#include <cstdint>

namespace sorvik {

constexpr std::int32_t basicBlockSize = 8;
constexpr double defaultThresholdFactor = 2.7;

struct BasicEstimateOptions {
    double thresholdFactor = defaultThresholdFactor;
    // Threads that filter bands of block rows side by side, the calling
    // thread among them (1 to 64; small images use fewer). The result is the
    // same bits for any count.
    int threads = 1;
    // Called with the block-position rows done so far, counted over every
    // thread (rows done, total; each count once, in increasing order), from
    // the calling thread; may be null. An exception it throws ends the call and
    // passes to the caller, with everything the call made released.
    void (*progress)(void* context, std::int32_t rowsDone, std::int32_t rowsTotal) = nullptr;
    void* progressContext = nullptr;
};

// The most bytes one call of basicEstimate allocates on `threads` threads.
std::uint64_t basicEstimateMemoryBound(std::int32_t rows, std::int32_t cols, int threads);

// noisy:    rows x cols doubles, column-major (pixel (i, j) at i + j * rows)
// estimate: rows x cols floats, same layout; may not alias noisy
// sigma:    noise standard deviation on the pixel scale of noisy, >= 0
// Throws std::invalid_argument when the image is smaller than one block, when
// sigma or the threshold factor is negative or not finite, when a pixel is not
// finite or larger in magnitude than 2^107 (the result would not be), or when
// the sizes overflow; std::bad_alloc or std::runtime_error when memory or an FFTW plan
// cannot be had. Safe to call from several threads at once.
void basicEstimate(std::int32_t rows, std::int32_t cols, const double* noisy, double sigma,
                   float* estimate, const BasicEstimateOptions& options = {});

} // namespace sorvik

#endif
