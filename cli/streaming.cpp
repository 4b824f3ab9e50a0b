#include "cli/streaming.h"

#include "sorvik/denoise.h"
#include "sorvik/tiling.h"
#include "filter/matching.h"
#include "filter/transforms.h"
#include "pilot/basic_estimate.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <limits>
#include <set>
#include <unistd.h>

namespace sorvik::cli {

namespace {

constexpr std::uint64_t MiB = std::uint64_t(1) << 20;
// Room for what no formula below counts: the image library's own buffers,
// the file being read back before it replaces anything, the allocator's
// rounding.
constexpr std::uint64_t slack = 8 * MiB;

int coloursOf(const Picture& page) { return page.alpha >= 0 ? page.channels - 1 : page.channels; }

// The filter's buffers that grow with the width of what it filters, per
// column: for every channel, the rings of block spectra and of pilot tiles
// over 2R + 1 block rows, and with threads up to 8 more (16 bytes per
// spectrum entry, P (P / 2 + 1) entries a block); the bands of image and of
// sums; the basic estimate's row of blocks.
std::uint64_t columnBytes(const WienerSettings& s, int threads, int colours)
{
    const std::uint64_t P = std::uint64_t(std::max(s.blockSize, 2));
    const std::uint64_t R = std::uint64_t(std::max(s.searchRadius, 0));
    const std::uint64_t ahead = threads > 1 ? std::uint64_t(std::clamp(s.step, 1, 8)) : 0;
    const std::uint64_t filter = std::uint64_t(colours) * 16 * (2 * R + 1 + ahead) * P *
                                     (P / 2 + 1) +
                                 16 * (P + 8) + 8 * (2 * R + P) + 256;
    // The basic estimate, before the filter: each thread's band holds a row
    // of blocks, its windows twice over, and B - 1 rows of blocks kept back.
    const std::uint64_t B = std::uint64_t(basicBlockSize);
    const std::uint64_t basic = std::uint64_t(std::clamp(threads, 1, 64)) *
                                (B * B + B + B * B + (B - 1) * B * B) * sizeof(float);
    return std::max(filter, basic);
}

// Groups in flight between the threads and the aggregation (2 t + 2 slots of
// a batch of groups of K blocks for every channel), and each thread's
// transforms: a MiB for plans and small buffers, and the columns of a group
// staged for its batched transforms.
std::uint64_t engineBytes(const WienerSettings& s, int threads, int colours)
{
    const std::uint64_t t = std::uint64_t(std::max(threads, 1));
    const std::uint64_t P = std::uint64_t(std::max(s.blockSize, 2));
    const std::uint64_t K = std::uint64_t(std::max(s.maxGroupSize, 1));
    const std::uint64_t batch = std::uint64_t(
        detail::batchReferences(std::int64_t(K), std::int64_t(P), std::int64_t(colours)));
    const std::uint64_t L = P * (P / 2 + 1);
    const std::uint64_t staged = 4 * L *
                                 std::min(K, std::uint64_t(detail::TransformSet::batchedLength)) *
                                 2 * sizeof(float);
    return (2 * t + 2) * batch * K * P * P * sizeof(float) * std::uint64_t(colours) +
           t * (MiB + staged);
}

// The pipeline on `pixels` pixels of `colours` channels: its copy of the
// input in the filter's units, the pilot and the estimate in single
// precision, the result; the basic estimate's sums or the filter's weights
// while they last.
std::uint64_t pipelinePixelBytes(int colours)
{
    const std::uint64_t n = std::uint64_t(colours);
    return std::max({12 * n + 8, 16 * n + 4, 24 * n});
}

std::uint64_t estimatorBytes(const Picture& page)
{
    return NoiseEstimator::memoryBound(page.rows, page.cols, coloursOf(page));
}

struct BandCost {
    const Picture& page;
    const WienerSettings& settings;
    int threads;
    TileContext context;
    std::int32_t readRows;

    std::uint64_t rowBytes() const
    {
        return std::uint64_t(page.cols) * std::uint64_t(page.channels) * sizeof(double);
    }

    // A tiled file's row of tiles, kept as the file stores it.
    std::uint64_t tileRowBytes() const { return std::uint64_t(page.tileHeight) * rowBytes(); }

