// The one-call denoiser: data units -> [0, 1] -> opponent channels -> pilot
// (grouped or basic estimate) -> Wiener stage with shared groups -> back to the data's units.
#include <sorvik/denoise.h>

#include "grouped_pilot.h"
#include "noise_model.h"
#include "noise_power.h"

#include <pilot/basic_estimate.h>
#include <sorvik/sorvik.h>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace sorvik {
namespace {

void checkInput(const DenoiseInput& in)
{
    if (in.channels == 2)
        throw std::invalid_argument(
            "2 channels have no defined meaning; give 1 (grey) or 3 (RGB) channels");
    if (in.channels > maxDenoiseChannels)
        throw std::invalid_argument(std::to_string(in.channels) +
                                    " channels is more than the 3 (RGB) an image may have; an "
                                    "alpha channel is kept aside by the caller");
    if (in.channels < 1)
        throw std::invalid_argument("the image needs 1 or 3 channels, not " +
                                    std::to_string(in.channels));
    if (in.rows < 1 || in.cols < 1)
        throw std::invalid_argument("the image is empty (" + std::to_string(in.rows) + " x " +
                                    std::to_string(in.cols) + ")");
    if (in.pixels == nullptr)
        throw std::invalid_argument("the image's pixels are null");
    if (!std::isfinite(in.range.low) || !std::isfinite(in.range.high) ||
        !(in.range.low < in.range.high) || !std::isfinite(in.range.width()))
        throw std::invalid_argument("the data range needs finite ends with low < high, not [" +
                                    formatNumber(in.range.low) + ", " + formatNumber(in.range.high) + "]");
    checkFinite(in.pixels, in.rows, in.cols, in.channels);
    // The filter clips to the range: a value outside it would come back changed
    // by more than the noise, so the range is refused rather than the data clipped.
    const std::size_t plane = std::size_t(in.rows) * std::size_t(in.cols);
    const std::size_t count = plane * std::size_t(in.channels);
    for (std::size_t i = 0; i < count; ++i)
        if (in.pixels[i] < in.range.low || in.pixels[i] > in.range.high) {
            const std::size_t p = i % plane;
            throw std::invalid_argument(
                "the value " + formatNumber(in.pixels[i]) + " at row " + std::to_string(p % in.rows) +
                ", column " + std::to_string(p / in.rows) + ", channel " +
                std::to_string(i / plane) + " lies outside the data range [" +
                formatNumber(in.range.low) + ", " + formatNumber(in.range.high) + "]");
        }
}

std::string formatTwoDigits(double v)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.2g", v);
    return text;
}

struct ProgressRelay {
    const DenoiseProgress* progress;
    DenoiseStage stage;
    int channel;

    static void report(void* context, std::int32_t done, std::int32_t total)
    {
        const auto* relay = static_cast<const ProgressRelay*>(context);
        (*relay->progress)(relay->stage, relay->channel, done, total);
    }
};

} // namespace

void checkNoiseEstimate(bool constant, double sigma)
{
    if (constant)
        throw std::invalid_argument("the image is constant: its noise level cannot be estimated; give sigma");
    if (!(sigma > 0.0))
        throw std::invalid_argument("no noise could be measured in the image (it is exactly smooth); give sigma");
}

