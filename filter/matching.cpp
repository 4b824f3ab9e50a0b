#include "filter/matching.h"

namespace sorvik::detail {

namespace {

inline float coefficientDistance(const Complex& a, const Complex& b)
{
    const float dr = a[0] - b[0];
    const float di = a[1] - b[1];
    return dr * dr + di * di;
}

// A stage check passes only when d <= limit; NaN fails it.
inline bool withinLimit(float d, float limit) { return d <= limit; }

} // namespace

bool stagedDistance(const Complex* a, const Complex* b, std::int32_t L, float admissionLimit,
                    float& d)
{
    const std::int32_t q = L / 4;
    const std::int32_t h = L / 2;

    d = coefficientDistance(a[1], b[1]);
    for (std::int32_t t = 2; t < q; ++t)
        d = d + coefficientDistance(a[t], b[t]);
    if (!withinLimit(d, admissionLimit))
        return false;

    if (q < h) {
        for (std::int32_t t = q; t < h; ++t)
            d = d + coefficientDistance(a[t], b[t]);
        if (!withinLimit(d, admissionLimit))
            return false;
    }

    for (std::int32_t t = h; t < L; ++t)
        d = d + coefficientDistance(a[t], b[t]);
    return true;
}

std::int32_t matchBlocks(Workspace& ws, const Reference& ref)
{
    const Geometry& g = ws.g;
    const std::int32_t K = g.K;
    const std::int32_t L = g.L;
    float* distances = ws.matchDistances;
    std::int32_t* positions = ws.matchPositions;

    for (std::int32_t i = 0; i < K; ++i)
        distances[i] = emptyDistance;

    // With K = 1 the only entry is the reference's, so no candidate can be held.
    if (K >= 2) {
        const Complex* ring = ws.pilotRing.get();
        const Complex* reference = ring + std::size_t(ref.referenceIndex) * L;
        for (std::int32_t r = ref.searchRowBegin; r < ref.searchRowEnd; ++r) {
            std::int32_t slot = ref.currentSlot + (r - ref.n);
            if (slot < 0)
                slot += g.slots;
            else if (slot > 2 * g.R)
                slot -= g.slots;
            for (std::int32_t x = ref.searchColBegin; x < ref.searchColEnd; ++x) {
                if (r == ref.n && x == ref.c)
                    continue;
                const std::int32_t index = slot * g.blockCols + x;
                const float admissionLimit =
                    g.matchThreshold < distances[0] ? g.matchThreshold : distances[0];
                float d;
                if (!stagedDistance(reference, ring + std::size_t(index) * L, L, admissionLimit, d))
                    continue;
                if (!(d < admissionLimit))
                    continue;

                // Overwrite the worst entry and sift toward the best end past
                // every strictly larger distance; equal distances keep the
                // earlier candidate ahead.
                distances[0] = d;
                positions[0] = index;
                for (std::int32_t i = 0; i < K - 2 && d < distances[i + 1]; ++i) {
                    distances[i] = distances[i + 1];
                    positions[i] = positions[i + 1];
                    distances[i + 1] = d;
                    positions[i + 1] = index;
                }
            }
        }
    }

    distances[K - 1] = 0.0f;
    positions[K - 1] = ref.referenceIndex;

    std::int32_t groupSize = 1;
    for (std::int32_t i = K - 2; i >= 0 && distances[i] < g.matchThreshold; --i)
        ++groupSize;
    return groupSize;
}

} // namespace sorvik::detail
