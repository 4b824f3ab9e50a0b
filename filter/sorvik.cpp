#include <sorvik/sorvik.h>

#include "filter/aggregation.h"
#include "filter/engine.h"
#include "filter/frames.h"
#include "filter/matching.h"
#include "filter/profile.h"
#include "filter/rings.h"
#include "filter/shared_channels.h"
#include "filter/transforms.h"
#include "filter/workspace.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <new>
#include <optional>

namespace sorvik {

using detail::Geometry;

const char* statusMessage(FilterStatus status)
{
    switch (status) {
    case FilterStatus::ok: return "no error";
    case FilterStatus::invalidParameters: return "parameters outside the filter's range";
    case FilterStatus::outOfMemory: return "not enough memory for the filter's buffers";
    case FilterStatus::planFailed: return "FFTW could not make a transform plan";
    }
    return "unknown status";
}

namespace {

// Largest element count of any one buffer: indices are 32-bit, and the bytes
// must fit this platform's address space.
bool fits(std::int64_t elements, std::int64_t elementBytes)
{
    constexpr std::int64_t maxIndex = std::numeric_limits<std::int32_t>::max();
    const auto maxBytes = static_cast<std::uint64_t>(std::numeric_limits<std::ptrdiff_t>::max());
    return elements >= 0 && elements <= maxIndex &&
           static_cast<std::uint64_t>(elements) * static_cast<std::uint64_t>(elementBytes) <= maxBytes;
}

bool gridIsEmpty(const Geometry& g) { return g.blockRows <= 0 || g.blockCols <= 0; }

// No block fits: nothing is transformed or aggregated, and every pixel is
// (1 / 0) * 0 as the final division computes it.
FilterStatus finishUncovered(float* estimate, std::size_t pixels)
{
    auto weightSum = detail::allocateFftw<float>(pixels);
    if (!weightSum)
        return FilterStatus::outOfMemory;
    for (std::size_t i = 0; i < pixels; ++i) {
        estimate[i] = 0.0f;
        weightSum[i] = 0.0f;
    }
    detail::normalizeEstimate(estimate, weightSum.get(), pixels);
    return FilterStatus::ok;
}

// a + b, or the largest value when the sum does not fit.
std::uint64_t addSaturated(std::uint64_t a, std::uint64_t b)
{
    return a > std::numeric_limits<std::uint64_t>::max() - b ? std::numeric_limits<std::uint64_t>::max()
                                                              : a + b;
}

std::uint64_t bytesOf(std::int64_t elements, std::size_t elementBytes)
{
    // Each count here is bounded by checkParams, or a small multiple of the
    // image's pixel count, so the product cannot overflow 64 bits.
    return static_cast<std::uint64_t>(elements) * elementBytes;
}

// One channel's rings, image band and accumulators, with rings of
// g.ringSlots rows (more with threads that compute rows ahead).
std::uint64_t channelBytes(const Geometry& g)
{
    const std::int64_t pixels = std::int64_t{g.M} * g.N;
    const std::int64_t P = g.P, K = g.K, L = g.L, N = g.N;
    // Rings of a several-frame walk hold every frame of its window side by side.
    const std::int64_t slots = std::int64_t{g.ringSlots} * g.frames;
    const std::int64_t tiles = (std::int64_t{g.blockCols} + detail::pilotTile - 1) / detail::pilotTile;
    const std::int64_t bandRows = P + std::clamp(g.step, std::int32_t{1}, std::int32_t{8}) - 1;
    const std::int64_t accumulatorRows = detail::Accumulators::rowsFor(g);
    const std::int64_t accumulatorStride = std::int64_t(detail::Accumulators::strideFor(g.N));
    std::uint64_t bytes = bytesOf(pixels + 2 * K + P * P, sizeof(float));
    bytes = addSaturated(bytes, bytesOf(slots * tiles * 2 * detail::pilotTile * L, sizeof(float)));
    bytes = addSaturated(bytes, bytesOf(slots * std::int64_t{g.blockCols} * L, sizeof(detail::Complex)));
    bytes = addSaturated(bytes, bytesOf(4 * bandRows * N, sizeof(float)));
    bytes = addSaturated(bytes, bytesOf(2 * accumulatorRows * accumulatorStride, sizeof(float)));
    return addSaturated(bytes, bytesOf(K + 1, sizeof(float)));
}

// A neighbouring frame of a several-frame walk, per channel: its image band
// and its accumulators (its spectra live in the walked channel's rings).
std::uint64_t neighbourBytes(const Geometry& g)
{
    const std::int64_t pixels = std::int64_t{g.M} * g.N;
    const std::int64_t P = g.P, N = g.N;
    const std::int64_t bandRows = P + std::clamp(g.step, std::int32_t{1}, std::int32_t{8}) - 1;
    const std::int64_t accumulatorRows = detail::Accumulators::rowsFor(g);
    const std::int64_t accumulatorStride = std::int64_t(detail::Accumulators::strideFor(g.N));
    std::uint64_t bytes = bytesOf(pixels + P * P, sizeof(float));
    bytes = addSaturated(bytes, bytesOf(4 * bandRows * N, sizeof(float)));
    bytes = addSaturated(bytes, bytesOf(2 * accumulatorRows * accumulatorStride, sizeof(float)));
    // Its entry in the walk's tables (state, ring filler and pointers).
    return addSaturated(bytes, 512);
}

// What every thread holds apart from the channels: its transform set (the
// group's spectra, the columns staged for batched transforms, a MiB for
// FFTW's plans and small tables) and its match lists; and the slots of
// results in flight, a batch of groups of K blocks and their weights for
// every channel each.
std::uint64_t threadBytes(const Geometry& g, int channels, int threads)
{
    const std::uint64_t t = std::uint64_t(std::max(threads, 1));
    const std::uint64_t K = std::uint64_t(g.K), L = std::uint64_t(g.L), P = std::uint64_t(g.P);
    const std::uint64_t n = std::uint64_t(channels);
    const std::uint64_t batch = std::uint64_t(detail::batchReferences(g.K, g.P, channels));
    const std::uint64_t staged =
        4 * L * std::min(K, std::uint64_t(detail::TransformSet::batchedLength));
    const std::uint64_t spectra =
        K * L + 2 * std::max(K, L) + 2 * detail::TransformSet::pilotColumn(g.K) + staged;
    const std::uint64_t perThread = (std::uint64_t(1) << 20) +
                                    spectra * sizeof(detail::Complex) +
                                    batch * (2 * K + 2 * L) * sizeof(float);
    const std::uint64_t slots = t > 1 ? 2 * t + 2 : 1;
    const std::uint64_t results =
        slots * batch * (n * (K + 1) * P * P * sizeof(float) + K * sizeof(std::int32_t) + 64);
    return t * perThread + results;
}

// Every channel beyond the first needs its own rings, image band and
// accumulators, and every channel its share of the engine's results; the
// sum for all of them must fit the address space too. Does not allocate.
FilterStatus checkChannelCount(const FilterParams& params, int channelCount)
{
    const FilterStatus single = checkParams(params);
    if (single != FilterStatus::ok)
        return single;
    const Geometry g = detail::makeGeometry(params);
    if (gridIsEmpty(g))
        return FilterStatus::ok;

    const std::int64_t P = g.P, K = g.K;
    std::uint64_t perChannel = channelBytes(g);
    // The engine's results: at least one group of K blocks per channel.
    perChannel = addSaturated(perChannel, bytesOf(K * P * P + 1, sizeof(float)));
    const auto maxBytes = static_cast<std::uint64_t>(std::numeric_limits<std::ptrdiff_t>::max());
    if (perChannel > maxBytes / static_cast<std::uint64_t>(channelCount))
        return FilterStatus::invalidParameters;
    // The results of one group for every channel are indexed in size_t.
    if (!fits(std::int64_t{channelCount} * K * P * P, sizeof(float)))
        return FilterStatus::invalidParameters;
    return FilterStatus::ok;
}

// Channel c's sigma^2 per coefficient where it carries a noise shape: null
// without one (and then `ok`), invalidParameters for a shape value that is
// negative or not finite.
FilterStatus wienerNoiseTable(const Channel& channel, std::int32_t L,
                              std::unique_ptr<float[]>& table)
{
    if (channel.noiseShape == nullptr)
        return FilterStatus::ok;
    table = detail::allocateTable<float>(std::size_t(L));
    if (!table)
        return FilterStatus::outOfMemory;
    const float s2 = channel.sigma * channel.sigma;
    for (std::int32_t t = 0; t < L; ++t) {
        const float f = channel.noiseShape[t];
        if (!std::isfinite(f) || f < 0.0f)
            return FilterStatus::invalidParameters;
        table[t] = s2 * f;
    }
    return FilterStatus::ok;
}

} // namespace

// Runs the filter on channels[0 .. count - 1] together; channel c's sigma is
// channels[c].sigma. The parameters have been checked for all of them.
FilterStatus detail::runCheckedChannels(const FilterParams& params, const Channel* channels,
                                        int count, const double* window,
                                        const FilterOptions& options, detail::CallProfile* profile)
{
    FilterParams firstParams = params;
    firstParams.sigma = channels[0].sigma;
    Geometry g = detail::withRowsAhead(detail::makeGeometry(firstParams), options.threads);
    std::unique_ptr<std::unique_ptr<float[]>[]> noise =
        detail::allocateTable<std::unique_ptr<float[]>>(std::size_t(count));
    if (!noise)
        return FilterStatus::outOfMemory;
    for (int c = 0; c < count; ++c) {
        const FilterStatus shaped = wienerNoiseTable(channels[c], g.L, noise[c]);
        if (shaped != FilterStatus::ok)
            return shaped;
    }
    g.perCoefficient = noise[0].get();
    const std::size_t pixels = std::size_t(g.M) * std::size_t(g.N);
    if (gridIsEmpty(g)) {
        for (int c = 0; c < count; ++c) {
            const FilterStatus status = finishUncovered(channels[c].estimate, pixels);
            if (status != FilterStatus::ok)
                return status;
        }
        return FilterStatus::ok;
    }

    detail::StageClock clock(profile != nullptr);
    if (profile != nullptr) {
        *profile = detail::CallProfile{};
        profile->groupsOfSize.assign(std::size_t(g.K) + 1, 0);
        profile->blockSpectra = 2 * std::int64_t{g.blockRows} * g.blockCols;
    }
    {
        detail::Workspace ws;
        ws.profile = profile;
        const FilterStatus ready = ws.setUp(g, channels[0].estimate);
        if (ready != FilterStatus::ok)
            return ready;

        detail::SharedChannels shared;
        const FilterStatus sharedReady = shared.setUp(
            g, std::size_t(count - 1), [&](std::size_t c, Geometry& channelGeometry) {
                const Channel& channel = channels[c + 1];
                channelGeometry.sigma = channel.sigma;
                channelGeometry.perCoefficient = noise[c + 1].get();
                return detail::SharedChannels::Part{channel.estimate,
                                                    detail::Images{channel.noisy, channel.pilot}};
            });
        if (sharedReady != FilterStatus::ok)
            return sharedReady;
        if (profile != nullptr)
            clock.lap(profile->setUpSeconds);

        detail::SpectrumRings rings(ws.g, ws.rings, ws.band,
                                    detail::Images{channels[0].noisy, channels[0].pilot});
        const FilterStatus walked =
            detail::walkReferences(ws, rings, window, options, shared.views(), shared.count());
        if (walked != FilterStatus::ok)
            return walked;
        clock = detail::StageClock(profile != nullptr);
        detail::normalizeEstimate(ws.accumulators.estimate, ws.accumulators.weightSum, pixels);
        for (std::size_t c = 0; c < std::size_t(shared.count()); ++c) {
            const detail::Accumulators& acc = shared.workspace(c).accumulators;
            detail::normalizeEstimate(acc.estimate, acc.weightSum, pixels);
        }
    }
    if (profile != nullptr)
        clock.lap(profile->finishSeconds);
    return FilterStatus::ok;
}


FilterStatus checkParams(const FilterParams& params)
{
    if (params.rows < 0 || params.cols < 0 || params.blockSize < 2 || params.maxGroupSize < 1 ||
        params.searchRadius < 0)
        return FilterStatus::invalidParameters;

    const std::int64_t pixels = std::int64_t{params.rows} * params.cols;
    const std::int64_t P = params.blockSize;
    if (!fits(pixels, sizeof(double)))
        return FilterStatus::invalidParameters;
    const Geometry g = detail::makeGeometry(params);
    if (gridIsEmpty(g))
        return FilterStatus::ok;

    // The grid is not empty, so P is at most the image's smaller side and the
    // products below start from numbers no larger than the image.
    const std::int64_t L = g.L;
    const std::int64_t K = g.K;
    // The pilot ring holds whole tiles of columns.
    const std::int64_t paddedCols =
        (std::int64_t{g.blockCols} + detail::pilotTile - 1) / detail::pilotTile * detail::pilotTile;
    const bool ok = fits(pixels + 2 * K + P * P, sizeof(float)) &&
                    fits(std::int64_t{g.slots} * paddedCols * L, sizeof(detail::Complex)) &&
                    fits(K * L, sizeof(detail::Complex)) && fits(K + 1, sizeof(detail::Plan));
    return ok ? FilterStatus::ok : FilterStatus::invalidParameters;
}

std::uint64_t filterMemoryBound(const FilterParams& params, int channels, int threads)
{
    constexpr std::uint64_t unbounded = std::numeric_limits<std::uint64_t>::max();
    if (channels < 1 || checkParams(params) != FilterStatus::ok)
        return unbounded;
    const Geometry g = detail::withRowsAhead(detail::makeGeometry(params), threads);
    const std::uint64_t pixels = std::uint64_t(g.M) * std::uint64_t(g.N);
    if (gridIsEmpty(g))
        return pixels * sizeof(float); // finishUncovered's weights, one channel at a time
    std::uint64_t bytes = 0;
    const std::uint64_t perChannel = channelBytes(g);
    for (int c = 0; c < channels; ++c)
        bytes = addSaturated(bytes, perChannel);
    return addSaturated(bytes, threadBytes(g, channels, threads));
}

std::uint64_t framesMemoryBound(const FilterParams& params, int windowFrames, int channels,
                                int threads)
{
    constexpr std::uint64_t unbounded = std::numeric_limits<std::uint64_t>::max();
    if (windowFrames < 1 || windowFrames > maxWindowFrames || channels < 1 ||
        checkParams(params) != FilterStatus::ok)
        return unbounded;
    Geometry g = detail::withRowsAhead(detail::makeGeometry(params), threads);
    // A window of one frame, or frames without a block grid, is the call on
    // one frame (with its channels copied).
    const std::uint64_t alone =
        addSaturated(filterMemoryBound(params, channels, threads), 64 * std::uint64_t(channels));
    if (windowFrames == 1 || gridIsEmpty(g))
        return alone;
    g.frames = windowFrames;
    std::uint64_t bytes = 0;
    const std::uint64_t perChannel = channelBytes(g);
    const std::uint64_t perNeighbour = neighbourBytes(g);
    for (int c = 0; c < channels; ++c) {
        bytes = addSaturated(bytes, perChannel);
        for (int f = 1; f < windowFrames; ++f)
            bytes = addSaturated(bytes, perNeighbour);
    }
    // The walk's group staging, and each thread's lists and centres of the
    // predictive search.
    const std::int64_t K = g.K, P = g.P;
    bytes = addSaturated(bytes, bytesOf(K * P * P + K, sizeof(float)));
    bytes = addSaturated(bytes, bytesOf(std::int64_t{std::max(threads, 1)} * (2 * K + 2 * windowFrames),
                                        sizeof(std::int64_t)));
    return addSaturated(bytes, threadBytes(g, channels, threads));
}

FilterStatus runFilter(const FilterParams& params, const double* noisy, const float* pilot,
                       const double* window, float* estimate, const FilterOptions& options)
{
    const FilterStatus valid = checkParams(params);
    if (valid != FilterStatus::ok)
        return valid;
    const Channel channel{noisy, pilot, params.sigma, estimate};
    return detail::runCheckedChannels(params, &channel, 1, window, options, nullptr);
}

FilterStatus runFilterChannels(const FilterParams& params, const Channel* channels, int channelCount,
                               const double* window, const FilterOptions& options)
{
    if (channelCount < 1 || channels == nullptr || window == nullptr)
        return FilterStatus::invalidParameters;
    for (int c = 0; c < channelCount; ++c)
        if (channels[c].noisy == nullptr || channels[c].pilot == nullptr ||
            channels[c].estimate == nullptr)
            return FilterStatus::invalidParameters;
    const FilterStatus valid = checkChannelCount(params, channelCount);
    if (valid != FilterStatus::ok)
        return valid;
    return detail::runCheckedChannels(params, channels, channelCount, window, options, nullptr);
}

} // namespace sorvik
