// The user-facing settings of one Wiener filtering, shared by the command-line
// tool, the Python module and the benchmark: defaults, the aggregation window,
// and the checks that turn them into the filter's FilterParams.
#ifndef SORVIK_FRONTEND_SETTINGS_H
#define SORVIK_FRONTEND_SETTINGS_H

#include <sorvik/sorvik.h>

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace sorvik {

constexpr std::int32_t defaultBlockSize = 8;
constexpr std::int32_t defaultStep = 3;
constexpr std::int32_t defaultMaxGroupSize = 32;
constexpr std::int32_t defaultSearchRadius = 19;
constexpr double defaultMatchThreshold = 0.19685;
constexpr double defaultKaiserBeta = 2.0;

// Beyond this beta the corner weight of the 2-D window, 1 / I0(beta)^2, falls
// below the smallest normal single-precision number (near beta 46), and from
// about 700 I0 itself overflows.
constexpr double maxKaiserBeta = 40.0;

// The largest image the front ends accept: pixel counts are int32 in the
// filter's contract.
constexpr std::int64_t maxImagePixels = 2147483647;

// sigma (0..1 scale) must square to a positive, finite single-precision
// number; every sigma from minSigma (about 5.3e-23) to maxSigma (about
// 9.2e18) does.
constexpr double minSigma = 0x1.0p-74;
constexpr double maxSigma = 0x1.0p63;

struct WienerSettings {
    std::int32_t blockSize = defaultBlockSize;
    std::int32_t step = defaultStep;
    std::int32_t maxGroupSize = defaultMaxGroupSize;
    std::int32_t searchRadius = defaultSearchRadius;
    double matchThreshold = defaultMatchThreshold;
    double sigma = 0.0; // on the pixel scale the filter sees, 0..1
    // blockSize^2 weights, entry r * P + c for block pixel (r, c); empty means
    // the Kaiser window of defaultKaiserBeta.
    std::vector<double> window;
};

// Symmetric Kaiser window of the given length: I0(beta sqrt(1 - x^2)) / I0(beta)
// with x running from -1 to 1 in equal steps. Throws std::invalid_argument for
// a length below 1 or a beta outside 0..maxKaiserBeta.
std::vector<double> kaiserWindow(std::int32_t length, double beta);

// Outer product of the Kaiser window with itself: size x size entries,
// entry r * size + c = k[r] * k[c].
std::vector<double> kaiserWindow2d(std::int32_t size, double beta);

// Throws std::invalid_argument unless the window holds P^2 weights, each
// finite and within the normal range of single precision.
void checkWindow(const std::vector<double>& window, std::int32_t P);

struct FilterSetup {
    FilterParams params;
    std::vector<double> window; // blockSize^2 entries, ready for runFilter
};

// Checks every setting (block size >= 2, group size >= 1, search radius >= 0,
// step from 1 to the block size, finite values, sigma > 0 and small enough
// that sigma^2 is a positive finite float, threshold <= 2^20, a window of
// blockSize^2 finite weights > 0 that single precision can hold), that the
// image holds at least one block, and that sorvik::checkParams accepts the
// result; the default window stands in for an empty one. Throws
// std::invalid_argument with a message meant for the user.
FilterSetup prepareFilter(const WienerSettings& settings, std::int32_t rows, std::int32_t cols);

// Index of the first value that is not finite, or -1 when all are.
template <typename T>
std::int64_t firstNonFinite(const T* data, std::size_t count)
{
    for (std::size_t i = 0; i < count; ++i)
        if (!std::isfinite(data[i]))
            return std::int64_t(i);
    return -1;
}

// Throws std::runtime_error when the filter's result has a pixel that is not
// finite. With settings that pass prepareFilter every pixel gets a positive
// weight, but pilot values large enough for |spectrum|^2 to overflow single
// precision still make infinities, and 0 x infinity.
void checkEstimateFinite(const float* estimate, std::size_t count, std::int32_t rows);

// Throws std::invalid_argument unless threads >= 1.
void checkThreads(long long threads);

// The sentence a front end shows for a status other than ok.
std::string filterFailure(FilterStatus status);

// The shortest decimal form that reads back as the same double ("0.1",
// "1e-30", "3.5"), for messages that quote a user's value.
std::string formatNumber(double value);

} // namespace sorvik

#endif
