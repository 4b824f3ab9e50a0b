#include <sorvik/sorvik.h>

#include "filter/aggregation.h"
#include "filter/engine.h"
#include "filter/profile.h"
#include "filter/rings.h"
#include "filter/workspace.h"

#include <cstddef>
#include <cstdint>
#include <limits>

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

} // namespace

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

FilterStatus runFilter(const FilterParams& params, const double* noisy, const float* pilot,
                       const double* window, float* estimate, const FilterOptions& options)
{
    return detail::runFilterProfiled(params, noisy, pilot, window, estimate, options, nullptr);
}

// For now each channel runs on its own, matched on its own pilot.
FilterStatus runFilterChannels(const FilterParams& params, const Channel* channels, int channelCount,
                               const double* window, const FilterOptions& options)
{
    if (channelCount < 1 || channels == nullptr)
        return FilterStatus::invalidParameters;
    for (int c = 0; c < channelCount; ++c) {
        FilterParams channelParams = params;
        channelParams.sigma = channels[c].sigma;
        const FilterStatus status = runFilter(channelParams, channels[c].noisy, channels[c].pilot,
                                              window, channels[c].estimate, options);
        if (status != FilterStatus::ok)
            return status;
    }
    return FilterStatus::ok;
}

FilterStatus detail::runFilterProfiled(const FilterParams& params, const double* noisy,
                                       const float* pilot, const double* window, float* estimate,
                                       const FilterOptions& options, detail::CallProfile* profile)
{
    const FilterStatus valid = checkParams(params);
    if (valid != FilterStatus::ok)
        return valid;

    const Geometry g = detail::makeGeometry(params);
    const std::size_t pixels = std::size_t(g.M) * std::size_t(g.N);
    if (gridIsEmpty(g))
        return finishUncovered(estimate, pixels);

    detail::StageClock clock(profile != nullptr);
    if (profile != nullptr) {
        *profile = detail::CallProfile{};
        profile->groupsOfSize.assign(std::size_t(g.K) + 1, 0);
        profile->blockSpectra = 2 * std::int64_t{g.blockRows} * g.blockCols;
    }
    {
        detail::Workspace ws;
        ws.profile = profile;
        const FilterStatus ready = ws.setUp(g, estimate);
        if (ready != FilterStatus::ok)
            return ready;
        if (profile != nullptr)
            clock.lap(profile->setUpSeconds);

        detail::SpectrumRings rings(ws, detail::Images{noisy, pilot});
        rings.initialFill();
        if (profile != nullptr)
            clock.lap(profile->ringSeconds);
        const FilterStatus walked = detail::walkReferences(ws, rings, window, options);
        if (walked != FilterStatus::ok)
            return walked;
        clock = detail::StageClock(profile != nullptr);
        detail::normalizeEstimate(ws.estimate, ws.weightSum, pixels);
    }
    if (profile != nullptr)
        clock.lap(profile->finishSeconds);
    return FilterStatus::ok;
}

} // namespace sorvik
