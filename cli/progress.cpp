#include "cli/progress.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <unistd.h>

namespace sorvik::cli {

namespace {

constexpr double quietStart = 0.5;   // seconds before the first drawing
constexpr double redrawEvery = 0.1;  // seconds between drawings
constexpr int barWidth = 30;

double steadySeconds()
{
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

std::string clockTime(double seconds)
{
    const long s = std::lround(std::max(seconds, 0.0));
    char text[32];
    if (s >= 3600)
        std::snprintf(text, sizeof text, "%ld:%02ld:%02ld", s / 3600, s / 60 % 60, s % 60);
    else
        std::snprintf(text, sizeof text, "%ld:%02ld", s / 60, s % 60);
    return text;
}

} // namespace

bool progressWanted(bool quiet) { return !quiet && ::isatty(STDERR_FILENO) == 1; }

std::string formatProgress(const std::string& label, std::int32_t done, std::int32_t total,
                           double elapsedSeconds, const std::string& unit)
{
    const double fraction = total > 0 ? std::clamp(double(done) / total, 0.0, 1.0) : 1.0;
    const int filled = int(fraction * barWidth);
    std::string line = label + " [" + std::string(std::size_t(filled), '#') +
                       std::string(std::size_t(barWidth - filled), '.') + "] " +
                       std::to_string(done) + "/" + std::to_string(total) + " " + unit + "  " +
                       clockTime(elapsedSeconds) + " elapsed";
    if (done > 0 && done < total)
        line += "  " + clockTime(elapsedSeconds * (total - done) / done) + " left";
    return line;
}

ProgressBar::ProgressBar(std::string label, bool enabled, std::FILE* out, Clock clock)
    : label_(std::move(label)), enabled_(enabled), out_(out),
      clock_(clock ? std::move(clock) : Clock(steadySeconds))
{
    if (enabled_)
        start_ = clock_();
}

ProgressBar::~ProgressBar() { finish(); }

void ProgressBar::report(void* context, std::int32_t rowsDone, std::int32_t rowsTotal)
{
    static_cast<ProgressBar*>(context)->update(rowsDone, rowsTotal);
}

void ProgressBar::update(std::int32_t rowsDone, std::int32_t rowsTotal)
{
    if (!enabled_)
        return;
    const std::lock_guard<std::mutex> lock(mutex_);
    if (finished_ || rowsDone <= done_)
        return;
    done_ = rowsDone;
    const double elapsed = clock_() - start_;
    const bool last = rowsDone >= rowsTotal;
    if (elapsed < quietStart || (!last && lastDraw_ >= 0.0 && elapsed - lastDraw_ < redrawEvery))
        return;
    lastDraw_ = elapsed;
    // Pad so that a shorter line fully covers the previous one.
    std::fprintf(out_, "\r%-78s", formatProgress(label_, rowsDone, rowsTotal, elapsed, unit_).c_str());
    std::fflush(out_);
    drawn_ = true;
}

void ProgressBar::setUnit(std::string unit)
{
    const std::lock_guard<std::mutex> lock(mutex_);
    unit_ = std::move(unit);
}

void ProgressBar::note(const std::string& text)
{
    const std::lock_guard<std::mutex> lock(mutex_);
    if (drawn_ && !finished_)
        std::fprintf(out_, "\r%-78s\n", text.c_str());
    else
        std::fprintf(out_, "%s\n", text.c_str());
    std::fflush(out_);
    drawn_ = false;
    lastDraw_ = -1.0;
}

void ProgressBar::finish()
{
    const std::lock_guard<std::mutex> lock(mutex_);
    if (drawn_ && !finished_) {
        std::fputc('\n', out_);
        std::fflush(out_);
    }
    finished_ = true;
}

} // namespace sorvik::cli
