#include "cli/denoise_stack.h"

#include "cli/denoise_file.h"
#include "cli/denoise_streamed.h"
#include "cli/image_read.h"
#include "cli/image_write.h"
#include "cli/streaming.h"
#include "frontend/first_stage.h"

#include <sorvik/stack.h>

#include <sorvik/noise_chunks.h>

#include <algorithm>
#include <cstdio>
#include <iterator>
#include <limits>
#include <map>
#include <stdexcept>

namespace sorvik::cli {

namespace {

// Whether the stack may be filtered as counts (stabilised): the automatic
// choice may find them, or the poisson-gaussian model is asked for.
bool mayBeCounts(const DenoiseCommand& o)
{
    return !o.sigma && o.request.noise != std::optional<std::string>("gaussian");
}

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

bool stackFitsInMemory(const std::vector<Picture>& headers, const std::string& what,
                       const DenoiseCommand& o, const WienerSettings& settings,
                       std::uint64_t resident)
{
    checkSameShape(headers, what);
    const std::uint64_t bytes = stackInMemoryBytes(headers, stackOptions(o, settings),
                                                   int(o.request.temporalRadius), !o.sigma,
                                                   mayBeCounts(o));
    return bytes <= o.memory && resident <= o.memory - bytes;
}

namespace {

std::string budgetGiven(const DenoiseCommand& o)
{
    return !o.memoryText.empty()                           ? o.memoryText
           : o.memory % (std::uint64_t(1) << 20) == 0 ? memoryText(o.memory)
                                                           : std::to_string(o.memory);
}

// Frames a window holds: `core` frames written from it, and the frames
// around them that decide them.
std::int32_t windowOf(std::int32_t core, std::int32_t frames, int temporalRadius)
{
    return std::int32_t(std::min<std::int64_t>(frames, std::int64_t(core) + 2 * stackContext(temporalRadius)));
}

// The most the streamed stack holds with cores of `core` frames: a window's
// pages and the in-memory call's peak on them, the cores' results until
// they are written; or, before that, the estimate's patches of every frame
// beside one page.
std::uint64_t streamedStackBytes(const std::vector<Picture>& headers, std::int32_t core,
                                 const DenoiseCommand& o, const WienerSettings& settings)
{
    const Picture& first = headers[0];
    const std::int32_t frames = std::int32_t(headers.size());
    const int radius = int(o.request.temporalRadius);
    const std::vector<Picture> window(std::size_t(windowOf(core, frames, radius)), first);
    const std::uint64_t page = std::uint64_t(first.plane()) * std::uint64_t(first.channels) * sizeof(double);
    const std::uint64_t filtering =
        stackInMemoryBytes(window, stackOptions(o, settings), radius, false, mayBeCounts(o)) +
        std::uint64_t(core) * page;
    const std::uint64_t estimating =
        o.sigma ? 0
                : 2 * NoiseEstimator::memoryBound(first.rows, first.cols, first.colours() * frames) +
                      2 * page;
    return std::max(filtering, estimating);
}

// The colour planes of a page, frame-major as a stack holds them.
void appendColours(const Picture& page, std::vector<double>& to)
{
    const std::size_t plane = page.plane();
    for (int c = 0; c < page.channels; ++c)
        if (c != page.alpha)
            to.insert(to.end(), page.pixels.begin() + std::ptrdiff_t(std::size_t(c) * plane),
                      page.pixels.begin() + std::ptrdiff_t(std::size_t(c + 1) * plane));
}

} // namespace

void checkStackFits(const std::vector<Picture>& headers, const std::string& what,
                    const DenoiseCommand& o, const WienerSettings& settings,
                    std::uint64_t resident)
{
    checkSameShape(headers, what);
    const std::uint64_t bytes = streamedStackBytes(headers, 1, o, settings);
    if (bytes <= o.memory && resident <= o.memory - bytes)
        return;
    const Picture& first = headers[0];
    const std::string stack = what + " (" + std::to_string(headers.size()) + " frames of " +
                              std::to_string(first.cols) + " x " + std::to_string(first.rows) +
                              " pixels, " + std::to_string(first.channels) +
                              (first.channels == 1 ? " channel" : " channels") + ")";
    const std::string window =
        ": --frames holds at least " +
        std::to_string(windowOf(1, std::int32_t(headers.size()), int(o.request.temporalRadius))) +
        " frames at once (one frame and those within 4 temporal radii of it)";
    if (bytes > std::numeric_limits<std::uint64_t>::max() - resident)
        throw UsageError("--memory " + budgetGiven(o) + " is too small for " + stack + window +
                         ", more than can be counted");
    throw UsageError("--memory " + budgetGiven(o) + " is too small for " + stack + window +
                     ", and the least budget that holds it is --memory " + memoryText(bytes + resident));
}

namespace {

// Every value of `frames` frames from page `firstPage` on is finite, or the
// first that is not is named.
void checkFramesFinite(const double* pixels, const Picture& first, std::int32_t frames,
                       std::size_t firstPage, const std::string& what)
{
    const int colours = first.colours();
    try {
        checkFinite(pixels, first.rows, first.cols, frames * colours);
    } catch (const NonFiniteValue& e) {
        throw UserError(pageName(firstPage + std::size_t(e.channel / colours)) + " of " +
                        nonFiniteMessage(what, NonFiniteValue(e.row, e.col, e.channel % colours),
                                         colours > 1));
    }
}

// The stack's range: the sample type's, or for float data --range or that
// of the `planes` planes of rows x cols at `pixels` (every frame's, or
// their extremes, all finite); `whole` names the stack in messages.
DataRange stackRange(const Picture& first, const DenoiseCommand& o, const std::string& what,
                     const double* pixels, std::int32_t rows, std::int32_t cols, int planes,
                     const std::string& whole)
{
    try {
        if (!isFloat(first.depth)) {
            if (o.rangeLow)
                throw UserError(what + " holds " + depthName(first.depth) +
                                " levels, which are scaled by their type's range; --range is for float data");
            return integerRange(first.depth);
        }
        if (o.rangeLow)
            return userDataRange(*o.rangeLow, *o.rangeHigh);
        return floatDataRange(pixels, rows, cols, planes);
    } catch (const std::invalid_argument& e) {
        throw UserError((o.rangeLow ? std::string("--range") : whole) + ": " + e.what());
    }
}

StackOptions frameOptions(const DenoiseCommand& o)
{
    StackOptions stack;
    stack.temporalRadius = int(o.request.temporalRadius);
    stack.predictiveRadius = int(o.request.predictiveRadius);
    return stack;
}

StackResult filterStack(const StackInput& input, const DenoiseCommand& o,
                        const WienerSettings& settings, const std::string& what)
{
    try {
        return denoiseStack(input, stackOptions(o, settings), frameOptions(o));
    } catch (const std::invalid_argument& e) {
        throw UserError(what + ": " + e.what());
    } catch (const std::runtime_error& e) {
        throw UserError(what + ": " + e.what() + ". Nothing was written.");
    }
}

void noteModel(const NoiseModel& model, const Picture& first, const DenoiseCommand& o,
               RunProgress& progress, const std::string& notePrefix)
{
    if (!o.quiet)
        progress.bar->note(notePrefix + noiseNote(model, model.sigma, first.depth) + " (all frames)");
}

// Frame f's colour planes of a stack's result back into its page.
void putColours(const std::vector<double>& result, std::size_t at, Picture& page)
{
    const std::size_t plane = page.plane();
    for (int c = 0; c < page.channels; ++c)
        if (c != page.alpha) {
            std::copy(result.begin() + std::ptrdiff_t(at), result.begin() + std::ptrdiff_t(at + plane),
                      page.pixels.begin() + std::ptrdiff_t(std::size_t(c) * plane));
            at += plane;
        }
}

} // namespace

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
        appendColours(page, pixels);

