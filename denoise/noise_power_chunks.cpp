// The noise spectrum of an image measured in chunks apart from each other
// (<sorvik/noise_chunks.h>): the phases of noise_power.h, each on the
// blocks a chunk owns.
#include <sorvik/noise_chunks.h>

#include "noise_model.h"
#include "noise_power.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace sorvik {
namespace {

constexpr std::int32_t dataSpectrumBlock = 8;

std::string spanText(Span span)
{
    return std::to_string(span.begin) + " to " + std::to_string(span.end);
}

void checkSpans(const char* axis, std::int32_t length, Span chunk, Span own, std::int32_t reach)
{
    const std::string name(axis);
    if (chunk.begin < 0 || chunk.end > length || chunk.begin >= chunk.end)
        throw std::invalid_argument("the chunk's " + name + " " + spanText(chunk) +
                                    " are not a part of the image's " + std::to_string(length));
    if (own.begin < chunk.begin || own.end > chunk.end || own.begin >= own.end)
        throw std::invalid_argument("the chunk's own " + name + " " + spanText(own) +
                                    " are not a part of its " + name + " " + spanText(chunk));
    const std::int64_t needed = std::min<std::int64_t>(std::int64_t(own.end) + reach, length);
    if (chunk.end < needed)
        throw std::invalid_argument("the chunk's " + name + " " + spanText(chunk) + " must reach " +
                                    std::to_string(needed) + ", the spectrum's blocks of its own " +
                                    name + " " + spanText(own) + " reach that far");
}

// The chunk's plane to measure: the data's channel, or the stages' plane.
struct ChunkPlane {
    detail::SpectrumGrid grid;
    std::vector<double> mapped;
    detail::PlaneView view;
};

ChunkPlane chunkPlane(const double* chunk, std::int32_t rows, std::int32_t cols, int channels,
                      Span chunkRows, Span chunkCols, Span ownRows, Span ownCols, int channel,
                      std::int32_t blockSize, const std::optional<DataRange>& filterRange)
{
    ChunkPlane p{detail::spectrumGrid(rows, cols, blockSize), {}, {nullptr, 0, 0, 0}};
    if (chunk == nullptr)
        throw std::invalid_argument("the chunk is null");
    if (channels != 1 && channels != 3)
        throw std::invalid_argument("a chunk has 1 or 3 channels, not " + std::to_string(channels));
    if (channel < 0 || channel >= channels)
        throw std::invalid_argument("channel " + std::to_string(channel) + " is not one of the " +
                                    std::to_string(channels));
    checkSpans("rows", rows, chunkRows, ownRows, p.grid.reach());
    checkSpans("columns", cols, chunkCols, ownCols, p.grid.reach());
    const std::size_t pixels = std::size_t(chunkRows.size()) * std::size_t(chunkCols.size());
    try {
        checkFinite(chunk, chunkRows.size(), chunkCols.size(), channels);
    } catch (const NonFiniteValue& e) {
        throw NonFiniteValue(e.row + chunkRows.begin, e.col + chunkCols.begin, e.channel);
    }
    const double* values = chunk;
    if (filterRange) {
        p.mapped.assign(chunk, chunk + pixels * std::size_t(channels));
        detail::toFilterPlanes(p.mapped.data(), pixels, channels, *filterRange);
        values = p.mapped.data();
    }
    p.view = detail::PlaneView{values + std::size_t(channel) * pixels, chunkRows.begin,
                               chunkCols.begin, chunkRows.size()};
    return p;
}

detail::ScoredBlock internal(const SpectrumBlock& b) { return {b.texture, b.level, b.row, b.col}; }
SpectrumBlock external(const detail::ScoredBlock& b) { return {b.texture, b.level, b.r, b.c}; }

// Whether a block's anchor lies in the chunk's own part.
bool owns(const SpectrumBlock& b, std::int32_t P, Span ownRows, Span ownCols)
{
    const std::int64_t r = b.row - P, c = b.col - P;
    return r >= ownRows.begin && r < ownRows.end && c >= ownCols.begin && c < ownCols.end;
}

} // namespace

bool spectrumFits(std::int32_t rows, std::int32_t cols, std::int32_t blockSize)
{
    try {
        detail::spectrumGrid(rows, cols, blockSize);
        return true;
    } catch (const std::invalid_argument&) {
        return false;
    }
}

