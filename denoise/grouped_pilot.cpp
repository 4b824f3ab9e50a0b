#include "grouped_pilot.h"

#include <filter/grouped_threshold.h>
#include <pilot/basic_estimate.h>
#include <sorvik/sorvik.h>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <exception>
#include <new>
#include <numeric>
#include <stdexcept>
#include <string>
#include <vector>

namespace sorvik {

GroupedSettings groupedDefaults(double unitSigma)
{
    // Measured with bench/pilot_bench (8-bit clipped noise, sigma given) on
    // the bundled photographs and on ten 256 x 256 grey and five colour crops
    // of other photographs, gains of the one call over pilot = dct:
    // - blocks of 6 against 8 (lambda 2.5): +0.02 to +0.07 dB on the grey
    //   mean at every sigma and +0.05 to +0.08 in colour, and no image below
    //   the dct pilot's result; blocks of 4 lost 1 dB on texture, of 5 and 7
    //   less than 6, 7 at 1.3 x the time of 6;
    // - lambda 2.5 against 2.7 at sigma 25 to 50: textures such as grass fell
    //   below the dct pilot with 2.7 (-0.06 to -0.13 dB) and gain with 2.5
    //   (+0.05 to +0.10), the means rise 0.01 to 0.06 dB; 2.3 and 2.4 lost
    //   on gravel;
    // - groups of 32 against 16: +0.04 dB on the grey mean at sigma 50
    //   (colour -0.01), +0.03 at 35 and +0.01 at 25, where they would take
    //   the call past twice the dct pilot's time, so only above 40;
    // - step 4 against 3: 0.015 dB lower at sigma 15 and 50 (0.01 to 0.02
    //   on the bundled photographs at 50) for 0.8 x the time; above sigma 40,
    //   where groups of 32 and blocks of 6 took the call to 1.9 to 2.15 x
    //   the dct pilot's time, step 4 brings it to about 1.55 x;
    // - two blocks of pure noise lie about 2 P^2 sigma^2 apart; a threshold
    //   near that keeps groups full in flat regions, and the results hardly
    //   move between 150 and 500 sigma^2 (100: 0.4 dB lower at sigma 25;
    //   with blocks of 6, 146 sigma^2 gave the same as 260 within 0.01 dB);
    // - matching on floored spectra (floor 1 to 2.5 sigma) lost 0.01 to
    //   0.4 dB, so it is off; step 2 gave +0.01 dB at 1.6 x the time.
    GroupedSettings s;
    const double sigma255 = 255.0 * unitSigma;
    s.blockSize = 6;
    s.matchThreshold = std::max(0.2, 260.0 * unitSigma * unitSigma);
    s.lambda = 2.5;
    s.maxGroupSize = sigma255 > 40.0 ? 32 : 16;
    s.step = sigma255 > 40.0 ? 4 : 3;
    return s;
}

GroupedSettings groupedSettings(const GroupedChoice& choice, double unitSigma)
{
    GroupedSettings s = groupedDefaults(unitSigma);
    s.blockSize = choice.blockSize.value_or(s.blockSize);
    s.step = choice.step.value_or(std::min(s.step, s.blockSize));
    s.maxGroupSize = choice.maxGroupSize.value_or(s.maxGroupSize);
    s.searchRadius = choice.searchRadius.value_or(s.searchRadius);
    s.lambda = choice.lambda.value_or(s.lambda);
    s.matchThreshold = choice.matchThreshold.value_or(s.matchThreshold);
    return s;
}

PilotReach pilotReach(const GroupedSettings& s)
{
    // A pilot pixel takes the groups of the references within R + P - 1 of
    // it, each chosen from pixels R + P - 1 around its reference; a tile's
    // own last reference then lies out of its reach unless R = 0 (see
    // <sorvik/tiling.h>).
    const std::int32_t reach = std::max(2 * s.searchRadius + s.blockSize - 1, s.searchRadius + s.blockSize);
    return PilotReach{reach, std::max(s.step, std::int32_t{1})};
}

namespace {

// The defaults change at a few levels of 8-bit noise; every whole level
// meets each of them. Their steps differ (3, and 4 at high noise), so a
// tile that must start on every sigma's reference grid starts on a multiple
// of their least common multiple.
PilotReach widestReach(const GroupedChoice& choice)
{
    PilotReach widest{basicBlockSize - 1, 1};
    for (double sigma255 = 0.0; sigma255 <= 255.0; sigma255 += 1.0) {
        const PilotReach r = pilotReach(groupedSettings(choice, sigma255 / 255.0));
        widest.reach = std::max(widest.reach, r.reach);
        widest.step = std::lcm(widest.step, r.step);
    }
    return widest;
}

} // namespace

PilotReach defaultPilotReach() { return widestReach(GroupedChoice{}); }

PilotReach pilotReach(const DenoiseOptions& options)
{
    if (options.pilot == PilotKind::dct)
        return PilotReach{basicBlockSize - 1, 1};
    if (options.grouped)
        return pilotReach(*options.grouped);
    return widestReach(options.choice);
}

namespace detail {
namespace {

// Passes the walk's progress on; an exception from the callback is held
// until the walk is over, as none may cross the filter's threads.
struct HeldProgress {
    const DenoiseProgress* progress;
    std::exception_ptr error;

