// --frames: the pages of one file as the frames of one sequence, denoised
// together (<sorvik/stack.h>), in memory or in windows of frames.
#ifndef SORVIK_CLI_DENOISE_STACK_H
#define SORVIK_CLI_DENOISE_STACK_H

#include "cli/checks.h"
#include "cli/commands.h"

#include <cstdint>
#include <string>
#include <vector>

namespace sorvik::cli {

// Whether the pages' stack fits in --memory whole, beside the `resident`
// bytes the process holds already; refuses pages that cannot be one stack
// (their size, sample type or channels differ) before any pixel is read.
bool stackFitsInMemory(const std::vector<Picture>& headers, const std::string& what,
                       const DenoiseCommand& o, const WienerSettings& settings,
                       std::uint64_t resident);

// Refuses, before any pixel is read, a stack whose least window (one frame
// and the frames that decide it) does not fit in --memory: a UsageError
// that names the least budget that does.
void checkStackFits(const std::vector<Picture>& headers, const std::string& what,
                    const DenoiseCommand& o, const WienerSettings& settings,
                    std::uint64_t resident);

// Denoises the pages in place as one stack: they must share their size,
// sample type and channels (alpha passes through, page by page). `what`
// names the file in messages.
void denoisePagesTogether(std::vector<Picture>& pages, const std::string& what,
                          const DenoiseCommand& o, const WienerSettings& settings,
                          RunProgress& progress, const std::string& notePrefix);

// The same for a stack that does not fit whole: read from `input` twice,
// the noise level and float range from one frame at a time, then windows of
// frames as wide as --memory allows, each written to `output` as it is done,
// with the bits of the stack filtered whole.
void denoisePagesStreamed(const std::string& input, const std::string& output,
                          const std::vector<Picture>& headers, const std::string& what,
                          const DenoiseCommand& o, const WienerSettings& settings,
                          RunProgress& progress, const std::string& notePrefix,
                          std::uint64_t resident);

} // namespace sorvik::cli

#endif
