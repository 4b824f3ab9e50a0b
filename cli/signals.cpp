#include "cli/signals.h"

#include "cli/image.h"

#include <cerrno>
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <stdexcept>
#include <unistd.h>

namespace sorvik::cli {

namespace {

// The files to remove, for the handler: fixed storage, since a handler may
// not allocate. A slot's path is complete before its flag is set.
constexpr int pendingSlots = 16;
char pendingPaths[pendingSlots][PATH_MAX + 1];
volatile std::sig_atomic_t pendingUsed[pendingSlots];

extern "C" void removePendingAndReraise(int signal)
{
    for (int i = 0; i < pendingSlots; ++i)
        if (pendingUsed[i] == 1)
            ::unlink(pendingPaths[i]);
    // Scratch folders go once the files in them are gone.
    for (int i = 0; i < pendingSlots; ++i)
        if (pendingUsed[i] == 2)
            ::rmdir(pendingPaths[i]);
    std::signal(signal, SIG_DFL);
    std::raise(signal);
}

// Signals whose default action ends the process; each would otherwise leave
// a temporary file behind.
constexpr int fatalSignals[] = {SIGINT,  SIGTERM, SIGHUP,  SIGQUIT,   SIGUSR1, SIGUSR2,
                                SIGALRM, SIGPIPE, SIGXFSZ, SIGVTALRM, SIGPROF, SIGXCPU};

int freePendingSlot()
{
    for (int i = 0; i < pendingSlots; ++i)
        if (!pendingUsed[i])
            return i;
    throw std::logic_error("more temporary files at once than the signal handler can track");
}

void keepStandardDescriptorsOpen()
{
    for (int fd = 0; fd <= 2; ++fd) {
        if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF)
            continue;
        // open() returns the lowest free descriptor: this one.
        const int null = ::open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
        if (null >= 0 && null != fd)
            ::close(null);
    }
}

} // namespace

SignalsHeld::SignalsHeld()
{
    sigset_t set;
    sigemptyset(&set);
    for (int s : fatalSignals)
        sigaddset(&set, s);
    ::sigprocmask(SIG_BLOCK, &set, &previous_);
}

SignalsHeld::~SignalsHeld() { ::sigprocmask(SIG_SETMASK, &previous_, nullptr); }

InterruptCleanup::InterruptCleanup(const std::string& path, bool directory)
{
    if (path.size() > PATH_MAX)
        throw UserError("the temporary path '" + path + "' is too long");
    const SignalsHeld held;
    slot_ = freePendingSlot();
    std::memcpy(pendingPaths[slot_], path.c_str(), path.size() + 1);
    pendingUsed[slot_] = directory ? 2 : 1;
}

InterruptCleanup::~InterruptCleanup() { pendingUsed[slot_] = 0; }

void installInterruptCleanup()
{
    keepStandardDescriptorsOpen();
    for (int signal : fatalSignals) {
        // A signal the caller chose to ignore (nohup, a background job) stays ignored.
        struct sigaction previous {};
        if (::sigaction(signal, nullptr, &previous) == 0 && previous.sa_handler == SIG_IGN)
            continue;
        struct sigaction action {};
        action.sa_handler = removePendingAndReraise;
        sigemptyset(&action.sa_mask);
        for (int s : fatalSignals)
            sigaddset(&action.sa_mask, s);
        ::sigaction(signal, &action, nullptr);
    }
}

} // namespace sorvik::cli
