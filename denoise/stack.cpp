// The one call on a stack of frames: every frame mapped as denoise() maps an
// image, both stages run frame by frame with groups from the frames around.
#include <sorvik/stack.h>

#include "noise_model.h"

#include <filter/frames.h>
#include <pilot/basic_estimate.h>
#include <sorvik/sorvik.h>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <limits>
#include <new>
#include <stdexcept>
#include <string>
#include <vector>

namespace sorvik {
namespace {

void checkStack(const StackInput& in, const StackOptions& stack)
{
    if (in.channels != 1 && in.channels != 3)
        throw std::invalid_argument("a stack's frames need 1 (grey) or 3 (RGB) channels, not " +
                                    std::to_string(in.channels));
    if (in.frames < 1)
        throw std::invalid_argument("the stack has no frames");
    if (in.rows < 1 || in.cols < 1)
        throw std::invalid_argument("the stack's frames are empty (" + std::to_string(in.rows) +
                                    " x " + std::to_string(in.cols) + ")");
    if (in.pixels == nullptr)
        throw std::invalid_argument("the stack's pixels are null");
    if (stack.temporalRadius < 0 || stack.temporalRadius > maxTemporalRadius)
        throw std::invalid_argument("the temporal radius must be from 0 to " +
                                    std::to_string(maxTemporalRadius) + ", not " +
                                    std::to_string(stack.temporalRadius));
    if (stack.predictiveRadius < 0 || stack.predictiveRadius > 64)
        throw std::invalid_argument("the predictive search radius must be from 0 to 64, not " +
                                    std::to_string(stack.predictiveRadius));
    if (in.noise == NoiseChoice::correlated)
        throw std::invalid_argument("stacks are denoised under the white noise models only "
                                    "(gaussian, poisson-gaussian), not the correlated one");
    if (!std::isfinite(in.range.low) || !std::isfinite(in.range.high) ||
        !(in.range.low < in.range.high) || !std::isfinite(in.range.width()))
        throw std::invalid_argument("the data range needs finite ends with low < high, not [" +
                                    formatNumber(in.range.low) + ", " +
                                    formatNumber(in.range.high) + "]");
    const std::size_t plane = std::size_t(in.rows) * std::size_t(in.cols);
    const std::size_t frameSize = plane * std::size_t(in.channels);
    for (std::int32_t f = 0; f < in.frames; ++f) {
        const double* frame = in.pixels + std::size_t(f) * frameSize;
        try {
            checkFinite(frame, in.rows, in.cols, in.channels);
        } catch (const NonFiniteValue& e) {
            throw std::invalid_argument("frame " + std::to_string(f) + ": " + e.what());
        }
        for (std::size_t i = 0; i < frameSize; ++i)
            if (frame[i] < in.range.low || frame[i] > in.range.high) {
                const std::size_t p = i % plane;
                throw std::invalid_argument(
                    "the value " + formatNumber(frame[i]) + " of frame " + std::to_string(f) +
                    " at row " + std::to_string(p % in.rows) + ", column " +
                    std::to_string(p / in.rows) + ", channel " + std::to_string(i / plane) +
                    " lies outside the data range [" + formatNumber(in.range.low) + ", " +
                    formatNumber(in.range.high) + "]");
            }
    }
}

double stackSigma(const StackInput& in, bool& estimated)
{
    estimated = !in.sigma.has_value();
    if (in.sigma.has_value()) {
        if (!std::isfinite(*in.sigma) || *in.sigma <= 0.0)
            throw std::invalid_argument("sigma must be a finite number > 0, not " +
                                        formatNumber(*in.sigma));
        if (*in.sigma > in.range.width())
            throw std::invalid_argument("sigma " + formatNumber(*in.sigma) +
                                        " exceeds the width of the data range [" +
                                        formatNumber(in.range.low) + ", " +
                                        formatNumber(in.range.high) +
                                        "]; give sigma in the data's own units");
        return *in.sigma;
    }
    // One level for the whole sequence: every frame's planes are measured together.
    const double* first = in.pixels;
    const double* last = in.pixels + std::size_t(in.rows) * std::size_t(in.cols) *
                                         std::size_t(in.channels) * std::size_t(in.frames);
    const auto [low, high] = std::minmax_element(first, last);
    const double sigma = estimateNoiseSigma(in.pixels, in.rows, in.cols, in.channels * in.frames);
    checkNoiseEstimate(*low == *high, sigma);
    return sigma;
}

// The window of frames around `own`, cut at the stack's ends.
FrameWindow windowAround(std::vector<const Channel*>& pointers,
                         const std::vector<Channel>& channels, int channelCount, int own,
                         int frames, const StackOptions& stack)
{
    const int first = std::max(0, own - stack.temporalRadius);
    const int last = std::min(frames - 1, own + stack.temporalRadius);
    pointers.clear();
    for (int f = first; f <= last; ++f)
        pointers.push_back(channels.data() + std::size_t(f) * std::size_t(channelCount));
    FrameWindow window;
    window.frames = pointers.data();
    window.count = last - first + 1;
    window.own = own - first;
    window.predictiveRadius = stack.predictiveRadius;
    return window;
}

void checkStatus(FilterStatus status, const char* stage)
{
    if (status == FilterStatus::outOfMemory)
        throw std::bad_alloc();
    if (status != FilterStatus::ok)
        throw std::runtime_error(std::string(stage) + statusMessage(status));
}

// One stage on every frame: the references of frame s are walked with the
// frames around it, and the sums each walk leaves in a frame are added up,
// walk after walk in the order of s, before the one division. `run` is the
// stage's call on a window; the estimates go to `out` (the stack's layout).
template <class Run>
void runStage(const std::vector<Channel>& channels, int C, int F, std::size_t plane,
              const StackOptions& stack, float* out, const char* stage, Run run)
{
    const std::size_t count = plane * std::size_t(C) * std::size_t(F);
    std::vector<float> numerators(count, 0.0f), weights(count, 0.0f);
    const std::size_t width = 2 * std::size_t(stack.temporalRadius) + 1;
    std::vector<float> scratch(2 * width * std::size_t(C) * plane);
    std::vector<float*> sums(2 * width * std::size_t(C));
    for (std::size_t i = 0; i < sums.size(); ++i)
        sums[i] = scratch.data() + i * plane;
    std::vector<const Channel*> pointers;
    for (int s = 0; s < F; ++s) {
        FrameWindow window = windowAround(pointers, channels, C, s, F, stack);
        window.sums = sums.data();
        checkStatus(run(window), stage);
        const int first = s - window.own;
        for (int f = 0; f < window.count; ++f)
            for (int c = 0; c < C; ++c) {
                const std::size_t at = (std::size_t(first + f) * C + c) * plane;
                const float* numerator = sums[2 * (std::size_t(f) * C + c)];
                const float* weight = sums[2 * (std::size_t(f) * C + c) + 1];
                for (std::size_t i = 0; i < plane; ++i) {
                    numerators[at + i] = numerators[at + i] + numerator[i];
                    weights[at + i] = weights[at + i] + weight[i];
                }
            }
    }
    for (std::size_t i = 0; i < count; ++i)
        out[i] = (1.0f / weights[i]) * numerators[i];
}

constexpr std::uint64_t unbounded = std::numeric_limits<std::uint64_t>::max();

std::uint64_t add(std::uint64_t a, std::uint64_t b) { return a > unbounded - b ? unbounded : a + b; }

std::uint64_t times(std::uint64_t a, std::uint64_t b)
{
    return a != 0 && b > unbounded / a ? unbounded : a * b;
}

FilterParams stageParams(std::int32_t rows, std::int32_t cols, std::int32_t blockSize,
                         std::int32_t searchRadius, std::int32_t maxGroupSize, std::int32_t step)
{
    FilterParams p;
    p.rows = rows;
    p.cols = cols;
    p.blockSize = blockSize;
    p.searchRadius = searchRadius;
    p.maxGroupSize = maxGroupSize;
    p.step = step;
    return p;
}

} // namespace

std::uint64_t stackMemoryBound(std::int32_t rows, std::int32_t cols, int channels,
                               std::int32_t frames, const DenoiseOptions& options,
                               const StackOptions& stack, bool estimate, bool stabilised)
{
    if (rows < 1 || cols < 1 || (channels != 1 && channels != 3) || frames < 1 ||
        stack.temporalRadius < 0 || stack.temporalRadius > maxTemporalRadius)
        return unbounded;
    const std::uint64_t count =
        times(times(std::uint64_t(rows) * std::uint64_t(cols), std::uint64_t(channels)),
              std::uint64_t(frames));
    const std::uint64_t plane = std::uint64_t(rows) * std::uint64_t(cols);
    const int windowFrames = std::min(2 * stack.temporalRadius + 1, int(frames));
    // A stage holds every frame's numerators and weights, and the sums one
    // window's call leaves, sized for the widest window.
    const std::uint64_t sums =
        add(times(count, 2 * sizeof(float)),
            times(plane, (2 * std::uint64_t(2 * stack.temporalRadius + 1) *
                          std::uint64_t(channels)) * sizeof(float)));
    const WienerSettings& w = options.wiener;
    std::uint64_t stages = add(sums, framesMemoryBound(stageParams(rows, cols, w.blockSize,
                                                                   w.searchRadius, w.maxGroupSize,
                                                                   w.step),
                                                       windowFrames, channels, options.threads));
    if (options.pilot == PilotKind::dct) {
        stages = std::max(stages, basicEstimateMemoryBound(rows, cols, options.threads));
    } else {
        // The grouped stage's shape grows with sigma: both ends are counted.
        for (double unitSigma : {0.0, 1.0}) {
            const GroupedSettings g =
                options.grouped ? *options.grouped : groupedSettings(options.choice, unitSigma);
            stages = std::max(
                stages, add(sums, framesMemoryBound(stageParams(rows, cols, g.blockSize,
                                                                g.searchRadius, g.maxGroupSize,
                                                                g.step),
                                                    windowFrames, channels, options.threads)));
        }
    }
    // The stack in the filter's units (double), its pilot and estimate
    // (float) are held throughout; the stages run, then the result is made.
    std::uint64_t bytes = add(times(count, 8 + 4 + 4), std::max(stages, times(count, 8)));
    // The noise is estimated before any of that is allocated, but what the
    // estimator frees may stay with the process rather than go back to the
    // system, so it is counted beside the rest, as denoiseMemoryBound does.
    if (estimate)
        bytes = add(bytes, NoiseEstimator::memoryBound(rows, cols,
                                                       count / plane > 1u << 30 ? 1 << 30
                                                                                : int(count / plane)));
    if (stabilised)
        bytes = add(bytes, times(count, 8));
    return bytes;
}

namespace {

// The gaussian call on a checked stack at `sigma` (the data's units).
StackResult gaussianStack(const StackInput& in, const DenoiseOptions& options,
                          const StackOptions& stack, double sigma)
{
    StackResult result;
    result.sigma = sigma;
    const int C = in.channels;
    const int F = in.frames;
    const std::size_t plane = std::size_t(in.rows) * std::size_t(in.cols);
    const std::size_t frameSize = plane * std::size_t(C);
    const std::size_t count = frameSize * std::size_t(F);

    // As denoise() maps one image, frame by frame.
    std::vector<double> unit(count);
    for (std::size_t i = 0; i < count; ++i)
        unit[i] = in.range.toUnit(in.pixels[i]);
    const double unitSigma = in.range.sigmaToUnit(result.sigma);
    std::vector<DataRange> channelRange(std::size_t(C), DataRange{});
    if (C == 3)
        for (int c = 0; c < 3; ++c)
            channelRange[c] = opponentRange(c);
    for (int f = 0; f < F && C == 3; ++f) {
        double* frame = unit.data() + std::size_t(f) * frameSize;
        rgbToOpponent(frame, plane);
        for (int c = 0; c < 3; ++c) {
            double* p = frame + std::size_t(c) * plane;
            for (std::size_t i = 0; i < plane; ++i)
                p[i] = channelRange[c].toUnit(p[i]);
        }
    }
    std::vector<WienerSettings> settings(std::size_t(C), options.wiener);
    FilterSetup setup;
    for (int c = 0; c < C; ++c) {
        const double channelSigma = channelRange[c].sigmaToUnit(unitSigma);
        const float f = float(channelSigma);
        if (!(f * f > 0.0f && std::isfinite(f * f)))
            throw std::invalid_argument("sigma " + formatNumber(result.sigma) +
                                        " is outside the range sorvik computes with for this data");
        settings[c].sigma = channelSigma;
        FilterSetup channelSetup = prepareFilter(settings[c], in.rows, in.cols);
        if (c == 0)
            setup = std::move(channelSetup);
    }

    std::vector<float> pilot(count);
    std::vector<Channel> channels(std::size_t(C) * std::size_t(F));
    for (int f = 0; f < F; ++f)
        for (int c = 0; c < C; ++c) {
            Channel& channel = channels[std::size_t(f) * C + c];
            const std::size_t at = std::size_t(f) * frameSize + std::size_t(c) * plane;
            channel.noisy = unit.data() + at;
            channel.sigma = float(settings[c].sigma);
            channel.estimate = pilot.data() + at;
        }
    FilterOptions filterOptions;
    filterOptions.threads = options.threads;
    if (options.pilot == PilotKind::grouped) {
        // The grouped pilot's settings, as the one call makes them.
        const GroupedSettings s =
            options.grouped ? *options.grouped : groupedSettings(options.choice, unitSigma);
        if (!std::isfinite(s.lambda) || s.lambda < 0.0 || s.lambda > 1e6)
            throw std::invalid_argument("grouped pilot: lambda must be a finite number from 0 to 1e6");
        if (!std::isfinite(s.matchFloor) || s.matchFloor < 0.0 || s.matchFloor > 1e6)
            throw std::invalid_argument(
                "grouped pilot: the match floor must be a finite number from 0 to 1e6");
        WienerSettings shape;
        shape.blockSize = s.blockSize;
        shape.step = s.step;
        shape.maxGroupSize = s.maxGroupSize;
        shape.searchRadius = s.searchRadius;
        shape.matchThreshold = s.matchThreshold;
        shape.sigma = settings[0].sigma;
        FilterSetup groupedSetup;
        try {
            groupedSetup = prepareFilter(shape, in.rows, in.cols);
        } catch (const std::invalid_argument& e) {
            throw std::invalid_argument(std::string("grouped pilot: ") + e.what());
        }
        ThresholdParams params;
        params.filter = groupedSetup.params;
        params.lambda = float(s.lambda);
        params.matchFloor = float(s.matchFloor);
        runStage(channels, C, F, plane, stack, pilot.data(), "the grouped pilot failed: ",
                 [&](const FrameWindow& window) {
                     return runThresholdFrames(params, window, C, groupedSetup.window.data(),
                                               filterOptions);
                 });
    } else {
        BasicEstimateOptions basic;
        basic.threads = options.threads;
        for (std::size_t i = 0; i < channels.size(); ++i)
            basicEstimate(in.rows, in.cols, channels[i].noisy, settings[i % C].sigma,
                          channels[i].estimate, basic);
    }

    std::vector<float> estimate(count);
    for (std::size_t i = 0; i < channels.size(); ++i) {
        channels[i].pilot = channels[i].estimate;
        channels[i].estimate = estimate.data() + (channels[i].noisy - unit.data());
    }
    runStage(channels, C, F, plane, stack, estimate.data(), "the filter failed: ",
             [&](const FrameWindow& window) {
                 return runFilterFrames(setup.params, window, C, setup.window.data(), filterOptions);
             });
    for (std::size_t i = 0; i < count; i += plane)
        checkEstimateFinite(estimate.data() + i, plane, in.rows);

    result.pixels.resize(count);
    for (int f = 0; f < F; ++f) {
        double* out = result.pixels.data() + std::size_t(f) * frameSize;
        const float* est = estimate.data() + std::size_t(f) * frameSize;
        for (int c = 0; c < C; ++c)
            for (std::size_t i = 0; i < plane; ++i)
                out[std::size_t(c) * plane + i] =
                    channelRange[c].fromUnit(double(est[std::size_t(c) * plane + i]));
        if (C == 3)
            opponentToRgb(out, plane);
    }
    for (double& v : result.pixels)
        v = in.range.fromUnit(v);
    return result;
}

// Counts: the stack stabilised value by value, the gaussian call at unit
// sigma over the stabilised extremes, each value back through the unbiased
// inverse, as denoise() does an image.
// The stack's model, its frames measured as one image's channels under the
// white models (the correlated one is the single image's): what denoise()
// plans for an image whose noise model is estimated from its patches.
detail::NoisePlan stackNoisePlan(const StackInput& in, const DataRange& extremes, int threads)
{
    DenoiseInput whole;
    whole.rows = in.rows;
    whole.cols = in.cols;
    whole.channels = in.channels * in.frames;
    whole.range = in.range;
    whole.noise = in.noise;
    whole.gain = in.gain;
    whole.readNoise = in.readNoise;
    whole.offset = in.offset;
    whole.extremes = extremes;
    std::optional<NoiseEstimator> estimator;
    return detail::planNoise(
        whole,
        [&](NoiseChoice choice, const detail::KnownNoise& known) {
            if (!estimator) {
                estimator.emplace(in.rows, in.cols, in.channels * in.frames);
                estimator->add(in.pixels, 0, in.rows);
            }
            return estimator->estimateModel(choice, known.gain, known.readNoise, known.offset, threads);
        },
        {}, threads);
}

StackResult stabilisedStack(const StackInput& in, const DenoiseOptions& options,
                            const StackOptions& stack, const detail::NoisePlan& plan,
                            const DataRange& extremes)
{
    const std::size_t count = std::size_t(in.rows) * std::size_t(in.cols) *
                              std::size_t(in.channels) * std::size_t(in.frames);
    const detail::StabilisedProblem problem =
        detail::stabilisedProblem(plan.model, extremes.low, extremes.high);
    std::vector<double> stable(count);
    double mean = 0.0;
    for (std::size_t i = 0; i < count; ++i) {
        stable[i] = problem.stabiliser.forward(in.pixels[i]);
        mean += in.pixels[i];
    }
    mean /= double(count);
    StackInput gaussian = in;
    gaussian.pixels = stable.data();
    gaussian.range = problem.range;
    StackResult result = gaussianStack(gaussian, options, stack, 1.0);
    for (double& v : result.pixels)
        v = problem.stabiliser.inverse(v);
    const NoiseModel& m = plan.model;
    result.noise = m;
    result.sigma = std::sqrt(std::max(m.gain * (mean - m.offset) + m.readNoise * m.readNoise, 0.0));
    result.noise.sigma = result.sigma;
    result.sigmaEstimated = plan.estimated;
    return result;
}

} // namespace

StackResult denoiseStack(const StackInput& in, const DenoiseOptions& options,
                         const StackOptions& stack)
{
    checkStack(in, stack);
    const bool counts = in.noise == NoiseChoice::poissonGaussian || in.gain || in.readNoise || in.offset;
    if (counts && in.sigma)
        throw std::invalid_argument("sigma cannot be given with the poisson-gaussian noise "
                                    "model (its noise follows the signal); give gain and read "
                                    "noise instead, or the gaussian model");
    if (in.sigma || (in.noise == NoiseChoice::gaussian && !counts)) {
        bool estimated = false;
        const double sigma = stackSigma(in, estimated);
        StackResult result = gaussianStack(in, options, stack, sigma);
        result.sigmaEstimated = estimated;
        result.noise.sigma = result.noise.readNoise = sigma;
        return result;
    }
    // The automatic choice, or counts: one model for all frames.
    const std::size_t count = std::size_t(in.rows) * std::size_t(in.cols) *
                              std::size_t(in.channels) * std::size_t(in.frames);
    const auto [low, high] = std::minmax_element(in.pixels, in.pixels + count);
    const DataRange extremes = in.extremes ? *in.extremes : DataRange{*low, *high};
    const detail::NoisePlan plan = stackNoisePlan(in, extremes, options.threads);
    if (plan.model.kind == NoiseKind::poissonGaussian)
        return stabilisedStack(in, options, stack, plan, extremes);
    checkNoiseEstimate(extremes.low == extremes.high, plan.model.sigma);
    StackResult result = gaussianStack(in, options, stack, plan.model.sigma);
    result.sigmaEstimated = plan.estimated;
    result.noise = plan.model;
    return result;
}

} // namespace sorvik
