#include "cli/streaming.h"

#include "sorvik/denoise.h"
#include "sorvik/stack.h"
#include "sorvik/stream.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <limits>
#include <unistd.h>

namespace sorvik::cli {

namespace {

constexpr std::uint64_t MiB = std::uint64_t(1) << 20;
// Room for what no formula below counts: the image library's own buffers,
// the file being read back before it replaces anything, the allocator's
// rounding.
constexpr std::uint64_t slack = 8 * MiB;


// The stream's channels (colour, then alpha) as the file's channel indices.
std::vector<int> streamOrder(const Picture& page)
{
    std::vector<int> order;
    for (int c = 0; c < page.channels; ++c)
        if (c != page.alpha)
            order.push_back(c);
    if (page.alpha >= 0)
        order.push_back(page.alpha);
    return order;
}

// The peak of reading one page: its samples before they are sorted into
// planes, and a row of tiles.
std::uint64_t readingBytes(const Picture& page)
{
    const std::uint64_t C = std::uint64_t(page.channels);
    return std::uint64_t(page.plane()) * C * sizeof(double) + MiB +
           std::uint64_t(page.tileHeight) * page.cols * C * 8;
}

std::uint64_t rowBytesOf(const Picture& page)
{
    return std::uint64_t(page.cols) * std::uint64_t(page.channels) * sizeof(double);
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

std::uint64_t inMemoryBytes(const std::vector<Picture>& pages, const sorvik::DenoiseOptions& options,
                            bool estimate, const sorvik::DenoiseOptions* colourOptions)
{
    // Every page is held in double precision from reading to writing; on top
    // of that, the peak of reading one page (its samples before they are
    // sorted into planes), denoising one (its colour planes and the
    // denoiser), or writing one.
    std::uint64_t held = 0, busiest = 0;
    for (const Picture& page : pages) {
        const std::uint64_t plane = std::uint64_t(page.plane());
        const std::uint64_t C = std::uint64_t(page.channels);
        const int n = page.colours();
        held += plane * C * sizeof(double);
        const std::uint64_t reading = readingBytes(page);
        const std::uint64_t denoiser =
            denoiseMemoryBound(page.rows, page.cols, n, n > 1 && colourOptions ? *colourOptions : options,
                               estimate);
        const std::uint64_t denoising =
            denoiser > std::numeric_limits<std::uint64_t>::max() / 2
                ? denoiser
                : plane * 8 * std::uint64_t(n) + denoiser;
        const std::uint64_t writing = plane * C * sizeof(float);
        busiest = std::max({busiest, reading, denoising, writing});
    }
    return busiest > std::numeric_limits<std::uint64_t>::max() / 2 ? busiest
                                                                    : held + busiest + slack;
}

std::uint64_t stackInMemoryBytes(const std::vector<Picture>& pages,
                                 const sorvik::DenoiseOptions& options, int temporalRadius,
                                 bool estimate, bool stabilised)
{
    constexpr std::uint64_t unbounded = std::numeric_limits<std::uint64_t>::max();
    if (pages.empty())
        return 0;
    const Picture& first = pages[0];
    sorvik::StackOptions stack;
    stack.temporalRadius = temporalRadius;
    const std::uint64_t denoiser =
        stackMemoryBound(first.rows, first.cols, first.colours(), std::int32_t(pages.size()),
                         options, stack, estimate, stabilised);
    const std::uint64_t frames = std::uint64_t(pages.size());
    const std::uint64_t page = std::uint64_t(first.plane()) * std::uint64_t(first.channels);
    // The pages are held from reading to writing, each in double precision;
    // on top of them, the peak of reading a page, of denoising (the stack's
    // colour planes gathered for the denoiser, and the denoiser), or of
    // writing a page.
    if (denoiser > unbounded / 4 || page > unbounded / 64 / frames)
        return unbounded;
    const std::uint64_t held = frames * page * sizeof(double);
    const std::uint64_t gathered =
        frames * std::uint64_t(first.plane()) * std::uint64_t(first.colours()) * sizeof(double);
    const std::uint64_t busiest =
        std::max({readingBytes(first), gathered + denoiser, page * sizeof(float)});
    return held + busiest + slack;
}

StreamPlan planStream(const Picture& page, const sorvik::DenoiseOptions& options, bool estimate,
                      std::uint64_t budget, std::uint64_t resident, const std::string& budgetText)
{
    sorvik::StreamInput input = streamInput(page);
    // Only whether sigma is given counts for the plan, not its value.
    if (!estimate)
        input.sigma = 0.0;
    // The file's rows as read, a row of tiles of a tiled file, and the
    // band of output in the writer's order and as samples.
    const std::uint64_t rowBytes = rowBytesOf(page);
    sorvik::StreamCost cost;
    cost.perRowRead = rowBytes;
    cost.perRowWritten = rowBytes + rowBytes / 2;
    cost.fixed = std::uint64_t(page.tileHeight) * rowBytes;
    const std::uint64_t room = budget > resident + slack ? budget - resident - slack : 0;
    try {
        const sorvik::StreamPlan p = sorvik::planStream(input, options, room, cost);
        return StreamPlan{p.coreRows, p.coreCols, p.readRows, p.bytes + slack, p.overhead};
    } catch (const StreamBudgetError& e) {
        const std::uint64_t least = e.least + slack + resident;
        const std::string given = !budgetText.empty()    ? budgetText
                                  : budget % MiB == 0 ? memoryText(budget)
                                                      : std::to_string(budget);
        throw UsageError("--memory " + given + " is too small for " +
                         page.name + " (" + std::to_string(page.cols) + " x " +
                         std::to_string(page.rows) + " pixels, " + std::to_string(page.channels) +
                         (page.channels == 1 ? " channel" : " channels") +
                         "): the least budget that streams it is --memory " + memoryText(least));
    }
}

sorvik::StreamInput streamInput(const Picture& page)
{
    sorvik::StreamInput input;
    input.rows = page.rows;
    input.cols = page.cols;
    input.channels = page.colours();
    input.keptChannels = page.channels - page.colours();
    return input;
}

sorvik::StreamPlan libraryPlan(const StreamPlan& plan)
{
    sorvik::StreamPlan p;
    p.coreRows = plan.coreRows;
    p.coreCols = plan.coreCols;
    p.readRows = plan.readRows;
    p.bytes = plan.bytes;
    p.overhead = plan.overhead;
    return p;
}

namespace {

class PageRows : public sorvik::RowSource {
public:
    PageRows(const std::string& path, const Picture& page, int index, PageCheck check)
        : path_(path), page_(page), index_(index), check_(std::move(check)),
          order_(streamOrder(page))
    {
    }

    void rewind() override
    {
        rows_.reset();
        rows_ = std::make_unique<PictureRows>(path_, page_, index_);
        ++passes_;
    }

    void read(std::int32_t top, std::int32_t count, double* band) override
    {
        if (!rows_)
            rewind();
        rows_->read(top, count, rowMajor_);
        if (passes_ == 1 && check_)
            check_(top, count, rowMajor_);
        const std::size_t W = std::size_t(page_.cols), C = std::size_t(page_.channels);
        const std::size_t h = std::size_t(count);
        for (std::size_t k = 0; k < order_.size(); ++k)
            for (std::size_t j = 0; j < W; ++j) {
                double* to = band + (k * W + j) * h;
                const double* from = rowMajor_.data() + j * C + std::size_t(order_[k]);
                for (std::size_t i = 0; i < h; ++i)
                    to[i] = from[i * W * C];
            }
    }

private:
    std::string path_;
    Picture page_;
    int index_;
    PageCheck check_;
    int passes_ = 0;
    std::vector<int> order_; // the file's channel for each of the stream's
    std::unique_ptr<PictureRows> rows_;
    std::vector<double> rowMajor_;
};

class PageWriter : public sorvik::RowSink {
public:
    PageWriter(const Picture& page, const OutputSet::RowWriter& write)
        : write_(write), cols_(std::size_t(page.cols)), order_(streamOrder(page))
    {
    }

    void write(std::int32_t top, std::int32_t count, const double* band) override
    {
        // Both are planar and column-major within the band; only the order
        // of the planes differs.
        const std::size_t plane = std::size_t(count) * cols_;
        band_.resize(plane * order_.size());
        for (std::size_t k = 0; k < order_.size(); ++k)
            std::copy(band + k * plane, band + (k + 1) * plane,
                      band_.begin() + std::ptrdiff_t(std::size_t(order_[k]) * plane));
        write_(top, count, band_);
    }

private:
    OutputSet::RowWriter write_;
    std::size_t cols_;
    std::vector<int> order_;
    std::vector<double> band_;
};

} // namespace

std::unique_ptr<sorvik::RowSource> pageSource(const std::string& path, const Picture& page,
                                              int index, PageCheck check)
{
    return std::make_unique<PageRows>(path, page, index, std::move(check));
}

std::unique_ptr<sorvik::RowSink> pageSink(const Picture& page, const OutputSet::RowWriter& write)
{
    return std::make_unique<PageWriter>(page, write);
}

} // namespace sorvik::cli
