#include "bench/workload.h"

#include "frontend/noise.h"
#include "frontend/settings.h"

#include <png.h>

#include <cmath>
#include <cstring>
#include <stdexcept>
#include <utility>

namespace sorvik::bench {

Photo readPhoto(const std::string& dir, const std::string& name, std::optional<bool> colour)
{
    const std::string path = dir.empty() ? name : dir + "/" + name;
    png_image image;
    std::memset(&image, 0, sizeof image);
    image.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_file(&image, path.c_str()))
        throw std::runtime_error(path + ": " + image.message);
    const bool rgb = colour.value_or((image.format & PNG_FORMAT_FLAG_COLOR) != 0);
    image.format = rgb ? PNG_FORMAT_RGB : PNG_FORMAT_GRAY;
    std::vector<png_byte> interleaved(PNG_IMAGE_SIZE(image));
    if (!png_image_finish_read(&image, nullptr, interleaved.data(), 0, nullptr)) {
        png_image_free(&image);
        throw std::runtime_error(path + ": " + image.message);
    }
    Photo photo;
    photo.name = name;
    photo.rows = std::int32_t(image.height);
    photo.cols = std::int32_t(image.width);
    photo.channels = rgb ? 3 : 1;
    const std::size_t plane = std::size_t(photo.rows) * std::size_t(photo.cols);
    photo.pixels.resize(plane * std::size_t(photo.channels));
    for (std::int32_t i = 0; i < photo.rows; ++i)
        for (std::int32_t j = 0; j < photo.cols; ++j)
            for (int c = 0; c < photo.channels; ++c)
                photo.pixels[std::size_t(c) * plane + std::size_t(i) + std::size_t(j) * photo.rows] =
                    interleaved[(std::size_t(i) * photo.cols + j) * photo.channels + c] / 255.0;
    return photo;
}

GreyImage readPng(const std::string& path)
{
    Photo photo = readPhoto("", path, false);
    GreyImage grey;
    grey.rows = photo.rows;
    grey.cols = photo.cols;
    grey.pixels = std::move(photo.pixels);
    return grey;
}

double secondsSince(std::chrono::steady_clock::time_point start)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
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
