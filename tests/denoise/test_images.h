// Small synthetic images and fixed-seed noise shared by the denoise tests.
#ifndef SORVIK_TESTS_DENOISE_TEST_IMAGES_H
#define SORVIK_TESTS_DENOISE_TEST_IMAGES_H

#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

namespace sorvik::testing {

// Gaussian noise from a Mersenne twister through Box-Muller, so that every
// platform draws the same values.
inline void addNoise(std::vector<double>& pixels, double sigma, std::uint32_t seed)
{
    std::mt19937 bits(seed);
    const auto uniform = [&bits] { return (double(bits()) + 0.5) / 4294967296.0; };
    for (double& p : pixels) {
        const double radius = std::sqrt(-2.0 * std::log(uniform()));
        p += sigma * radius * std::cos(6.283185307179586 * uniform());
    }
}

// Smooth: a ramp with a slow wave on it, values in [0.1, 0.9].
inline std::vector<double> smoothImage(int rows, int cols)
{
    std::vector<double> p(std::size_t(rows) * cols);
    for (int j = 0; j < cols; ++j)
        for (int i = 0; i < rows; ++i)
            p[std::size_t(j) * rows + i] =
                0.1 + 0.5 * (i + j) / double(rows + cols) +
                0.3 * (0.5 + 0.5 * std::sin(0.05 * i) * std::cos(0.04 * j));
    return p;
}

// Piecewise constant: a few rectangles and a disc of different levels.
inline std::vector<double> shapesImage(int rows, int cols)
{
    std::vector<double> p(std::size_t(rows) * cols);
    for (int j = 0; j < cols; ++j)
        for (int i = 0; i < rows; ++i) {
            double v = 0.2;
            if (i < rows / 2 && j < cols / 3)
                v = 0.7;
            if (i > rows / 3 && j > cols / 2)
                v = 0.45;
            const double di = i - 0.6 * rows, dj = j - 0.3 * cols;
            if (di * di + dj * dj < 0.04 * rows * cols)
                v = 0.9;
            p[std::size_t(j) * rows + i] = v;
        }
    return p;
}

} // namespace sorvik::testing

#endif