    std::int32_t tileRows(std::int32_t core) const
    {
        return std::int32_t(std::min<std::int64_t>(page.rows, std::int64_t(core) + context.before +
                                                                   context.after));
    }
    std::int32_t tileCols(std::int32_t core) const
    {
        return std::int32_t(std::min<std::int64_t>(page.cols, std::int64_t(core) + context.before +
                                                                   context.after));
    }

    // The first pass: rows as read, and the band the estimate reads patches
    // from (its last 6 rows carried over), twice while it is rebuilt.
    std::uint64_t scanning(bool estimate) const
    {
        const std::uint64_t read = std::uint64_t(readRows) * rowBytes() * 2 + tileRowBytes();
        if (!estimate)
            return read;
        return read + estimatorBytes(page) +
               2 * std::uint64_t(readRows + noisePatchSize) * rowBytes();
    }

    // The second pass: the input rows the tiles of a band need, rows in
    // transit from the file, the band of output and its samples, and one
    // tile at work.
    std::uint64_t filtering(std::int32_t coreRows, std::int32_t coreCols) const
    {
        const int n = coloursOf(page);
        const std::uint64_t th = std::uint64_t(tileRows(coreRows));
        const std::uint64_t tw = std::uint64_t(tileCols(coreCols));
        const std::uint64_t window = (th + std::uint64_t(readRows)) * rowBytes();
        const std::uint64_t read = std::uint64_t(readRows) * rowBytes() + tileRowBytes();
        const std::uint64_t output = std::uint64_t(coreRows) * rowBytes() * 3 / 2;
        const std::uint64_t tile = th * tw * (8 * std::uint64_t(n) + pipelinePixelBytes(n)) +
                                   std::uint64_t(coreRows) * std::uint64_t(coreCols) * 8 *
                                       std::uint64_t(n) +
                                   tw * columnBytes(settings, threads, n) + engineBytes(settings, threads, n);
        return window + read + output + tile;
    }
};

TileContext streamContext(const WienerSettings& settings)
{
    TileGeometry g;
    g.blockSize = settings.blockSize;
    g.searchRadius = settings.searchRadius;
    g.step = settings.step;
    g.pilotPerTile = true;
    TileContext c = tileContext(g);
    // A tile starts on the reference grid, up to step - 1 rows before its context.
    c.before += std::max(settings.step, 1) - 1;
    return c;
}

} // namespace

std::uint64_t parseMemory(const std::string& text, const std::string& option)
{
    std::size_t digits = 0;
    while (digits < text.size() && std::isdigit(static_cast<unsigned char>(text[digits])))
        ++digits;
    std::string unit = text.substr(digits);
    std::transform(unit.begin(), unit.end(), unit.begin(),
                   [](unsigned char c) { return char(std::toupper(c)); });
    int shift = -1;
    for (const auto& [name, bits] : {std::pair<const char*, int>{"", 0}, {"B", 0}, {"K", 10},
                                     {"KB", 10}, {"KIB", 10}, {"M", 20}, {"MB", 20}, {"MIB", 20},
                                     {"G", 30}, {"GB", 30}, {"GIB", 30}, {"T", 40}, {"TB", 40},
                                     {"TIB", 40}})
        if (unit == name)
            shift = bits;
    if (digits == 0 || shift < 0)
        throw UsageError(option + ": '" + text.substr(0, 32) +
                         "' is not a size (a number of bytes, or one followed by K, M, G or T)");
    std::uint64_t value = 0;
    const std::uint64_t top = std::numeric_limits<std::uint64_t>::max() >> shift;
    for (std::size_t i = 0; i < digits; ++i) {
        const std::uint64_t d = std::uint64_t(text[i] - '0');
        if (value > (top - d) / 10)
            throw UserError(option + " " + text + " is more than 2^64 bytes");
        value = value * 10 + d;
    }
    if (value == 0)
        throw UserError(option + " must be more than 0 bytes, not " + text);
    return value << shift;
}

std::string memoryText(std::uint64_t bytes)
{
    return std::to_string(bytes / MiB + (bytes % MiB != 0 ? 1 : 0)) + "M";
}

std::uint64_t residentBytes()
{
    std::FILE* f = std::fopen("/proc/self/statm", "r");
    if (!f)
        return 0;
    unsigned long long size = 0, resident = 0;
    const int read = std::fscanf(f, "%llu %llu", &size, &resident);
    std::fclose(f);
    const long page = ::sysconf(_SC_PAGESIZE);
    return read == 2 && page > 0 ? std::uint64_t(resident) * std::uint64_t(page) : 0;
}

std::uint64_t inMemoryBytes(const std::vector<Picture>& pages, const WienerSettings& settings,
                            int threads, bool estimate)
{
    // Every page is held in double precision from reading to writing; on top
    // of that, the peak of reading one page (its samples before they are
    // sorted into planes), denoising one, or writing one.
    std::uint64_t held = 0, busiest = 0;
    for (const Picture& page : pages) {
        const std::uint64_t plane = std::uint64_t(page.plane());
        const std::uint64_t C = std::uint64_t(page.channels);
        const int n = coloursOf(page);
        held += plane * C * sizeof(double);
        const std::uint64_t reading =
            plane * C * sizeof(double) + MiB + std::uint64_t(page.tileHeight) * page.cols * C * 8;
        const std::uint64_t denoising =
            plane * (8 * std::uint64_t(n) + pipelinePixelBytes(n)) +
            std::uint64_t(page.cols) * columnBytes(settings, threads, n) + engineBytes(settings, threads, n) +
            (estimate ? estimatorBytes(page) : 0);
        const std::uint64_t writing = plane * C * sizeof(float);
        busiest = std::max({busiest, reading, denoising, writing});
    }
    return held + busiest + slack;
}

StreamPlan planStream(const Picture& page, const WienerSettings& settings, int threads,
                      bool estimate, std::uint64_t budget, std::uint64_t resident)
{
    BandCost cost{page, settings, threads, streamContext(settings), 0};
    const std::uint64_t rowBytes = cost.rowBytes();
    cost.readRows = std::int32_t(std::clamp<std::uint64_t>(MiB / rowBytes, 8, 256));
    cost.readRows = std::min(cost.readRows, page.rows);
    const std::uint64_t room = budget > resident + slack ? budget - resident - slack : 0;
    const std::uint64_t scanning = cost.scanning(estimate);

    std::set<std::int32_t> widths{page.cols};
    for (std::int32_t k = 2; k <= 256 && k <= page.cols; ++k)
        widths.insert((page.cols + k - 1) / k);
    for (std::int32_t w = 1; w < page.cols; w *= 2)
        widths.insert(w);

    StreamPlan best;
    bool found = false;
    if (scanning <= room)
        for (const std::int32_t cw : widths) {
            if (cost.filtering(1, cw) > room)
                continue;
            std::int32_t low = 1, high = page.rows;
            while (low < high) {
                const std::int32_t mid = low + (high - low + 1) / 2;
                if (cost.filtering(mid, cw) <= room)
                    low = mid;
                else
                    high = mid - 1;
            }
            const double overhead = double(cost.tileRows(low)) * double(cost.tileCols(cw)) /
                                        (double(low) * double(cw)) -
                                    1.0;
            if (!found || overhead < best.overhead - 1e-9 ||
                (overhead <= best.overhead + 1e-9 &&
                 double(low) * cw > double(best.coreRows) * best.coreCols)) {
                best.coreRows = low;
                best.coreCols = cw;
                best.overhead = overhead;
                found = true;
            }
        }
    if (!found) {
        const std::uint64_t least = std::max(scanning, cost.filtering(1, 1)) + slack + resident;
        throw UsageError("--memory " + (budget % MiB == 0 ? memoryText(budget) : std::to_string(budget)) + " is too small for " +
                         page.name + " (" + std::to_string(page.cols) + " x " +
                         std::to_string(page.rows) + " pixels, " + std::to_string(page.channels) +
                         (page.channels == 1 ? " channel" : " channels") +
                         "): the least budget that streams it is --memory " + memoryText(least));
    }
    best.readRows = cost.readRows;
    best.bytes = std::max(scanning, cost.filtering(best.coreRows, best.coreCols)) + slack;
    return best;
}

} // namespace sorvik::cli
