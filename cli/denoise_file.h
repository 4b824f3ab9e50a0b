// Denoising one file: read whole and denoised in memory, or streamed when it
// would need more than the memory budget.
#ifndef SORVIK_CLI_DENOISE_FILE_H
#define SORVIK_CLI_DENOISE_FILE_H

#include "cli/checks.h"
#include "cli/commands.h"

#include <string>

namespace sorvik::cli {

// Reads, denoises and writes one file; `output` is a file path (for
// standard output, one in a scratch folder), `shownInput` the input as
// messages name it.
void denoiseFile(const std::string& input, const std::string& shownInput, const std::string& output,
                 const DenoiseCommand& o, const WienerSettings& settings, RunProgress& progress,
                 const std::string& notePrefix);

// Refuses an output depth that the page's integer samples cannot go to
// without loss (signed or 32-bit levels to 8 or 16 bits).
void checkDepthChange(const Picture& page, const std::string& output, const DenoiseCommand& o);

// Refuses a page whose values `output` cannot hold: alpha that is not finite,
// and float values (alpha included) outside 0..1 going to integer samples.
// `what` names the page.
void checkValuesFit(const Picture& page, const std::string& output, const DenoiseCommand& o,
                    const std::string& what);

} // namespace sorvik::cli

#endif
