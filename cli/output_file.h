// Atomic output: every file is written under a temporary name beside its
// target and renamed over it only once whole, so that a failure leaves the
// target as it was.
#ifndef SORVIK_CLI_OUTPUT_FILE_H
#define SORVIK_CLI_OUTPUT_FILE_H

#include "cli/signals.h"

#include <memory>
#include <string>

namespace sorvik::cli {

// Follows symbolic links to the file a write through `path` would reach,
// whether or not that file exists yet, so that the link itself survives.
std::string finalTarget(const std::string& path);

std::string directoryOf(const std::string& path);

// A hidden file in `directory`, recorded for the signal handler and removed
// unless renamed into place. It gets the mode the target has, or else the one
// a new file would get. The target's extension is kept so that the image
// library picks its format.
class TemporaryFile {
public:
    TemporaryFile(const std::string& directory, const std::string& extension,
                  const std::string& target);
    TemporaryFile(const TemporaryFile&) = delete;
    TemporaryFile& operator=(const TemporaryFile&) = delete;
    ~TemporaryFile();

    const std::string& path() const { return path_; }

    // Flushes the finished file to disk, so that a crash after the rename
    // cannot leave a renamed but empty file.
    void flush(const std::string& target);

    // False, with errno set, when the rename failed.
    bool renameTo(const std::string& target);

private:
    std::string path_;
    std::unique_ptr<InterruptCleanup> cleanup_;
};

} // namespace sorvik::cli

#endif
