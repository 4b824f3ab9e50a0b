// Buffers and FFT plans of one filter call, and the owner types that release them.
#ifndef SORVIK_FILTER_WORKSPACE_H
#define SORVIK_FILTER_WORKSPACE_H

#include "filter/fftw_owner.h"
#include "filter/match_scan.h"
#include <sorvik/sorvik.h>

#include <fftw3.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>

namespace sorvik::detail {

struct CallProfile;

// A complex value: real part, then imaginary part.
using Complex = fftwf_complex;

template <class T>
using FftwBuffer = fftw::Buffer<T>;
using Plan = fftw::Plan;

// Test seam (filter/fault_injection.h): true when a test has asked for this
// allocation, plan or thread start to fail. Always false otherwise.
bool injectAllocationFailure() noexcept;
bool injectPlanFailure() noexcept;
bool injectThreadStartFailure() noexcept;

// Returns an empty pointer when the allocation fails.
template <class T>
FftwBuffer<T> allocateFftw(std::size_t count)
{
    if (injectAllocationFailure())
        return FftwBuffer<T>();
    return fftw::allocate<T>(count);
}

// Array new from the ordinary heap; an empty pointer when it fails.
template <class T>
std::unique_ptr<T[]> allocateTable(std::size_t count)
{
    if (injectAllocationFailure())
        return nullptr;
    return std::unique_ptr<T[]>(new (std::nothrow) T[count]);
}

// Takes ownership of a plan that FFTW has just made; empty when FFTW failed.
inline Plan adoptPlan(fftwf_plan plan) noexcept
{
    Plan owned(plan);
    if (injectPlanFailure())
        owned.reset();
    return owned;
}

// Distance that marks an empty entry of the match list.
constexpr float emptyDistance = maxMatchThreshold;

// Geometry of one call: the parameters plus the sizes derived from them.
struct Geometry {
    std::int32_t M = 0, N = 0;            // image rows, columns
    std::int32_t P = 0;                   // block size
    std::int32_t R = 0;                   // search radius, clamped to what the grid can use
    std::int32_t K = 0;                   // group capacity, clamped to what the grid can fill
    std::int32_t L = 0;                   // complex coefficients of one half spectrum
    std::int32_t blockRows = 0, blockCols = 0;
    std::int32_t slots = 0;               // rows a spectrum ring holds: 2R + 1
    std::int32_t step = 0;
    float matchThreshold = 0.0f;          // clamped to emptyDistance
    float sigma = 0.0f;
};

// Derives the geometry. R and K are reduced to the largest values that can make
// a difference on this image, so a generous radius or group size on a small
// image costs nothing and changes no output bit.
Geometry makeGeometry(const FilterParams& params);

// The buffers and plans that one thread transforms with: the two group
// arrays, the two staging buffers, and every plan, made on those buffers. The
// Workspace holds the calling thread's set; each helper thread of the engine
// has its own, made on the calling thread (FFTW's planner is not
// thread-safe) on buffers of the same size from the same allocator, so that
// FFTW picks the same algorithms and every thread computes the same bits.
struct TransformSet {
    FftwBuffer<Complex> noisyGroup;       // K * L
    FftwBuffer<Complex> pilotGroup;
    FftwBuffer<Complex> transformIn;      // max(K, L): every plan reads here
    FftwBuffer<Complex> transformOut;     // ... and writes here
    // [k] for k = 2 .. K: the transforms along a group of k blocks. Those up
    // to eagerGroupLengths are made with the set, so that for the capacities
    // in common use a failure comes before any work; longer ones on first use
    // (planGroupLength), as a capacity cut only to the block grid may allow
    // tens of thousands of lengths, of which a call uses few.
    std::unique_ptr<Plan[]> forwardPlans;
    std::unique_ptr<Plan[]> backwardPlans;
    Plan r2cPlan;                          // P x P real block -> half spectrum
    Plan c2rPlan;                          // half spectrum -> P x P real block

    // Per-group scratch of the fused group filter (group.h): one transformed
    // column of each image, and where each member's spectra start in the rings.
    // The forward plans write both columns in place of transformOut, which
    // FFTW allows on arrays of the same alignment: the pilot column starts a
    // multiple of 64 bytes in, so both have the allocator's, as transformOut.
    FftwBuffer<Complex> columns;           // noisy column at 0, pilot column at pilotColumn(K)
    static std::size_t pilotColumn(std::int32_t K) { return (std::size_t(K) + 7) / 8 * 8; }
    std::unique_ptr<std::size_t[]> memberOffsets; // 2K: noisyRing entries, pilotRing floats

