// The tool's command line: the options of `denoise` and `demo`, registered
// from the front ends' shared parameter table, read and checked before any
// file is touched.
#ifndef SORVIK_CLI_OPTIONS_H
#define SORVIK_CLI_OPTIONS_H

#include "cli/commands.h"

namespace sorvik::cli {

struct CommandLine {
    bool denoise = false; // else the demo
    DenoiseCommand denoiseOptions;
    DemoOptions demoOptions;
};

// Parses argv into `line`. Returns -1 to go on, or the status to exit with
// now: 0 after --help or --version, 2 for a usage error, 1 for a value
// sorvik refuses; the message is on standard error already.
int parseCommandLine(int argc, char** argv, const std::string& version, const std::string& dataDir,
                     CommandLine& line);

} // namespace sorvik::cli

#endif
