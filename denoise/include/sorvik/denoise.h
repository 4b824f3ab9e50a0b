// sorvik denoise: one call from a noisy image as the user holds it (grey or
// RGB, any bit depth or value range, noise level known or not) to the
// denoised image in the same units. The front ends (tool, Python, Octave) are
// thin layers over this header; the Wiener stage itself is <sorvik/sorvik.h>.
//
// Images are planar: channel k of a rows x cols image holds pixel (i, j) at
// k * rows * cols + i + j * rows (column-major, as everywhere in sorvik).
#ifndef SORVIK_DENOISE_H
#define SORVIK_DENOISE_H

#include <frontend/settings.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <new>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace sorvik {

// ---------------------------------------------------------------- noise level

// Standard deviation of additive white Gaussian noise, estimated from the
// noisy image alone, in the image's own units (scaling the image scales the
// estimate). The noise is taken to be the same in every channel, so a colour
// image gets one value. Weak-texture 7 x 7 patches are selected by their
// gradient energy and the noise variance is the smallest eigenvalue of their
// covariance; texture makes the estimate err high, so the selection keeps
// only patches that pure noise of the current estimate could explain.
// Patches holding the data's minimum or maximum are left out (saturated data
// has lost its noise there) unless too few others remain.
// Returns 0 for a constant image (and for noiseless images whose patches span
// fewer than 49 dimensions, such as a linear ramp).
// Throws std::invalid_argument for a null image, fewer than 1 channel, or an
// image with fewer than noiseEstimateMinPatches patch positions (a grey image
// needs 26 x 26 pixels), NonFiniteValue (below) for a value that is not
// finite. Deterministic; memory is bounded whatever the image size (patch
// positions are subsampled on a grid). Small images give rougher estimates:
// a 32 x 32 image of sharp-edged shapes can read 20% high.
constexpr int noisePatchSize = 7;
constexpr std::int64_t noiseEstimateMinPatches = 8 * noisePatchSize * noisePatchSize;
double estimateNoiseSigma(const float* image, std::int32_t rows, std::int32_t cols, int channels);
double estimateNoiseSigma(const double* image, std::int32_t rows, std::int32_t cols, int channels);

// ---------------------------------------------------------------- noise models

// How the noise of an image depends on its signal.
//   gaussian:          one level of white noise, sigma, whatever the signal;
//   poisson-gaussian:  z = offset + gain * Poisson(signal) + N(0, readNoise^2),
//                      so that the variance at mean level m is
//                      gain * (m - offset) + readNoise^2.
// Every value is in the data's units (gain: data units per photon).
//   correlated:        one level of noise that is not white: stronger at
//                      some spatial frequencies than at others, as
//                      demosaicking and JPEG compression leave it; sigma is
//                      its standard deviation per pixel, and its spectrum
//                      (NoiseSpectrum) says how it spreads over frequencies.
enum class NoiseKind { gaussian, poissonGaussian, correlated };
// A model asked for; automatic: the one the image's noise level function
// points to (see estimateNoiseModel).
enum class NoiseChoice { automatic, gaussian, poissonGaussian, correlated };

// The power of the noise per spatial frequency of a blockSize^2 block, the
// scale at which the filter sees it, in squared units of the plane. Blocks
// are read on a grid and sorted into 8 bands of brightness; in each band
// only those whose four neighbouring blocks are the flattest tenth count
// (judged by the neighbours, so that the selection does not favour blocks
// whose own noise happens to be small; by band, so that noise which grows
// with the signal is not read in the dark alone), and each coefficient's power is a 90% trimmed
// mean of its squares over them, corrected for the trimming as for Gaussian
// noise, so that a stray edge does not count as noise. Low frequencies can
// still read some shading as noise; the DC, which holds the blocks' mean,
// is given the mean power of its three nearest coefficients.
struct NoiseSpectrum {
    std::int32_t blockSize = 0;
    // Orthonormal 2-D DCT: blockSize^2 powers, vertical frequency u and
    // horizontal v at u * blockSize + v.
    std::vector<double> cosine;
    // Unitary 2-D DFT, half spectrum: blockSize (blockSize/2 + 1) powers at
    // u (blockSize/2 + 1) + v.
    std::vector<double> fourier;
    double sigma = 0.0;    // the noise per pixel: the root of the cosine powers' mean
    // The power of the highest frequencies (u + v at least 1.4 (blockSize - 1)
    // in the DCT) over that of the middle ones (0.4 to 0.8 (blockSize - 1)):
    // near 1 for white noise, well below for demosaicked or compressed noise.
    double flatness = 1.0;
    std::size_t blocks = 0; // blocks the powers were measured on
};
// The spectrum of one plane (rows x cols, column-major). Throws
// std::invalid_argument for a null plane, blockSize outside 2..64, or a
// plane too small for 64 blocks on its grid.
NoiseSpectrum estimateNoiseSpectrum(const double* plane, std::int32_t rows, std::int32_t cols,
                                    std::int32_t blockSize = 8);
