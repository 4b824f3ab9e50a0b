#include "filter/reference_grid.h"

#include <algorithm>

namespace sorvik::detail {

namespace {

// The counters start one short of step so that row and column 0 are
// references; starting from step - 1 would overflow for the most negative step.
std::int32_t firstCount(std::int32_t step) { return std::max(step, std::int32_t{1}) - 1; }

bool isReferencePosition(std::int32_t& stepCounter, std::int32_t position, std::int32_t last,
                         std::int32_t step)
{
    stepCounter += 1;
    const bool reference = stepCounter >= step || position >= last;
    if (reference)
        stepCounter = 0;
    return reference;
}

} // namespace

ReferenceGrid::ReferenceGrid(const Geometry& g) : g_(g), rowStepCounter_(firstCount(g.step)) {}

bool ReferenceGrid::isReferenceRow(std::int32_t n)
{
    return isReferencePosition(rowStepCounter_, n, g_.M - g_.P, g_.step);
}

std::int32_t ReferenceGrid::rowReferences(std::int32_t n, std::int32_t slot, Reference* out) const
{
    std::int32_t count = 0;
    std::int32_t columnStepCounter = firstCount(g_.step);
    for (std::int32_t c = 0; c < g_.blockCols; ++c) {
        if (!isReferencePosition(columnStepCounter, c, g_.N - g_.P, g_.step))
            continue;
        Reference& ref = out[count++];
        ref.c = c;
        ref.searchColBegin = std::max(c - g_.R, 0);
        ref.searchColEnd = std::min(c + g_.R + 1, g_.blockCols);
        moveToRow(ref, n, slot);
    }
    return count;
}

void ReferenceGrid::moveToRow(Reference& ref, std::int32_t n, std::int32_t slot) const
{
    ref.n = n;
    ref.currentSlot = slot;
    ref.referenceIndex = slot * g_.blockCols + ref.c;
    ref.searchRowBegin = std::max(n - g_.R, 0);
    ref.searchRowEnd = std::min(n + g_.R + 1, g_.blockRows);
}

} // namespace sorvik::detail
