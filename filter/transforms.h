// The buffers and plans that one thread transforms with.
#ifndef SORVIK_FILTER_TRANSFORMS_H
#define SORVIK_FILTER_TRANSFORMS_H

#include "filter/buffers.h"
#include "filter/geometry.h"

#include <cstddef>
#include <cstdint>
#include <memory>

namespace sorvik::detail {

// The group array, the two staging buffers, every plan made on those
// buffers, and the scales that make the transforms unitary. The Workspace
// holds the calling thread's set; each helper thread of the engine has its
// own, made on the calling thread (FFTW's planner is not thread-safe) on
// buffers of the same size from the same allocator, so that FFTW picks the
// same algorithms and every thread computes the same bits.
//
// Members are released in the reverse of their order here: the plans first,
// then the buffers they were made on, then the tables.
struct TransformSet {
    // Per-group scratch of the fused group filter (group.h): where each
    // member's spectra start in the rings.
    std::unique_ptr<std::size_t[]> memberOffsets; // 2K: noisyRing entries, pilotRing floats
    std::unique_ptr<float[]> dftScale;     // [k] = 1 / sqrt(k), k = 2 .. K
    float blockScale = 0.0f;               // 1 / P

    FftwBuffer<Complex> filteredGroup;    // K * L: a filtered group's spectra, member-major
    FftwBuffer<Complex> transformIn;      // max(K, L): every plan reads here
    FftwBuffer<Complex> transformOut;     // ... and writes here
    // The forward plans write both columns in place of transformOut, which
    // FFTW allows on arrays of the same alignment: the pilot column starts a
    // multiple of 64 bytes in, so both have the allocator's, as transformOut.
    FftwBuffer<Complex> columns;          // noisy column at 0, pilot column at pilotColumn(K)
    static std::size_t pilotColumn(std::int32_t K) { return (std::size_t(K) + 7) / 8 * 8; }

    // A group of up to batchedLength blocks may be transformed along its
    // members for all L coefficients at once: its columns side by side
    // (coefficient t's k values at t k), L transforms in one plan, which
    // spares FFTW's overhead of L calls (three times faster at k = 32).
    // FFTW may pick another algorithm for such a plan than for one
    // transform, and then the bits would differ; so a batched plan is kept
    // only where it gives the bits of the single one on a probe, and the
    // group filter uses the single plans for the other lengths.
    static constexpr std::int32_t batchedLength = 64;
    std::int32_t batchedLimit = 0;        // min(K, batchedLength)
    std::int32_t coefficients = 0;        // L: the transforms of a batched plan
    FftwBuffer<Complex> stagedNoisy;      // L * batchedLimit each; a plan's input
    FftwBuffer<Complex> stagedPilot;
    FftwBuffer<Complex> noisyColumns;     // ... and output
    FftwBuffer<Complex> pilotColumns;

    // [k] for k = 2 .. K: the transforms along a group of k blocks. Those up
    // to eagerGroupLengths are made with the set, so that for the capacities
    // in common use a failure comes before any work; longer ones on first use
    // (planGroupLength), as a capacity cut only to the block grid may allow
    // tens of thousands of lengths, of which a call uses few.
    std::unique_ptr<Plan[]> forwardPlans;
    std::unique_ptr<Plan[]> backwardPlans;
    // [k] for k = 2 .. batchedLimit: on stagedNoisy -> noisyColumns, empty
    // where the single plans serve.
    std::unique_ptr<Plan[]> batchedForward;
    std::unique_ptr<Plan[]> batchedBackward;
    Plan r2cPlan;                          // P x P real block -> half spectrum
    Plan c2rPlan;                          // half spectrum -> P x P real block

    // The grouped thresholding stage's own (Geometry::thresholds), made
    // instead of every plan above: hard thresholding wants a transform whose
    // basis does not wrap around the block, so its blocks go through the
    // orthonormal 2-D DCT-II, each raw REDFT10 coefficient times dctScale,
    // and back through REDFT01 of the coefficients times idctScale; along
    // the group, the orthonormal Haar transform of haarRows.
    Plan dctPlan;                          // P x P floats, transformIn -> transformOut
    Plan idctPlan;
    std::unique_ptr<float[]> dctScale;     // P^2, entry u P + v
    std::unique_ptr<float[]> idctScale;
    FftwBuffer<float> haarRows;            // 2 K P^2: a group's coefficients and the Haar steps' copy

    // Allocates the buffers and the tables and sets the scales; then
    // makePlans makes every plan on them.
    FilterStatus allocate(const Geometry& g);
    FilterStatus makePlans(const Geometry& g);
    static constexpr std::int32_t eagerGroupLengths = 64;
    // Makes the plans of length k unless they exist; false when FFTW fails.
    // May be called from any thread, each on its own set: the plans are made
    // under one lock, as FFTW's planner is not thread-safe, on this set's own
    // buffers, which have the same size and alignment in every set, so that
    // FFTW picks the same algorithm for every thread.
    bool planGroupLength(std::int32_t k);
    bool batched(std::int32_t k) const { return k <= batchedLimit && batchedForward[k]; }

private:
    // With the planner's lock held, once the single plans of length k exist.
    // False only when FFTW could not make a plan.
    bool planBatched(std::int32_t k);
};

} // namespace sorvik::detail

#endif
