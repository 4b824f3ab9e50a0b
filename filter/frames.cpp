#include "filter/frames.h"

#include "filter/aggregation.h"
#include "filter/engine.h"
#include "filter/frame_matching.h"
#include "filter/shared_channels.h"
#include "filter/workspace.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <new>
#include <optional>
#include <vector>

namespace sorvik {
namespace detail {

void FrameSources::bringRows(std::int32_t first, std::int32_t last) const
{
    for (std::int32_t i = 0; i < count * channels; ++i)
        rings[i]->bringRows(first, last);
}

void FrameSources::computeColumns(std::int32_t row, std::int32_t begin, std::int32_t end,
                                  const TransformSet& ts) const
{
    for (std::int32_t i = 0; i < count * channels; ++i)
        rings[i]->computeColumns(row, begin, end, ts);
}

void FrameSources::keepRowsOpen(std::int32_t begin, std::int32_t end) const
{
    for (std::int32_t i = 0; i < count * channels; ++i)
        detail::keepRowsOpen(rings[i]->geometry(), *accumulators[i], begin, end);
}

void FrameSources::aggregate(const Geometry& g, Accumulators& own, std::int32_t c,
                             const Reference& ref, GroupMembers group, const float* weighted,
                             const float* blocks, BandSlice slice) const
{
    for (std::int32_t f = 0; f <= count; ++f) {
        Accumulators& acc = f == 0 ? own : *accumulators[(f - 1) * channels + c];
        aggregateGroup(g, acc, ref, group, weighted, blocks, f, slice);
    }
}

namespace {

// The scanners' admission and insertion (match_scan_impl.h), for one
// candidate taken from another list.
void admit(MatchList& list, float distance, std::int32_t index)
{
    const float limit = list.threshold < list.distances[0] ? list.threshold : list.distances[0];
    if (!(distance < limit))
        return;
    float* d = list.distances;
    std::int32_t* p = list.positions;
    std::int32_t past = 0;
    for (std::int32_t i = 1; i < list.K - 1; ++i)
        past += d[i] > distance ? 1 : 0;
    for (std::int32_t i = 0; i < past; ++i) {
        d[i] = d[i + 1];
        p[i] = p[i + 1];
    }
    d[past] = distance;
    p[past] = index;
}

struct Centre {
    std::int32_t row, col;
};

} // namespace

void matchInFrames(const Geometry& g, const Rings& rings, MatchKernel scanRow,
                   const Reference* refs, std::int32_t count, const MatchSlot* slots,
                   std::int32_t* groupSizes, const FrameSources& frames)
{
    const std::int32_t K = g.K;
    if (K < 2 || frames.count < 1)
        return;
    std::vector<float> distances(static_cast<std::size_t>(K));
    std::vector<std::int32_t> positions(static_cast<std::size_t>(K));
    std::vector<Centre> centres(static_cast<std::size_t>(frames.count));
    const std::int32_t radius = frames.radius;
    for (std::int32_t b = 0; b < count; ++b) {
        const Reference& ref = refs[b];
        MatchList list{slots[b].distances, slots[b].positions, K, g.matchThreshold};
        for (std::int32_t f = 0; f < frames.count; ++f) {
            const std::int32_t before = frames.predecessor[f];
            const Centre centre = before < 0 ? Centre{ref.n, ref.c} : centres[std::size_t(before)];
            std::fill(distances.begin(), distances.end(), emptyDistance);
            MatchList found{distances.data(), positions.data(), K, g.matchThreshold};
            RowScan row{};
            row.tileFloats = rings.tileFloats();
            row.L = g.L;
            row.reference = slots[b].reference;
            row.x0 = std::max(centre.col - radius, 0);
            row.x1 = std::min(centre.col + radius + 1, g.blockCols);
            row.skip = -1;
            const std::int32_t base = (f + 1) * g.ringSlots;
            const std::int32_t first = std::max(centre.row - radius, ref.searchRowBegin);
            const std::int32_t end = std::min(centre.row + radius + 1, ref.searchRowEnd);
            for (std::int32_t r = first; r < end; ++r) {
                const std::int32_t slot = base + r % g.ringSlots;
                row.slot = rings.pilotSlot(slot);
                row.rowIndex = slot * g.blockCols;
                scanRow(row, found);
            }
            // Where nothing was matched, the next frame keeps this one's centre.
            centres[std::size_t(f)] = centre;
            if (distances[std::size_t(K - 2)] < emptyDistance) {
                const std::int32_t p = positions[std::size_t(K - 2)];
                const std::int32_t slot = p / g.blockCols - base;
                centres[std::size_t(f)] = Centre{blockRowOfSlot(ref, slot, g.R, g.ringSlots),
                                                 p - (p / g.blockCols) * g.blockCols};
            }
            for (std::int32_t i = K - 2; i >= 0; --i)
                admit(list, distances[std::size_t(i)], positions[std::size_t(i)]);
        }
        const float* held = slots[b].distances;
        std::int32_t groupSize = 1;
        for (std::int32_t i = K - 2; i >= 0 && held[i] < g.matchThreshold; --i)
            ++groupSize;
        groupSizes[b] = groupSize;
    }
}

} // namespace detail

namespace {

using detail::Geometry;

// One frame of one channel beside the frame walked: its image band, the
// filler of its run of the channel's rings, and the accumulators its
// members of the groups go into.
struct NeighbourState {
    detail::ImageBand band;
    std::optional<detail::SpectrumRings> rings;
    detail::Accumulators accumulators;
};

bool validWindow(const FrameWindow& frames, int channelCount, const double* window)
{
    if (frames.frames == nullptr || frames.count < 1 || frames.count > maxWindowFrames ||
        frames.own < 0 || frames.own >= frames.count || frames.predictiveRadius < 0 ||
        channelCount < 1 || channelCount > 64 || window == nullptr || frames.sums == nullptr)
        return false;
    for (int f = 0; f < frames.count; ++f)
        if (frames.frames[f] == nullptr)
            return false;
    for (int i = 0; i < 2 * frames.count * channelCount; ++i)
        if (frames.sums[i] == nullptr)
            return false;
    return true;
}

// The neighbours, in the order their searches follow one another: the
// frames after the frame walked, nearest first, then those before it.
std::vector<std::int32_t> neighbourOrder(const FrameWindow& frames)
{
    std::vector<std::int32_t> order;
    for (int f = frames.own + 1; f < frames.count; ++f)
        order.push_back(f);
    for (int f = frames.own - 1; f >= 0; --f)
        order.push_back(f);
    return order;
}

// Both stages: g is the first channel's geometry, made for one frame; the
// channel geometries differ from it in sigma (and threshold) alone.
FilterStatus walkFrames(Geometry g, const FrameWindow& frames, int channelCount,
                        const double* window, const FilterOptions& options, float lambda)
{
    const std::vector<std::int32_t> order = neighbourOrder(frames);
    const std::int32_t neighbours = std::int32_t(order.size());
    // Every frame's rings, indexed by int32 ring positions.
    const std::int64_t paddedCols =
        (std::int64_t{g.blockCols} + detail::pilotTile - 1) / detail::pilotTile * detail::pilotTile;
    const std::int64_t slots = std::int64_t{g.ringSlots} * (neighbours + 1);
    if (slots * paddedCols > std::numeric_limits<std::int32_t>::max() ||
        slots * paddedCols * g.L > std::numeric_limits<std::int64_t>::max() / 8 / channelCount)
        return FilterStatus::invalidParameters;
    g.frames = neighbours + 1;

    const Channel* own = frames.frames[frames.own];
    const std::size_t pixels = std::size_t(g.M) * std::size_t(g.N);
    const auto numerator = [&](int f, int c) { return frames.sums[2 * (f * channelCount + c)]; };
    const auto weights = [&](int f, int c) { return frames.sums[2 * (f * channelCount + c) + 1]; };
    detail::Workspace ws;
    FilterStatus status = ws.setUp(g, numerator(frames.own, 0));
    if (status != FilterStatus::ok)
        return status;
    detail::SharedChannels shared;
    status = shared.setUp(g, std::size_t(channelCount - 1),
                          [&](std::size_t c, Geometry& channelGeometry) {
                              const Channel& channel = own[c + 1];
                              channelGeometry.sigma = channel.sigma;
                              channelGeometry.threshold = lambda * channel.sigma;
                              return detail::SharedChannels::Part{numerator(frames.own, int(c + 1)),
                                                                  detail::Images{channel.noisy, channel.pilot}};
                          });
    if (status != FilterStatus::ok)
        return status;

    const std::size_t fillers = std::size_t(neighbours) * std::size_t(channelCount);
    auto states = detail::allocateTable<NeighbourState>(fillers);
    auto rings = detail::allocateTable<detail::SpectrumRings*>(fillers);
    auto accumulators = detail::allocateTable<detail::Accumulators*>(fillers);
    std::vector<std::int32_t> predecessor(std::size_t(neighbours), -1);
    if (!states || !rings || !accumulators)
        return FilterStatus::outOfMemory;
    for (std::int32_t f = 0; f < neighbours; ++f) {
        const Channel* frame = frames.frames[order[std::size_t(f)]];
        if (f > 0 && (order[std::size_t(f)] - frames.own) * (order[std::size_t(f - 1)] - frames.own) > 0)
            predecessor[std::size_t(f)] = f - 1;
        for (std::int32_t c = 0; c < channelCount; ++c) {
            const std::size_t i = std::size_t(f) * std::size_t(channelCount) + std::size_t(c);
            detail::Workspace& channelWs = c == 0 ? ws : shared.workspace(std::size_t(c - 1));
            status = states[i].band.allocate(g);
            if (status == FilterStatus::ok)
                status = states[i].accumulators.allocate(g, numerator(order[std::size_t(f)], c));
            if (status != FilterStatus::ok)
                return status;
            accumulators[i] = &states[i].accumulators;
            states[i].rings.emplace(channelWs.g, channelWs.rings, states[i].band,
                                    detail::Images{frame[c].noisy, frame[c].pilot}, f + 1);
            rings[i] = &*states[i].rings;
        }
    }
    detail::FrameSources sources;
    sources.count = neighbours;
    sources.channels = channelCount;
    sources.radius = frames.predictiveRadius;
    sources.predecessor = predecessor.data();
    sources.rings = rings.get();
    sources.accumulators = accumulators.get();

    detail::SpectrumRings ownRings(ws.g, ws.rings, ws.band,
                                   detail::Images{own[0].noisy, own[0].pilot});
    status = detail::walkReferences(ws, ownRings, window, options, shared.views(), shared.count(), &sources);
    if (status != FilterStatus::ok)
        return status;
    const auto copyWeights = [pixels](const detail::Accumulators& acc, float* out) {
        std::memcpy(out, acc.weightSum, pixels * sizeof(float));
    };
    copyWeights(ws.accumulators, weights(frames.own, 0));
    for (std::size_t c = 0; c < std::size_t(shared.count()); ++c)
        copyWeights(shared.workspace(c).accumulators, weights(frames.own, int(c + 1)));
    for (std::int32_t f = 0; f < neighbours; ++f)
        for (std::int32_t c = 0; c < channelCount; ++c)
            copyWeights(states[std::size_t(f) * std::size_t(channelCount) + std::size_t(c)].accumulators,
                        weights(order[std::size_t(f)], c));
    return FilterStatus::ok;
}

// Every frame must be a valid call of the stage on its own.
template <class Check>
bool everyFrame(const FrameWindow& frames, Check check)
{
    for (int f = 0; f < frames.count; ++f)
        if (!check(frames.frames[f]))
            return false;
    return true;
}

// A window of one frame, or frames without a block grid: the stage's own
// call on the frame walked, its estimate with weights 1 (where the other
// frames get nothing: numerators 0 and weights 0).
template <class Run>
FilterStatus alone(const FrameWindow& frames, int channelCount, std::size_t pixels, Run run)
{
    std::vector<Channel> own(frames.frames[frames.own], frames.frames[frames.own] + channelCount);
    for (int c = 0; c < channelCount; ++c)
        own[std::size_t(c)].estimate = frames.sums[2 * (frames.own * channelCount + c)];
    const FilterStatus status = run(own.data());
    if (status != FilterStatus::ok)
        return status;
    for (int f = 0; f < frames.count; ++f)
        for (int c = 0; c < channelCount; ++c) {
            float* numerator = frames.sums[2 * (f * channelCount + c)];
            float* weights = frames.sums[2 * (f * channelCount + c) + 1];
            std::fill(weights, weights + pixels, f == frames.own ? 1.0f : 0.0f);
            if (f != frames.own)
                std::fill(numerator, numerator + pixels, 0.0f);
        }
    return FilterStatus::ok;
}

} // namespace

FilterStatus runFilterFrames(const FilterParams& params, const FrameWindow& frames,
                             int channelCount, const double* window, const FilterOptions& options)
{
    if (!validWindow(frames, channelCount, window))
        return FilterStatus::invalidParameters;
    const bool complete = everyFrame(frames, [&](const Channel* frame) {
        for (int c = 0; c < channelCount; ++c)
            if (frame[c].noisy == nullptr || frame[c].pilot == nullptr)
                return false;
        return true;
    });
    if (!complete)
        return FilterStatus::invalidParameters;
    const Channel* own = frames.frames[frames.own];
    FilterParams first = params;
    first.sigma = own[0].sigma;
    const FilterStatus valid = checkParams(first);
    if (valid != FilterStatus::ok)
        return valid;
    const Geometry g = detail::withRowsAhead(detail::makeGeometry(first), options.threads);
    const std::size_t pixels = std::size_t(g.M) * std::size_t(g.N);
    if (frames.count == 1 || g.blockRows <= 0 || g.blockCols <= 0)
        return alone(frames, channelCount, pixels, [&](const Channel* channels) {
            return runFilterChannels(params, channels, channelCount, window, options);
        });
    try {
        return walkFrames(g, frames, channelCount, window, options, 0.0f);
    } catch (const std::bad_alloc&) {
        return FilterStatus::outOfMemory;
    }
}

FilterStatus runThresholdFrames(const ThresholdParams& params, const FrameWindow& frames,
                                int channelCount, const double* window, const FilterOptions& options)
{
    if (!validWindow(frames, channelCount, window))
        return FilterStatus::invalidParameters;
    const bool complete = everyFrame(frames, [&](const Channel* frame) {
        for (int c = 0; c < channelCount; ++c)
            if (frame[c].noisy == nullptr || frame[c].pilot != nullptr)
                return false;
        return true;
    });
    if (!complete || !std::isfinite(params.lambda) || params.lambda < 0.0f ||
        !std::isfinite(params.matchFloor) || params.matchFloor < 0.0f)
        return FilterStatus::invalidParameters;
    const Channel* own = frames.frames[frames.own];
    for (int c = 0; c < channelCount; ++c)
        if (!std::isfinite(own[c].sigma) || own[c].sigma < 0.0f)
            return FilterStatus::invalidParameters;
    FilterParams first = params.filter;
    first.sigma = own[0].sigma;
    const FilterStatus valid = checkParams(first);
    if (valid != FilterStatus::ok)
        return valid;
    Geometry g = detail::withRowsAhead(detail::makeGeometry(first), options.threads);
    const std::size_t pixels = std::size_t(g.M) * std::size_t(g.N);
    if (frames.count == 1 || g.blockRows <= 0 || g.blockCols <= 0)
        return alone(frames, channelCount, pixels, [&](const Channel* channels) {
            return runThresholdChannels(params, channels, channelCount, window, options);
        });
    const std::uint64_t groupFloats = std::uint64_t(channelCount) * std::uint64_t(g.K) *
                                      std::uint64_t(g.P) * std::uint64_t(g.P);
    if (groupFloats > std::uint64_t(std::numeric_limits<std::int32_t>::max()))
        return FilterStatus::invalidParameters;
    g.thresholds = true;
    g.threshold = params.lambda * own[0].sigma;
    g.matchFloor = params.matchFloor * own[0].sigma;
    try {
        return walkFrames(g, frames, channelCount, window, options, params.lambda);
    } catch (const std::bad_alloc&) {
        return FilterStatus::outOfMemory;
    }
}

} // namespace sorvik