    // Allocates the buffers and the plan tables (the Workspace's part of the
    // set-up order); then makePlans makes every plan on them.
    FilterStatus allocate(const Geometry& g);
    FilterStatus makePlans(const Geometry& g);
    static constexpr std::int32_t eagerGroupLengths = 64;
    // Makes the plans of length k unless they exist; false when FFTW fails.
    // May be called from any thread, each on its own set: the plans are made
    // under one lock, as FFTW's planner is not thread-safe, on this set's own
    // buffers, which have the same size and alignment in every set, so that
    // FFTW picks the same algorithm for every thread.
    bool planGroupLength(std::int32_t k);
    // Plans first, then the buffers, then the tables.
    void release(const Geometry& g) noexcept;
};

// Everything one call allocates. The destructor releases it all in a fixed
// order: plans first, then the FFT buffers, the tables, and the accumulator
// block last.
struct Workspace {
    Geometry g;
    TransformSet transforms;              // the calling thread's

    float* estimate = nullptr;            // caller's output: the numerator until the final division
    CallProfile* profile = nullptr;       // filled when the benchmark asks for it

    FftwBuffer<float> accumulatorBlock;   // weightSum | matchPositions | matchDistances | weightedWindow
    float* weightSum = nullptr;           // M * N
    std::int32_t* matchPositions = nullptr; // K ring indices
    float* matchDistances = nullptr;      // K distances
    float* weightedWindow = nullptr;      // P * P

    // Pilot spectra in tiles of pilotTile neighbouring blocks of a row, so
    // that matching reads one coefficient of a vector of candidates with one
    // aligned load, and a row of candidates from a few contiguous runs of
    // memory. A tile holds, for each coefficient t in turn, the real parts of
    // its blocks, then their imaginary parts: 2 pilotTile L floats. Slot s is
    // tilesPerSlot tiles, left to right; columns past the row's last block
    // are zero.
    FftwBuffer<float> pilotRing;          // slots * tilesPerSlot * 2 pilotTile L
    FftwBuffer<Complex> noisyRing;        // slots * blockCols * L, spectrum by spectrum

    // The image rows that the blocks of up to bandBlockRows consecutive
    // block-position rows cover (bandRows = P + bandBlockRows - 1 rows), as
    // floats in row-major order, noisy then pilot. Image row y is held twice,
    // at y mod bandRows and bandRows further, so that any P consecutive rows
    // are contiguous.
    FftwBuffer<float> imageBand;          // 2 * 2 bandRows * N
    std::int32_t bandBlockRows = 0;
    std::int32_t bandRows = 0;

    std::unique_ptr<float[]> dftScale;     // [k] = 1 / sqrt(k)
    float blockScale = 0.0f;               // 1 / P
    std::int32_t tilesPerSlot = 0;         // blockCols / pilotTile, rounded up

    MatchKernel scanRow = nullptr;         // the widest row scanner this processor runs

    // The match lists of a batch of references matched together (matching.h):
    // matchBatch * (K distances, K positions, 2L reference floats). The match
    // list above serves a single reference (matchBlocks), with the first
    // entry's reference floats.
    static constexpr std::int32_t matchBatch = 16;
    FftwBuffer<float> batchLists;

    // The accumulators of the image rows that groups can still reach, row by
    // row (aggregation.h): the numerator rows, then the weight rows, each
    // accumulatorRows rows of N floats; image row y in row y mod
    // accumulatorRows. Rows [closedRows, openRows) are live.
    FftwBuffer<float> accumulatorBand;
    std::int32_t accumulatorRows = 0;
    std::int32_t openRows = 0;
    std::int32_t closedRows = 0;

    // The real part of coefficient 0 of the block at ring index p (slot
    // p / blockCols, column p mod blockCols); coefficient t's real part is at
    // + pilotTile * 2t, its imaginary part pilotTile further.
    std::size_t pilotOffset(std::int32_t ringIndex) const
    {
        const std::int32_t slot = ringIndex / g.blockCols;
        const std::int32_t column = ringIndex - slot * g.blockCols;
        return (std::size_t(slot) * tilesPerSlot + std::size_t(column / pilotTile)) * tileFloats() +
               std::size_t(column % pilotTile);
    }
    std::size_t tileFloats() const { return 2 * std::size_t(pilotTile) * std::size_t(g.L); }
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

    Workspace() = default;
    Workspace(const Workspace&) = delete;
    Workspace& operator=(const Workspace&) = delete;
    ~Workspace();

    // Allocates every buffer, clears estimate and weightSum, and makes every
    // plan. On failure, whatever was made is released by the destructor.
    // A channel that shares another's groups (matches = false) neither
    // matches nor transforms with a set of its own: it gets its rings, band
    // and accumulators, but no transform set and no match lists.
    FilterStatus setUp(const Geometry& geometry, float* estimateOut, bool matches = true);
};

} // namespace sorvik::detail

#endif