// White or not: noise counts as correlated where its flatness is below
// whiteFlatness and its sigma more than correlatedExcess times the white
// estimate (estimateNoiseSigma), which reads the noise's weakest direction.
// A spectrum with next to nothing at the highest frequencies (flatness at
// most leastFlatness) is that of a noiseless smooth image, such as a ramp,
// and is no evidence of noise.
constexpr double whiteFlatness = 0.2;
constexpr double leastFlatness = 1e-3;
constexpr double correlatedExcess = 2.0;

struct NoiseModel {
    NoiseKind kind = NoiseKind::gaussian;
    // The white-noise estimate (estimateNoiseSigma's bits) when estimated;
    // for a poisson-gaussian model, the noise at the image's mean level.
    double sigma = 0.0;
    double gain = 0.0;      // 0 for gaussian
    double readNoise = 0.0; // gaussian: sigma
    double offset = 0.0;
    // correlated: the spectrum of the data (colour: the channels' mean
    // power), in the data's units; otherwise empty (blockSize 0).
    NoiseSpectrum spectrum;
};

// What the stages filter correlated noise with, channel by channel, measured
// on the planes they filter (the data on the 0..1 scale, colour in opponent
// channels): each channel's sigma on that scale (the root of its mean power
// at the Wiener stage's block size, scaled by a sigma given over the data's
// own), and its powers over sigma^2, floored at 1, in each stage's basis.
// An image filtered in tiles gives every tile the whole image's.
struct NoiseShapes {
    std::vector<double> sigma;
    std::vector<std::vector<float>> wiener;  // unitary DFT half spectra of the Wiener block
    std::vector<std::vector<float>> grouped; // orthonormal DCT of the grouped stage's block
};

// "gaussian", "poisson-gaussian" or "correlated".
const char* noiseKindName(NoiseKind kind);


// The noise model of an image from the image alone. The local noise variance
// of weak-texture patches is measured against their mean level, in bins of
// that level, and a line variance = gain * level + c is fitted robustly over
// the bins (bins whose patches all carry texture fall out as outliers). The
// noise counts as signal-dependent, and the model as poisson-gaussian, when
// the fitted variance at least doubles over the levels measured; otherwise
// the model is gaussian with estimateNoiseSigma's sigma.
// Where values pile up at the data's maximum (saturation), patches holding
// it, or lying within 3 standard deviations of the noise next to it, are
// left out; the same at the minimum (clipping) while at least half of the
// patches remain, so that the zeros of photon counts stay and a clipped dark
// corner does not. Patches of a single value (drawn, clipped or zero) show no
// noise to follow and are left out too. If the white-noise estimate is 0
// (whole regions of zero counts) while the levels show noise, that noise is
// taken: the image is refused only when constant or noiseless at every level.
// The line gives gain and c = readNoise^2 - gain * offset; the two are told
// apart by taking offset 0 where c >= 0, and otherwise the level of the
// darkest bin as the black level (its variance then is readNoise^2).
// Where that gives gaussian or no model, the image's noise spectrum
// (estimateNoiseSpectrum, 8 x 8 blocks, the channels' mean) is measured;
// where the noise is correlated (see whiteFlatness) the model is that, with
// the spectrum's sigma. The streamed denoiser (<sorvik/stream.h>) and the
// chunked estimate (<sorvik/noise_chunks.h>) measure the spectrum in phases
// that give the same bits; NoiseEstimator knows the white models alone.
// Throws as estimateNoiseSigma does, and std::invalid_argument for a constant
// image or one with no noise at any level (saying which).
NoiseModel estimateNoiseModel(const float* image, std::int32_t rows, std::int32_t cols,
                              int channels);
NoiseModel estimateNoiseModel(const double* image, std::int32_t rows, std::int32_t cols,
                              int channels);

