// The inner loop of block matching: one row of candidates against the
// reference, several candidates per vector instruction. Every candidate's
// distance is summed in the same order, with the same single-precision
// operations, as one candidate at a time; only the candidates are side by side.
#ifndef SORVIK_FILTER_MATCH_SCAN_H
#define SORVIK_FILTER_MATCH_SCAN_H

#include <cstddef>
#include <cstdint>

namespace sorvik::detail {

// The match list being filled for one reference.
struct MatchList {
    float* distances;          // K entries; entry 0 the worst held, K - 1 reserved
    std::int32_t* positions;   // ring index of each entry
    std::int32_t K;
    float threshold;
};

// Blocks in one tile of the pilot ring (Rings::pilotRing): a tile holds,
// coefficient after coefficient, the real parts of sixteen neighbouring
// blocks of a row, then their imaginary parts. Sixteen is the widest
// kernel's vector; the narrower kernels read a tile in two or four loads.
constexpr std::int32_t pilotTile = 16;

// One row of the search area.
struct RowScan {
    const float* slot;         // the row's pilot spectra, in tiles (Rings::pilotRing)
    std::size_t tileFloats;    // floats in a tile: 2 pilotTile L
    const float* reference;    // the reference spectrum, re and im of each coefficient
    std::int32_t L;
    std::int32_t x0, x1;       // candidate columns [x0, x1)
    std::int32_t skip;         // the reference's column in its own row, else -1
    std::int32_t rowIndex;     // ring index of column 0 of this row
};

using MatchKernel = void (*)(const RowScan& row, MatchList& list);

enum class KernelLevel { portable, sse2, avx2, avx512 };

// The widest kernel that both this processor and the cap below allow.
MatchKernel chooseMatchKernel();
KernelLevel chosenKernelLevel();

// Caps the kernels that later calls choose (tests run each narrower kernel
// against the plain path). Not thread-safe; the default is no cap.
void capKernelLevel(KernelLevel level);

} // namespace sorvik::detail

#endif
