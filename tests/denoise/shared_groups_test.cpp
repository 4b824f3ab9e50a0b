// The colour denoiser's Wiener stage with groups shared across the opponent
// channels, against the same pipeline filtering each channel on its own.
#include <sorvik/denoise.h>

#include <frontend/settings.h>
#include <pilot/basic_estimate.h>
#include <sorvik/sorvik.h>

#include "test_images.h"

#ifdef SORVIK_TEST_DATA_DIR
#include <png.h>
#endif

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <iostream>
#include <string>
#include <vector>

namespace sorvik {
namespace {

struct ColourImage {
    std::int32_t rows = 0, cols = 0;
    std::vector<double> pixels; // planar RGB, column-major, 0..255
};

#ifdef SORVIK_TEST_DATA_DIR
// A rows x cols crop of a colour PNG, from its top left corner plus (top, left).
ColourImage readCrop(const std::string& path, std::int32_t top, std::int32_t left,
                     std::int32_t rows, std::int32_t cols)
{
    png_image image;
    std::memset(&image, 0, sizeof image);
    image.version = PNG_IMAGE_VERSION;
    ColourImage out;
    if (!png_image_begin_read_from_file(&image, path.c_str()))
        return out;
    image.format = PNG_FORMAT_RGB;
    std::vector<png_byte> interleaved(PNG_IMAGE_SIZE(image));
    if (!png_image_finish_read(&image, nullptr, interleaved.data(), 0, nullptr)) {
        png_image_free(&image);
        return out;
    }
    out.rows = std::min<std::int32_t>(rows, std::int32_t(image.height) - top);
    out.cols = std::min<std::int32_t>(cols, std::int32_t(image.width) - left);
    const std::size_t plane = std::size_t(out.rows) * std::size_t(out.cols);
    out.pixels.resize(3 * plane);
    for (std::int32_t i = 0; i < out.rows; ++i)
        for (std::int32_t j = 0; j < out.cols; ++j)
            for (int c = 0; c < 3; ++c)
                out.pixels[std::size_t(c) * plane + std::size_t(i) + std::size_t(j) * out.rows] =
                    interleaved[(std::size_t(i + top) * image.width + std::size_t(j + left)) * 3 + c];
    return out;
}
#endif

// Noise at sigma levels, clipped to 0..255 as an 8-bit image would hold it.
std::vector<double> noisyCopy(const std::vector<double>& clean, double sigma, std::uint32_t seed)
{
    std::vector<double> noisy = clean;
    testing::addNoise(noisy, sigma, seed);
    for (double& v : noisy)
        v = std::clamp(v, 0.0, 255.0);
    return noisy;
}

double psnr(const std::vector<double>& clean, const std::vector<double>& image)
{
    double sum = 0.0;
    for (std::size_t i = 0; i < clean.size(); ++i)
        sum += (clean[i] - image[i]) * (clean[i] - image[i]);
    return 10.0 * std::log10(255.0 * 255.0 * double(clean.size()) / sum);
}

// denoise()'s steps for 0..255 RGB, but with runFilter on each opponent
// channel, matched on that channel's own pilot.
std::vector<double> eachChannelOnItsOwn(const ColourImage& image, const std::vector<double>& noisy,
                                        double sigma)
{
    const std::size_t plane = std::size_t(image.rows) * std::size_t(image.cols);
    std::vector<double> unit(noisy.size());
    for (std::size_t i = 0; i < noisy.size(); ++i)
        unit[i] = uint8Range.toUnit(noisy[i]);
    rgbToOpponent(unit.data(), plane);
    std::vector<float> pilot(plane), estimate(plane);
    for (int c = 0; c < 3; ++c) {
        const DataRange range = opponentRange(c);
        double* p = unit.data() + std::size_t(c) * plane;
        for (std::size_t i = 0; i < plane; ++i)
            p[i] = range.toUnit(p[i]);
        WienerSettings settings;
        settings.sigma = range.sigmaToUnit(uint8Range.sigmaToUnit(sigma));
        basicEstimate(image.rows, image.cols, p, settings.sigma, pilot.data());
        const FilterSetup setup = prepareFilter(settings, image.rows, image.cols);
        EXPECT_EQ(runFilter(setup.params, p, pilot.data(), setup.window.data(), estimate.data()),
                  FilterStatus::ok);
        for (std::size_t i = 0; i < plane; ++i)
            p[i] = range.fromUnit(double(estimate[i]));
    }
    opponentToRgb(unit.data(), plane);
    for (double& v : unit)
        v = uint8Range.fromUnit(v);
    return unit;
}

ColourImage testImage()
{
#ifdef SORVIK_TEST_DATA_DIR
    // The face and the flag: skin, fabric and edges in strong colours.
    ColourImage crop = readCrop(std::string(SORVIK_TEST_DATA_DIR) + "/astronaut.png", 60, 150, 112, 128);
    if (!crop.pixels.empty())
        return crop;
#endif
    ColourImage synthetic;
    synthetic.rows = 64;
    synthetic.cols = 72;
    const std::vector<double> shapes = testing::shapesImage(synthetic.rows, synthetic.cols);
    const std::vector<double> smooth = testing::smoothImage(synthetic.rows, synthetic.cols);
    for (const auto* source : {&shapes, &smooth})
        for (double v : *source)
            synthetic.pixels.push_back(255.0 * v);
    for (std::size_t i = 0; i < shapes.size(); ++i)
        synthetic.pixels.push_back(255.0 * (0.5 * shapes[i] + 0.4 * smooth[i]));
    return synthetic;
}

// Groups matched on the luminance, the least noisy channel relative to its
// content, serve the colour differences at least as well as their own; and
// the shared walk gives the same bits on two threads as on one.
TEST(SharedGroups, ColourDenoiseIsAtLeastAsGoodAsEachChannelOnItsOwn)
{
    const ColourImage image = testImage();
    const double sigma = 25.0;
    const std::vector<double> noisy = noisyCopy(image.pixels, sigma, 25);
    DenoiseInput in;
    in.rows = image.rows;
    in.cols = image.cols;
    in.channels = 3;
    in.pixels = noisy.data();
    in.range = uint8Range;
    in.sigma = sigma;
    DenoiseOptions options;
    const DenoiseResult shared = denoise(in, options);
    options.threads = 2;
    EXPECT_EQ(denoise(in, options).pixels, shared.pixels);

    const double sharedPsnr = psnr(image.pixels, shared.pixels);
    const double ownPsnr = psnr(image.pixels, eachChannelOnItsOwn(image, noisy, sigma));
    std::cout << "shared groups " << sharedPsnr << " dB, each channel on its own " << ownPsnr
              << " dB (" << image.rows << " x " << image.cols << ")\n";
    EXPECT_GE(sharedPsnr, ownPsnr);
    EXPECT_GT(sharedPsnr, psnr(image.pixels, noisy) + 6.0);
}

} // namespace
} // namespace sorvik
