// Opponent colour: one luminance and two colour differences, orthonormal so
// that white noise of sigma in R, G and B is white noise of sigma in Y, U, V.
#include <sorvik/denoise.h>

#include <cmath>
#include <cstddef>
#include <stdexcept>
#include <string>

namespace sorvik {
namespace {

const double sqrt2 = std::sqrt(2.0);
const double sqrt3 = std::sqrt(3.0);
const double sqrt6 = std::sqrt(6.0);

} // namespace

void rgbToOpponent(double* planes, std::size_t pixels)
{
    double* r = planes;
    double* g = planes + pixels;
    double* b = planes + 2 * pixels;
    for (std::size_t i = 0; i < pixels; ++i) {
        const double red = r[i], green = g[i], blue = b[i];
        r[i] = (red + green + blue) / sqrt3;
        g[i] = (red - blue) / sqrt2;
        b[i] = (red - 2.0 * green + blue) / sqrt6;
    }
}

void opponentToRgb(double* planes, std::size_t pixels)
{
    double* y = planes;
    double* u = planes + pixels;
    double* v = planes + 2 * pixels;
    for (std::size_t i = 0; i < pixels; ++i) {
        // The transform's matrix is orthonormal: its inverse is its transpose.
        const double lum = y[i] / sqrt3, redBlue = u[i] / sqrt2, green = v[i] / sqrt6;
        y[i] = lum + redBlue + green;
        u[i] = lum - 2.0 * green;
        v[i] = lum - redBlue + green;
    }
}

DataRange opponentRange(int channel)
{
    // Extremes over the RGB cube [0, 1]^3, reached at its corners.
    switch (channel) {
    case 0: return {0.0, sqrt3};
    case 1: return {-1.0 / sqrt2, 1.0 / sqrt2};
    case 2: return {-2.0 / sqrt6, 2.0 / sqrt6};
    default:
        throw std::invalid_argument("an opponent channel is 0, 1 or 2, not " +
                                    std::to_string(channel));
    }
}

} // namespace sorvik