namespace detail {
// Storage for tens of megabytes written once and read several times (the
// estimator's patch values), which the kernel is asked to back with huge
// pages: faulting them in 4 KiB at a time took longer than the estimate
// itself on a process's first call.
void* allocateLarge(std::size_t bytes);
void freeLarge(void* p) noexcept;
template <class T>
struct LargeAllocator {
    using value_type = T;
    LargeAllocator() = default;
    template <class U>
    LargeAllocator(const LargeAllocator<U>&) noexcept
    {
    }
    T* allocate(std::size_t n)
    {
        if (n > std::size_t(-1) / sizeof(T))
            throw std::bad_array_new_length();
        return static_cast<T*>(allocateLarge(n * sizeof(T)));
    }
    void deallocate(T* p, std::size_t) noexcept { freeLarge(p); }
    friend bool operator==(const LargeAllocator&, const LargeAllocator&) { return true; }
    friend bool operator!=(const LargeAllocator&, const LargeAllocator&) { return false; }
};
} // namespace detail

// The same estimate, bit for bit, from an image fed a band of rows at a time,
// so that an image larger than memory can be measured as it is read. Each
// band holds rows firstRow .. firstRow + bandRows - 1 of every channel
// (planar, column-major within the band, as the whole image would be); bands
// come from the top, each starting at or before nextRow(), so that they
// overlap by the 6 rows a patch reaches below its first. The whole image
// costs memoryBound() at most, whatever its size. The constructor throws as
// estimateNoiseSigma does for an image too small or without channels; add()
// throws NonFiniteValue (with the image's row) for a value that is not
// finite and std::invalid_argument for a band that leaves a gap or runs past
// the image; estimate() throws std::logic_error before the last row came.
class NoiseEstimator {
public:
    NoiseEstimator(std::int32_t rows, std::int32_t cols, int channels);

    void add(const float* band, std::int32_t firstRow, std::int32_t bandRows);
    void add(const double* band, std::int32_t firstRow, std::int32_t bandRows);
    std::int32_t nextRow() const; // rows() once no band is needed any more
    std::int32_t rows() const { return rows_; }
    // The extremes of the values added so far.
    double low() const { return low_; }
    double high() const { return high_; }

    double estimate() const; // 0 for a constant image
    // estimateNoiseModel of the image added, its sigma estimate()'s bits.
    // A choice of poisson-gaussian fits that model whatever the noise looks
    // like, with the parameters given held fixed, and throws
    // std::invalid_argument saying why when it cannot; gaussian gives
    // estimate() alone. Its measurements run on up to `threads` threads,
    // with the same bits for any count; `beside`, when given, is a task of
    // the caller's that runs among them.
    NoiseModel estimateModel(NoiseChoice choice = NoiseChoice::automatic,
                             std::optional<double> gain = {},
                             std::optional<double> readNoise = {},
                             std::optional<double> offset = {}, int threads = 1,
                             const std::function<void()>& beside = {}) const;

    // Bytes an estimator of an image of this shape holds at most (0 for an
    // image too small to estimate).
    static std::size_t memoryBound(std::int32_t rows, std::int32_t cols, int channels);

    // One patch of the sampling grid; its values are stored, so that the
    // estimate needs no second look at the image.
    struct Patch {
        double texture;
        int channel;
        std::int32_t row, col;
        std::size_t values; // index of its first value among the stored values
    };

private:
    template <typename T>
    void addBand(const T* band, std::int32_t firstRow, std::int32_t bandRows);

    std::int32_t rows_, cols_;
    int channels_;
    std::int64_t positionRows_ = 0, positionCols_ = 0;
    std::int32_t stride_ = 1;
    std::int64_t scanned_ = 0;     // rows whose extremes are known
    std::int64_t nextGridRow_ = 0; // the first grid row whose patches are still to come
    bool seen_ = false;
    double low_ = 0.0, high_ = 0.0;
    std::vector<Patch> patches_;
    // 49 values a patch, column by column
    std::vector<double, detail::LargeAllocator<double>> values_;
};

// ---------------------------------------------------------------- data ranges

// The span of values the data's units cover, mapped affinely onto the
// filter's 0..1 scale. Sigma maps with the width alone (an offset does not
// change a standard deviation).
struct DataRange {
    double low = 0.0;
    double high = 1.0;

    double width() const { return high - low; }
    double toUnit(double value) const { return (value - low) / (high - low); }
    double fromUnit(double unit) const { return low + unit * (high - low); }
    double sigmaToUnit(double sigma) const { return sigma / (high - low); }
    double sigmaFromUnit(double sigma) const { return sigma * (high - low); }
};

