// A one-line progress bar on standard error, fed by the row counts that the
// filter and the basic estimate report.
#ifndef SORVIK_CLI_PROGRESS_H
#define SORVIK_CLI_PROGRESS_H

#include <cstdint>
#include <cstdio>
#include <functional>
#include <mutex>
#include <string>

namespace sorvik::cli {

// True when a bar would be seen: standard error is a terminal and the user
// did not ask for quiet.
bool progressWanted(bool quiet);

// "label [#####.....]  120/505 rows  0:03 elapsed  0:09 left"
std::string formatProgress(const std::string& label, std::int32_t done, std::int32_t total,
                           double elapsedSeconds, const std::string& unit = "rows");

class ProgressBar {
public:
    using Clock = std::function<double()>; // seconds from any fixed origin

    // A disabled bar ignores every report. An enabled one stays silent for
    // its first half second, so that quick calls print nothing, and then
    // redraws at most ten times a second.
    ProgressBar(std::string label, bool enabled, std::FILE* out = stderr, Clock clock = {});
    ProgressBar(const ProgressBar&) = delete;
    ProgressBar& operator=(const ProgressBar&) = delete;
    ~ProgressBar();

    // Matches the filter's progress callback; context is the ProgressBar.
    // Safe to call from several threads: counts that arrive out of order
    // never move the bar back.
    static void report(void* context, std::int32_t rowsDone, std::int32_t rowsTotal);

    void update(std::int32_t rowsDone, std::int32_t rowsTotal);

    // Ends the bar's line if one was drawn.
    void finish();

    // What the counts are of ("rows" unless set).
    void setUnit(std::string unit);

    // Prints a line of text on the bar's stream without tearing the bar:
    // the bar's line is overwritten and redrawn below at the next report.
    void note(const std::string& text);

private:
    std::string label_;
    std::string unit_ = "rows";
    bool enabled_;
    std::FILE* out_;
    Clock clock_;
    std::mutex mutex_;
    double start_ = 0.0;
    double lastDraw_ = -1.0;
    std::int32_t done_ = 0;
    bool drawn_ = false;
    bool finished_ = false;
};

} // namespace sorvik::cli

#endif
