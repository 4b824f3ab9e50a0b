// sorvik: collaborative Wiener filtering of a grey-scale image, on plain arrays.
//
// This is the filter's only public header. It knows nothing of any host: a MEX
// driver, a command-line tool or a test calls runFilter() with arrays it owns.
#ifndef SORVIK_SORVIK_H
#define SORVIK_SORVIK_H

#include <cstdint>

namespace sorvik {

// The distance that marks an empty entry of a match list. A match threshold
// above it acts as it, so that an empty entry never counts as a match.
constexpr float maxMatchThreshold = 1048576.0f; // 2^20

// Parameters of one call, already rounded and converted the way the MEX entry
// reads them (integers by (int)(x + 0.5), real values as float).
struct FilterParams {
    std::int32_t rows = 0;          // M: image rows
    std::int32_t cols = 0;          // N: image columns
    std::int32_t blockSize = 8;     // P: blocks are P x P pixels, P >= 2
    std::int32_t searchRadius = 19; // R: search area is (2R + 1)^2 block positions, R >= 0
    std::int32_t maxGroupSize = 32; // K: reference plus at most K - 1 matches, K >= 1
    std::int32_t step = 3;          // spacing of reference blocks; <= 1 means every block
    float matchThreshold = 0.0f;    // spectral distance below which a block is matched, <= 2^20
    float sigma = 0.0f;             // noise standard deviation, 0..1 pixel scale
};

enum class FilterStatus {
    ok = 0,
    invalidParameters, // a parameter outside the ranges above, or sizes that cannot be held
    outOfMemory,       // a buffer could not be allocated
    planFailed,        // FFTW could not make a plan
};

// Short English text for a status, for drivers that report it.
const char* statusMessage(FilterStatus status);

// Optional progress report: called after each block-position row with the
// number of rows done and the total. Returning false does not stop the call.
using ProgressCallback = void (*)(void* context, std::int32_t rowsDone, std::int32_t rowsTotal);

struct FilterOptions {
    // Threads the call may use, the calling thread included; 1 or less runs on
    // the calling thread alone. The output is the same bits for any count.
    int threads = 1;
    ProgressCallback progress = nullptr; // may be null
    void* progressContext = nullptr;
};

// Checks that the parameters lie in the ranges the filter is built for and that
// every buffer size fits the address space. Does not allocate.
FilterStatus checkParams(const FilterParams& params);

// The most bytes one call of runFilterChannels (runFilter: one channel) with
// these parameters allocates, beyond the arrays the caller passes, on
// `threads` threads: the rings, bands and accumulators of every channel, each
// thread's transforms and match lists, and the groups in flight between the
// threads and the aggregation. FFTW's plans are counted as a MiB a thread.
// Front ends that plan memory (streaming, tiles) read the filter's buffer
// sizes here rather than repeating them. Parameters that checkParams refuses,
// or a channel count below 1, give the largest value.
std::uint64_t filterMemoryBound(const FilterParams& params, int channels, int threads);

// Runs one call of the filter.
//   noisy    rows x cols doubles, column-major (pixel (i, j) at i + j * rows)
//   pilot    rows x cols floats, same layout
//   window   blockSize^2 doubles; entry r * P + c weights block pixel (row r, column c)
//   estimate rows x cols floats, written with the result (NaN where no block reached)
// Everything the call allocates is released before it returns, on success and on failure.
// On failure the contents of estimate are unspecified.
FilterStatus runFilter(const FilterParams& params, const double* noisy, const float* pilot,
                       const double* window, float* estimate, const FilterOptions& options = {});

// One channel of a several-channel image, for runFilterChannels. Every
// channel has the image's rows x cols pixels in the layout of runFilter.
struct Channel {
    const double* noisy = nullptr;
    const float* pilot = nullptr;
    float sigma = 0.0f;         // this channel's noise standard deviation, 0..1 scale
    float* estimate = nullptr;  // written with this channel's result
    // Null: white noise, every coefficient weighed against sigma^2 (the
    // bits of a call without it). Otherwise coloured noise: its variance per
    // coefficient of a block's transform over sigma^2, in the basis of the
    // stage run: for runFilterChannels the half spectrum of the unitary
    // P x P DFT, P (P/2 + 1) values (vertical frequency u, horizontal v at
    // u (P/2 + 1) + v); for runThresholdChannels the orthonormal P x P DCT,
    // P^2 values at u P + v. Each must be finite and >= 0.
    const float* noiseShape = nullptr;
};

// Runs the filter on the channels of one image together, so that they share
// their groups: blocks are matched on the pilot of channels[0] alone, and
// every channel's group is shrunk with Wiener coefficients from its own pilot
// and sigma and aggregated with its own weights. params.sigma is not read.
// With one channel the result is runFilter's, bit for bit; the output is the
// same bits for any thread count. The buffers grow with the channel count;
// invalidParameters also when channelCount < 1, channels or window is null, a
// channel's noisy, pilot or estimate is null, or the buffers of all channels
// together cannot be held. Estimates of different channels must not overlap.
FilterStatus runFilterChannels(const FilterParams& params, const Channel* channels, int channelCount,
                               const double* window, const FilterOptions& options = {});

} // namespace sorvik

#endif