    StackInput input;
    input.rows = first.rows;
    input.cols = first.cols;
    input.channels = colours;
    input.frames = std::int32_t(pages.size());
    input.pixels = pixels.data();
    input.sigma = o.sigma;
    applyNoise(o.request, input);
    if (isFloat(first.depth) && !o.rangeLow)
        checkFramesFinite(pixels.data(), first, input.frames, 0, what);
    input.range = stackRange(first, o, what, pixels.data(), first.rows, first.cols,
                             input.frames * colours, what);
    if (o.sigma)
        checkSigma(*o.sigma, input.range.sigmaToUnit(*o.sigma));
    progress.colours = colours;
    const StackResult result = filterStack(input, o, settings, what);
    if (result.sigmaEstimated)
        noteModel(result.noise, first, o, progress, notePrefix);
    for (std::size_t k = 0; k < pages.size(); ++k)
        putColours(result.pixels, k * plane * std::size_t(colours), pages[k]);
}

void denoisePagesStreamed(const std::string& input, const std::string& output,
                          const std::vector<Picture>& headers, const std::string& what,
                          const DenoiseCommand& o, const WienerSettings& settings,
                          RunProgress& progress, const std::string& notePrefix,
                          std::uint64_t resident)
{
    const Picture& first = headers[0];
    const int colours = first.colours();
    const std::int32_t frames = std::int32_t(headers.size());
    const std::size_t framePlanes = first.plane() * std::size_t(colours);
    const int radius = int(o.request.temporalRadius);
    // The widest cores that fit: every window repeats the frames around its
    // core that decide it, so fewer, wider windows repeat less.
    std::int32_t core = 1;
    while (core < frames && streamedStackBytes(headers, core + 1, o, settings) + resident <= o.memory)
        ++core;

    // First pass: the range of float data and the noise level, each the
    // whole stack's, from one frame at a time.
    StackInput whole;
    whole.rows = first.rows;
    whole.cols = first.cols;
    whole.channels = colours;
    whole.sigma = o.sigma;
    const bool floatExtremes = isFloat(first.depth) && !o.rangeLow;
    double extremes[2] = {0.0, 0.0};
    NoisePatches patches;
    if (floatExtremes || !o.sigma) {
        std::vector<double> frame;
        for (std::int32_t k = 0; k < frames; ++k) {
            const Picture page = readPicture(input, headers[std::size_t(k)], int(k));
            checkValuesFit(page, output, o, what + ", " + pageName(std::size_t(k)));
            frame.clear();
            appendColours(page, frame);
            if (floatExtremes) {
                checkFramesFinite(frame.data(), first, 1, std::size_t(k), what);
                const auto [low, high] = std::minmax_element(frame.begin(), frame.end());
                extremes[0] = k == 0 ? *low : std::min(extremes[0], *low);
                extremes[1] = k == 0 ? *high : std::max(extremes[1], *high);
            }
            if (!o.sigma)
                mergeNoisePatches(patches, noiseFramePatches(frame.data(), first.rows, first.cols,
                                                             colours, frames, k));
        }
    }
    whole.range = stackRange(first, o, what, extremes, 1, 2, floatExtremes ? 1 : 0, what);
    if (o.sigma) {
        checkSigma(*o.sigma, whole.range.sigmaToUnit(*o.sigma));
    } else {
        // The model of every frame (the white models, as in memory), given
        // whole to each window with the stack's extremes, so that every
        // window is stabilised alike.
        DenoiseInput planes;
        planes.rows = first.rows;
        planes.cols = first.cols;
        planes.channels = colours * frames;
        planes.range = whole.range;
        applyNoise(o.request, planes);
        PlannedNoise plan;
        try {
            plan = planNoiseFromPatches(planes, patches);
            if (plan.model.kind != NoiseKind::poissonGaussian)
                checkNoiseEstimate(patches.low == patches.high, plan.model.sigma);
        } catch (const std::invalid_argument& e) {
            throw UserError(what + ": " + e.what());
        }
        if (plan.model.kind == NoiseKind::poissonGaussian) {
            whole.noise = NoiseChoice::poissonGaussian;
            whole.gain = plan.model.gain;
            whole.readNoise = plan.model.readNoise;
            whole.offset = plan.model.offset;
            whole.extremes = DataRange{patches.low, patches.high};
        } else {
            whole.sigma = plan.model.sigma;
        }
        patches = NoisePatches();
        if (plan.estimated)
            noteModel(plan.model, first, o, progress, notePrefix);
    }
    if (!o.quiet) {
        const std::int32_t span = windowOf(core, frames, radius);
        char text[200];
        std::snprintf(text, sizeof text,
                      "streamed within --memory %s: windows of %d frames, %d written from each",
                      budgetGiven(o).c_str(), int(span), int(core));
        progress.bar->note(notePrefix + text);
    }

    // Second pass: window after window, each the in-memory call on its
    // frames at the whole stack's range and sigma, of which its core is kept
    // (the frames around a core decide it as they do in the whole stack).
    std::map<std::int32_t, Picture> held; // pages read, by index
    std::map<std::int32_t, Picture> done; // pages filtered, not yet written
    const auto page = [&](std::int32_t k) -> Picture& {
        auto at = held.find(k);
        if (at == held.end()) {
            at = held.emplace(k, readPicture(input, headers[std::size_t(k)], int(k))).first;
            if (!floatExtremes && o.sigma)
                checkValuesFit(at->second, output, o, what + ", " + pageName(std::size_t(k)));
        }
        return at->second;
    };
    progress.colours = colours;
    progress.pages = 1;
    OutputSet outputs;
    outputs.addPictureRows(output, headers, o.depth, [&](std::size_t index, const OutputSet::RowWriter& write) {
        const std::int32_t k = std::int32_t(index);
        if (done.find(k) == done.end()) {
            const std::int32_t end = std::min(frames, k + core);
            const std::int32_t from = std::max(0, k - stackContext(radius));
            const std::int32_t to = std::min(frames, end + stackContext(radius));
            for (auto it = held.begin(); it != held.end();)
                it = it->first < from ? held.erase(it) : std::next(it);
            std::vector<double> pixels;
            pixels.reserve(framePlanes * std::size_t(to - from));
            for (std::int32_t f = from; f < to; ++f)
                appendColours(page(f), pixels);
            StackInput window = whole;
            window.frames = to - from;
            window.pixels = pixels.data();
            const StackResult result = filterStack(window, o, settings, what);
            for (std::int32_t f = k; f < end; ++f) {
                Picture& out = done.emplace(f, page(f)).first->second;
                putColours(result.pixels, std::size_t(f - from) * framePlanes, out);
            }
        }
        const auto at = done.find(k);
        write(0, first.rows, at->second.pixels);
        done.erase(at);
    });
    outputs.commit();
}

} // namespace sorvik::cli
