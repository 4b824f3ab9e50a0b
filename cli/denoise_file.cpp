#include "cli/denoise_file.h"

#include "cli/denoise_stack.h"
#include "cli/denoise_streamed.h"
#include "cli/image_read.h"
#include "cli/image_write.h"
#include "cli/streaming.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace sorvik::cli {

namespace {

// Denoises one page in place: the colour planes change, alpha stays as it was.
void denoisePage(Picture& page, const std::string& what, const DenoiseCommand& given,
                 const WienerSettings& givenSettings, RunProgress& progress, const std::string& notePrefix)
{
    const int colours = page.colours();
    WienerSettings settings = givenSettings;
    const DenoiseCommand o = forColour(given, settings, colours);
    const std::size_t plane = page.plane();
    std::vector<double> colour;
    colour.reserve(plane * std::size_t(colours));
    for (int c = 0; c < page.channels; ++c)
        if (c != page.alpha)
            colour.insert(colour.end(), page.pixels.begin() + std::ptrdiff_t(c * plane),
                          page.pixels.begin() + std::ptrdiff_t((c + 1) * plane));

    DenoiseInput input;
    input.rows = page.rows;
    input.cols = page.cols;
    input.channels = colours;
    input.pixels = colour.data();
    input.sigma = o.sigma;
    applyNoise(o.request, input);
    try {
        if (isFloat(page.depth)) {
            input.range = o.rangeLow ? userDataRange(*o.rangeLow, *o.rangeHigh)
                                     : floatDataRange(colour.data(), page.rows, page.cols, colours);
        } else if (o.rangeLow) {
            throw UserError(what + " holds " + depthName(page.depth) +
                            " levels, which are scaled by their type's range; --range is for "
                            "float data");
        } else {
            input.range = integerRange(page.depth);
        }
    } catch (const NonFiniteValue& e) {
        throw UserError(nonFiniteMessage(what, e, colours > 1));
    } catch (const std::invalid_argument& e) {
        // Without --range the range came from the data (float values whose
        // span overflows), so the file is what the message names.
        throw UserError((o.rangeLow ? std::string("--range") : what) + ": " + e.what());
    }

    if (o.sigma)
        checkSigma(*o.sigma, input.range.sigmaToUnit(*o.sigma));
    if (!colour.empty()) {
        try {
            checkOffset(o.request, FrontEnd::tool, *std::max_element(colour.begin(), colour.end()));
        } catch (const std::invalid_argument& e) {
            throw UserError(what + ": " + e.what());
        }
    }

    sorvik::DenoiseOptions options = libraryOptions(o, settings);
    progress.colours = colours;
    options.progress = [&progress](DenoiseStage stage, int channel, std::int32_t done,
                                   std::int32_t total) { progress.report(stage, channel, done, total); };
    DenoiseResult result;
    try {
        result = denoise(input, options);
    } catch (const NonFiniteValue& e) {
        throw UserError(nonFiniteMessage(what, e, colours > 1));
    } catch (const std::invalid_argument& e) {
        throw UserError(what + ": " + noiseAdvice(e.what(), FrontEnd::tool));
    } catch (const std::runtime_error& e) {
        throw UserError(what + ": " + e.what() + ". Nothing was written.");
    }
    if (result.sigmaEstimated && !o.quiet)
        progress.bar->note(notePrefix + noiseNote(result.noise, result.sigma, page.depth));
    int k = 0;
    for (int c = 0; c < page.channels; ++c)
        if (c != page.alpha) {
            std::copy(result.pixels.begin() + std::ptrdiff_t(std::size_t(k) * plane),
                      result.pixels.begin() + std::ptrdiff_t(std::size_t(k + 1) * plane),
                      page.pixels.begin() + std::ptrdiff_t(std::size_t(c) * plane));
            ++k;
        }
}

} // namespace

void checkDepthChange(const Picture& page, const std::string& output, const DenoiseCommand& o)
{
    const PixelDepth to = outputDepth(output, o.depth ? *o.depth : page.depth);
    // Going through the 0..1 scale, signed levels would lose everything
    // below zero, and 32-bit ones the bits that 8 or 16 have no room for.
    const bool shortUnsigned = page.depth == PixelDepth::uint8 || page.depth == PixelDepth::uint16;
    if (to == page.depth || isFloat(page.depth) || shortUnsigned || isFloat(to))
        return;
    throw UserError(page.name + " holds " + depthName(page.depth) + " samples, which '" + output +
                    "' would store as " + depthName(to) +
                    "; write a .tif, or --depth float for float samples");
}

