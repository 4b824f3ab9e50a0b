// Checks and messages that every denoising path of the tool shares.
#ifndef SORVIK_CLI_CHECKS_H
#define SORVIK_CLI_CHECKS_H

#include "cli/image.h"
#include "cli/progress.h"
#include "frontend/noise_choice.h"
#include "frontend/parameters.h"
#include "frontend/settings.h"
#include "sorvik/denoise.h"

#include <algorithm>
#include <cstdint>
#include <optional>
#include <string>

namespace sorvik::cli {

// `given` is --sigma as the user typed it, `unit` the same on the filter's
// 0..1 scale; throws unless the filter can compute with it.
void checkSigma(double given, double unit);
// --sigma before any file is read: a finite number > 0.
void checkUserSigma(const std::optional<double>& sigma);
void checkThreadCount(int threads);

FilterSetup prepare(const WienerSettings& settings, std::int32_t rows, std::int32_t cols);

// A page must hold one block in each direction. Said here, from the header,
// in the tool's width x height order and with the file's name: the
// library's own check comes after the pixels are read (or the plan of a
// stream printed) and counts rows first, as arrays do.
void checkBlockFits(const Picture& page, std::int32_t blockSize, const std::string& what);

// The unit a sigma of this depth is quoted in.
std::string unitsOf(PixelDepth depth);

// The range an integer depth's levels span, which the denoiser scales by.
DataRange integerRange(PixelDepth depth);


// What the tool prints of an estimated model: "estimated sigma: S (units)"
// for white noise, the whole model for photon counts.
std::string noiseNote(const NoiseModel& model, double sigma, PixelDepth depth);

std::string nonFiniteMessage(const std::string& what, const NonFiniteValue& e, bool colour);

// Alpha must hold what its samples can: a finite value, and for float data
// written to integer samples, one within 0..1; `v` is one alpha value of
// the page at row, col.
void checkAlpha(double v, bool integerOutput, const std::string& what, std::int64_t row,
                std::int64_t col);

// Progress over a whole run: every file an equal share, every page of a file
// an equal share of that, and within a page each basic-estimate channel and
// the Wiener stage an equal share again.
struct RunProgress {
    ProgressBar* bar;
    int files = 1;
    int file = 0;
    std::size_t pages = 1;
    std::size_t page = 0;
    int colours = 1;

    static constexpr std::int32_t total = 100;

    void report(DenoiseStage stage, int channel, std::int32_t done, std::int32_t rows) const
    {
        const double part = rows > 0 ? double(done) / rows : 1.0;
        // The grouped pilot takes every colour at once.
        const double step = stage == DenoiseStage::wiener            ? colours + part
                            : stage == DenoiseStage::groupedEstimate ? colours * part
                                                                     : std::max(channel, 0) + part;
        const double inPage = step / (colours + 1);
        const double inFile = (double(page) + inPage) / double(pages);
        bar->update(std::int32_t(total * (file + inFile) / files), total);
    }

    // A fraction of the current page done.
    void within(double inPage) const
    {
        const double inFile = (double(page) + inPage) / double(pages);
        bar->update(std::int32_t(total * (file + inFile) / files), total);
    }
};

} // namespace sorvik::cli

#endif
