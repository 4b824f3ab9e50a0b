#include "filter/grouped_threshold.h"

#include "filter/aggregation.h"
#include "filter/engine.h"
#include "filter/rings.h"
#include "filter/shared_channels.h"
#include "filter/workspace.h"

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <new>
#include <optional>
#include <vector>

namespace sorvik {

namespace {

using detail::Geometry;

bool validInput(const ThresholdParams& params, const Channel* channels, int count,
                const double* window)
{
    if (count < 1 || count > 64 || channels == nullptr || window == nullptr)
        return false;
    if (!std::isfinite(params.lambda) || params.lambda < 0.0f || !std::isfinite(params.matchFloor) ||
        params.matchFloor < 0.0f)
        return false;
    for (int c = 0; c < count; ++c)
        if (channels[c].noisy == nullptr || channels[c].estimate == nullptr ||
            channels[c].pilot != nullptr || !std::isfinite(channels[c].sigma) ||
            channels[c].sigma < 0.0f)
            return false;
    return true;
}

// Under coloured noise, each cosine coefficient's threshold: lambda times
// the channel's sigma times the square root of its noise shape. Null
// without a shape; invalidParameters for a shape value that is negative or
// not finite.
FilterStatus thresholdTable(const Channel& channel, float lambda, std::size_t area,
                    std::unique_ptr<float[]>& table)
{
    if (channel.noiseShape == nullptr)
        return FilterStatus::ok;
    table.reset(new (std::nothrow) float[area]);
    if (!table)
        return FilterStatus::outOfMemory;
    const float threshold = lambda * channel.sigma;
    for (std::size_t i = 0; i < area; ++i) {
        const float f = channel.noiseShape[i];
        if (!std::isfinite(f) || f < 0.0f)
            return FilterStatus::invalidParameters;
        table[i] = threshold * std::sqrt(f);
    }
    return FilterStatus::ok;
}

// What runFilterChannels leaves where no block fits: (1 / 0) * 0.
void finishUncovered(float* estimate, std::size_t pixels)
{
    const float zero = 0.0f;
    for (std::size_t i = 0; i < pixels; ++i)
        estimate[i] = (1.0f / zero) * zero;
}

} // namespace

FilterStatus runThresholdChannels(const ThresholdParams& params, const Channel* channels,
                                  int count, const double* window, const FilterOptions& options)
{
    if (!validInput(params, channels, count, window))
        return FilterStatus::invalidParameters;
    FilterParams first = params.filter;
    first.sigma = channels[0].sigma;
    const FilterStatus valid = checkParams(first);
    if (valid != FilterStatus::ok)
        return valid;
    Geometry g = detail::withRowsAhead(detail::makeGeometry(first), options.threads);
    const std::size_t pixels = std::size_t(g.M) * std::size_t(g.N);
    if (g.blockRows <= 0 || g.blockCols <= 0) {
        for (int c = 0; c < count; ++c)
            finishUncovered(channels[c].estimate, pixels);
        return FilterStatus::ok;
    }
    // Every channel's group of K blocks is held at once, indexed in size_t.
    const std::uint64_t groupFloats = std::uint64_t(count) * std::uint64_t(g.K) *
                                      std::uint64_t(g.P) * std::uint64_t(g.P);
    if (groupFloats > std::uint64_t(std::numeric_limits<std::int32_t>::max()))
        return FilterStatus::invalidParameters;

    const std::size_t area = std::size_t(g.P) * std::size_t(g.P);
    std::vector<std::unique_ptr<float[]>> thresholds(static_cast<std::size_t>(count));
    for (int c = 0; c < count; ++c) {
        const FilterStatus shaped = thresholdTable(channels[c], params.lambda, area, thresholds[c]);
        if (shaped != FilterStatus::ok)
            return shaped;
    }
    g.thresholds = true;
    g.threshold = params.lambda * channels[0].sigma;
    g.perCoefficient = thresholds[0].get();
    g.matchFloor = params.matchFloor * channels[0].sigma;
    detail::Workspace ws;
    FilterStatus status = ws.setUp(g, channels[0].estimate);
    if (status != FilterStatus::ok)
        return status;

    detail::SharedChannels shared;
    status = shared.setUp(g, std::size_t(count - 1),
                          [&](std::size_t c, Geometry& channelGeometry) {
                              const Channel& channel = channels[c + 1];
                              channelGeometry.sigma = channel.sigma;
                              channelGeometry.threshold = params.lambda * channel.sigma;
                              channelGeometry.perCoefficient = thresholds[c + 1].get();
                              return detail::SharedChannels::Part{channel.estimate,
                                                                  detail::Images{channel.noisy, nullptr}};
                          });
    if (status != FilterStatus::ok)
        return status;

    detail::SpectrumRings rings(ws.g, ws.rings, ws.band,
                                detail::Images{channels[0].noisy, nullptr});
    status = detail::walkReferences(ws, rings, window, options, shared.views(), shared.count());
    if (status != FilterStatus::ok)
        return status;
    detail::normalizeEstimate(ws.accumulators.estimate, ws.accumulators.weightSum, pixels);
    for (std::size_t c = 0; c < std::size_t(shared.count()); ++c) {
        const detail::Accumulators& acc = shared.workspace(c).accumulators;
        detail::normalizeEstimate(acc.estimate, acc.weightSum, pixels);
    }
    return FilterStatus::ok;
}

} // namespace sorvik
