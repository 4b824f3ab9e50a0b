// Fatal signals while the tool has scratch or temporary files on disk: the
// files go, then the signal takes its usual course.
#ifndef SORVIK_CLI_SIGNALS_H
#define SORVIK_CLI_SIGNALS_H

#include <csignal>
#include <string>

namespace sorvik::cli {

// While alive, `path` (a scratch file, or a folder that holds only such
// files) is removed should a fatal signal arrive; installInterruptCleanup
// must have run. Removing it otherwise is the owner's job.
class InterruptCleanup {
public:
    InterruptCleanup(const std::string& path, bool directory);
    InterruptCleanup(const InterruptCleanup&) = delete;
    InterruptCleanup& operator=(const InterruptCleanup&) = delete;
    ~InterruptCleanup();

private:
    int slot_ = 0;
};

// Holds the fatal signals off while a file is made and recorded, so that
// none can arrive between the two.
class SignalsHeld {
public:
    SignalsHeld();
    SignalsHeld(const SignalsHeld&) = delete;
    SignalsHeld& operator=(const SignalsHeld&) = delete;
    ~SignalsHeld();

private:
    sigset_t previous_;
};

// Deletes the temporary output files if a signal whose default action ends
// the process (INT, TERM, HUP, QUIT, USR1, USR2, ALRM, PIPE, XFSZ, ...)
// arrives while they are being written, then lets the signal take its usual
// course. It also opens /dev/null on whichever of descriptors 0, 1 and 2 the
// tool was started without (from cron, or with 2>&-): an output file opened
// on one of them would receive what is meant for that stream, and the codec
// silencer, which swaps descriptor 2, would close it under the writer.
void installInterruptCleanup();

} // namespace sorvik::cli

#endif
