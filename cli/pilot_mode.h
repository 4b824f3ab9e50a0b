// The Wiener stage alone, with a pilot image the user made: grey images only.
#ifndef SORVIK_CLI_PILOT_MODE_H
#define SORVIK_CLI_PILOT_MODE_H

#include "cli/commands.h"

#include <string>

namespace sorvik::cli {

// Filters `noisyPath` with the pilot o.pilotPath into o.outputPath. Both are
// single-page grey images of one size; a file of several pages is refused,
// since one pilot cannot serve them all.
void denoiseWithPilot(const DenoiseCommand& o, const std::string& noisyPath, WienerSettings settings);

} // namespace sorvik::cli

#endif