// Integer data is scaled by its type's range.
constexpr DataRange uint8Range{0.0, 255.0};
constexpr DataRange uint16Range{0.0, 65535.0};
constexpr DataRange uint32Range{0.0, 4294967295.0};
constexpr DataRange int8Range{-128.0, 127.0};
constexpr DataRange int16Range{-32768.0, 32767.0};
constexpr DataRange int32Range{-2147483648.0, 2147483647.0};

// The range of float data: [0, 1] when every value lies in it, otherwise from
// the data's minimum to its maximum. Data that is constant outside [0, 1]
// gets [value, value + 1], so that it maps to 0 and back unchanged.
// Throws NonFiniteValue (below) for a value that is not finite; rows, cols
// and channels only name its position.
DataRange floatDataRange(const float* data, std::int32_t rows, std::int32_t cols, int channels);
DataRange floatDataRange(const double* data, std::int32_t rows, std::int32_t cols, int channels);

// A range the user gives; throws std::invalid_argument unless both ends are
// finite and low < high.
DataRange userDataRange(double low, double high);

// A value that is not a finite number, at a 0-based position; front ends that
// count from 1 reword it from the fields.
class NonFiniteValue : public std::invalid_argument {
public:
    NonFiniteValue(std::int32_t row, std::int32_t col, int channel);
    std::int32_t row, col;
    int channel;
};

// Throws NonFiniteValue for the first value (in memory order) that is not finite.
void checkFinite(const float* data, std::int32_t rows, std::int32_t cols, int channels);
void checkFinite(const double* data, std::int32_t rows, std::int32_t cols, int channels);

// An output value of integer type: rounded to nearest (halves away from zero)
// and saturated to the type's range; NaN gives 0.
std::uint8_t toUint8(double value);
std::uint16_t toUint16(double value);

// ---------------------------------------------------------------- colour

// Orthonormal opponent colour transform of planar RGB, in place:
//   Y = (R + G + B) / sqrt 3,  U = (R - B) / sqrt 2,  V = (R - 2G + B) / sqrt 6.
// Being orthonormal, it keeps white noise white with the same sigma.
// planes: 3 planes of `pixels` values each.
void rgbToOpponent(double* planes, std::size_t pixels);
void opponentToRgb(double* planes, std::size_t pixels);

// The exact range of opponent channel 0 (Y), 1 (U) or 2 (V) for RGB in
// [0, 1]: the colour differences are signed, and the filter clips to [0, 1],
// so each channel is mapped from this range onto [0, 1], its sigma with it.
DataRange opponentRange(int channel);

// ---------------------------------------------------------------- the pipeline

constexpr int maxDenoiseChannels = 3;

struct DenoiseInput {
    std::int32_t rows = 0;
    std::int32_t cols = 0;
    int channels = 1;               // 1 (grey) or 3 (RGB); alpha is the caller's to keep
    const double* pixels = nullptr; // planar, in the data's units
    DataRange range;                // the data's units; every value must lie within it
    std::optional<double> sigma;    // in the data's units, at most the range's width;
                                    // absent: estimated from the data
    // Which noise model the data follows. A given sigma means gaussian (and
    // rules out poisson-gaussian). automatic: estimateNoiseModel's choice,
    // and with a gaussian choice exactly what gaussian gives.
    NoiseChoice noise = NoiseChoice::automatic;
    // Poisson-gaussian parameters in the data's units; those absent are
    // estimated from the data. gain and readNoise finite and > 0, offset at
    // most the data's maximum.
    std::optional<double> gain;
    std::optional<double> readNoise;
    std::optional<double> offset;
    // For a tile of a larger image: the whole image's lowest and highest
    // values, which the poisson-gaussian path's range and offset check
    // follow instead of the tile's own.
    std::optional<DataRange> extremes;
    // For a tile of a larger image under the correlated model: the whole
    // image's shapes, filtered with as they are (sigma, the whole image's,
    // must be given too) instead of the tile's own.
    std::optional<NoiseShapes> shapes;
};

enum class DenoiseStage { basicEstimate, wiener, groupedEstimate };

// Called from the calling thread with the stage, the channel (for the basic
// estimate; -1 for the grouped estimate and the Wiener stage, which take all
// channels together) and the block-position rows done out of the total. An
// exception it throws ends the call and passes to the caller: at once in the
// basic estimate, once the stage's walk is over in the other two, as no
// exception may cross the filter's threads.
using DenoiseProgress =
    std::function<void(DenoiseStage stage, int channel, std::int32_t done, std::int32_t total)>;

