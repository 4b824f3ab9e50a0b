// The tool's image reading on arbitrary files: whatever the bytes, reading
// either gives a grey image within the pixel limit or throws UserError; it
// never crashes, hangs, reads out of bounds or allocates what the header
// alone asks for (-rss_limit_mb catches that).
#include "cli/image_io.h"

#include <sanitizer/common_interface_defs.h>

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>

namespace {

// The reader silences standard error while codecs run; the sanitizers'
// reports must still be seen, so they go to a copy of it.
int reportFd = -1;

// The input's first byte picks the file's extension, and so the format the
// image library tries first (it probes all the others after it); the rest is
// the file. One scratch file per extension, rewritten for every input.
const char* const extensions[] = {".png", ".tif", ".pgm", ".bmp", ".jpg", ".exr",
                                  ".hdr", ".gif", ".webp", ".ico", ".sgi", ""};
constexpr std::size_t extensionCount = sizeof extensions / sizeof extensions[0];
std::string scratch[extensionCount];

// Small enough that every accepted image is read in moments.
constexpr std::uint64_t fuzzMaxPixels = std::uint64_t(1) << 18;

} // namespace

// The image library's PNG reader leaks a message string whenever the codec
// jumps out of a failed read; that is the library's, not ours, and would
// stop every run at its first damaged PNG. Full stacks let the suppression
// see the library's frame.
extern "C" const char* __lsan_default_suppressions() { return "leak:libOpenImageIO.so\n"; }
extern "C" const char* __lsan_default_options() { return "print_suppressions=0"; }
extern "C" const char* __asan_default_options() { return "fast_unwind_on_malloc=0"; }

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    reportFd = ::dup(STDERR_FILENO);
    __sanitizer_set_report_fd(reinterpret_cast<void*>(static_cast<std::intptr_t>(reportFd)));
    for (std::size_t k = 0; k < extensionCount; ++k) {
        std::string pattern = std::string("/tmp/sorvik-image-fuzz-XXXXXX") + extensions[k];
        const int fd = ::mkstemps(pattern.data(), int(std::strlen(extensions[k])));
        if (fd < 0)
            std::abort();
        ::close(fd);
        scratch[k] = pattern;
    }
    std::atexit([] {
        for (const std::string& path : scratch)
            ::unlink(path.c_str());
    });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size == 0)
        return 0;
    const std::string& path = scratch[data[0] % extensionCount];
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (!f)
        std::abort();
    if (size > 1 && std::fwrite(data + 1, 1, size - 1, f) != size - 1)
        std::abort();
    std::fclose(f);
    try {
        const sorvik::cli::GreyImage image = sorvik::cli::readGreyImage(path, "fuzz", fuzzMaxPixels);
        // What the reader promises about an image it accepts.
        const std::uint64_t pixels = std::uint64_t(image.rows) * std::uint64_t(image.cols);
        if (image.rows < 1 || image.cols < 1 || pixels > fuzzMaxPixels || image.pixels.size() != pixels)
            __builtin_trap();
        for (double v : image.pixels)
            if (std::isfinite(v) && (v < image.lowest || v > image.highest))
                __builtin_trap();
    } catch (const sorvik::cli::UserError&) {
    }
    return 0;
}
