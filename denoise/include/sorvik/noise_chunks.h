// The noise estimate of an image measured in chunks, apart from each other
// (on the workers of a cluster, say), with the bits estimateNoiseSigma gives
// on the whole image in memory.
//
// The estimate reads only the patches of a grid fixed by the image's shape,
// and its order of summation is that of the patches sorted by texture, ties
// by scan order: so it does not matter where a patch was read, and each
// chunk hands over its own patches and extremes. Combining them costs what
// the patches cost (about 65536 x 49 values at most), whatever the image's
// size.
//
// Images are planar, as in <sorvik/denoise.h>: a chunk of every channel,
// column-major within the chunk.
#ifndef SORVIK_NOISE_CHUNKS_H
#define SORVIK_NOISE_CHUNKS_H

#include <sorvik/denoise.h>
#include <sorvik/tiling.h>

#include <cstdint>
#include <limits>
#include <optional>
#include <vector>

namespace sorvik {

// Grid patches with their values, and the extremes of the values they came
// from. Empty ones (the extremes inverted) are the start of a merge.
struct NoisePatches {
    // Row and column in the image; `values` indexes the patch's first value.
    // The texture is recomputed from the values where the estimate is made.
    std::vector<NoiseEstimator::Patch> patches;
    std::vector<double> values; // noisePatchSize^2 a patch, column by column
    double low = std::numeric_limits<double>::infinity();
    double high = -std::numeric_limits<double>::infinity();
};

// The patches of the image's grid whose top-left pixel lies in the chunk's
// own part (ownRows x ownCols), and the extremes of that part. The chunk
// holds rows chunkRows x cols chunkCols of a rows x cols image, every
// channel; it must hold its own part and the noisePatchSize - 1 rows and
// columns after it that those patches reach (or up to the image's edge).
// Throws as estimateNoiseSigma for an image too small or without channels,
// std::invalid_argument naming the span for spans that do not fit, and
// NonFiniteValue (at its place in the image) for a value of the chunk that
// is not finite.
NoisePatches noiseChunkPatches(const float* chunk, std::int32_t rows, std::int32_t cols,
                               int channels, Span chunkRows, Span chunkCols, Span ownRows,
                               Span ownCols);
NoisePatches noiseChunkPatches(const double* chunk, std::int32_t rows, std::int32_t cols,
                               int channels, Span chunkRows, Span chunkCols, Span ownRows,
                               Span ownCols);

// The patches of a stack's grid (its frames' planes taken as the channels of
// one image, frame after frame, as a stack's noise level is measured) that
// lie in frame `index`, given whole: `channels` planes of rows x cols. So a
// stack read frame by frame is estimated with the bits of the whole stack.
NoisePatches noiseFramePatches(const double* frame, std::int32_t rows, std::int32_t cols,
                               int channels, std::int32_t frames, std::int32_t index);
// Appends part's patches to into's and widens into's extremes.
void mergeNoisePatches(NoisePatches& into, const NoisePatches& part);

// estimateNoiseSigma of the rows x cols image whose chunks' own parts cover
// it once, from their patches merged. Throws as estimateNoiseSigma for the
// image's shape, and std::invalid_argument unless the patches are the
// image's grid, each once, with finite values within the extremes.
double estimateNoiseSigma(std::int32_t rows, std::int32_t cols, int channels,
                          const NoisePatches& patches);

// estimateNoiseModel of the same image from the same patches, with the bits
// the whole image gives; a choice and parameters held fixed as
// NoiseEstimator::estimateModel takes them. Throws as estimateNoiseSigma
// above and as estimateNoiseModel.
NoiseModel estimateNoiseModel(std::int32_t rows, std::int32_t cols, int channels,
                              const NoisePatches& patches,
                              NoiseChoice choice = NoiseChoice::automatic,
                              std::optional<double> gain = {}, std::optional<double> readNoise = {},
                              std::optional<double> offset = {});

// The model and sigma denoise() runs the image under, from the chunks'
// patches: input's rows, cols, channels, sigma and noise fields are read,
// its pixels not (the patches' extremes stand for them). Throws as
// denoise() does for these.
struct PlannedNoise {
    NoiseModel model;
    bool estimated = false;
};
PlannedNoise planNoiseFromPatches(const DenoiseInput& input, const NoisePatches& patches);

// ---------------------------------------------------------------- spectra

// The noise spectrum (estimateNoiseSpectrum) of one channel measured in
// chunks, in phases: every chunk scores the grid blocks it owns, the scores
// of all are selected at once, every chunk measures the selected blocks it
// owns, and the parts make the spectrum, with the bits of the whole plane.
// A chunk owns the blocks whose anchors (a block above and to the left of
// their top-left pixel) lie in its own part, and must hold the 3 blockSize - 1
// rows and columns after that part (or up to the image's edge). With
// `filterRange`, the planes measured are those the stages filter (the data
// over that range onto 0..1, colour in opponent channels, each onto 0..1),
// as denoise() measures them under the correlated model; otherwise the data
// as it is, as estimateNoiseModel measures it (blocks of 8).

// Whether a rows x cols plane holds enough blocks for a spectrum.
bool spectrumFits(std::int32_t rows, std::int32_t cols, std::int32_t blockSize);

// A scored block: its neighbours' texture, its mean, its top-left pixel.
struct SpectrumBlock {
    double texture = 0.0, level = 0.0;
    std::int64_t row = 0, col = 0;
};

// Throws as noiseChunkPatches does for the spans and values, and as
// estimateNoiseSpectrum for the plane or block size.
std::vector<SpectrumBlock> noiseChunkSpectrumScores(const double* chunk, std::int32_t rows,
                                                    std::int32_t cols, int channels, Span chunkRows,
                                                    Span chunkCols, Span ownRows, Span ownCols,
                                                    int channel, std::int32_t blockSize,
                                                    const std::optional<DataRange>& filterRange = {});

// The blocks measured, in the order the spectrum reads them, from every
// block of the grid scored once (in any order). Throws std::invalid_argument
// otherwise.
std::vector<SpectrumBlock> selectSpectrumBlocks(std::int32_t rows, std::int32_t cols,
                                                std::int32_t blockSize,
                                                std::vector<SpectrumBlock> scored);

// The squares of the coefficients of the selected blocks a chunk owns:
// slots[i] is the block's place in the selection; cosine and fourier hold
// blockSize^2 and blockSize (blockSize / 2 + 1) values a block, block by block.
struct SpectrumPart {
    std::vector<std::size_t> slots;
    std::vector<double> cosine, fourier;
};
SpectrumPart noiseChunkSpectrumSquares(const double* chunk, std::int32_t rows, std::int32_t cols,
                                       int channels, Span chunkRows, Span chunkCols, Span ownRows,
                                       Span ownCols, int channel, std::int32_t blockSize,
                                       const std::optional<DataRange>& filterRange,
                                       const std::vector<SpectrumBlock>& selected);

// The spectrum from the parts of every chunk; throws std::invalid_argument
// unless each of the `selected` blocks came once.
NoiseSpectrum noiseSpectrumFromParts(std::int32_t blockSize, std::size_t selected,
                                     const std::vector<SpectrumPart>& parts);

// estimateNoiseModel and planNoiseFromPatches above with the channels' data
// spectra (blocks of 8, no filterRange), so that the correlated model is
// chosen, or measured when asked for, as on the whole image. Null: not
// measured, as for an image too small for them.
NoiseModel estimateNoiseModel(std::int32_t rows, std::int32_t cols, int channels,
                              const NoisePatches& patches,
                              const std::vector<NoiseSpectrum>* dataSpectra);
PlannedNoise planNoiseFromPatches(const DenoiseInput& input, const NoisePatches& patches,
                                  const std::vector<NoiseSpectrum>* dataSpectra);

// The shapes denoise() filters correlated noise with, from the spectra of
// the planes the stages filter at their block sizes (grouped: empty when
// the same as the Wiener stage's), each sigma times `level` (a sigma given
// over the data spectrum's). Throws std::invalid_argument for no noise.
NoiseShapes noiseShapesFromSpectra(const std::vector<NoiseSpectrum>& wiener,
                                   const std::vector<NoiseSpectrum>& grouped, double level);

} // namespace sorvik

#endif
