#include "cli/denoise_streamed.h"

#include "cli/image_read.h"
#include "cli/image_write.h"
#include "cli/streaming.h"
#include "frontend/first_stage.h"
#include "frontend/noise.h"
#include "sorvik/stream.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>
#include <memory>

namespace sorvik::cli {

namespace {

// What the first pass over a streamed page finds out: its units and its noise
// level, the whole page's, as the in-memory call would have them.
struct PageScan {
    DataRange range;
    double sigma = 0.0;
    bool estimated = false;
    NoiseModel noise;
    double low = 0.0, high = 0.0; // the denoised channels' extremes
};

// Reads the page once from top to bottom: values that are not finite, values
// outside --range, alpha an output cannot hold and float values that an
// integer output cannot hold are refused here, in the tool's words, as the
// rows come; the denoiser's first pass finds the range and the noise
// estimate when no sigma is given.
PageScan scanPage(const std::string& path, const Picture& page, int index,
                  const DenoiseCommand& o, const std::string& output, const StreamPlan& plan)
{
    const std::string& what = page.name;
    const int n = page.colours();
    const std::size_t C = std::size_t(page.channels), W = std::size_t(page.cols);
    if (!isFloat(page.depth) && o.rangeLow)
        throw UserError(what + " holds " + depthName(page.depth) +
                        " levels, which are scaled by their type's range; --range is for "
                        "float data");
    std::optional<DataRange> userRange;
    if (o.rangeLow) {
        try {
            userRange = userDataRange(*o.rangeLow, *o.rangeHigh);
        } catch (const std::invalid_argument& e) {
            throw UserError("--range: " + std::string(e.what()));
        }
    }
    const bool integerOutput = !isFloat(outputDepth(output, o.depth ? *o.depth : page.depth));
    const bool unitOnly = isFloat(page.depth) && integerOutput;
    std::vector<int> colour;
    for (int c = 0; c < page.channels; ++c)
        if (c != page.alpha)
            colour.push_back(c);
    // The data's maximum so far: an --offset above it is refused in the
    // tool's words, whichever check of the denoiser's meets it first.
    double highest = -std::numeric_limits<double>::infinity();
    const auto check = [&](std::int32_t top, std::int32_t count, const std::vector<double>& rows) {
        if (page.alpha >= 0 && isFloat(page.depth))
            for (std::int32_t r = 0; r < count; ++r)
                for (std::size_t j = 0; j < W; ++j)
                    checkAlpha(rows[(std::size_t(r) * W + j) * C + std::size_t(page.alpha)],
                               integerOutput, what, top + r, std::int64_t(j));
        for (std::int32_t r = 0; r < count; ++r)
            for (std::size_t j = 0; j < W; ++j)
                for (int k = 0; k < n; ++k) {
                    const double v = rows[(std::size_t(r) * W + j) * C + std::size_t(colour[k])];
                    if (!std::isfinite(v))
                        throw UserError(nonFiniteMessage(
                            what, NonFiniteValue(top + r, std::int32_t(j), k), n > 1));
                    highest = std::max(highest, v);
                    if (userRange && (v < userRange->low || v > userRange->high))
                        throw UserError(what + ": the value " + formatNumber(v) + " at row " +
                                        std::to_string(top + r) + ", column " + std::to_string(j) +
                                        ", channel " + std::to_string(k) +
                                        " lies outside the data range [" +
                                        formatNumber(userRange->low) + ", " +
                                        formatNumber(userRange->high) + "]");
                    if (unitOnly && (v < 0.0 || v > 1.0))
                        throw UserError(what + " holds float values outside 0..1 (" +
                                        formatNumber(v) + "), which the integer samples of '" +
                                        output + "' cannot hold; write a float TIFF (.tif) instead");
                }
    };
    sorvik::StreamInput input = streamInput(page);
    if (!isFloat(page.depth))
        input.range = integerRange(page.depth);
    else if (userRange)
        input.range = userRange;
    // A given sigma is the tool's to check, in its own words, once the range is known.
    if (o.sigma)
        input.sigma = *o.sigma;
    applyNoise(o.request, input);
    const auto rows = pageSource(path, page, index, check);
    StreamScan found;
    try {
        found = scanStream(*rows, input, libraryPlan(plan));
    } catch (const UserError&) {
        throw;
    } catch (const NonFiniteValue& e) {
        throw UserError(nonFiniteMessage(what, e, n > 1));
    } catch (const std::invalid_argument& e) {
        try {
            checkOffset(o.request, FrontEnd::tool, highest);
        } catch (const std::invalid_argument& offset) {
            throw UserError(what + ": " + offset.what());
        }
        throw UserError(what + ": " + noiseAdvice(e.what(), FrontEnd::tool));
    }
    PageScan scan;
    scan.range = found.range;
    scan.sigma = found.sigma;
    scan.estimated = found.sigmaEstimated;
    scan.noise = found.noise;
    scan.low = found.low;
    scan.high = found.high;
    if (o.sigma)
        checkSigma(*o.sigma, scan.range.sigmaToUnit(*o.sigma));
    return scan;
}

// Denoises a page band by band, tile by tile, each tile with its context,
// and hands each band of output rows to `write` as it is done.
void filterPage(const std::string& path, const Picture& page, int index, const PageScan& scan,
                const StreamPlan& plan, const DenoiseCommand& given, const WienerSettings& givenSettings,
                RunProgress& progress, const OutputSet::RowWriter& write)
{
    const std::string& what = page.name;
    WienerSettings settings = givenSettings;
    const DenoiseCommand o = forColour(given, settings, page.colours());
    sorvik::DenoiseOptions options = libraryOptions(o, settings);
    sorvik::StreamInput input = streamInput(page);
    StreamScan found;
    found.range = scan.range;
    found.sigma = scan.sigma;
    found.noise = scan.noise;
    found.low = scan.low;
    found.high = scan.high;
    const auto rows = pageSource(path, page, index);
    const auto writer = pageSink(page, write);
    try {
        filterStream(*rows, *writer, input, found, libraryPlan(plan), options,
                     [&](std::int64_t done, std::int64_t total) {
                         progress.within(double(done) / double(total));
                     });
    } catch (const UserError&) {
        throw; // the file's own, already in the tool's words
    } catch (const NonFiniteValue& e) {
        throw UserError(nonFiniteMessage(what, e, page.colours() > 1));
    } catch (const std::invalid_argument& e) {
        throw UserError(what + ": " + e.what());
    } catch (const std::runtime_error& e) {
        throw UserError(what + ": " + e.what() + ". Nothing was written.");
    }
}

} // namespace

sorvik::DenoiseOptions libraryOptions(const DenoiseCommand& o, const WienerSettings& settings)
{
    sorvik::DenoiseOptions options;
    options.wiener = settings;
    options.threads = o.threads;
    applyFirstStage(o.request, options);
    return options;
}

void denoiseStreamed(const std::string& input, const std::string& output,
                     const std::vector<Picture>& headers, const DenoiseCommand& o,
                     const WienerSettings& settings, RunProgress& progress,
                     const std::string& notePrefix, std::uint64_t resident)
{
    std::vector<StreamPlan> plans;
    for (const Picture& page : headers) {
        WienerSettings pageSettings = settings;
        const DenoiseCommand po = forColour(o, pageSettings, page.colours());
        plans.push_back(planStream(page, libraryOptions(po, pageSettings), !o.sigma, o.memory, resident,
                                   o.memoryText));
    }
    std::vector<PageScan> scans;
    const bool several = headers.size() > 1;
    for (std::size_t k = 0; k < headers.size(); ++k) {
        scans.push_back(scanPage(input, headers[k], int(k), o, output, plans[k]));
        if (scans.back().estimated && !o.quiet)
            progress.bar->note(notePrefix + (several ? "page " + std::to_string(k + 1) + ": " : "") +
                               noiseNote(scans.back().noise, scans.back().sigma, headers[k].depth));
    }
    if (!o.quiet)
        for (std::size_t k = 0; k < headers.size(); ++k) {
            char text[160];
            std::snprintf(text, sizeof text,
                          "streamed within --memory %s: bands of %d rows, tiles of %d columns, "
                          "%.0f%% filtered again as context",
                          o.memoryText.empty() ? memoryText(o.memory).c_str() : o.memoryText.c_str(),
                          plans[k].coreRows, plans[k].coreCols,
                          100.0 * plans[k].overhead);
            progress.bar->note(notePrefix + (several ? "page " + std::to_string(k + 1) + ": " : "") +
                               text);
        }
    progress.pages = headers.size();
    OutputSet outputs;
    outputs.addPictureRows(output, headers, o.depth,
                           [&](std::size_t k, const OutputSet::RowWriter& write) {
                               progress.page = k;
                               filterPage(input, headers[k], int(k), scans[k], plans[k], o,
                                          settings, progress, write);
                           });
    outputs.commit();
}

} // namespace sorvik::cli