void checkValuesFit(const Picture& page, const std::string& output, const DenoiseCommand& o,
                    const std::string& what)
{
    const bool integerOutput = !isFloat(outputDepth(output, o.depth ? *o.depth : page.depth));
    const std::size_t plane = page.plane();
    if (page.alpha >= 0 && isFloat(page.depth))
        for (std::size_t p = 0; p < plane; ++p)
            checkAlpha(page.pixels[std::size_t(page.alpha) * plane + p], integerOutput, what,
                       std::int64_t(p % std::size_t(page.rows)),
                       std::int64_t(p / std::size_t(page.rows)));
    // Float data off the 0..1 scale has no integer levels to go to: written
    // to 8 or 16 bits it would come back saturated, every pixel, as success.
    if (!isFloat(page.depth) || !integerOutput)
        return;
    for (std::size_t i = 0; i < page.pixels.size(); ++i)
        // A value that is not finite is the denoiser's to report, with its position.
        if (int(i / plane) != page.alpha && std::isfinite(page.pixels[i]) &&
            (page.pixels[i] < 0.0 || page.pixels[i] > 1.0))
            throw UserError(what + " holds float values outside 0..1 (" +
                            formatNumber(page.pixels[i]) + "), which the integer samples of '" +
                            output + "' cannot hold; write a float TIFF (.tif) instead");
}

void denoiseFile(const std::string& input, const std::string& shownInput, const std::string& output,
                 const DenoiseCommand& given, const WienerSettings& givenSettings, RunProgress& progress,
                 const std::string& notePrefix)
{
    const std::vector<Picture> headers = readPictureHeaders(input, "noisy", given.maxPixels, shownInput);
    // A stack is of one kind; pages denoised one by one take their own
    // profile point (denoisePage, filterPage).
    WienerSettings settings = givenSettings;
    const bool together = given.frames && headers.size() > 1;
    const DenoiseCommand o = together ? forColour(given, settings, headers[0].colours()) : given;
    for (std::size_t k = 0; k < headers.size(); ++k) {
        checkBlockFits(headers[k], settings.blockSize,
                       "noisy image '" + shownInput + "'" +
                           (headers.size() > 1 ? ", page " + std::to_string(k + 1) + "," : ""));
        checkDepthChange(headers[k], output, o);
    }
    checkPictureOutput(output, headers[0], headers.size(),
                       outputDepth(output, o.depth ? *o.depth : headers[0].depth), o.quiet);
    const std::uint64_t resident = residentBytes();
    const std::string what = "noisy image '" + shownInput + "'";
    if (together && !stackFitsInMemory(headers, what, o, settings, resident)) {
        checkStackFits(headers, what, o, settings, resident);
        denoisePagesStreamed(input, output, headers, what, o, settings, progress, notePrefix, resident);
        return;
    }
    WienerSettings colourSettings = settings;
    const sorvik::DenoiseOptions colourOptions = libraryOptions(forColour(o, colourSettings, 3), colourSettings);
    if (!together &&
        inMemoryBytes(headers, libraryOptions(o, settings), !o.sigma, &colourOptions) + resident > o.memory) {
        denoiseStreamed(input, output, headers, o, settings, progress, notePrefix, resident);
        return;
    }
    std::vector<Picture> pages = readPictures(input, "noisy", o.maxPixels, shownInput);
    for (std::size_t k = 0; k < pages.size(); ++k)
        checkValuesFit(pages[k], output, o,
                       what + (pages.size() > 1 ? ", page " + std::to_string(k + 1) : ""));
    progress.pages = together ? 1 : pages.size();
    if (together)
        denoisePagesTogether(pages, what, o, settings, progress, notePrefix);
    for (std::size_t k = 0; k < pages.size() && !together; ++k) {
        progress.page = k;
        const bool several = pages.size() > 1;
        denoisePage(pages[k], several ? what + ", page " + std::to_string(k + 1) : what, o, settings,
                    progress, notePrefix + (several ? "page " + std::to_string(k + 1) + ": " : ""));
    }
    OutputSet outputs;
    outputs.addPictures(output, pages, o.depth);
    outputs.commit();
}

} // namespace sorvik::cli