std::vector<SpectrumBlock> noiseChunkSpectrumScores(const double* chunk, std::int32_t rows,
                                                    std::int32_t cols, int channels, Span chunkRows,
                                                    Span chunkCols, Span ownRows, Span ownCols,
                                                    int channel, std::int32_t blockSize,
                                                    const std::optional<DataRange>& filterRange)
{
    const ChunkPlane p = chunkPlane(chunk, rows, cols, channels, chunkRows, chunkCols, ownRows,
                                    ownCols, channel, blockSize, filterRange);
    std::vector<detail::ScoredBlock> scored;
    detail::scoreBlocks(p.grid, p.view, ownRows, ownCols, scored);
    std::vector<SpectrumBlock> out;
    out.reserve(scored.size());
    for (const detail::ScoredBlock& b : scored)
        out.push_back(external(b));
    return out;
}

std::vector<SpectrumBlock> selectSpectrumBlocks(std::int32_t rows, std::int32_t cols,
                                                std::int32_t blockSize,
                                                std::vector<SpectrumBlock> scored)
{
    const detail::SpectrumGrid grid = detail::spectrumGrid(rows, cols, blockSize);
    // The selection reads every block of the grid: one missing, or one
    // twice, would change it.
    std::vector<bool> seen(std::size_t(grid.gridRows * grid.gridCols), false);
    std::vector<detail::ScoredBlock> blocks;
    blocks.reserve(scored.size());
    for (const SpectrumBlock& b : scored) {
        const std::int64_t i = (b.row - grid.P) / grid.stride, j = (b.col - grid.P) / grid.stride;
        const bool onGrid = b.row >= grid.P && b.col >= grid.P && (b.row - grid.P) % grid.stride == 0 &&
                            (b.col - grid.P) % grid.stride == 0 && i < grid.gridRows &&
                            j < grid.gridCols;
        if (!onGrid || seen[std::size_t(j * grid.gridRows + i)] || std::isnan(b.texture) ||
            std::isnan(b.level))
            throw std::invalid_argument("the spectrum's block at row " + std::to_string(b.row) +
                                        ", column " + std::to_string(b.col) +
                                        " is not one of its grid's, or comes twice");
        seen[std::size_t(j * grid.gridRows + i)] = true;
        blocks.push_back(internal(b));
    }
    if (blocks.size() != seen.size())
        throw std::invalid_argument("the spectrum's grid has " + std::to_string(seen.size()) +
                                    " blocks, not " + std::to_string(blocks.size()));
    blocks = detail::selectBlocks(std::move(blocks));
    std::vector<SpectrumBlock> out;
    out.reserve(blocks.size());
    for (const detail::ScoredBlock& b : blocks)
        out.push_back(external(b));
    return out;
}

SpectrumPart noiseChunkSpectrumSquares(const double* chunk, std::int32_t rows, std::int32_t cols,
                                       int channels, Span chunkRows, Span chunkCols, Span ownRows,
                                       Span ownCols, int channel, std::int32_t blockSize,
                                       const std::optional<DataRange>& filterRange,
                                       const std::vector<SpectrumBlock>& selected)
{
    const ChunkPlane p = chunkPlane(chunk, rows, cols, channels, chunkRows, chunkCols, ownRows,
                                    ownCols, channel, blockSize, filterRange);
    SpectrumPart part;
    for (std::size_t k = 0; k < selected.size(); ++k)
        if (owns(selected[k], p.grid.P, ownRows, ownCols))
            part.slots.push_back(k);
    detail::SpectrumSquares squares(p.grid.P, part.slots.size());
    detail::BlockPowers powers(p.grid.P);
    for (std::size_t i = 0; i < part.slots.size(); ++i) {
        const SpectrumBlock& b = selected[part.slots[i]];
        powers.measure(p.view, b.row, b.col, squares, i);
    }
    // Block by block, as the part hands them over.
    const std::size_t m = part.slots.size();
    const std::size_t area = squares.cosine.size() / std::max<std::size_t>(m, 1);
    const std::size_t half = squares.fourier.size() / std::max<std::size_t>(m, 1);
    part.cosine.resize(squares.cosine.size());
    part.fourier.resize(squares.fourier.size());
    for (std::size_t i = 0; i < m; ++i) {
        for (std::size_t t = 0; t < area; ++t)
            part.cosine[i * area + t] = squares.cosine[t * m + i];
        for (std::size_t t = 0; t < half; ++t)
            part.fourier[i * half + t] = squares.fourier[t * m + i];
    }
    return part;
}

