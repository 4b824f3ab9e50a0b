// Block spectra of both images, kept for a sliding band of block-position rows.
#ifndef SORVIK_FILTER_RINGS_H
#define SORVIK_FILTER_RINGS_H

#include "filter/buffers.h"
#include "filter/geometry.h"
#include "filter/match_scan.h"
#include "filter/transforms.h"

#include <cstddef>
#include <cstdint>

namespace sorvik::detail {

// The spectra of ringSlots rows of block positions (Geometry), both images.
// Row r lives in slot r mod ringSlots; ring index p is block (slot p / blockCols, column
// p mod blockCols).
struct Rings {
    FftwBuffer<Complex> noisyRing;        // slots * blockCols * L, spectrum by spectrum

    // Pilot spectra in tiles of pilotTile neighbouring blocks of a row, so
    // that matching reads one coefficient of a vector of candidates with one
    // aligned load, and a row of candidates from a few contiguous runs of
    // memory. A tile holds, for each coefficient t in turn, the real parts of
    // its blocks, then their imaginary parts: 2 pilotTile L floats. Slot s is
    // tilesPerSlot tiles, left to right; columns past the row's last block
    // are zero.
    FftwBuffer<float> pilotRing;          // slots * tilesPerSlot * 2 pilotTile L
    std::int32_t blockCols = 0;
    std::int32_t L = 0;
    std::int32_t tilesPerSlot = 0;        // blockCols / pilotTile, rounded up

    // Allocates both rings and clears the pilot ring, padding included.
    FilterStatus allocate(const Geometry& g);

    // The real part of coefficient 0 of the block at ring index p (slot
    // p / blockCols, column p mod blockCols); coefficient t's real part is at
    // + pilotTile * 2t, its imaginary part pilotTile further.
    std::size_t pilotOffset(std::int32_t ringIndex) const
    {
        const std::int32_t slot = ringIndex / blockCols;
        const std::int32_t column = ringIndex - slot * blockCols;
        return (std::size_t(slot) * tilesPerSlot + std::size_t(column / pilotTile)) * tileFloats() +
               std::size_t(column % pilotTile);
    }
    std::size_t tileFloats() const { return 2 * std::size_t(pilotTile) * std::size_t(L); }
    const float* pilotSlot(std::int32_t slot) const
    {
        return pilotRing.get() + std::size_t(slot) * tilesPerSlot * tileFloats();
    }
    void setPilotCoefficient(std::int32_t ringIndex, std::int32_t t, float re, float im) const
    {
        float* at = pilotRing.get() + pilotOffset(ringIndex) + 2 * std::size_t(pilotTile) * t;
        at[0] = re;
        at[pilotTile] = im;
    }
};

// The image rows that the blocks of up to blockRows consecutive
// block-position rows cover (rows = P + blockRows - 1 image rows), as floats
// in row-major order, noisy then pilot. Image row y is held twice, at
// y mod rows and rows further, so that any P consecutive rows are contiguous.
struct ImageBand {
    FftwBuffer<float> pixels;             // 2 * 2 rows * N
    std::int32_t blockRows = 0;
    std::int32_t rows = 0;

    FilterStatus allocate(const Geometry& g);
};

// The two images whose blocks enter the rings. The thresholding stage has
// no pilot: its pilot ring holds the noisy spectra, floored
// (Geometry::matchFloor), for matching.
struct Images {
    const double* noisy = nullptr;
    const float* pilot = nullptr;
};

// Fills the rings as rows of block positions enter the band. A slot is
// overwritten only by the row ringSlots further down; the walk stores that
// row only once no reader of the old row is left (engine.h).
//
// Rows are stored in increasing order, one after the other. Before a row's
// spectra are computed, the image rows its blocks cover are copied, as
// floats, into the image band, from which every block is then staged with
// contiguous reads; each pixel is converted once, not once for every block
// that holds it.
class SpectrumRings {
public:
    // Frame `frame` of rings that hold several (Geometry::frames) stores its
    // rows in its own run of slots.
    SpectrumRings(const Geometry& g, Rings& rings, ImageBand& band, const Images& images,
                  std::int32_t frame = 0)
        : g_(g), rings_(rings), band_(band), images_(images), slotBase_(frame * g.ringSlots)
    {
    }

    // Row r goes to slot r mod ringSlots, in two halves, for the parallel
    // engine: bringRows brings the image rows of block-position rows
    // first .. last (at most ImageBand::blockRows of them) into the band (one
    // thread), then the spectra of those rows, in any split by rows and
    // columns, are computed with computeColumns (one thread per part, each
    // with its own transform set).
    void bringRows(std::int32_t first, std::int32_t last);
    void computeColumns(std::int32_t row, std::int32_t begin, std::int32_t end,
                        const TransformSet& ts) const;
    const Geometry& geometry() const { return g_; }

private:
    void storeCosineSpectrum(const TransformSet& ts, Complex* entry, float* tile) const;

    const Geometry& g_;
    Rings& rings_;
    ImageBand& band_;
    Images images_;
    std::int32_t slotBase_ = 0;
    std::int32_t bandRows_ = 0; // image rows 0 .. bandRows_ - 1 have entered the band
};

} // namespace sorvik::detail

#endif
