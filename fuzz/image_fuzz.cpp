// The tool's image reading on arbitrary files, and nothing else (no
// denoising, no writing), so that each input costs what reading it costs:
// whatever the bytes, reading either gives pages within the pixel limit or
// throws UserError; it never crashes, hangs, reads out of bounds or
// allocates what the header alone asks for (-rss_limit_mb catches that).
#include "cli/image_read.h"

#include <OpenImageIO/imageio.h>

#include <sanitizer/common_interface_defs.h>

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>
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

// Small enough that every accepted image is read in moments: the reader's
// strips are sized by the header (a megasample at most), and zeroing
// megabytes for every input would be most of the fuzzer's time.
constexpr std::uint64_t fuzzMaxPixels = std::uint64_t(1) << 14;

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
    // A file the extension's reader refuses is otherwise offered to every
    // reader the library has, movie and camera-raw probes among them, which
    // costs tens of milliseconds an input. The first byte already spreads
    // the inputs over the readers, so each is fuzzed on its own, and many
    // times as often.
    OIIO::attribute("try_all_readers", 0);
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
        const std::vector<sorvik::cli::Picture> pages =
            sorvik::cli::readPictures(path, "fuzz", fuzzMaxPixels);
        // What the reader promises about the pages it accepts.
        std::uint64_t total = 0;
        for (const sorvik::cli::Picture& page : pages) {
            const std::uint64_t pixels = std::uint64_t(page.rows) * std::uint64_t(page.cols);
            total += pixels;
            if (page.rows < 1 || page.cols < 1 || page.channels < 1 || page.channels > 4 ||
                page.alpha >= page.channels || page.orientation < 1 || page.orientation > 8 ||
                page.pixels.size() != pixels * std::uint64_t(page.channels))
                __builtin_trap();
            // Integer samples are whole levels within their type.
            if (!sorvik::cli::isFloat(page.depth))
                for (double v : page.pixels)
                    if (v != sorvik::cli::toLevel(page.depth, v))
                        __builtin_trap();
            // The grey reading of the pilot path either refuses the page or
            // gives one value a pixel.
            try {
                if (sorvik::cli::greyPlane(page, "fuzz").size() != pixels)
                    __builtin_trap();
            } catch (const sorvik::cli::UserError&) {
            }
        }
        if (pages.empty() || total > fuzzMaxPixels)
            __builtin_trap();
    } catch (const sorvik::cli::UserError&) {
    }
    return 0;
}
