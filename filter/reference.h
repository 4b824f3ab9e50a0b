// The reference block being processed and its search area, as the traversal
// hands them to matching, grouping and aggregation.
#ifndef SORVIK_FILTER_REFERENCE_H
#define SORVIK_FILTER_REFERENCE_H

#include <cstdint>

namespace sorvik::detail {

struct Reference {
    std::int32_t n = 0;              // block-position row (also the image row of its top-left pixel)
    std::int32_t c = 0;              // block-position column
    std::int32_t currentSlot = 0;    // ring slot holding row n
    std::int32_t referenceIndex = 0; // ring index: currentSlot * blockCols + c
    std::int32_t searchRowBegin = 0, searchRowEnd = 0; // rows [begin, end)
    std::int32_t searchColBegin = 0, searchColEnd = 0; // columns [begin, end)
};

// The block row that ring slot `slot` holds, as seen from the reference: the
// ring wraps, and every slot in reach lies within R rows of the reference's.
inline std::int32_t blockRowOfSlot(const Reference& ref, std::int32_t slot, std::int32_t R,
                                   std::int32_t ringSlots)
{
    const std::int32_t d = slot - ref.currentSlot;
    if (d > R)
        return ref.n + d - ringSlots;
    if (-d > R)
        return ref.n + d + ringSlots;
    return ref.n + d;
}

} // namespace sorvik::detail

#endif
