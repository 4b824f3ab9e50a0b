#include "filter/rings.h"

#include <algorithm>

namespace sorvik::detail {

namespace {

// Copies a P x P block into row-major floats: element a * P + b is the pixel
// at origin + a * rowStride + b * columnStride. Doubles are rounded to float
// to nearest, floats are copied as they are.
template <class Pixel>
void stageBlock(const Pixel* origin, std::size_t rowStride, std::size_t columnStride,
                std::int32_t P, float* block)
{
    for (std::int32_t a = 0; a < P; ++a) {
        const Pixel* source = origin + std::size_t(a) * rowStride;
        float* row = block + std::size_t(a) * P;
        for (std::int32_t b = 0; b < P; ++b)
            row[b] = static_cast<float>(source[std::size_t(b) * columnStride]);
    }
}

// Runs the P x P real-to-complex plan on the staged block; the scaled
// coefficients go to `store`.
template <class Store>
void transformStaged(const Workspace& ws, const TransformSet& ts, Store store)
{
    ts.r2cPlan.execute();
    const std::int32_t L = ws.g.L;
    const float scale = ws.blockScale;
    const Complex* out = ts.transformOut.get();
    for (std::int32_t t = 0; t < L; ++t)
        store(t, scale * out[t][0], scale * out[t][1]);
}

} // namespace

void SpectrumRings::bringRows(std::int32_t first, std::int32_t last)
{
    const std::int32_t P = ws_.g.P;
    const std::int32_t rows = ws_.bandRows;
    const std::size_t M = std::size_t(ws_.g.M), N = std::size_t(ws_.g.N);
    float* noisyBand = ws_.imageBand.get();
    float* pilotBand = noisyBand + 2 * std::size_t(rows) * N;
    // Rows enter in increasing order; those of an earlier call that are still
    // needed stay where they are.
    for (std::int32_t y = std::max(bandRows_, first); y < last + P; ++y) {
        const std::size_t at = std::size_t(y % rows) * N;
        const std::size_t twin = at + std::size_t(rows) * N;
        for (std::size_t x = 0; x < N; ++x) {
            const float noisy = static_cast<float>(images_.noisy[std::size_t(y) + x * M]);
            const float pilot = images_.pilot[std::size_t(y) + x * M];
            noisyBand[at + x] = noisyBand[twin + x] = noisy;
            pilotBand[at + x] = pilotBand[twin + x] = pilot;
        }
    }
    bandRows_ = std::max(bandRows_, last + P);
}

void SpectrumRings::computeColumns(std::int32_t row, std::int32_t begin, std::int32_t end,
                                   const TransformSet& ts) const
{
    const std::int32_t P = ws_.g.P;
    const std::size_t N = std::size_t(ws_.g.N);
    const std::int32_t slot = row % ws_.g.slots;
    const float* noisyBand = ws_.imageBand.get() + std::size_t(row % ws_.bandRows) * N;
    const float* pilotBand = noisyBand + 2 * std::size_t(ws_.bandRows) * N;
    float* block = reinterpret_cast<float*>(ts.transformIn.get());
    const std::size_t stride = std::size_t(ws_.g.blockCols);
    for (std::int32_t j = begin; j < end; ++j) {
        stageBlock(noisyBand + j, N, 1, P, block);
        Complex* entry = ws_.noisyRing.get() + (std::size_t(slot) * stride + j) * ws_.g.L;
        transformStaged(ws_, ts, [entry](std::int32_t t, float re, float im) {
            entry[t][0] = re;
            entry[t][1] = im;
        });
        stageBlock(pilotBand + j, N, 1, P, block);
        float* tile = ws_.pilotRing.get() + ws_.pilotOffset(slot * ws_.g.blockCols + j);
        transformStaged(ws_, ts, [tile](std::int32_t t, float re, float im) {
            tile[2 * pilotTile * std::size_t(t)] = re;
            tile[2 * pilotTile * std::size_t(t) + pilotTile] = im;
        });
    }
}

void SpectrumRings::processRow(std::int32_t i)
{
    bringRows(i, i);
    computeColumns(i, 0, ws_.g.blockCols, transforms_);
}

void SpectrumRings::initialFill()
{
    const std::int32_t lastRow = ws_.g.M - ws_.g.P;
    for (std::int32_t i = 0; i < ws_.g.R && i <= lastRow; ++i)
        processRow(i);
}

std::int32_t SpectrumRings::addRow(std::int32_t n)
{
    const std::int32_t row = n + ws_.g.R;
    if (row > ws_.g.M - ws_.g.P)
        return -1;
    processRow(row);
    return row;
}

} // namespace sorvik::detail
