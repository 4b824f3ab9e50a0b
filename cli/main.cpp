// sorvik: denoise grey and colour images from the command line.
#include "cli/commands.h"
#include "cli/options.h"
#include "cli/streaming.h"

#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exception>
#include <new>

#ifndef SORVIK_VERSION
#error "SORVIK_VERSION must be defined by the build"
#endif
#ifndef SORVIK_DATA_DIR
#error "SORVIK_DATA_DIR must be defined by the build"
#endif

// Under AddressSanitizer's leak check: the image library's PNG reader leaks a
// message string each time the codec jumps out of a damaged file. The leak is
// the library's, one string per refused file; without this every refused PNG
// would end an instrumented tool with the leak checker's status instead of 1.
// Full stacks let the suppression see the uninstrumented library's frame.
#if defined(__SANITIZE_ADDRESS__)
#define SORVIK_LEAK_CHECKED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define SORVIK_LEAK_CHECKED 1
#endif
#endif
#ifdef SORVIK_LEAK_CHECKED
extern "C" const char* __lsan_default_suppressions() { return "leak:libOpenImageIO.so\n"; }
extern "C" const char* __lsan_default_options() { return "print_suppressions=0"; }
extern "C" const char* __asan_default_options() { return "fast_unwind_on_malloc=0"; }
#endif

namespace {

// The image library's dependencies come to about 400 MB of address space and
// start work while they are loaded, before main: one of them a pool of
// threads, which throws std::system_error where nothing can catch it once an
// address-space limit (ulimit -v) leaves no room for their stacks; another
// dereferences an allocation that failed. Until main runs, either ends the
// tool with a message and status 1 instead of an abort or a crash. A preinit
// function runs before any library's constructors.
constexpr char loadFailure[] =
    "sorvik: error: the image libraries could not be loaded: not enough memory or address space "
    "(is ulimit -v below about 500 MB?)\n";

void failWhileLoading()
{
    const ssize_t ignored = write(2, loadFailure, sizeof loadFailure - 1);
    (void)ignored;
    _exit(1);
}

void crashWhileLoading(int) { failWhileLoading(); }

std::terminate_handler previousTerminate = nullptr;
struct sigaction previousSegv, previousBus;

// `sorvik --version` alone is answered here, before the image library's
// dependencies start anything, so that it works under any address-space
// limit that lets the program be mapped at all.
constexpr char versionLine[] = "sorvik " SORVIK_VERSION "\n";

void answerVersion(int argc, char** argv)
{
    if (argc != 2 || argv == nullptr || argv[1] == nullptr || std::strcmp(argv[1], "--version") != 0)
        return;
    std::size_t done = 0;
    while (done < sizeof versionLine - 1) {
        const ssize_t n = write(1, versionLine + done, sizeof versionLine - 1 - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            constexpr char failure[] = "sorvik: error: standard output cannot be written\n";
            const ssize_t ignored = write(2, failure, sizeof failure - 1);
            (void)ignored;
            _exit(1);
        }
        done += std::size_t(n);
    }
    _exit(0);
}

void guardLoading(int argc, char** argv, char**)
{
    answerVersion(argc, argv);
    previousTerminate = std::set_terminate(failWhileLoading);
    struct sigaction action = {};
    action.sa_handler = crashWhileLoading;
    sigemptyset(&action.sa_mask);
    sigaction(SIGSEGV, &action, &previousSegv);
    sigaction(SIGBUS, &action, &previousBus);
}

__attribute__((section(".preinit_array"), used)) void (*const preinit)(int, char**, char**) = guardLoading;

void endLoadingGuard()
{
    std::set_terminate(previousTerminate);
    sigaction(SIGSEGV, &previousSegv, nullptr);
    sigaction(SIGBUS, &previousBus, nullptr);
}

} // namespace

int main(int argc, char** argv)
{
    endLoadingGuard();
    using namespace sorvik::cli;
    CommandLine line;
    const int early = parseCommandLine(argc, argv, SORVIK_VERSION, SORVIK_DATA_DIR, line);
    if (early >= 0)
        return early;

    const auto fail = [](const char* what, int status) {
        std::fprintf(stderr, "sorvik: error: %s\n", what);
        return status;
    };
    installInterruptCleanup();
    try {
        if (line.denoise)
            return runDenoise(line.denoiseOptions);
        runDemo(line.demoOptions);
    } catch (const UsageError& e) {
        return fail(e.what(), 2);
    } catch (const std::bad_alloc&) {
        return fail("not enough memory", 1);
    } catch (const std::exception& e) {
        return fail(e.what(), 1);
    }
    return 0;
}
