// The noise spectrum in phases that each need only part of the image, so
// that an image read in bands or chunks is measured with the bits the whole
// image in memory gives: score every block of a grid fixed by the image's
// size, select the flattest once all are scored, then transform the selected
// blocks wherever their rows are, each into its own slot of the selected
// order, which the trimmed means then read as in memory.
#ifndef SORVIK_DENOISE_NOISE_POWER_H
#define SORVIK_DENOISE_NOISE_POWER_H

#include <sorvik/denoise.h>
#include <sorvik/tiling.h>

#include <cstddef>
#include <cstdint>
#include <vector>

namespace sorvik::detail {

// The blocks scored: block (i, j) lies at row P + i stride, column
// P + j stride, and its neighbourhood (it and the four blocks a block away)
// within rows and columns from its anchor, (i stride, j stride), to the
// anchor + 3P - 1.
struct SpectrumGrid {
    std::int32_t P = 0;
    std::int64_t stride = 1, gridRows = 0, gridCols = 0;
    std::int32_t reach() const { return 3 * P - 1; } // past an anchor
};
// Throws std::invalid_argument as estimateNoiseSpectrum does.
SpectrumGrid spectrumGrid(std::int32_t rows, std::int32_t cols, std::int32_t blockSize);

struct ScoredBlock {
    double texture, level; // the neighbours' energy about their means; the block's mean
    std::int64_t r, c;     // the block's top-left pixel
};

// Part of a plane: rows [top, top + height) from column `left` on,
// column-major, `height` values a column.
struct PlaneView {
    const double* values;
    std::int64_t top, left, height;
    double at(std::int64_t r, std::int64_t c) const
    {
        return values[std::size_t((r - top) + (c - left) * height)];
    }
};

// Scores the grid blocks whose anchors lie in anchorRows x anchorCols, which
// the view must hold with their reach; appends them to `out`.
void scoreBlocks(const SpectrumGrid& grid, const PlaneView& view, Span anchorRows, Span anchorCols,
                 std::vector<ScoredBlock>& out);

// The flattest of each band of brightness, in the order the trimmed means
// read them. The order the scores come in does not matter.
std::vector<ScoredBlock> selectBlocks(std::vector<ScoredBlock> scored);

// The squares of the selected blocks' coefficients, coefficient-major: slot
// k of coefficient t is selected block k's.
struct SpectrumSquares {
    std::int32_t P = 0;
    std::size_t count = 0;
    std::vector<double> cosine, fourier;
    SpectrumSquares(std::int32_t blockSize, std::size_t blocks);
};

// The DCT and DFT of a block, its squares into their slots.
class BlockPowers {
public:
    explicit BlockPowers(std::int32_t blockSize);
    void measure(const PlaneView& view, std::int64_t r, std::int64_t c, SpectrumSquares& into,
                 std::size_t slot);

private:
    std::int32_t P_, H_;
    std::vector<double> cosineBasis_, cosTable_, sinTable_, block_, rowsPass_, re_, im_;
};

// The spectrum from every selected block's squares (reordered in place).
NoiseSpectrum spectrumFromSquares(SpectrumSquares& squares);

// The channels' mean spectrum, as imageNoiseSpectrum takes it.
NoiseSpectrum meanSpectrum(const std::vector<NoiseSpectrum>& channels);

// The correlated model of a spectrum of the data; throws std::invalid_argument
// for one without noise.
NoiseModel correlatedFromSpectrum(NoiseSpectrum spectrum);

// colouredChannels from the spectra it measures (the grouped ones empty
// where the stages' blocks are the same size).
NoiseShapes colouredFromSpectra(const std::vector<NoiseSpectrum>& wiener,
                                const std::vector<NoiseSpectrum>& grouped);

// Throws std::invalid_argument unless the shapes fit the channels and the
// stages' block sizes, with finite sigmas > 0: a tile reads them as they are.
void checkShapes(const NoiseShapes& shapes, int channels, std::int32_t wienerBlock,
                 std::int32_t groupedBlock);

// The planes the stages filter, in place: the data's range onto [0, 1],
// colour to opponent channels, each onto [0, 1]. Pointwise, so that a band
// of the image maps as the whole does.
void toFilterPlanes(double* planes, std::size_t pixels, int channels, const DataRange& range);

// One plane's spectrum from bands of full rows in order, each column-major
// within itself; each band starts where the last ended. score() every band,
// select(), then measure() every band again. It carries the rows a block
// still needs (3 blockSize - 1 at most) from band to band.
class BandedSpectrum {
public:
    BandedSpectrum(std::int32_t rows, std::int32_t cols, std::int32_t blockSize);
    void score(const double* band, std::int32_t top, std::int32_t count);
    void select();
    void measure(const double* band, std::int32_t top, std::int32_t count);
    NoiseSpectrum finish();
    std::int32_t blockSize() const { return grid_.P; }
    // Bytes it holds at most, fed bands of at most bandRows rows (0 for a
    // plane too small to measure).
    static std::uint64_t memoryBound(std::int32_t rows, std::int32_t cols, std::int32_t blockSize,
                                     std::int32_t bandRows);

private:
    const double* window(const double* band, std::int32_t top, std::int32_t count);
    void carry(const PlaneView& view, std::int64_t keep, std::int64_t end);

    std::int32_t rows_, cols_;
    SpectrumGrid grid_;
    std::int64_t nextAnchorRow_ = 0;
    std::vector<ScoredBlock> scored_;
    std::vector<std::size_t> byRow_; // selected blocks in order of their rows
    std::size_t nextMeasured_ = 0;
    SpectrumSquares squares_{2, 0};
    BlockPowers powers_;
    std::vector<double> carry_, next_;
    std::int64_t carryTop_ = 0, carryRows_ = 0;
    bool selected_ = false;
};

} // namespace sorvik::detail

#endif
