#include "cli/denoise_stack.h"

#include "cli/denoise_streamed.h"
#include "cli/streaming.h"
#include "frontend/first_stage.h"

#include <sorvik/stack.h>

#include <limits>
#include <stdexcept>

namespace sorvik::cli {

namespace {

std::string pageName(std::size_t k) { return "page " + std::to_string(k + 1); }

// The page's settings (its window, read from --window) with the search
// areas, group size and step a stack's request resolves to.
DenoiseOptions stackOptions(const DenoiseCommand& o, const WienerSettings& settings)
{
    WienerSettings s = settings;
    const WienerSettings resolved = o.framesRequest.wiener();
    s.step = resolved.step;
    s.searchRadius = resolved.searchRadius;
    s.maxGroupSize = resolved.maxGroupSize;
    DenoiseOptions options = libraryOptions(o, s);
    applyFirstStage(o.framesRequest, options);
    return options;
}

void checkSameShape(const std::vector<Picture>& pages, const std::string& what)
{
    const Picture& first = pages[0];
    for (std::size_t k = 1; k < pages.size(); ++k) {
        const Picture& p = pages[k];
        const std::string where = what + ", " + pageName(k) + ", ";
        if (p.rows != first.rows || p.cols != first.cols)
            throw UserError(where + "is " + std::to_string(p.rows) + " x " + std::to_string(p.cols) +
                            " pixels, page 1 " + std::to_string(first.rows) + " x " +
                            std::to_string(first.cols) + ": --frames needs frames of one size");
        if (p.depth != first.depth)
            throw UserError(where + "holds " + depthName(p.depth) + " samples, page 1 " +
                            depthName(first.depth) + ": --frames needs frames of one sample type");
        if (p.channels != first.channels || p.alpha != first.alpha)
            throw UserError(where + "has " + std::to_string(p.channels) + " channels, page 1 " +
                            std::to_string(first.channels) +
                            ": --frames needs frames of the same channels");
    }
}

} // namespace

void checkStackFits(const std::vector<Picture>& headers, const std::string& what,
                    const DenoiseCommand& o, const WienerSettings& settings,
                    std::uint64_t resident)
{
    checkSameShape(headers, what);
    const std::uint64_t bytes = stackInMemoryBytes(headers, stackOptions(o, settings),
                                                   int(o.request.temporalRadius), !o.sigma);
    if (bytes <= o.memory && resident <= o.memory - bytes)
        return;
    const Picture& first = headers[0];
    const std::string given = !o.memoryText.empty()           ? o.memoryText
                              : o.memory % (std::uint64_t(1) << 20) == 0 ? memoryText(o.memory)
                                                                          : std::to_string(o.memory);
    const std::string stack = what + " (" + std::to_string(headers.size()) + " frames of " +
                              std::to_string(first.cols) + " x " + std::to_string(first.rows) +
                              " pixels, " + std::to_string(first.channels) +
                              (first.channels == 1 ? " channel" : " channels") + ")";
    if (bytes > std::numeric_limits<std::uint64_t>::max() - resident)
        throw UsageError("--memory " + given + " is too small for " + stack +
                         ": --frames holds the whole stack in memory, more than can be counted");
    throw UsageError("--memory " + given + " is too small for " + stack +
                     ": --frames holds the whole stack in memory, and the least budget that "
                     "holds it is --memory " +
                     memoryText(bytes + resident));
}

void denoisePagesTogether(std::vector<Picture>& pages, const std::string& what,
                          const DenoiseCommand& o, const WienerSettings& settings,
                          RunProgress& progress, const std::string& notePrefix)
{
    checkSameShape(pages, what);
    const Picture& first = pages[0];
    const int colours = first.colours();
    const std::size_t plane = first.plane();
    std::vector<double> pixels;
    pixels.reserve(plane * std::size_t(colours) * pages.size());
    for (const Picture& page : pages)
        for (int c = 0; c < page.channels; ++c)
            if (c != page.alpha)
                pixels.insert(pixels.end(), page.pixels.begin() + std::ptrdiff_t(c * plane),
                              page.pixels.begin() + std::ptrdiff_t((c + 1) * plane));

    const Request& r = o.request;
    if (r.gain || r.readNoise || r.offset || r.noise == std::optional<std::string>("poisson-gaussian"))
        throw UserError("--frames denoises under the gaussian noise model only: leave --noise "
                        "poisson-gaussian, --gain, --read-noise and --offset out");
    StackInput input;
    input.rows = first.rows;
    input.cols = first.cols;
    input.channels = colours;
    input.frames = std::int32_t(pages.size());
    input.pixels = pixels.data();
    input.sigma = o.sigma;
    const std::int32_t planes = input.frames * colours;
    try {
        if (isFloat(first.depth))
            input.range = o.rangeLow ? userDataRange(*o.rangeLow, *o.rangeHigh)
                                     : floatDataRange(pixels.data(), first.rows, first.cols, planes);
        else if (o.rangeLow)
            throw UserError(what + " holds " + depthName(first.depth) +
                            " levels, which are scaled by their type's range; --range is for float data");
        else
            input.range = integerRange(first.depth);
    } catch (const NonFiniteValue& e) {
        throw UserError(pageName(std::size_t(e.channel / colours)) + " of " +
                        nonFiniteMessage(what, NonFiniteValue(e.row, e.col, e.channel % colours),
                                         colours > 1));
    } catch (const std::invalid_argument& e) {
        throw UserError((o.rangeLow ? std::string("--range") : what) + ": " + e.what());
    }
    if (o.sigma)
        checkSigma(*o.sigma, input.range.sigmaToUnit(*o.sigma));

    StackOptions stack;
    stack.temporalRadius = int(r.temporalRadius);
    stack.predictiveRadius = int(r.predictiveRadius);
    progress.colours = colours;
    StackResult result;
    try {
        result = denoiseStack(input, stackOptions(o, settings), stack);
    } catch (const std::invalid_argument& e) {
        throw UserError(what + ": " + e.what());
    } catch (const std::runtime_error& e) {
        throw UserError(what + ": " + e.what() + ". Nothing was written.");
    }
    if (result.sigmaEstimated && !o.quiet) {
        NoiseModel model;
        model.sigma = model.readNoise = result.sigma;
        progress.bar->note(notePrefix + noiseNote(model, result.sigma, first.depth) +
                           " (all frames)");
    }
    std::size_t at = 0;
    for (Picture& page : pages)
        for (int c = 0; c < page.channels; ++c)
            if (c != page.alpha) {
                std::copy(result.pixels.begin() + std::ptrdiff_t(at),
                          result.pixels.begin() + std::ptrdiff_t(at + plane),
                          page.pixels.begin() + std::ptrdiff_t(std::size_t(c) * plane));
                at += plane;
            }
}

} // namespace sorvik::cli
