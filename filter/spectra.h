// Block spectra of both images, kept for a sliding band of block-position rows.
#ifndef SORVIK_FILTER_SPECTRA_H
#define SORVIK_FILTER_SPECTRA_H

#include "filter/workspace.h"

namespace sorvik::detail {

// The two images whose blocks enter the rings.
struct Images {
    const double* noisy = nullptr;
    const float* pilot = nullptr;
};

// Fills noisyRing and pilotRing as rows of block positions enter the band.
// Row r lives in slot r mod (2R + 1); a slot is overwritten only by the row
// 2R + 1 further down, which no reader of the old row reaches.
class SpectrumRings {
public:
    SpectrumRings(Workspace& ws, const Images& images) : ws_(ws), images_(images) {}

    // Stores rows 0 .. R - 1 (those that exist).
    void initialFill();

    // Called at the start of main-loop row n: stores row n + R if it exists.
    void addRow(std::int32_t n);

    // Spectrum of block (i, j) of the given image, scaled by 1/P, into entry e
    // of a ring laid out spectrum by spectrum (noisyRing).
    void computeBlockSpectrum(const double* image, std::int32_t i, std::int32_t j,
                              Complex* ring, std::size_t e);
    void computeBlockSpectrum(const float* image, std::int32_t i, std::int32_t j,
                              Complex* ring, std::size_t e);

    // Spectrum of block (i, j) of the pilot image into its place in pilotRing.
    void computePilotSpectrum(std::int32_t i, std::int32_t j, std::int32_t slot);

private:
    void processRow(std::int32_t i, std::int32_t slot);
    void storeScaledSpectrum(Complex* ring, std::size_t e);

    Workspace& ws_;
    Images images_;
    std::int32_t writeSlot_ = 0;
};

} // namespace sorvik::detail

#endif
