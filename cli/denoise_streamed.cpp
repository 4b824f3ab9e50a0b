#include "cli/denoise_streamed.h"

#include "cli/image_read.h"
#include "cli/image_write.h"
#include "cli/streaming.h"
#include "frontend/noise.h"
#include "sorvik/tiling.h"

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
};

std::vector<int> colourChannels(const Picture& page)
{
    std::vector<int> colour;
    for (int c = 0; c < page.channels; ++c)
        if (c != page.alpha)
            colour.push_back(c);
    return colour;
}

// Reads the page once from top to bottom: values that are not finite, values
// outside --range, float values that an integer output cannot hold, the
// extremes, and the noise estimate when no sigma is given (fed the rows as
// they come, with the rows its patches reach back to).
PageScan scanPage(const std::string& path, const Picture& page, int index,
                  const DenoiseOptions& o, const std::string& output, std::int32_t readRows)
{
    const std::string& what = page.name;
    const std::vector<int> colour = colourChannels(page);
    const int n = int(colour.size());
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
    std::unique_ptr<NoiseEstimator> estimator;
    if (!o.sigma) {
        try {
            estimator = std::make_unique<NoiseEstimator>(page.rows, page.cols, n);
        } catch (const std::invalid_argument& e) {
            throw UserError(what + ": " + e.what());
        }
    }

    PictureRows reader(path, page, index);
    std::vector<double> rows, band, next;
    std::int32_t bandTop = 0;
    double low = std::numeric_limits<double>::infinity(), high = -low;
    for (std::int32_t top = 0; top < page.rows; top += readRows) {
        const std::int32_t count = std::min(readRows, page.rows - top);
        reader.read(top, count, rows);
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
                    low = std::min(low, v);
                    high = std::max(high, v);
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
        if (!estimator)
            continue;
        // The estimate's next band: the rows kept from the last one that its
        // patches still reach, then the new rows, planar as the estimate takes them.
        const std::int32_t first = estimator->nextRow();
        const std::size_t kept = std::size_t(top - first), height = kept + std::size_t(count);
        next.resize(height * W * std::size_t(n));
        for (int k = 0; k < n; ++k)
            for (std::size_t j = 0; j < W; ++j) {
                double* to = next.data() + (std::size_t(k) * W + j) * height;
                const std::size_t lastHeight = band.size() / std::max<std::size_t>(W * std::size_t(n), 1);
                const double* from =
                    band.data() + (std::size_t(k) * W + j) * lastHeight + std::size_t(first - bandTop);
                std::copy(from, from + kept, to);
                for (std::int32_t r = 0; r < count; ++r)
                    to[kept + std::size_t(r)] =
                        rows[(std::size_t(r) * W + j) * C + std::size_t(colour[k])];
            }
        estimator->add(next.data(), first, std::int32_t(height));
        band.swap(next);
        bandTop = first;
    }

    PageScan scan;
    if (isFloat(page.depth)) {
        try {
            // The range depends on the extremes alone.
            const double extremes[2] = {low, high};
            scan.range = userRange ? *userRange : floatDataRange(extremes, 1, 2, 1);
        } catch (const std::invalid_argument& e) {
            throw UserError(what + ": " + e.what());
        }
    } else {
        scan.range = integerRange(page.depth);
    }
    if (o.sigma) {
        checkSigma(*o.sigma, scan.range.sigmaToUnit(*o.sigma));
        scan.sigma = *o.sigma;
        return scan;
    }
    if (low == high)
        throw UserError(what + ": the image is constant: its noise level cannot be estimated; "
                               "give sigma");
    scan.sigma = estimator->estimate();
    scan.estimated = true;
    if (!(scan.sigma > 0.0))
        throw UserError(what + ": no noise could be measured in the image (it is exactly "
                               "smooth); give sigma");
    return scan;
}