NoiseSpectrum noiseSpectrumFromParts(std::int32_t blockSize, std::size_t selected,
                                     const std::vector<SpectrumPart>& parts)
{
    if (blockSize < 2 || blockSize > 64)
        throw std::invalid_argument("the noise spectrum's block size must be 2 to 64, not " +
                                    std::to_string(blockSize));
    detail::SpectrumSquares squares(blockSize, selected);
    const std::size_t area = std::size_t(blockSize) * std::size_t(blockSize);
    const std::size_t half = std::size_t(blockSize) * std::size_t(blockSize / 2 + 1);
    std::vector<bool> seen(selected, false);
    for (const SpectrumPart& part : parts) {
        const std::size_t m = part.slots.size();
        if (part.cosine.size() != m * area || part.fourier.size() != m * half)
            throw std::invalid_argument("a part of the spectrum holds " + std::to_string(m) +
                                        " blocks but not their squares");
        for (std::size_t i = 0; i < m; ++i) {
            const std::size_t k = part.slots[i];
            if (k >= selected || seen[k])
                throw std::invalid_argument("the spectrum's selected block " + std::to_string(k) +
                                            " is not one of the " + std::to_string(selected) +
                                            ", or comes twice");
            seen[k] = true;
            for (std::size_t t = 0; t < area; ++t)
                squares.cosine[t * selected + k] = part.cosine[i * area + t];
            for (std::size_t t = 0; t < half; ++t)
                squares.fourier[t * selected + k] = part.fourier[i * half + t];
        }
    }
    if (std::find(seen.begin(), seen.end(), false) != seen.end())
        throw std::invalid_argument("the parts of the spectrum miss some of its selected blocks");
    return detail::spectrumFromSquares(squares);
}

namespace {

NoiseModel dataModel(std::int32_t rows, std::int32_t cols,
                     const std::vector<NoiseSpectrum>* dataSpectra)
{
    if (!dataSpectra) {
        detail::spectrumGrid(rows, cols, dataSpectrumBlock); // an image too small says so
        throw std::invalid_argument("the correlated noise model needs the image's spectrum, which "
                                    "was not measured");
    }
    return detail::correlatedFromSpectrum(detail::meanSpectrum(*dataSpectra));
}

} // namespace

NoiseModel estimateNoiseModel(std::int32_t rows, std::int32_t cols, int channels,
                              const NoisePatches& patches,
                              const std::vector<NoiseSpectrum>* dataSpectra)
{
    // As on the whole image in memory: where the white models see white
    // noise or none, the spectrum is asked.
    return detail::whiteOrCorrelated(
        [&] { return estimateNoiseModel(rows, cols, channels, patches); },
        !dataSpectra || patches.low == patches.high,
        [&] { return dataModel(rows, cols, dataSpectra); });
}

PlannedNoise planNoiseFromPatches(const DenoiseInput& input, const NoisePatches& patches,
                                  const std::vector<NoiseSpectrum>* dataSpectra)
{
    DenoiseInput whole = input;
    whole.pixels = nullptr;
    whole.extremes = DataRange{patches.low, patches.high};
    const detail::NoisePlan plan = detail::planNoise(
        whole,
        [&](NoiseChoice choice, const detail::KnownNoise& known) {
            return estimateNoiseModel(input.rows, input.cols, input.channels, patches, choice,
                                      known.gain, known.readNoise, known.offset);
        },
        [&] { return dataModel(input.rows, input.cols, dataSpectra); });
    return PlannedNoise{plan.model, plan.estimated};
}

NoiseShapes noiseShapesFromSpectra(const std::vector<NoiseSpectrum>& wiener,
                                   const std::vector<NoiseSpectrum>& grouped, double level)
{
    NoiseShapes shapes = detail::colouredFromSpectra(wiener, grouped);
    for (double& v : shapes.sigma)
        v *= level;
    return shapes;
}

} // namespace sorvik
