// Block spectra of both images, kept for a sliding band of block-position rows.
#ifndef SORVIK_FILTER_RINGS_H
#define SORVIK_FILTER_RINGS_H

#include "filter/workspace.h"

namespace sorvik::detail {

// The two images whose blocks enter the rings.
struct Images {
    const double* noisy = nullptr;
    const float* pilot = nullptr;
};

// Fills noisyRing and pilotRing as rows of block positions enter the band.
// Row r lives in slot r mod (2R + 1); a slot is overwritten only by the row
// 2R + 1 further down, which no reader of the old row reaches.
//
// Rows are stored in increasing order, one after the other. Before a row's
// spectra are computed, the image rows its blocks cover are copied, as
// floats, into the workspace's image band, from which every block is then
// staged with contiguous reads; each pixel is converted once, not once for
// every block that holds it.
class SpectrumRings {
public:
    SpectrumRings(Workspace& ws, const Images& images)
        : ws_(ws), images_(images), transforms_(ws.transforms)
    {
    }
    // For a channel whose workspace has no transform set of its own: the
    // rows it fills alone (initialFill, addRow) are transformed with `ts`.
    SpectrumRings(Workspace& ws, const Images& images, const TransformSet& ts)
        : ws_(ws), images_(images), transforms_(ts)
    {
    }

    // Stores rows 0 .. R - 1 (those that exist). Row r goes to slot r mod (2R + 1).
    void initialFill();

    // Called at the start of main-loop row n: stores row n + R if it exists.
    // Returns the row stored, or -1.
    std::int32_t addRow(std::int32_t n);

    // The same in two halves, for the parallel engine: bringRows brings the
    // image rows of block-position rows first .. last (at most bandBlockRows
    // of them) into the band (one thread), then the spectra of those rows, in
    // any split by rows and columns, are computed with computeColumns (one
    // thread per part, each with its own transform set).
    void bringRows(std::int32_t first, std::int32_t last);
    void computeColumns(std::int32_t row, std::int32_t begin, std::int32_t end,
                        const TransformSet& ts) const;

private:
    void processRow(std::int32_t i);

    Workspace& ws_;
    Images images_;
    const TransformSet& transforms_;
    std::int32_t bandRows_ = 0; // image rows 0 .. bandRows_ - 1 have entered the band
};

} // namespace sorvik::detail

#endif
