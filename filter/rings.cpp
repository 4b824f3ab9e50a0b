#include "filter/rings.h"

#include <algorithm>
#include <cmath>

namespace sorvik::detail {

FilterStatus Rings::allocate(const Geometry& g)
{
    // checkParams has bounded every product below, so size_t cannot overflow.
    blockCols = g.blockCols;
    L = g.L;
    const std::size_t slots = std::size_t(g.ringSlots) * std::size_t(g.frames);
    const std::size_t ringEntries =
        g.blockCols > 0 ? slots * std::size_t(g.blockCols) * std::size_t(L) : 0;
    tilesPerSlot = g.blockCols > 0 ? (g.blockCols + pilotTile - 1) / pilotTile : 0;
    const std::size_t pilotFloats = slots * std::size_t(tilesPerSlot) * tileFloats();
    pilotRing = allocateFftw<float>(pilotFloats);
    noisyRing = allocateFftw<Complex>(ringEntries);
    if (!pilotRing || !noisyRing)
        return FilterStatus::outOfMemory;
    std::fill(pilotRing.get(), pilotRing.get() + pilotFloats, 0.0f);
    return FilterStatus::ok;
}

FilterStatus ImageBand::allocate(const Geometry& g)
{
    // The parallel engine computes the rows between two reference rows at once.
    blockRows = std::clamp(g.step, std::int32_t{1}, std::int32_t{8});
    rows = g.P + blockRows - 1;
    pixels = allocateFftw<float>(2 * 2 * std::size_t(rows) * std::size_t(g.N));
    return pixels ? FilterStatus::ok : FilterStatus::outOfMemory;
}

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
void transformStaged(std::int32_t L, const TransformSet& ts, Store store)
{
    ts.r2cPlan.execute();
    const float scale = ts.blockScale;
    const Complex* out = ts.transformOut.get();
    for (std::int32_t t = 0; t < L; ++t)
        store(t, scale * out[t][0], scale * out[t][1]);
}

} // namespace

void SpectrumRings::bringRows(std::int32_t first, std::int32_t last)
{
    const std::int32_t P = g_.P;
    const std::int32_t rows = band_.rows;
    const std::size_t M = std::size_t(g_.M), N = std::size_t(g_.N);
    float* noisyBand = band_.pixels.get();
    float* pilotBand = noisyBand + 2 * std::size_t(rows) * N;
    // Rows enter in increasing order; those of an earlier call that are still
    // needed stay where they are.
    for (std::int32_t y = std::max(bandRows_, first); y < last + P; ++y) {
        const std::size_t at = std::size_t(y % rows) * N;
        const std::size_t twin = at + std::size_t(rows) * N;
        for (std::size_t x = 0; x < N; ++x) {
            const float noisy = static_cast<float>(images_.noisy[std::size_t(y) + x * M]);
            noisyBand[at + x] = noisyBand[twin + x] = noisy;
        }
        if (images_.pilot == nullptr)
            continue;
        for (std::size_t x = 0; x < N; ++x) {
            const float pilot = images_.pilot[std::size_t(y) + x * M];
            pilotBand[at + x] = pilotBand[twin + x] = pilot;
        }
    }
    bandRows_ = std::max(bandRows_, last + P);
}

void SpectrumRings::computeColumns(std::int32_t row, std::int32_t begin, std::int32_t end,
                                   const TransformSet& ts) const
{
    const std::int32_t P = g_.P;
    const std::size_t N = std::size_t(g_.N);
    const std::int32_t slot = row % g_.ringSlots + slotBase_;
    const float* noisyBand = band_.pixels.get() + std::size_t(row % band_.rows) * N;
    const float* pilotBand = noisyBand + 2 * std::size_t(band_.rows) * N;
    float* block = reinterpret_cast<float*>(ts.transformIn.get());
    const std::size_t stride = std::size_t(g_.blockCols);
    for (std::int32_t j = begin; j < end; ++j) {
        stageBlock(noisyBand + j, N, 1, P, block);
        Complex* entry = rings_.noisyRing.get() + (std::size_t(slot) * stride + j) * g_.L;
        float* tile = rings_.pilotRing.get() + rings_.pilotOffset(slot * g_.blockCols + j);
        if (g_.thresholds) {
            storeCosineSpectrum(ts, entry, tile);
            continue;
        }
        transformStaged(g_.L, ts, [entry](std::int32_t t, float re, float im) {
            entry[t][0] = re;
            entry[t][1] = im;
        });
        stageBlock(pilotBand + j, N, 1, P, block);
        transformStaged(g_.L, ts, [tile](std::int32_t t, float re, float im) {
            tile[2 * pilotTile * std::size_t(t)] = re;
            tile[2 * pilotTile * std::size_t(t) + pilotTile] = im;
        });
    }
}

// The thresholding stage's spectra: coefficient i (u P + v) of the
// orthonormal DCT at float 2 + i of the entry, the floats before and after
// zero, so that matching, which skips coefficient 0 of an entry, compares the
// blocks' means too. The pilot ring gets the same with the values below
// matchFloor set to zero, the DC's aside.
void SpectrumRings::storeCosineSpectrum(const TransformSet& ts, Complex* entry, float* tile) const
{
    const std::size_t area = std::size_t(g_.P) * std::size_t(g_.P);
    const std::size_t floats = 2 * std::size_t(g_.L);
    ts.dctPlan.execute();
    const float* raw = reinterpret_cast<const float*>(ts.transformOut.get());
    float* values = entry[0];
    values[0] = values[1] = 0.0f;
    for (std::size_t i = 0; i < area; ++i)
        values[2 + i] = ts.dctScale[i] * raw[i];
    for (std::size_t i = 2 + area; i < floats; ++i)
        values[i] = 0.0f;
    const float floor = g_.matchFloor;
    for (std::size_t i = 0; i < floats; ++i) {
        const float v = values[i];
        const float kept = i != 2 && std::fabs(v) < floor ? 0.0f : v;
        tile[2 * pilotTile * (i / 2) + (i % 2) * pilotTile] = kept;
    }
}

} // namespace sorvik::detail
