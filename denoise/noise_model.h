// The poisson-gaussian side of the one call: the noise level function
// measured from grid patches, the choice of model, and the variance
// stabilising transform with its unbiased inverse.
#ifndef SORVIK_DENOISE_NOISE_MODEL_H
#define SORVIK_DENOISE_NOISE_MODEL_H

#include <sorvik/denoise.h>

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace sorvik::detail {

// Noise variance against signal level, measured in bins of level. Levels
// and variances are in the data's units scaled by `scale` (a power of two,
// so that data near 1e300 squares without overflow).
struct NoiseLevels {
    struct Bin {
        double level = 0.0;
        double variance = 0.0;
        std::size_t patches = 0;
    };
    std::vector<Bin> bins;
    double scale = 1.0;
    // The white-noise estimate's variance on the brightest third of the
    // patches over that on the darkest third: the smallest eigenvalue of
    // weak-texture patches does not read texture as noise the way the bins'
    // residuals can, so it confirms that the noise grows (0: not measured).
    double whiteGrowth = 0.0;
    // The mean of the darkest patches that hold any noise (their first
    // percentile), the clipped and zero-count ones included: how dark the
    // image goes, which the bins need not reach.
    double darkest = 0.0;
    std::string unfit; // why no line can be fitted; empty when one can
};

NoiseLevels measureNoiseLevels(const std::vector<NoiseEstimator::Patch>& patches,
                               const double* values, double low, double high);

// The power of two that keeps squares of data of these extremes in range
// (noise_estimate.cpp).
double dataScale(double low, double high);

// whiteGrowth of the levels (noise_estimate.cpp).
double whiteNoiseGrowth(const std::vector<NoiseEstimator::Patch>& patches, const double* values,
                        double low, double high);

// What the caller fixed; the rest is fitted.
struct KnownNoise {
    std::optional<double> gain, readNoise, offset;
};

// The model for a choice: automatic takes poisson-gaussian where the fit is
// signal-dependent and gaussian (with sigma, estimateNoiseSigma's) where it
// is not or cannot be made. Throws std::invalid_argument saying why no model
// can be had.
NoiseModel chooseNoiseModel(const NoiseLevels& levels, double sigma, NoiseChoice choice,
                            const KnownNoise& known);

// The model the levels give. signalDependent tells whether the fitted
// variance grows enough from the darkest level to the brightest bin for the
// stabilised path to gain on a single sigma; the model is filled as
// poisson-gaussian either way (its kind is left to the caller). Throws
// std::invalid_argument when no line can be fitted or no noise is measured.
struct FittedNoise {
    NoiseModel model;
    bool signalDependent = false;
    double growth = 0.0; // fitted variance at the brightest bin over that at the darkest level
    double agreement = 0.0; // the share of the bins the line passes through
};
FittedNoise fitNoiseModel(const NoiseLevels& levels, const KnownNoise& known);

// The model a denoise() call runs under, the input checked against it.
struct NoisePlan {
    NoiseModel model;
    bool estimated = false; // anything in the model came from the data
};
// `estimate`: the image's model for a choice and what is known, from an
// estimate made already (a stream's first pass, a chunked array's patches);
// in.extremes then stands for the pixels, which are not read. Absent: an
// estimator reads in.pixels.
using ModelEstimate = std::function<NoiseModel(NoiseChoice, const KnownNoise&)>;
// `correlated`: the correlated model of the image (correlatedModel's bits),
// measured apart, asked for only when the choice needs it; absent, an image
// estimated apart cannot take that model. The measurements run on up to
// `threads` threads, the same bits for any count.
using CorrelatedEstimate = std::function<NoiseModel()>;
NoisePlan planNoise(const DenoiseInput& in, const ModelEstimate& estimate = {},
                    const CorrelatedEstimate& correlated = {}, int threads = 1);

// denoise() under a poisson-gaussian model: each value through the
// stabiliser's forward transform, the gaussian call at unit sigma over the
// range stabilisedProblem gives for the whole image's extremes (a tile's
// in.extremes), each value back through the unbiased inverse. Every step
// but the filter is pointwise, so a caller that owns its tiles' values may
// transform them in place, filter with gaussianInput, and invert the cores:
// the same bits, without a transformed copy.
DenoiseResult denoiseStabilised(const DenoiseInput& in, const DenoiseOptions& options,
                                const NoisePlan& plan);

// The generalised Anscombe transform of z = offset + gain * Poisson(l) +
// N(0, readNoise^2), f(z) = 2 sqrt(max((z - offset) / gain + 3/8 + s^2, 0))
// with s = readNoise / gain, which has variance near 1 at every l. Its
// inverse maps E[f(z) | l] back to l: tabulated from the Poisson sum for l
// up to a few hundred photons, inverted by interpolation, and above that the
// asymptotic form of the same expectation, joined to the table.
class Stabiliser {
public:
    Stabiliser(double gain, double readNoise, double offset);
    double forward(double z) const;
    double inverse(double d) const;          // the exact unbiased inverse
    double algebraicInverse(double d) const; // f^-1, for comparison

private:
    double gain_, offset_, s2_, c_;
    std::vector<double> lambda_, expectation_;
    double tailShift_ = 0.0;
};

// The gaussian problem a poisson-gaussian model is filtered as.
struct StabilisedProblem {
    Stabiliser stabiliser;
    DataRange range; // of the transformed values, at least 2 wide
    // Sets the input to the gaussian call at unit sigma over `range`.
    void gaussianInput(DenoiseInput& in) const;
};
StabilisedProblem stabilisedProblem(const NoiseModel& model, double lowest, double highest);

// The correlated model of an image in memory: its 8 x 8 spectrum and the
// sigma per pixel that gives. Throws std::invalid_argument for an image too
// small for the spectrum or without noise in it.
NoiseModel correlatedModel(const DenoiseInput& in);

// Whether the automatic choice takes an image's noise as correlated: its
// spectrum falls off towards the highest frequencies (flatness below
// whiteFlatness, yet above leastFlatness), and its level is well above the white estimate's
// (whiteSigma), which reads the weakest direction of the noise. Texture
// raises the middle frequencies of white noise's measured spectrum too, but
// not the white estimate so far below it.
bool looksCorrelated(const NoiseModel& coloured, double whiteSigma);

// What estimateNoiseModel gives: the white models' result (`white`, or the
// refusal `whiteFailed` says, absent: none), unless they see white noise or
// none on an image that is not constant and the spectrum `coloured`
// measures looks correlated. A spectrum that cannot be measured leaves the
// white result.
NoiseModel whiteOrCorrelated(const std::function<NoiseModel()>& white, bool constant,
                             const std::function<NoiseModel()>& coloured);

// sigma and flatness of a spectrum from its cosine powers.
void summariseSpectrum(NoiseSpectrum& spectrum);

// The mean spectrum of a planar image's channels (noise_power.cpp).
// Throws as estimateNoiseSpectrum does.
NoiseSpectrum imageNoiseSpectrum(const double* pixels, std::int32_t rows, std::int32_t cols,
                                 int channels, std::int32_t blockSize);

// What the stages filter correlated noise with, channel by channel, from the
// planes they filter: each channel's sigma (the root of its mean power at
// the Wiener stage's block size) and its spectrum over sigma^2 in each
// stage's basis (Channel::noiseShape). Throws std::invalid_argument when no
// channel shows noise, or as estimateNoiseSpectrum does.
using ColouredChannels = NoiseShapes;
ColouredChannels colouredChannels(const double* planes, std::int32_t rows, std::int32_t cols,
                                  int channels, std::int32_t wienerBlock, std::int32_t groupedBlock);

} // namespace sorvik::detail

#endif
