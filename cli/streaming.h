// Memory budgets for the tool: what denoising a file in memory would take,
// and, when that is more than the budget, the bands and tiles that stream it
// within the budget instead.
#ifndef SORVIK_CLI_STREAMING_H
#define SORVIK_CLI_STREAMING_H

#include "cli/image_io.h"
#include "frontend/settings.h"

#include <cstdint>
#include <string>
#include <vector>

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
std::uint64_t inMemoryBytes(const std::vector<Picture>& pages, const WienerSettings& settings,
                            int threads, bool estimate);

// How a page is streamed: bands of coreRows rows, each cut into tiles of
// coreCols columns (the last band and tile take what remains), each tile
// filtered with its context.
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
// budget that works.
StreamPlan planStream(const Picture& page, const WienerSettings& settings, int threads,
                      bool estimate, std::uint64_t budget, std::uint64_t resident);

} // namespace sorvik::cli

#endif
