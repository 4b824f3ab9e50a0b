#include "filter/matching.h"

#include "filter/match_scan_impl.h"
#include "filter/simd.h"

namespace sorvik::detail {

namespace {

void scanRowPortable(const RowScan& row, MatchList& list) { scanRowWith<Portable, 4>(row, list); }

KernelLevel levelCap = KernelLevel::avx512;

// The tiles of the pilot ring that a batch's search areas cover in one row:
// the same columns in every row. At large images the rings (tens of
// megabytes each) no longer stay in cache between reference rows, and the
// scanner reads a row's tiles almost whole (half the chunks of candidates run
// to the last coefficient), so without help it would wait on memory tile
// after tile. The batch asks for the next row's tiles while it scans the
// current row, a share before each reference, so that the requests overlap
// the arithmetic instead of queueing all at once.
class BatchSpan {
public:
    BatchSpan(const Rings& rings, const Reference* refs, std::int32_t count)
    {
        const std::size_t firstTile = std::size_t(refs[0].searchColBegin / pilotTile);
        const std::size_t endTile = std::size_t((refs[count - 1].searchColEnd - 1) / pilotTile) + 1;
        const std::size_t tileBytes = rings.tileFloats() * sizeof(float);
        offset_ = firstTile * tileBytes;
        lines_ = (endTile - firstTile) * tileBytes / cacheLine;
    }

    // Requests share `part` of `parts` of the span's cache lines in the row
    // whose tiles start at `slot`.
    void prefetch(const float* slot, std::int32_t part, std::int32_t parts) const
    {
        const char* begin = reinterpret_cast<const char*>(slot) + offset_;
        const std::size_t end = lines_ * std::size_t(part + 1) / std::size_t(parts);
        for (std::size_t l = lines_ * std::size_t(part) / std::size_t(parts); l < end; ++l)
            __builtin_prefetch(begin + l * cacheLine);
    }

private:
    static constexpr std::size_t cacheLine = 64;
    std::size_t offset_ = 0;
    std::size_t lines_ = 0;
};

} // namespace

#if defined(__x86_64__) || defined(__i386__)
void scanRowSse2(const RowScan& row, MatchList& list);
void scanRowAvx2(const RowScan& row, MatchList& list);
#endif
#if defined(SORVIK_AVX512_SCAN)
void scanRowAvx512(const RowScan& row, MatchList& list);
#endif

KernelLevel chosenKernelLevel()
{
#if defined(SORVIK_AVX512_SCAN)
    if (levelCap >= KernelLevel::avx512 && __builtin_cpu_supports("avx512f") &&
        __builtin_cpu_supports("avx512bw") && __builtin_cpu_supports("avx512dq") &&
        __builtin_cpu_supports("avx512vl"))
        return KernelLevel::avx512;
#endif
#if defined(__x86_64__) || defined(__i386__)
    if (levelCap >= KernelLevel::avx2 && __builtin_cpu_supports("avx2"))
        return KernelLevel::avx2;
    if (levelCap >= KernelLevel::sse2)
        return KernelLevel::sse2;
#endif
    return KernelLevel::portable;
}

MatchKernel chooseMatchKernel()
{
    switch (chosenKernelLevel()) {
#if defined(SORVIK_AVX512_SCAN)
    case KernelLevel::avx512: return scanRowAvx512;
#endif
#if defined(__x86_64__) || defined(__i386__)
    case KernelLevel::avx2: return scanRowAvx2;
    case KernelLevel::sse2: return scanRowSse2;
#endif
    default: return scanRowPortable;
    }
}

void capKernelLevel(KernelLevel level) { levelCap = level; }

void matchReferences(const Geometry& g, const Rings& rings, MatchKernel scanRow,
                     const Reference* refs, std::int32_t count, const MatchSlot* slots,
                     std::int32_t* groupSizes)
{
    const std::int32_t K = g.K;
    const std::int32_t L = g.L;

    for (std::int32_t b = 0; b < count; ++b) {
        for (std::int32_t i = 0; i < K; ++i)
            slots[b].distances[i] = emptyDistance;
        // Interleaved, so that the scanner broadcasts each coefficient from one place.
        const float* spectrum = rings.pilotRing.get() + rings.pilotOffset(refs[b].referenceIndex);
        for (std::int32_t t = 0; t < L; ++t) {
            slots[b].reference[2 * t] = spectrum[2 * pilotTile * std::size_t(t)];
            slots[b].reference[2 * t + 1] = spectrum[2 * pilotTile * std::size_t(t) + pilotTile];
        }
    }

    // With K = 1 the only entry is the reference's, so no candidate can be held.
    if (K >= 2 && count > 0) {
        const Reference& first = refs[0];
        RowScan row{};
        row.tileFloats = rings.tileFloats();
        row.L = L;
        const auto slotOf = [&](std::int32_t r) {
            std::int32_t slot = first.currentSlot + (r - first.n);
            if (slot < 0)
                slot += g.ringSlots;
            else if (slot >= g.ringSlots)
                slot -= g.ringSlots;
            return slot;
        };
        const BatchSpan span(rings, refs, count);
        span.prefetch(rings.pilotSlot(slotOf(first.searchRowBegin)), 0, 1);
        for (std::int32_t r = first.searchRowBegin; r < first.searchRowEnd; ++r) {
            const std::int32_t slot = slotOf(r);
            row.slot = rings.pilotSlot(slot);
            row.rowIndex = slot * g.blockCols;
            const float* next = r + 1 < first.searchRowEnd ? rings.pilotSlot(slotOf(r + 1)) : nullptr;
            for (std::int32_t b = 0; b < count; ++b) {
                if (next != nullptr)
                    span.prefetch(next, b, count);
                MatchList list{slots[b].distances, slots[b].positions, K, g.matchThreshold};
                row.reference = slots[b].reference;
                row.x0 = refs[b].searchColBegin;
                row.x1 = refs[b].searchColEnd;
                row.skip = r == first.n ? refs[b].c : -1;
                scanRow(row, list);
            }
        }
    }

    for (std::int32_t b = 0; b < count; ++b) {
        float* distances = slots[b].distances;
        distances[K - 1] = 0.0f;
        slots[b].positions[K - 1] = refs[b].referenceIndex;
        std::int32_t groupSize = 1;
        for (std::int32_t i = K - 2; i >= 0 && distances[i] < g.matchThreshold; --i)
            ++groupSize;
        groupSizes[b] = groupSize;
    }
}

} // namespace sorvik::detail
