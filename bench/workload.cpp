#include "bench/workload.h"

#include "frontend/noise.h"
#include "frontend/settings.h"

#include <png.h>

#include <cmath>
#include <cstring>
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
                                     std::uint64_t seed)
{
    const std::vector<double> noise = gaussianNoise(clean.size(), seed);
    std::vector<double> noisy(clean.size());
    for (std::size_t i = 0; i < clean.size(); ++i)
        noisy[i] = clean[i] + sigma * noise[i];
    return noisy;
}

Workload standardWorkload(const GreyImage& clean)
{
    constexpr double sigma = 25.0 / 255.0;
    constexpr std::uint64_t noiseSeed = 20240517;
    Workload w;
    w.params.rows = clean.rows;
    w.params.cols = clean.cols;
    w.params.blockSize = defaultBlockSize;
    w.params.step = defaultStep;
    w.params.maxGroupSize = defaultMaxGroupSize;
    w.params.searchRadius = defaultSearchRadius;
    w.params.matchThreshold = float(defaultMatchThreshold);
    w.params.sigma = float(sigma);
    w.noisy = addGaussianNoise(clean.pixels, sigma, noiseSeed);
    w.pilot.assign(clean.pixels.begin(), clean.pixels.end());
    w.window = kaiserWindow2d(defaultBlockSize, defaultKaiserBeta);
    return w;
}

} // namespace sorvik::bench