// Denoises a page band by band, tile by tile, each tile with its context,
// and hands each band of output rows to `write` as it is done.
void filterPage(const std::string& path, const Picture& page, int index, const PageScan& scan,
                const StreamPlan& plan, const DenoiseOptions& o, const WienerSettings& settings,
                RunProgress& progress, const OutputSet::RowWriter& write)
{
    TileGeometry g;
    g.blockSize = settings.blockSize;
    g.searchRadius = settings.searchRadius;
    g.step = settings.step;
    g.pilotPerTile = true;
    const std::vector<int> colour = colourChannels(page);
    const int n = int(colour.size());
    const std::size_t C = std::size_t(page.channels), W = std::size_t(page.cols);
    const std::string& what = page.name;

    sorvik::DenoiseOptions options;
    options.wiener = settings;
    options.threads = o.threads;
    DenoiseInput input;
    input.channels = n;
    input.range = scan.range;
    input.sigma = scan.sigma;

    PictureRows reader(path, page, index);
    // The input rows the current band's tiles need, row-major as read.
    std::vector<double> window, rows, tileIn, out;
    std::int32_t windowTop = 0, windowRows = 0;
    const std::int64_t tilesAcross = (page.cols + plan.coreCols - 1) / plan.coreCols;
    const std::int64_t tilesDown = (page.rows + plan.coreRows - 1) / plan.coreRows;
    for (std::int32_t c0 = 0; c0 < page.rows; c0 += plan.coreRows) {
        const std::int32_t c1 = std::min(page.rows, c0 + plan.coreRows);
        const std::size_t M = std::size_t(c1 - c0);
        Span tileRows;
        try {
            tileRows = tileSpan(g, page.rows, Span{c0, c1});
        } catch (const std::invalid_argument& e) {
            throw UserError(what + ": " + e.what());
        }
        if (tileRows.begin > windowTop) {
            const std::int32_t drop = std::min(tileRows.begin - windowTop, windowRows);
            window.erase(window.begin(), window.begin() + std::ptrdiff_t(std::size_t(drop) * W * C));
            windowTop += drop;
            windowRows -= drop;
        }
        while (windowTop + windowRows < tileRows.end) {
            const std::int32_t top = windowTop + windowRows;
            const std::int32_t count = std::min(plan.readRows, tileRows.end - top);
            reader.read(top, count, rows);
            window.insert(window.end(), rows.begin(), rows.end());
            windowRows += count;
        }

        out.assign(M * W * C, 0.0);
        if (page.alpha >= 0)
            for (std::size_t i = 0; i < M; ++i)
                for (std::size_t j = 0; j < W; ++j)
                    out[std::size_t(page.alpha) * M * W + i + j * M] =
                        window[((std::size_t(c0 - windowTop) + i) * W + j) * C +
                               std::size_t(page.alpha)];
        for (std::int32_t d0 = 0; d0 < page.cols; d0 += plan.coreCols) {
            const std::int32_t d1 = std::min(page.cols, d0 + plan.coreCols);
            Tile tile;
            tile.rows = tileRows;
            tile.cols = tileSpan(g, page.cols, Span{d0, d1});
            tile.coreRows = Span{c0, c1};
            tile.coreCols = Span{d0, d1};
            const std::size_t tr = std::size_t(tile.rows.size()), tc = std::size_t(tile.cols.size());
            tileIn.resize(tr * tc * std::size_t(n));
            for (int k = 0; k < n; ++k)
                for (std::size_t j = 0; j < tc; ++j) {
                    double* to = tileIn.data() + (std::size_t(k) * tc + j) * tr;
                    const double* from = window.data() +
                                         (std::size_t(tile.rows.begin - windowTop) * W +
                                          std::size_t(tile.cols.begin) + j) * C +
                                         std::size_t(colour[k]);
                    for (std::size_t i = 0; i < tr; ++i)
                        to[i] = from[i * W * C];
                }
            input.rows = tile.rows.size();
            input.cols = tile.cols.size();
            input.pixels = tileIn.data();
            std::vector<double> core;
            try {
                core = denoiseTile(page.rows, page.cols, tile, input, options);
            } catch (const NonFiniteValue& e) {
                throw UserError(nonFiniteMessage(what, e, n > 1));
            } catch (const std::invalid_argument& e) {
                throw UserError(what + ": " + e.what());
            } catch (const std::runtime_error& e) {
                throw UserError(what + ": " + e.what() + ". Nothing was written.");
            }
            const std::size_t cc = std::size_t(d1 - d0);
            for (int k = 0; k < n; ++k)
                for (std::size_t j = 0; j < cc; ++j)
                    std::copy(core.data() + (std::size_t(k) * cc + j) * M,
                              core.data() + (std::size_t(k) * cc + j + 1) * M,
                              out.data() + std::size_t(colour[k]) * M * W +
                                  (std::size_t(d0) + j) * M);
            const std::int64_t done = (c0 / plan.coreRows) * tilesAcross + d0 / plan.coreCols + 1;
            progress.within(double(done) / double(tilesDown * tilesAcross));
        }
        write(c0, c1 - c0, out);
    }
}


} // namespace

void denoiseStreamed(const std::string& input, const std::string& output,
                     const std::vector<Picture>& headers, const DenoiseOptions& o,
                     const WienerSettings& settings, RunProgress& progress,
                     const std::string& notePrefix, std::uint64_t resident)
{
    std::vector<StreamPlan> plans;
    for (const Picture& page : headers)
        plans.push_back(planStream(page, settings, o.threads, !o.sigma, o.memory, resident));
    std::vector<PageScan> scans;
    const bool several = headers.size() > 1;
    for (std::size_t k = 0; k < headers.size(); ++k) {
        scans.push_back(scanPage(input, headers[k], int(k), o, output, plans[k].readRows));
        if (scans.back().estimated && !o.quiet) {
            char text[64];
            std::snprintf(text, sizeof text, "%.4g", scans.back().sigma);
            progress.bar->note(notePrefix + (several ? "page " + std::to_string(k + 1) + ": " : "") +
                               "estimated sigma: " + text + " (" + unitsOf(headers[k].depth) + ")");
        }
    }
    if (!o.quiet)
        for (std::size_t k = 0; k < headers.size(); ++k) {
            char text[160];
            std::snprintf(text, sizeof text,
                          "streamed within --memory %s: bands of %d rows, tiles of %d columns, "
                          "%.0f%% filtered again as context",
                          memoryText(o.memory).c_str(), plans[k].coreRows, plans[k].coreCols,
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
