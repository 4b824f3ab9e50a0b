// --frames: the pages of one file as the frames of one sequence, denoised
// together (<sorvik/stack.h>), in memory.
#ifndef SORVIK_CLI_DENOISE_STACK_H
#define SORVIK_CLI_DENOISE_STACK_H

#include "cli/checks.h"
#include "cli/commands.h"

#include <cstdint>
#include <string>
#include <vector>

namespace sorvik::cli {

// Refuses, before any pixel is read, pages that cannot be one stack (their
// size, sample type or channels differ) or whose stack does not fit in
// --memory beside the `resident` bytes the process holds already: --frames
// holds the whole stack in memory. The refusal is a UsageError that names
// the least budget that does.
void checkStackFits(const std::vector<Picture>& headers, const std::string& what,
                    const DenoiseCommand& o, const WienerSettings& settings,
                    std::uint64_t resident);

// Denoises the pages in place as one stack: they must share their size,
// sample type and channels (alpha passes through, page by page). `what`
// names the file in messages.
void denoisePagesTogether(std::vector<Picture>& pages, const std::string& what,
                          const DenoiseCommand& o, const WienerSettings& settings,
                          RunProgress& progress, const std::string& notePrefix);

} // namespace sorvik::cli

#endif
