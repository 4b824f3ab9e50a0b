#include "filter/group.h"

namespace sorvik::detail {

namespace {

// Coefficient t of every member, from noisyRing (spectrum by spectrum).
void gatherNoisy(const Workspace& ws, std::int32_t k, std::int32_t t)
{
    const std::int32_t K = ws.g.K;
    const std::size_t L = std::size_t(ws.g.L);
    const Complex* ring = ws.noisyRing.get();
    Complex* in = ws.transformIn.get();
    for (std::int32_t j = 0; j < k; ++j) {
        const Complex& source = ring[std::size_t(ws.matchPositions[K - 1 - j]) * L + t];
        in[j][0] = source[0];
        in[j][1] = source[1];
    }
}

// Coefficient t of every member, from the planar pilotRing.
void gatherPilot(const Workspace& ws, std::int32_t k, std::int32_t t)
{
    const std::int32_t K = ws.g.K;
    const std::int32_t blockCols = ws.g.blockCols;
    Complex* in = ws.transformIn.get();
    for (std::int32_t j = 0; j < k; ++j) {
        const std::int32_t p = ws.matchPositions[K - 1 - j];
        const std::int32_t slot = p / blockCols;
        const float* plane = ws.pilotPlane(slot, t) + (p - slot * blockCols);
        in[j][0] = plane[0];
        in[j][1] = plane[blockCols];
    }
}

// Transforms the staged column along the group into column t of `group`.
void transformColumn(const Workspace& ws, std::int32_t k, std::int32_t t, Complex* group)
{
    const Complex* out = ws.transformOut.get();
    ws.forwardPlans[k].execute();
    const float s = ws.dftScale[k];
    Complex* column = group + std::size_t(t) * k;
    for (std::int32_t j = 0; j < k; ++j) {
        column[j][0] = s * out[j][0];
        column[j][1] = s * out[j][1];
    }
}

void copySpectrum(const Complex* source, std::int32_t L, Complex* destination)
{
    for (std::int32_t t = 0; t < L; ++t) {
        destination[t][0] = source[t][0];
        destination[t][1] = source[t][1];
    }
}

} // namespace

void transformGroup(Workspace& ws, std::int32_t k)
{
    const std::int32_t L = ws.g.L;
    if (k == 1) {
        const std::size_t reference = std::size_t(ws.matchPositions[ws.g.K - 1]) * L;
        copySpectrum(ws.noisyRing.get() + reference, L, ws.noisyGroup.get());
        for (std::int32_t t = 0; t < L; ++t) {
            gatherPilot(ws, 1, t);
            copySpectrum(ws.transformIn.get(), 1, ws.pilotGroup.get() + t);
        }
        return;
    }
    for (std::int32_t t = 0; t < L; ++t) {
        gatherNoisy(ws, k, t);
        transformColumn(ws, k, t, ws.noisyGroup.get());
        gatherPilot(ws, k, t);
        transformColumn(ws, k, t, ws.pilotGroup.get());
    }
}

float shrinkGroup(Complex* noisyGroup, const Complex* pilotGroup, std::int32_t k, std::int32_t L,
                  float sigma)
{
    const float s2 = sigma * sigma;
    const std::size_t count = std::size_t(k) * std::size_t(L);
    float wienerSquareSum = 0.0f;
    for (std::size_t i = 0; i < count; ++i) {
        const float pr = pilotGroup[i][0];
        const float pi = pilotGroup[i][1];
        const float e = pr * pr + pi * pi;
        // One division, as written: e / (e + s2). Its reciprocal form would put
        // w one bit off 1 where sigma is 0.
        const float w = e / (e + s2);
        noisyGroup[i][0] = noisyGroup[i][0] * w;
        noisyGroup[i][1] = noisyGroup[i][1] * w;
        wienerSquareSum = wienerSquareSum + w * w;
    }
    return wienerSquareSum;
}

} // namespace sorvik::detail
