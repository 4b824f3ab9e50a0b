#include "filter/traversal.h"

#include "filter/aggregation.h"
#include "filter/group.h"
#include "filter/matching.h"
#include "filter/profile.h"

#include <algorithm>

namespace sorvik::detail {

bool isReferencePosition(std::int32_t& stepCounter, std::int32_t position, std::int32_t last,
                         std::int32_t step)
{
    stepCounter += 1;
    return stepCounter >= step || position >= last;
}

namespace {

// The match lists of a batch in the workspace.
MatchSlot batchSlot(const Workspace& ws, std::int32_t b)
{
    const std::size_t K = std::size_t(ws.g.K), L = std::size_t(ws.g.L);
    float* base = ws.batchLists.get() + std::size_t(b) * (2 * K + 2 * L);
    return MatchSlot{base, reinterpret_cast<std::int32_t*>(base + K), base + 2 * K};
}

// Matches a batch of references of one row together, then filters and
// aggregates their groups one after the other, in traversal order.
void processBatch(Workspace& ws, const Reference* refs, std::int32_t count, const double* window)
{
    CallProfile* profile = ws.profile;
    StageClock clock(profile != nullptr);
    MatchSlot slots[Workspace::matchBatch];
    std::int32_t groupSizes[Workspace::matchBatch];
    for (std::int32_t b = 0; b < count; ++b)
        slots[b] = batchSlot(ws, b);
    matchReferences(ws, refs, count, slots, groupSizes);
    if (profile != nullptr)
        clock.lap(profile->matchSeconds);

    float* blocks = reinterpret_cast<float*>(ws.noisyGroup.get());
    for (std::int32_t b = 0; b < count; ++b) {
        const GroupMembers members{slots[b].positions, groupSizes[b]};
        if (b + 1 < count)
            prefetchGroup(ws, GroupMembers{slots[b + 1].positions, groupSizes[b + 1]});
        const float wienerSquareSum = filterGroupSpectra(ws, ws, members);
        if (profile != nullptr)
            clock.lap(profile->groupSeconds);
        invertBlocks(ws, ws, members.k, blocks);
        aggregateGroup(ws, refs[b], members, wienerSquareSum, blocks, window);
        if (profile != nullptr) {
            clock.lap(profile->inverseSeconds);
            countReference(*profile, refs[b].searchRowEnd - refs[b].searchRowBegin,
                           refs[b].searchColEnd - refs[b].searchColBegin, members.k);
        }
    }
}

} // namespace

void traverseReferences(Workspace& ws, SpectrumRings& rings, const double* window,
                        const FilterOptions& options)
{
    const Geometry& g = ws.g;
    if (g.blockRows <= 0)
        return;
    // The counters start one short of step so that row and column 0 are references;
    // starting from step - 1 would overflow for the most negative step.
    const std::int32_t start = std::max(g.step, std::int32_t{1}) - 1;

    Reference batch[Workspace::matchBatch];
    Reference ref;
    std::int32_t rowStepCounter = start;
    for (std::int32_t n = 0; n < g.blockRows; ++n) {
        StageClock clock(ws.profile != nullptr);
        rings.addRow(n);
        if (ws.profile != nullptr)
            clock.lap(ws.profile->ringSeconds);
        ref.n = n;
        const bool referenceRow = isReferencePosition(rowStepCounter, n, g.M - g.P, g.step);
        if (referenceRow && g.blockCols > 0) {
            keepRowsOpen(ws, n - g.R, n + g.R + g.P);
            ref.searchRowBegin = std::max(n - g.R, 0);
            ref.searchRowEnd = std::min(n + g.R + 1, g.blockRows);
            std::int32_t columnStepCounter = start;
            std::int32_t count = 0;
            for (std::int32_t c = 0; c < g.blockCols; ++c) {
                if (!isReferencePosition(columnStepCounter, c, g.N - g.P, g.step))
                    continue;
                ref.c = c;
                ref.referenceIndex = ref.currentSlot * g.blockCols + c;
                ref.searchColBegin = std::max(c - g.R, 0);
                ref.searchColEnd = std::min(c + g.R + 1, g.blockCols);
                batch[count++] = ref;
                if (count == Workspace::matchBatch) {
                    processBatch(ws, batch, count, window);
                    count = 0;
                }
                columnStepCounter = 0;
            }
            if (count > 0)
                processBatch(ws, batch, count, window);
        }
        if (referenceRow)
            rowStepCounter = 0;
        ref.currentSlot = ref.currentSlot == 2 * g.R ? 0 : ref.currentSlot + 1;
        if (options.progress != nullptr)
            options.progress(options.progressContext, n + 1, g.blockRows);
    }
    keepRowsOpen(ws, g.M, g.M);
}

} // namespace sorvik::detail
