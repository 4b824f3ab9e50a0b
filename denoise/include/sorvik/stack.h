// sorvik stacks: the one call on a sequence of frames (video, time-lapse,
// z-stack) whose groups draw blocks from the neighbouring frames too
// (filter/frames.h), with one noise level for the whole sequence.
#ifndef SORVIK_STACK_H
#define SORVIK_STACK_H

#include <sorvik/denoise.h>

#include <cstdint>
#include <vector>

namespace sorvik {

// Frames of one shape: frame f's channels, planar and column-major as in
// DenoiseInput, at f * channels * rows * cols.
struct StackInput {
    std::int32_t rows = 0;
    std::int32_t cols = 0;
    int channels = 1;               // 1 (grey) or 3 (RGB)
    std::int32_t frames = 0;
    const double* pixels = nullptr;
    DataRange range;
    std::optional<double> sigma;    // the data's units; absent: estimated on all frames together
    // Stacks take the white models, chosen and fitted on all frames
    // together as denoise() does an image's: automatic takes
    // poisson-gaussian (stabilised as denoise() does it) where the noise
    // follows the signal, else gaussian. correlated is refused.
    NoiseChoice noise = NoiseChoice::automatic;
    std::optional<double> gain, readNoise, offset; // as DenoiseInput's
    // A window of a larger stack: the whole stack's extremes, so that every
    // window is stabilised alike (with the whole model given).
    std::optional<DataRange> extremes;
};

// How many frames on each side lend blocks, and how far around its predicted
// place a block is looked for in each of them.
constexpr int defaultTemporalRadius = 3;
constexpr int maxTemporalRadius = 16;
constexpr int defaultPredictiveRadius = 4;

struct StackOptions {
    int temporalRadius = defaultTemporalRadius;     // 0 .. maxTemporalRadius; 0: frame by frame
    int predictiveRadius = defaultPredictiveRadius; // 0 .. 64 block positions
};

// How many frames on each side decide a frame of the result: a frame's
// Wiener estimate sums the groups of the frames within one radius, whose
// matches read the pilots of the frames within one radius of those; each
// pilot likewise reads the noisy frames two radii around it.
constexpr int stackContext(int temporalRadius) { return 4 * temporalRadius; }

struct StackResult {
    std::vector<double> pixels; // as the input, in the data's units
    double sigma = 0.0;         // poisson-gaussian: the noise at the stack's mean level
    bool sigmaEstimated = false;
    NoiseModel noise;           // the model filtered under
};

// denoise() on every frame, each frame's groups drawing from the frames
// within the temporal radius in both stages. With radius 0 every frame gets
// denoise()'s bits at the stack's sigma. Throws std::invalid_argument for
// bad input (the message names the frame), std::runtime_error when the
// filter fails, std::bad_alloc when memory runs out. Progress is not
// reported for stacks.
StackResult denoiseStack(const StackInput& input, const DenoiseOptions& options = {},
                         const StackOptions& stack = {});

// The most bytes denoiseStack allocates at its peak on `frames` frames of
// rows x cols pixels and `channels` channels, beyond its input and with its
// result: the stack in the filter's units, its pilot and estimate, each
// stage's sums for every frame and the filter on one temporal window
// (framesMemoryBound), the noise estimate of the whole stack when
// `estimate`, and the stabilised copy of the stack when `stabilised` (the
// poisson-gaussian model). The largest value for a shape or radius
// denoiseStack refuses.
std::uint64_t stackMemoryBound(std::int32_t rows, std::int32_t cols, int channels,
                               std::int32_t frames, const DenoiseOptions& options,
                               const StackOptions& stack, bool estimate, bool stabilised = false);

} // namespace sorvik

#endif
