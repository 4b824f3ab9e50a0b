// Which block positions are references, and in what order they are visited.
#ifndef SORVIK_FILTER_REFERENCE_GRID_H
#define SORVIK_FILTER_REFERENCE_GRID_H

#include "filter/reference.h"
#include "filter/geometry.h"

namespace sorvik::detail {

// References lie on a grid of spacing `step` from row and column 0, with the
// last row and column always included. Rows are asked about in increasing
// order, each once: the spacing counts from the previous reference row, so
// the answer depends on the rows before.
class ReferenceGrid {
public:
    explicit ReferenceGrid(const Geometry& g);

    // Whether block-position row n (the next row after the last one asked
    // about) is a reference row.
    bool isReferenceRow(std::int32_t n);

    // Writes the references of reference row n, left to right, whose spectra
    // lie in ring slot `slot`; returns how many (at most blockCols).
    std::int32_t rowReferences(std::int32_t n, std::int32_t slot, Reference* out) const;

    // Every reference row has the same columns: moves a reference of one row
    // (rowReferences) to row n, whose spectra lie in ring slot `slot`.
    void moveToRow(Reference& ref, std::int32_t n, std::int32_t slot) const;

private:
    const Geometry& g_;
    std::int32_t rowStepCounter_;
};

} // namespace sorvik::detail

#endif
