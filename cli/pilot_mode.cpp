#include "cli/pilot_mode.h"

#include "cli/checks.h"
#include "cli/image_read.h"
#include "cli/image_write.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>

namespace sorvik::cli {

namespace {

// A page's grey plane on the 0..1 scale, and its finite extremes.
struct GreyPage {
    Picture page; // the layout; its pixels are dropped once the plane is made
    std::vector<double> grey;
    double lowest = std::numeric_limits<double>::infinity();
    double highest = -std::numeric_limits<double>::infinity();
};

GreyPage readGrey(const std::string& path, const std::string& role, std::uint64_t maxPixels)
{
    std::vector<Picture> pages = readPictures(path, role, maxPixels);
    const std::string what = role + " image " + inQuotes(path);
    if (pages.size() > 1)
        throw UserError(what + " holds " + std::to_string(pages.size()) +
                        " pages; --pilot takes one page against one pilot. Split the pages, "
                        "or leave out --pilot to denoise them all");
    if (!isFloat(pages[0].depth) && pages[0].depth != PixelDepth::uint8 &&
        pages[0].depth != PixelDepth::uint16)
        throw UserError(what + " holds " + depthName(pages[0].depth) +
                        " samples; --pilot takes 8- and 16-bit and float images. Leave out "
                        "--pilot to denoise it in its own units");
    GreyPage out;
    out.grey = greyPlane(pages[0], what);
    out.page = std::move(pages[0]);
    out.page.pixels.clear();
    out.page.pixels.shrink_to_fit();
    for (double v : out.grey)
        if (std::isfinite(v)) {
            out.lowest = std::min(out.lowest, v);
            out.highest = std::max(out.highest, v);
        }
    return out;
}

// Float files carry no scale, and values far outside 0..1 were meant for
// another one (0..255, say); filtering them as 0..1 and clipping the result
// silently ruins the image. Noise can carry values past 0..1, by a few sigma.
void checkScale(const GreyPage& image, const std::string& role, const std::string& path,
                double margin)
{
    if (!isFloat(image.page.depth) || image.lowest > image.highest)
        return;
    if (image.lowest >= -margin && image.highest <= 1.0 + margin)
        return;
    // Float files hold single precision; quoted as such, 1.01 reads 1.01.
    auto shortest = [](double value) {
        char text[32];
        for (int digits = 1; digits <= 9; ++digits) {
            std::snprintf(text, sizeof text, "%.*g", digits, value);
            if (std::strtof(text, nullptr) == float(value))
                break;
        }
        return formatNumber(std::strtod(text, nullptr));
    };
    throw UserError(role + " image '" + path + "' holds values from " + shortest(image.lowest) +
                    " to " + shortest(image.highest) +
                    "; sorvik reads float images on the 0..1 scale" +
                    (margin > 0.0 ? " (noise may reach " + formatNumber(margin) + " beyond it)" : "") +
                    ". Scale the image to 0..1 first.");
}

// How far past 0..1 noise of this sigma plausibly reaches: eight standard
// deviations, which Gaussian noise passes about once in 10^15 pixels.
double noiseMargin(double sigma) { return 8.0 * sigma; }

void checkPixelsFinite(const GreyPage& image, const std::string& role, const std::string& path)
{
    const std::int64_t bad = firstNonFinite(image.grey.data(), image.grey.size());
    if (bad >= 0) {
        const std::int64_t rows = image.page.rows;
        throw UserError(role + " image '" + path + "' has a pixel that is not a finite number (row " +
                        std::to_string(bad % rows) + ", column " + std::to_string(bad / rows) + ")");
    }
}

std::vector<float> wienerFilter(const FilterSetup& setup, const double* noisy, const float* pilot,
                                int threads, bool show)
{
    std::vector<float> estimate(std::size_t(setup.params.rows) * std::size_t(setup.params.cols));
    ProgressBar bar("wiener  ", show);
    FilterOptions options;
    options.threads = threads;
    options.progress = &ProgressBar::report;
    options.progressContext = &bar;
    const FilterStatus status =
        runFilter(setup.params, noisy, pilot, setup.window.data(), estimate.data(), options);
    bar.finish();
    if (status != FilterStatus::ok)
        throw UserError("the filter failed: " + filterFailure(status));
    try {
        checkEstimateFinite(estimate.data(), estimate.size(), setup.params.rows);
    } catch (const std::runtime_error& e) {
        throw UserError(std::string(e.what()) + ". Nothing was written.");
    }
    return estimate;
}

} // namespace

// The Wiener stage alone, with the user's pilot: grey images only.
void denoiseWithPilot(const DenoiseCommand& o, const std::string& noisyPath, WienerSettings settings)
{
    if (!o.sigma)
        throw UserError("--pilot needs --sigma: the noise level is estimated only without a pilot");
    const GreyPage noisy = readGrey(noisyPath, "noisy", o.maxPixels);
    checkBlockFits(noisy.page, settings.blockSize, "noisy image " + inQuotes(noisyPath));
    checkPixelsFinite(noisy, "noisy", noisyPath);
    const double sigma = *o.sigma / depthScale(noisy.page.depth);
    checkSigma(*o.sigma, sigma);
    checkScale(noisy, "noisy", noisyPath, noiseMargin(sigma));
    const std::int32_t rows = noisy.page.rows, cols = noisy.page.cols;

    const GreyPage pilotImage = readGrey(o.pilotPath, "pilot", o.maxPixels);
    if (pilotImage.page.rows != rows || pilotImage.page.cols != cols)
        throw UserError("the pilot image '" + o.pilotPath + "' is " +
                        std::to_string(pilotImage.page.cols) + " x " +
                        std::to_string(pilotImage.page.rows) + " pixels but the noisy image '" +
                        noisyPath + "' is " + std::to_string(cols) + " x " + std::to_string(rows) +
                        " (width x height); they must be the same size");
    checkPixelsFinite(pilotImage, "pilot", o.pilotPath);

    settings.sigma = sigma;
    const FilterSetup setup = prepare(settings, rows, cols);
    // The estimate is grey on the 0..1 scale, in the noisy page's place.
    Picture estimate = noisy.page;
    estimate.channels = 1;
    estimate.alpha = -1;
    estimate.associatedAlpha = false;
    estimate.depth = PixelDepth::float32;
    const PixelDepth depth = outputDepth(o.outputPath, o.depth ? *o.depth : noisy.page.depth);
    checkPictureOutput(o.outputPath, estimate, 1, depth, o.quiet);

    // Pilot images go to the filter in single precision.
    const std::vector<float> pilot(pilotImage.grey.begin(), pilotImage.grey.end());
    const std::vector<float> result =
        wienerFilter(setup, noisy.grey.data(), pilot.data(), o.threads,
                     !o.quiet && (o.progress || progressWanted(false)));
    estimate.pixels.assign(result.begin(), result.end());
    OutputSet outputs;
    outputs.addPictures(o.outputPath, {estimate}, depth);
    outputs.commit();
}

} // namespace sorvik::cli
