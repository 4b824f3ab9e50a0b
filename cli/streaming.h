// Memory budgets for the tool: what denoising a file in memory would take,
// and, when that is more than the budget, the file's pages as the row
// sources and sinks of the library's streamed denoiser.
#ifndef SORVIK_CLI_STREAMING_H
#define SORVIK_CLI_STREAMING_H

#include "cli/image_io.h"
#include "frontend/settings.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace sorvik {
class RowSource;
class RowSink;
struct StreamInput;
struct StreamPlan;
struct DenoiseOptions;
} // namespace sorvik

namespace sorvik::cli {

constexpr std::uint64_t defaultMemoryBudget = std::uint64_t(256) << 20;

// "SIZE" as --memory takes it: a whole number of bytes, or one followed by K,
// M, G or T (powers of 1024; "KiB", "MB" and the like are read the same).
// Throws UsageError for text of another kind, UserError for 0 or a size
// beyond 2^64 bytes.
std::uint64_t parseMemory(const std::string& text, const std::string& option);

// A size for messages, in the form --memory takes: "140M", rounded up.
std::string memoryText(std::uint64_t bytes);

// What the process holds now: code, libraries and the heap in use, which
// the budget covers as well.
std::uint64_t residentBytes();

// Bytes that reading, denoising and writing these pages whole would add to
// the process at its peak. `estimate`: the noise level is estimated.
// `colourOptions`: those of colour pages, where they differ (a profile's
// colour point).
std::uint64_t inMemoryBytes(const std::vector<Picture>& pages, const sorvik::DenoiseOptions& options,
                            bool estimate, const sorvik::DenoiseOptions* colourOptions = nullptr);

// Bytes that reading the pages, denoising them together as one stack of
// frames (<sorvik/stack.h>) and writing them would add to the process at its
// peak, holding the whole stack; `stabilised`: under the poisson-gaussian
// model. The pages share one shape.
std::uint64_t stackInMemoryBytes(const std::vector<Picture>& pages,
                                 const sorvik::DenoiseOptions& options, int temporalRadius,
                                 bool estimate, bool stabilised = false);

// How a page is streamed (the library's plan, <sorvik/stream.h>): bands of
// coreRows rows, each cut into tiles of coreCols columns (the last band and
// tile take what remains), each tile filtered with its context.
struct StreamPlan {
    std::int32_t coreRows = 0;
    std::int32_t coreCols = 0;
    std::int32_t readRows = 0; // rows read from the file at once
    std::uint64_t bytes = 0;   // what the plan adds to the process at its peak
    double overhead = 0.0;     // tile area filtered per core area, less 1
};

// The plan with the least recomputed context whose peak, added to the
// `resident` bytes the process holds already, fits in `budget`. A budget too
// small even for cores of one pixel throws UsageError naming the least
// budget that works, and the user's budget as `budgetText` (as the user
// wrote it; empty: written out from `budget`).
StreamPlan planStream(const Picture& page, const sorvik::DenoiseOptions& options, bool estimate,
                      std::uint64_t budget, std::uint64_t resident, const std::string& budgetText = {});

// The same plan as the streamed denoiser takes it.
sorvik::StreamPlan libraryPlan(const StreamPlan& plan);

// A page as the streamed denoiser takes it: its colour channels denoised,
// its alpha channel kept as it is.
sorvik::StreamInput streamInput(const Picture& page);

// Sees each band of a page's first pass as the file gives it (row-major, the
// channels interleaved), before the denoiser does.
using PageCheck = std::function<void(std::int32_t top, std::int32_t count,
                                     const std::vector<double>& rowMajor)>;

// A page of a file as the denoiser's row source; each pass reads the file
// again.
std::unique_ptr<sorvik::RowSource> pageSource(const std::string& path, const Picture& page,
                                              int index, PageCheck check = {});

// The denoiser's bands, handed to an output file's row writer in the file's
// channel order.
std::unique_ptr<sorvik::RowSink> pageSink(const Picture& page, const OutputSet::RowWriter& write);

} // namespace sorvik::cli

#endif