    static void report(void* context, std::int32_t done, std::int32_t total)
    {
        auto* relay = static_cast<HeldProgress*>(context);
        if (relay->error)
            return;
        try {
            (*relay->progress)(DenoiseStage::groupedEstimate, -1, done, total);
        } catch (...) {
            relay->error = std::current_exception();
        }
    }
};

void reject(const std::string& what)
{
    throw std::invalid_argument("grouped pilot: " + what);
}

} // namespace

void groupedPilot(std::int32_t rows, std::int32_t cols, int channels, const double* unit,
                  const double* sigmas, double unitSigma, const DenoiseOptions& options,
                  float* pilot, const float* const* noiseShapes)
{
    const GroupedSettings s = options.grouped ? *options.grouped : groupedSettings(options.choice, unitSigma);
    if (!std::isfinite(s.lambda) || s.lambda < 0.0 || s.lambda > 1e6)
        reject("lambda must be a finite number from 0 to 1e6");
    if (!std::isfinite(s.matchFloor) || s.matchFloor < 0.0 || s.matchFloor > 1e6)
        reject("the match floor must be a finite number from 0 to 1e6");
    WienerSettings shape;
    shape.blockSize = s.blockSize;
    shape.step = s.step;
    shape.maxGroupSize = s.maxGroupSize;
    shape.searchRadius = s.searchRadius;
    shape.matchThreshold = s.matchThreshold;
    shape.sigma = sigmas[0];
    FilterSetup setup;
    try {
        setup = prepareFilter(shape, rows, cols);
    } catch (const std::invalid_argument& e) {
        reject(e.what());
    }

    ThresholdParams params;
    params.filter = setup.params;
    params.lambda = float(s.lambda);
    params.matchFloor = float(s.matchFloor);
    const std::size_t plane = std::size_t(rows) * std::size_t(cols);
    std::vector<Channel> planes(static_cast<std::size_t>(channels));
    for (int c = 0; c < channels; ++c) {
        planes[c].noisy = unit + std::size_t(c) * plane;
        planes[c].sigma = float(sigmas[c]);
        planes[c].estimate = pilot + std::size_t(c) * plane;
        planes[c].noiseShape = noiseShapes ? noiseShapes[c] : nullptr;
    }
    HeldProgress relay{&options.progress, nullptr};
    FilterOptions filterOptions;
    filterOptions.threads = options.threads;
    if (options.progress) {
        filterOptions.progress = &HeldProgress::report;
        filterOptions.progressContext = &relay;
    }
    const FilterStatus status = runThresholdChannels(params, planes.data(), channels,
                                                     setup.window.data(), filterOptions);
    if (relay.error)
        std::rethrow_exception(relay.error);
    if (status == FilterStatus::outOfMemory)
        throw std::bad_alloc();
    if (status != FilterStatus::ok)
        throw std::runtime_error(std::string("the grouped pilot failed: ") + statusMessage(status));
}

} // namespace detail
} // namespace sorvik
