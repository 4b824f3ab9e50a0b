// The sizes of one filter call, derived from its parameters.
#ifndef SORVIK_FILTER_GEOMETRY_H
#define SORVIK_FILTER_GEOMETRY_H

#include <sorvik/sorvik.h>

#include <cstdint>

namespace sorvik::detail {

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
    std::int32_t slots = 0;               // rows of a search area: 2R + 1
    std::int32_t ringSlots = 0;           // rows a spectrum ring holds: slots, plus the rows
                                          // that threads compute ahead (withRowsAhead)
    std::int32_t step = 0;
    float matchThreshold = 0.0f;          // clamped to emptyDistance
    float sigma = 0.0f;
    // Frames whose spectra the rings hold side by side (frames.h): frame f's
    // rows in slots f ringSlots .. (f + 1) ringSlots - 1; 1 for one image.
    std::int32_t frames = 1;

    // The grouped hard-thresholding stage (grouped_threshold.h) walks with
    // the same engine: its groups are thresholded at `threshold` instead of
    // shrunk by a pilot, and matched on the noisy spectra with the
    // coefficients below matchFloor (DC aside) set to zero, so that at high
    // noise the noise does not pick the groups.
    bool thresholds = false;
    float threshold = 0.0f;
    float matchFloor = 0.0f;

    // Coloured noise (Channel::noiseShape): the Wiener stage's sigma^2 per
    // coefficient of the half spectrum, or the thresholding stage's
    // threshold per cosine coefficient. Null for white noise; owned by the
    // stage's caller for the length of the call.
    const float* perCoefficient = nullptr;
};

// Derives the geometry. R and K are reduced to the largest values that can make
// a difference on this image, so a generous radius or group size on a small
// image costs nothing and changes no output bit.
Geometry makeGeometry(const FilterParams& params);

// The most rows a ring holds beyond the search area's 2R + 1.
constexpr std::int32_t maxRowsAhead = 8;

// The geometry with rings that hold the next reference row's spectra beside
// the current row's search area (step more rows, at most maxRowsAhead), so
// that threads can compute them while the current row is matched; one thread
// computes nothing ahead and keeps the rings at 2R + 1 rows.
Geometry withRowsAhead(Geometry g, int threads);

} // namespace sorvik::detail

#endif
