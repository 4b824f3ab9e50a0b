// Standard input and output as image files: the image library needs a file
// it can seek in, so each goes through a private scratch folder.
#ifndef SORVIK_CLI_STANDARD_STREAMS_H
#define SORVIK_CLI_STANDARD_STREAMS_H

#include "cli/signals.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace sorvik::cli {

// ".png", ".tif" or ".jpg" for the format --format names; "" for none.
std::string extensionOfFormat(const std::string& format);

// A private folder under $TMPDIR (or /tmp), removed with everything in it.
class ScratchDir {
public:
    ScratchDir();
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;
    ~ScratchDir();
    // A file in the folder, removed with it, or by a fatal signal.
    std::string file(const std::string& name);

private:
    std::string path_;
    std::vector<std::unique_ptr<InterruptCleanup>> cleanups_;
};

// Copies standard input to `path`, at most `limit` bytes (0: no limit), so
// that the image library can seek in it.
void saveStandardInput(const std::string& path, std::uint64_t limit);

void copyToStandardOutput(const std::string& path);

} // namespace sorvik::cli

#endif
