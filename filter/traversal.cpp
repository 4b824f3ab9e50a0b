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

void processReference(Workspace& ws, const Reference& ref, const double* window)
{
    CallProfile* profile = ws.profile;
    StageClock clock(profile != nullptr);
    const std::int32_t k = matchBlocks(ws, ref);
    if (profile != nullptr) {
        clock.lap(profile->matchSeconds);
        profile->references += 1;
        profile->groupsOfSize[std::size_t(k)] += 1;
    }
    transformGroup(ws, k);
    const float wienerSquareSum =
        shrinkGroup(ws.noisyGroup.get(), ws.pilotGroup.get(), k, ws.g.L, ws.g.sigma);
    if (profile != nullptr)
        clock.lap(profile->groupSeconds);
    invertGroup(ws, k);
    aggregateGroup(ws, ref, k, wienerSquareSum, window);
    if (profile != nullptr)
        clock.lap(profile->inverseSeconds);
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
            ref.searchRowBegin = std::max(n - g.R, 0);
            ref.searchRowEnd = std::min(n + g.R + 1, g.blockRows);
            std::int32_t columnStepCounter = start;
            for (std::int32_t c = 0; c < g.blockCols; ++c) {
                if (!isReferencePosition(columnStepCounter, c, g.N - g.P, g.step))
                    continue;
                ref.c = c;
                ref.referenceIndex = ref.currentSlot * g.blockCols + c;
                ref.searchColBegin = std::max(c - g.R, 0);
                ref.searchColEnd = std::min(c + g.R + 1, g.blockCols);
                processReference(ws, ref, window);
                columnStepCounter = 0;
            }
        }
        if (referenceRow)
            rowStepCounter = 0;
        ref.currentSlot = ref.currentSlot == 2 * g.R ? 0 : ref.currentSlot + 1;
        if (options.progress != nullptr)
            options.progress(options.progressContext, n + 1, g.blockRows);
    }
}

} // namespace sorvik::detail
