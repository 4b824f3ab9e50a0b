#include "filter/spectra.h"

namespace sorvik::detail {

namespace {

// Copies block (i, j) into a row-major P x P float block; doubles are rounded
// to float to nearest, floats are copied as they are.
template <class Pixel>
void stageBlock(const Pixel* image, std::int32_t M, std::int32_t P, std::int32_t i,
                std::int32_t j, float* block)
{
    for (std::int32_t a = 0; a < P; ++a) {
        const Pixel* source = image + (std::size_t(i) + std::size_t(a)) + std::size_t(j) * M;
        float* row = block + std::size_t(a) * P;
        for (std::int32_t b = 0; b < P; ++b)
            row[b] = static_cast<float>(source[std::size_t(b) * M]);
    }
}

} // namespace

void SpectrumRings::storeScaledSpectrum(Complex* ring, std::size_t e)
{
    const std::int32_t L = ws_.g.L;
    const float scale = ws_.blockScale;
    const Complex* out = ws_.transformOut.get();
    Complex* entry = ring + e * std::size_t(L);
    for (std::int32_t t = 0; t < L; ++t) {
        entry[t][0] = scale * out[t][0];
        entry[t][1] = scale * out[t][1];
    }
}

void SpectrumRings::computeBlockSpectrum(const double* image, std::int32_t i, std::int32_t j,
                                         Complex* ring, std::size_t e)
{
    stageBlock(image, ws_.g.M, ws_.g.P, i, j, reinterpret_cast<float*>(ws_.transformIn.get()));
    ws_.r2cPlan.execute();
    storeScaledSpectrum(ring, e);
}

void SpectrumRings::computeBlockSpectrum(const float* image, std::int32_t i, std::int32_t j,
                                         Complex* ring, std::size_t e)
{
    stageBlock(image, ws_.g.M, ws_.g.P, i, j, reinterpret_cast<float*>(ws_.transformIn.get()));
    ws_.r2cPlan.execute();
    storeScaledSpectrum(ring, e);
}

void SpectrumRings::computePilotSpectrum(std::int32_t i, std::int32_t j, std::int32_t slot)
{
    stageBlock(images_.pilot, ws_.g.M, ws_.g.P, i, j,
               reinterpret_cast<float*>(ws_.transformIn.get()));
    ws_.r2cPlan.execute();
    const std::int32_t L = ws_.g.L;
    const std::size_t stride = std::size_t(ws_.g.blockCols);
    const float scale = ws_.blockScale;
    const Complex* out = ws_.transformOut.get();
    float* plane = ws_.pilotPlane(slot, 0) + j;
    for (std::int32_t t = 0; t < L; ++t, plane += 2 * stride) {
        plane[0] = scale * out[t][0];
        plane[stride] = scale * out[t][1];
    }
}

void SpectrumRings::processRow(std::int32_t i, std::int32_t slot)
{
    const std::int32_t blockCols = ws_.g.blockCols;
    for (std::int32_t j = 0; j < blockCols; ++j) {
        const std::size_t e = std::size_t(slot) * blockCols + j;
        computeBlockSpectrum(images_.noisy, i, j, ws_.noisyRing.get(), e);
        computePilotSpectrum(i, j, slot);
    }
}

void SpectrumRings::initialFill()
{
    const std::int32_t lastRow = ws_.g.M - ws_.g.P;
    for (std::int32_t i = 0; i < ws_.g.R && i <= lastRow; ++i)
        processRow(i, i);
    writeSlot_ = ws_.g.R;
}

void SpectrumRings::addRow(std::int32_t n)
{
    const std::int32_t row = n + ws_.g.R;
    if (row > ws_.g.M - ws_.g.P)
        return;
    processRow(row, writeSlot_);
    writeSlot_ = writeSlot_ == 2 * ws_.g.R ? 0 : writeSlot_ + 1;
}

} // namespace sorvik::detail
