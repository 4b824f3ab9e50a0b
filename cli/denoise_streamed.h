// Denoising a file larger than the memory budget: every page scanned once
// for its range and noise level, then filtered band by band, tile by tile,
// into the output.
#ifndef SORVIK_CLI_DENOISE_STREAMED_H
#define SORVIK_CLI_DENOISE_STREAMED_H

#include "cli/checks.h"
#include "cli/commands.h"
#include "sorvik/denoise.h"

#include <cstdint>
#include <string>
#include <vector>

namespace sorvik::cli {

// The library's options for this run's pages, in memory or streamed.
sorvik::DenoiseOptions libraryOptions(const DenoiseCommand& o, const WienerSettings& settings);

// Denoises a file whose pages `headers` describes within the memory budget:
// every page scanned first (so that anything that refuses the file does so
// before any filtering), then filtered band by band into the output.
void denoiseStreamed(const std::string& input, const std::string& output,
                     const std::vector<Picture>& headers, const DenoiseCommand& o,
                     const WienerSettings& settings, RunProgress& progress,
                     const std::string& notePrefix, std::uint64_t resident);

} // namespace sorvik::cli

#endif
