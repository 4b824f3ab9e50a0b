#include "bench/workload.h"

#include <png.h>

#include <cmath>
#include <cstring>
#include <random>
#include <stdexcept>

namespace sorvik::bench {

GreyImage readPng(const std::string& path)
{
    png_image image;
    std::memset(&image, 0, sizeof image);
    image.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_file(&image, path.c_str()))
        throw std::runtime_error(path + ": " + image.message);
    image.format = PNG_FORMAT_GRAY;
    std::vector<png_byte> rowMajor(PNG_IMAGE_SIZE(image));
    if (!png_image_finish_read(&image, nullptr, rowMajor.data(), 0, nullptr)) {
        png_image_free(&image);
        throw std::runtime_error(path + ": " + image.message);
    }
    GreyImage grey;
    grey.rows = std::int32_t(image.height);
    grey.cols = std::int32_t(image.width);
    grey.pixels.resize(rowMajor.size());
    for (std::int32_t i = 0; i < grey.rows; ++i)
        for (std::int32_t j = 0; j < grey.cols; ++j)
            grey.pixels[std::size_t(i) + std::size_t(j) * grey.rows] =
                rowMajor[std::size_t(i) * grey.cols + j] / 255.0;
    return grey;
}

namespace {

// Index into a source of `n` samples for position p of a mirror-tiled line.
std::int32_t mirrored(std::int32_t p, std::int32_t n)
{
    const std::int32_t period = p / n;
    const std::int32_t offset = p % n;
    return period % 2 == 0 ? offset : n - 1 - offset;
}

} // namespace

GreyImage deriveSquare(const GreyImage& source, std::int32_t size)
{
    GreyImage out;
    out.rows = out.cols = size;
    out.pixels.resize(std::size_t(size) * size);
    const std::int32_t top = source.rows > size ? (source.rows - size) / 2 : 0;
    const std::int32_t left = source.cols > size ? (source.cols - size) / 2 : 0;
    for (std::int32_t j = 0; j < size; ++j)
        for (std::int32_t i = 0; i < size; ++i) {
            const std::int32_t si = mirrored(top + i, source.rows);
            const std::int32_t sj = mirrored(left + j, source.cols);
            out.pixels[std::size_t(i) + std::size_t(j) * size] =
                source.pixels[std::size_t(si) + std::size_t(sj) * source.rows];
        }
    return out;
}

std::vector<double> addGaussianNoise(const std::vector<double>& clean, double sigma,
                                     std::uint32_t seed)
{
    std::mt19937 bits(seed);
    const auto uniform = [&bits] { return (double(bits()) + 0.5) / 4294967296.0; };
    const double twoPi = 6.283185307179586;
    std::vector<double> noisy(clean.size());
    for (std::size_t i = 0; i < clean.size(); i += 2) {
        const double radius = std::sqrt(-2.0 * std::log(uniform()));
        const double angle = twoPi * uniform();
        noisy[i] = clean[i] + sigma * radius * std::cos(angle);
        if (i + 1 < clean.size())
            noisy[i + 1] = clean[i + 1] + sigma * radius * std::sin(angle);
    }
    return noisy;
}

namespace {

// Modified Bessel function of the first kind, order 0, by its power series.
double besselI0(double x)
{
    double sum = 1.0, term = 1.0;
    for (int m = 1; m < 60; ++m) {
        term *= (x / (2.0 * m)) * (x / (2.0 * m));
        sum += term;
    }
    return sum;
}

} // namespace

std::vector<double> kaiserWindow2d(std::int32_t length, double beta)
{
    std::vector<double> line(std::size_t(length), 1.0);
    for (std::int32_t n = 0; n < length && length > 1; ++n) {
        const double ratio = 2.0 * n / (length - 1) - 1.0;
        line[std::size_t(n)] = besselI0(beta * std::sqrt(1.0 - ratio * ratio)) / besselI0(beta);
    }
    std::vector<double> window(std::size_t(length) * length);
    for (std::int32_t r = 0; r < length; ++r)
        for (std::int32_t c = 0; c < length; ++c)
            window[std::size_t(r) * length + c] = line[std::size_t(r)] * line[std::size_t(c)];
    return window;
}

Workload standardWorkload(const GreyImage& clean)
{
    constexpr double sigma = 25.0 / 255.0;
    constexpr std::uint32_t noiseSeed = 20240517;
    Workload w;
    w.params.rows = clean.rows;
    w.params.cols = clean.cols;
    w.params.blockSize = 8;
    w.params.step = 3;
    w.params.maxGroupSize = 32;
    w.params.searchRadius = 19;
    w.params.matchThreshold = 0.19685f;
    w.params.sigma = float(sigma);
    w.noisy = addGaussianNoise(clean.pixels, sigma, noiseSeed);
    w.pilot.assign(clean.pixels.begin(), clean.pixels.end());
    w.window = kaiserWindow2d(8, 2.0);
    return w;
}

} // namespace sorvik::bench