// The first stage, whose result is the Wiener stage's pilot.
enum class PilotKind {
    grouped, // matched groups of blocks, hard-thresholded together (the default)
    dct,     // each 8 x 8 block alone, hard-thresholded in its DCT: faster, rougher
};

// The grouped first stage's parameters, on the 0..1 scale the filter sees.
// Blocks of blockSize^2 pixels are matched on the noisy image (within
// searchRadius block positions of a reference, references every `step`
// positions, up to maxGroupSize blocks with spectral distance below
// matchThreshold, the spectra's coefficients below matchFloor x sigma set to
// zero first); each group is transformed jointly and its coefficients below
// lambda x sigma set to zero.
struct GroupedSettings {
    std::int32_t blockSize = 8;
    std::int32_t step = 3;
    std::int32_t maxGroupSize = 16;
    std::int32_t searchRadius = 16;
    double lambda = 2.7;
    double matchThreshold = 0.5;
    double matchFloor = 0.0;
};
// The defaults for a noise level on the data's 0..1 scale: blocks of 6,
// lambda 2.5, larger groups at high noise, a match threshold
// that grows with the noise (see grouped_pilot.cpp for what was measured).
GroupedSettings groupedDefaults(double unitSigma);
// The first stage's parameters as a caller sets them, one by one: each one
// absent follows sigma as groupedDefaults gives it, the step min(its
// default, the block size).
struct GroupedChoice {
    std::optional<std::int32_t> blockSize;
    std::optional<std::int32_t> step;
    std::optional<std::int32_t> maxGroupSize;
    std::optional<std::int32_t> searchRadius;
    std::optional<double> lambda;
    std::optional<double> matchThreshold;
};
GroupedSettings groupedSettings(const GroupedChoice& choice, double unitSigma);
// How far a pilot pixel reads: exact tiles grow their context by it.
struct PilotReach {
    std::int32_t reach = 0; // pixels on each side a pilot pixel reads
    std::int32_t step = 1;  // the pilot's references lie on multiples of it
};
PilotReach pilotReach(const GroupedSettings& settings);
// The reach of the default pilot, the largest over every sigma, with a step
// on whose multiples every sigma's references lie.
PilotReach defaultPilotReach();

struct DenoiseOptions {
    // The Wiener stage's parameters; its sigma is not read (it comes from the
    // input or the estimate), an empty window means the default Kaiser window.
    WienerSettings wiener;
    PilotKind pilot = PilotKind::grouped;
    // The grouped first stage's parameters; absent: groupedSettings(choice,
    // sigma).
    std::optional<GroupedSettings> grouped;
    GroupedChoice choice;
    int threads = 1; // the output is the same bits for any count
    DenoiseProgress progress;
};

// The reach of the pilot these options make, the widest over every sigma
// where it follows sigma: what a planner that does not know sigma yet needs.
PilotReach pilotReach(const DenoiseOptions& options);

struct DenoiseResult {
    std::vector<double> pixels; // as the input: planar, in the data's units, never clipped
    double sigma = 0.0;         // the sigma used, in the data's units (poisson-gaussian:
                                // the noise at the image's mean level)
    bool sigmaEstimated = false; // sigma, or any of the model's parameters, estimated
    NoiseModel noise;            // the model used
};

// Throws std::invalid_argument when an estimate of the noise cannot serve:
// for an image of one value (`constant`) or an estimate that is not > 0.
// Every front end that estimates apart from denoise() refuses by this.
void checkNoiseEstimate(bool constant, double sigma);

// Maps the data onto [0, 1] (colour: to opponent channels, each mapped onto
// [0, 1]), makes the pilot (the grouped estimate, groups found on the
// luminance and shared, or the basic estimate of every channel), runs the Wiener stage on
// all channels together with the luminance leading, and maps the result back.
// Under a poisson-gaussian model the data (every colour channel alike, before
// the colour transform) is first stabilised to unit variance by the
// generalised Anscombe transform, filtered as above at sigma 1 over the range
// of the transformed values, and mapped back by the exact unbiased inverse
// (the algebraic one reads low counts too low). Values at the data's limits
// pass through the transform as they are: saturated data has no noise left
// to stabilise and comes back smoothed like its neighbours. Values the
// transform cannot take (below offset - 3/8 gain - readNoise^2 / gain) go in
// at its floor.
// Throws std::invalid_argument for bad input (the message names what is
// wrong; a value that is not finite gives NonFiniteValue), std::runtime_error
// when the filter fails, std::bad_alloc when memory runs out.
DenoiseResult denoise(const DenoiseInput& input, const DenoiseOptions& options = {});

} // namespace sorvik

#endif