DenoiseResult denoise(const DenoiseInput& in, const DenoiseOptions& options)
{
    checkInput(in);
    const detail::NoisePlan plan = detail::planNoise(in, {}, {}, options.threads);
    if (plan.model.kind == NoiseKind::poissonGaussian)
        return detail::denoiseStabilised(in, options, plan);
    const std::size_t plane = std::size_t(in.rows) * std::size_t(in.cols);
    const std::size_t count = plane * std::size_t(in.channels);

    DenoiseResult result;
    result.noise = plan.model;
    if (in.sigma.has_value()) {
        if (!std::isfinite(*in.sigma) || *in.sigma <= 0.0)
            throw std::invalid_argument("sigma must be a finite number > 0, not " +
                                        formatNumber(*in.sigma));
        // Noise wider than the data's whole range means sigma was given on
        // another scale (25 for data in [0, 1]); filtering with it would
        // quietly flatten the image.
        if (*in.sigma > in.range.width())
            throw std::invalid_argument("sigma " + formatNumber(*in.sigma) +
                                        " exceeds the width of the data range [" +
                                        formatNumber(in.range.low) + ", " + formatNumber(in.range.high) +
                                        "]; give sigma in the data's own units");
        result.sigma = *in.sigma;
    } else {
        result.sigma = plan.model.sigma; // estimateNoiseSigma's bits where it measures noise
        result.sigmaEstimated = true;
    }

    std::vector<double> unit(in.pixels, in.pixels + count);
    detail::toFilterPlanes(unit.data(), plane, in.channels, in.range);
    const double unitSigma = in.range.sigmaToUnit(result.sigma);

    // Per channel: the map from the channel's own range onto [0, 1].
    std::vector<DataRange> channelRange(std::size_t(in.channels), DataRange{});
    if (in.channels == 3)
        for (int c = 0; c < 3; ++c)
            channelRange[c] = opponentRange(c);

    // The filter squares each channel's sigma in single precision; one that
    // cannot be is refused here in the caller's units, where the filter's
    // own check could only quote its 0..1 scale.
    bool squares = true;
    double lowest = 0.0, highest = std::numeric_limits<double>::infinity();
    for (int c = 0; c < in.channels; ++c) {
        const double channelSigma = channelRange[c].sigmaToUnit(unitSigma);
        const float f = float(channelSigma);
        squares = squares && f * f > 0.0f && std::isfinite(f * f);
        const double perUnit = result.sigma / channelSigma;
        lowest = std::max(lowest, perUnit * minSigma);
        highest = std::min(highest, perUnit * maxSigma);
    }
    if (!squares) {
        // Two digits say a bound; formatNumber writes its exponent as people do.
        const auto rough = [](double v) { return formatNumber(std::stod(formatTwoDigits(v))); };
        throw std::invalid_argument("sigma " + formatNumber(result.sigma) +
                                    " is outside the range sorvik computes with for this data: about " +
                                    rough(lowest) + " to " + rough(highest) + " in the data's units");
    }

    // Correlated noise: each channel's own level and spectrum, measured on
    // the planes the stages filter.
    std::optional<detail::ColouredChannels> coloured;
    if (plan.model.kind == NoiseKind::correlated) {
        const std::int32_t groupedBlock =
            options.grouped ? options.grouped->blockSize
                            : groupedSettings(options.choice, unitSigma).blockSize;
        if (in.shapes) {
            detail::checkShapes(*in.shapes, in.channels, options.wiener.blockSize, groupedBlock);
            coloured = in.shapes;
        } else {
            coloured = detail::colouredChannels(unit.data(), in.rows, in.cols, in.channels,
                                                options.wiener.blockSize, groupedBlock);
            // A sigma given sets the level; the spectrum keeps its shape.
            const double level = in.sigma ? *in.sigma / plan.model.spectrum.sigma : 1.0;
            for (double& sigma : coloured->sigma)
                sigma *= level;
        }
    }

    std::vector<WienerSettings> settings(std::size_t(in.channels), options.wiener);
    FilterSetup setup;
    for (int c = 0; c < in.channels; ++c) {
        settings[c].sigma = coloured ? coloured->sigma[c] : channelRange[c].sigmaToUnit(unitSigma);
        // Validates every channel's sigma and the parameters; channel 0's setup
        // serves all, since only sigma differs.
        FilterSetup channelSetup = prepareFilter(settings[c], in.rows, in.cols);
        if (c == 0)
            setup = std::move(channelSetup);
    }

    std::vector<float> pilot(count);
    // The basic estimate knows white noise alone: correlated noise takes the grouped pilot.
    const bool grouped = options.pilot == PilotKind::grouped || coloured;
    if (grouped) {
        std::vector<double> sigmas(std::size_t(in.channels));
        std::vector<const float*> shapes(std::size_t(in.channels), nullptr);
        for (int c = 0; c < in.channels; ++c) {
            sigmas[c] = settings[c].sigma;
            shapes[c] = coloured ? coloured->grouped[c].data() : nullptr;
        }
        detail::groupedPilot(in.rows, in.cols, in.channels, unit.data(), sigmas.data(), unitSigma,
                             options, pilot.data(), coloured ? shapes.data() : nullptr);
    }
    for (int c = 0; c < in.channels && !grouped; ++c) {
        ProgressRelay relay{&options.progress, DenoiseStage::basicEstimate, c};
        BasicEstimateOptions basic;
        basic.threads = options.threads;
        if (options.progress) {
            basic.progress = &ProgressRelay::report;
            basic.progressContext = &relay;
        }
        basicEstimate(in.rows, in.cols, unit.data() + std::size_t(c) * plane, settings[c].sigma,
                      pilot.data() + std::size_t(c) * plane, basic);
    }

    std::vector<float> estimate(count);
    std::vector<Channel> channels(std::size_t(in.channels));
    for (int c = 0; c < in.channels; ++c) {
        channels[c].noisy = unit.data() + std::size_t(c) * plane;
        channels[c].pilot = pilot.data() + std::size_t(c) * plane;
        channels[c].sigma = float(settings[c].sigma);
        channels[c].estimate = estimate.data() + std::size_t(c) * plane;
        channels[c].noiseShape = coloured ? coloured->wiener[c].data() : nullptr;
    }
    ProgressRelay relay{&options.progress, DenoiseStage::wiener, -1};
    FilterOptions filterOptions;
    filterOptions.threads = options.threads;
    if (options.progress) {
        filterOptions.progress = &ProgressRelay::report;
        filterOptions.progressContext = &relay;
    }
    const FilterStatus status = runFilterChannels(setup.params, channels.data(), in.channels,
                                                  setup.window.data(), filterOptions);
    if (status != FilterStatus::ok)
        throw std::runtime_error(std::string("the filter failed: ") + statusMessage(status));
    for (int c = 0; c < in.channels; ++c)
        checkEstimateFinite(estimate.data() + std::size_t(c) * plane, plane, in.rows);

    result.pixels.resize(count);
    for (int c = 0; c < in.channels; ++c)
        for (std::size_t i = 0; i < plane; ++i)
            result.pixels[std::size_t(c) * plane + i] =
                channelRange[c].fromUnit(double(estimate[std::size_t(c) * plane + i]));
    if (in.channels == 3)
        opponentToRgb(result.pixels.data(), plane);
    for (double& v : result.pixels)
        v = in.range.fromUnit(v);
    return result;
}

} // namespace sorvik
