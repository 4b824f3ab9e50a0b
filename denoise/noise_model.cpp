// Signal-dependent noise: the noise level function from weak-texture
// patches, the model it gives, and filtering under that model through a
// variance-stabilising transform.
#include "noise_model.h"
#include "noise_power.h"
#include "tasks.h"

#include <sorvik/denoise.h>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <functional>
#include <limits>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace sorvik {

const char* noiseKindName(NoiseKind kind)
{
    return kind == NoiseKind::poissonGaussian ? "poisson-gaussian"
           : kind == NoiseKind::correlated    ? "correlated"
                                              : "gaussian";
}

namespace detail {
namespace {

constexpr int P = noisePatchSize;
constexpr int D = P * P;
static_assert(P == 7, "the contrasts below are those of 7 points");

// The orthogonal polynomials of 7 points (degrees 0 to 6), as integers, and
// their squared norms. A patch's noise is read from the 2-D terms of degree
// u + v at least lowestDegree (of 0 to 12): white noise spreads evenly over
// all of them, while the texture of photographs lies mostly in the lower
// ones. (The 43 terms above a quadratic surface left grass, fur and brick at
// 1.2 to 2 times the noise's variance at 100 photons; these read within
// 3-15%.) Integer contrasts keep a ramp of integers exactly noiseless.
constexpr int contrast[P][P] = {{1, 1, 1, 1, 1, 1, 1},        {-3, -2, -1, 0, 1, 2, 3},
                                {5, 0, -3, -4, -3, 0, 5},     {-1, 1, 1, 0, -1, -1, 1},
                                {3, -7, 1, 6, 1, -7, 3},      {-1, 4, -5, 0, 5, -4, 1},
                                {1, -6, 15, -20, 15, -6, 1}};
constexpr double contrastNorm[P] = {7, 28, 84, 6, 154, 84, 924};
constexpr int lowestDegree = 6;
constexpr int countHighTerms()
{
    int count = 0;
    for (int u = 0; u < P; ++u)
        for (int v = 0; v < P; ++v)
            count += u + v >= lowestDegree;
    return count;
}
// What pure noise of a variance leaves over these terms is
// variance * chi^2_k / k for their count k, whatever the signal below.
constexpr double residualFreedom = countHighTerms();

using Patch = NoiseEstimator::Patch;

// Quantiles of chi^2_k / k (Wilson-Hilferty) for the k above.
double chiSquareQuantile(double z)
{
    const double h = 2.0 / (9.0 * residualFreedom);
    const double q = 1.0 - h + z * std::sqrt(h);
    return q * q * q;
}

double patchMean(const double* x, double scale)
{
    double sum = 0.0;
    for (int a = 0; a < D; ++a)
        sum += x[a] * scale;
    return sum / D;
}

struct PatchLevel {
    double level;    // the patch's mean
    double variance; // its mean square over the high-degree terms
};

PatchLevel levelOf(const double* x, double scale)
{
    // Every term read is of degree 1 or more in some direction, so any
    // constant may come off first; the first value keeps integers exact.
    const double first = x[0] * scale;
    double columns[P][P]; // [row degree u][column c], values stored column by column
    for (int c = 0; c < P; ++c)
        for (int u = 0; u < P; ++u) {
            double sum = 0.0;
            for (int r = 0; r < P; ++r)
                sum += contrast[u][r] * (x[c * P + r] * scale - first);
            columns[u][c] = sum;
        }
    double squares = 0.0;
    for (int u = 0; u < P; ++u)
        for (int v = std::max(0, lowestDegree - u); v < P; ++v) {
            double sum = 0.0;
            for (int c = 0; c < P; ++c)
                sum += contrast[v][c] * columns[u][c];
            squares += sum * sum / (contrastNorm[u] * contrastNorm[v]);
        }
    return {patchMean(x, scale), squares / residualFreedom};
}

// The noise variance of one bin: the median of its patches' residual
// variances after those that pure noise of the current value would hardly
// reach are cut off, starting from the weakest tenth. Texture only adds to a
// residual, so a bin that is mostly texture still reads its flattest patches.
// (The white-noise estimator's eigenvalue of selected patches reads low
// counts far too low: the flattest patches of a bin are those that drew
// fewer photons.)
NoiseLevels::Bin binVariance(const std::vector<PatchLevel>& bin)
{
    std::vector<double> sorted;
    sorted.reserve(bin.size());
    for (const PatchLevel& p : bin)
        sorted.push_back(p.variance);
    std::sort(sorted.begin(), sorted.end());
    double variance = sorted[sorted.size() / 10] / chiSquareQuantile(-1.2815515655446004);
    const double keep = chiSquareQuantile(2.3263478740408408); // 0.99
    // The median of the law cut at its 0.99 quantile: its 0.495 quantile.
    const double keptMedian = chiSquareQuantile(-0.012533469508069276);
    std::size_t kept = sorted.size();
    for (int iteration = 0; iteration < 20; ++iteration) {
        const auto end = std::upper_bound(sorted.begin(), sorted.end(), variance * keep);
        kept = std::max<std::size_t>(std::size_t(end - sorted.begin()), 1);
        const double next = sorted[(kept - 1) / 2] / keptMedian;
        if (next == variance)
            break;
        variance = next;
    }
    // The level where that variance was measured: the kept patches' mean.
    const double limit = variance * keep;
    double sum = 0.0;
    std::size_t count = 0;
    for (const PatchLevel& p : bin)
        if (p.variance <= limit) {
            sum += p.level;
            ++count;
        }
    NoiseLevels::Bin out;
    out.level = count > 0 ? sum / double(count) : bin[bin.size() / 2].level;
    out.variance = variance;
    out.patches = std::max<std::size_t>(count, 1);
    return out;
}

std::size_t countValue(const std::vector<Patch>& patches, const double* values, double value)
{
    std::size_t count = 0;
    for (const Patch& p : patches)
        for (int a = 0; a < D; ++a)
            count += values[p.values + std::size_t(a)] == value;
    return count;
}

constexpr std::size_t patchesPerBin = 256;
constexpr std::size_t maxBins = 16;
constexpr std::size_t minBins = 3;

} // namespace

NoiseLevels measureNoiseLevels(const std::vector<Patch>& all, const double* values, double low,
                               double high)
{
    NoiseLevels out;
    out.scale = dataScale(low, high);
    if (low == high) {
        out.unfit = "the image is constant";
        return out;
    }
    struct Measured {
        PatchLevel at;
        bool touchesLow, touchesHigh;
    };
    // A patch of one value holds no noise at all: a drawn or clipped region,
    // or counts of zero where the signal is nil. Neither says how the noise
    // follows the signal, and as bins of no variance they would outweigh
    // every noisy bin in the fit.
    std::vector<Measured> measured;
    measured.reserve(all.size());
    for (const Patch& p : all) {
        const double* x = values + p.values;
        if (std::all_of(x, x + D, [x](double v) { return v == x[0]; }))
            continue;
        Measured m{levelOf(x, out.scale), false, false};
        for (int a = 0; a < D; ++a) {
            m.touchesLow = m.touchesLow || x[a] == low;
            m.touchesHigh = m.touchesHigh || x[a] == high;
        }
        measured.push_back(m);
    }

    if (!measured.empty()) {
        std::vector<double> means(measured.size());
        for (std::size_t k = 0; k < measured.size(); ++k)
            means[k] = measured[k].at.level;
        const auto at = means.begin() + std::ptrdiff_t(means.size() / 100);
        std::nth_element(means.begin(), at, means.end());
        out.darkest = *at;
    }

    // Values piled up at an extreme were clipped there (or, at the bottom, are
    // zero counts): a patch near it has lost part of its noise, and would
    // read as noise growing away from that extreme. Those patches, and those
    // whose mean lies within 3 standard deviations of the noise measured
    // next to the extreme, are left out; at the bottom only while they are
    // not most of the image, as with photon counts whose patches mostly hold
    // zeros. (The margin follows the noise there: zero counts have little.)
    const std::size_t valueCount = all.size() * std::size_t(D);
    std::vector<bool> keep(measured.size(), true);
    for (const bool top : {true, false}) {
        const double extreme = top ? high : low;
        if (countValue(all, values, extreme) * 500 < valueCount)
            continue;
        const double at = extreme * out.scale;
        std::vector<PatchLevel> clear;
        for (const Measured& m : measured)
            if (!(top ? m.touchesHigh : m.touchesLow))
                clear.push_back(m.at);
        if (clear.empty())
            continue;
        // The noise next to the extreme: the nearest sixteenth of the rest.
        const std::size_t edge = std::min(clear.size(), std::max(patchesPerBin, clear.size() / 16));
        std::nth_element(clear.begin(), clear.begin() + std::ptrdiff_t(edge - 1), clear.end(),
                         [at](const PatchLevel& a, const PatchLevel& b) {
                             // A total order, so that chunks merged in any
                             // order give the same margin.
                             const double da = std::fabs(a.level - at), db = std::fabs(b.level - at);
                             if (da != db)
                                 return da < db;
                             return a.level != b.level ? a.level < b.level
                                                       : a.variance < b.variance;
                         });
        clear.resize(edge);
        const double margin = 3.0 * std::sqrt(binVariance(clear).variance);
        std::vector<bool> next = keep;
        std::size_t kept = 0;
        for (std::size_t k = 0; k < measured.size(); ++k) {
            const Measured& m = measured[k];
            if ((top ? m.touchesHigh : m.touchesLow) || std::fabs(m.at.level - at) < margin)
                next[k] = false;
            kept += next[k];
        }
        if (top || 2 * kept >= measured.size())
            keep.swap(next);
    }

    std::vector<PatchLevel> levels;
    levels.reserve(measured.size());
    for (std::size_t k = 0; k < measured.size(); ++k)
        if (keep[k])
            levels.push_back(measured[k].at);
    const std::size_t bins = std::min(maxBins, levels.size() / patchesPerBin);
    if (bins < minBins) {
        out.unfit = "too few patches (" + std::to_string(levels.size()) +
                    ") to follow the noise over the signal";
        return out;
    }
    std::sort(levels.begin(), levels.end(), [](const PatchLevel& a, const PatchLevel& b) {
        return a.level != b.level ? a.level < b.level : a.variance < b.variance;
    });
    for (std::size_t b = 0; b < bins; ++b) {
        const std::size_t begin = levels.size() * b / bins, end = levels.size() * (b + 1) / bins;
        out.bins.push_back(binVariance(std::vector<PatchLevel>(
            levels.begin() + std::ptrdiff_t(begin), levels.begin() + std::ptrdiff_t(end))));
    }
    return out;
}

namespace {

struct Line {
    double slope = 0.0, intercept = 0.0;
    std::vector<double> weight; // a bin's final weight; 0: an outlier
};

// Relative residuals a line may leave above and below a bin's variance and
// still pass through it: texture raises a bin's variance, nothing but chance
// lowers it, and chance is within a few percent with a few hundred patches.
// They widen where bins hold few patches: the median of chi^2_28 / 28 over
// n independent patches errs by 0.33 / sqrt(n), and neighbouring patches of
// the grid share most of their values (bins of 261 patches of a 96 x 96
// image scatter by 6%).
constexpr double aboveTolerance = 0.08, belowTolerance = 0.04, refineTolerance = 0.04;

double chance(const NoiseLevels::Bin& bin) { return 0.67 / std::sqrt(double(bin.patches)); }

double crossingCost(const NoiseLevels::Bin& bin, double predicted, double floor)
{
    const double r = (bin.variance - predicted) / std::max(predicted, floor);
    if (r > 0.0) {
        const double above = std::max(aboveTolerance, 5.0 * chance(bin));
        return std::min((r / above) * (r / above), 1.0);
    }
    // A bin well below the line is four raised ones: a line through raised
    // bins passes far above the few flat ones.
    const double below = std::max(belowTolerance, 2.5 * chance(bin));
    return std::min((r / below) * (r / below), 4.0);
}

// The line through a pair of bins (or one, where slope or intercept is
// fixed) that passes closest to the most bins, with weights 1 on the bins
// it passes and 0 on the rest. A least-squares start goes wherever most
// bins pull it, and where texture raises half of them (the middle tones of
// a photograph) reweighting from there keeps them; bins of pure noise lie
// on one line, while raised ones scatter above it.
Line startingLine(const std::vector<NoiseLevels::Bin>& bins, std::optional<double> slope,
                  std::optional<double> intercept, double floor)
{
    std::vector<std::pair<double, double>> candidates; // slope, intercept
    if (slope && intercept)
        candidates.emplace_back(*slope, *intercept);
    else
        for (std::size_t i = 0; i < bins.size(); ++i) {
            const double xi = bins[i].level, yi = bins[i].variance;
            if (slope)
                candidates.emplace_back(*slope, yi - *slope * xi);
            else if (intercept) {
                if (xi != 0.0)
                    candidates.emplace_back(std::max((yi - *intercept) / xi, 0.0), *intercept);
            } else {
                candidates.emplace_back(0.0, yi);
                for (std::size_t j = i + 1; j < bins.size(); ++j) {
                    const double xj = bins[j].level, yj = bins[j].variance;
                    if (xj == xi)
                        continue;
                    const double a = (yj - yi) / (xj - xi);
                    if (a > 0.0)
                        candidates.emplace_back(a, yi - a * xi);
                }
            }
        }
    Line best;
    best.weight.assign(bins.size(), 1.0);
    double bestCost = std::numeric_limits<double>::infinity();
    for (const auto& [a, c] : candidates) {
        double cost = 0.0;
        for (const auto& b : bins)
            cost += crossingCost(b, a * b.level + c, floor);
        if (cost < bestCost) {
            bestCost = cost;
            best.slope = a;
            best.intercept = c;
        }
    }
    if (candidates.empty()) // no bin off zero level to turn a line through
        return best;
    for (std::size_t i = 0; i < bins.size(); ++i)
        best.weight[i] =
            crossingCost(bins[i], best.slope * bins[i].level + best.intercept, floor) <
                    1.0
                ? 1.0
                : 0.0;
    return best;
}

// Weighted least squares of variance = slope * level + intercept with either
// fixed where given, reweighted by Tukey's biweight of the relative residual
// so that bins raised by texture fall out. A bin's variance estimate errs in
// proportion to itself, hence weights of patches / variance^2 (the variance
// floored, so that noiseless zero bins do not take all the weight).
Line fitLine(const std::vector<NoiseLevels::Bin>& bins, std::optional<double> slope,
             std::optional<double> intercept)
{
    double largest = 0.0;
    for (const auto& b : bins)
        largest = std::max(largest, b.variance);
    const double floor = 0.05 * largest;
    Line line = startingLine(bins, slope, intercept, floor);
    std::vector<double> predicted(bins.size());
    for (std::size_t i = 0; i < bins.size(); ++i)
        predicted[i] = line.slope * bins[i].level + line.intercept;
    for (int iteration = 0; iteration < 30; ++iteration) {
        double sw = 0, swx = 0, swy = 0, swxx = 0, swxy = 0;
        for (std::size_t i = 0; i < bins.size(); ++i) {
            const double p = std::max(predicted[i], floor);
            const double w = line.weight[i] * double(bins[i].patches) / (p * p);
            const double x = bins[i].level, y = bins[i].variance;
            sw += w;
            swx += w * x;
            swy += w * y;
            swxx += w * x * x;
            swxy += w * x * y;
        }
        if (!(sw > 0.0))
            break;
        double a = 0.0, c = 0.0;
        if (slope && intercept) {
            a = *slope;
            c = *intercept;
        } else if (slope) {
            a = *slope;
            c = (swy - a * swx) / sw;
        } else if (intercept) {
            c = *intercept;
            a = swxx > 0.0 ? (swxy - c * swx) / swxx : 0.0;
        } else {
            const double det = sw * swxx - swx * swx;
            a = det > 0.0 ? (sw * swxy - swx * swy) / det : 0.0;
            c = (swy - a * swx) / sw;
        }
        // Photon noise cannot fall with the signal.
        if (a < 0.0 && !slope) {
            a = 0.0;
            if (!intercept)
                c = swy / sw;
        }
        line.slope = a;
        line.intercept = c;
        // Biweights cut at a fixed few percent, what chance leaves: a spread
        // measured from the residuals would widen with the raised bins,
        // which are often near half of them, and a wider cut lets a cluster
        // of slightly raised bins tilt the line up (gain 0.86 at 30 photons).
        for (std::size_t i = 0; i < bins.size(); ++i) {
            predicted[i] = a * bins[i].level + c;
            const double r = (bins[i].variance - predicted[i]) / std::max(predicted[i], floor);
            const double u = r / std::max(refineTolerance, 2.5 * chance(bins[i]));
            line.weight[i] = std::fabs(u) < 1.0 ? (1.0 - u * u) * (1.0 - u * u) : 0.0;
        }
    }
    return line;
}

} // namespace

namespace {

std::string unfitMessage(const std::string& why)
{
    return "the poisson-gaussian noise model cannot be fitted to this image: " + why +
           "; give its gain and read noise, or the gaussian model with a sigma";
}

} // namespace

FittedNoise fitNoiseModel(const NoiseLevels& levels, const KnownNoise& known)
{
    if (!levels.unfit.empty())
        throw std::invalid_argument(levels.unfit);
    const double s = levels.scale;
    bool anyNoise = false;
    for (const auto& b : levels.bins)
        anyNoise = anyNoise || b.variance > 0.0;
    if (!anyNoise)
        throw std::invalid_argument("no noise could be measured at any signal level");

    std::optional<double> slope, intercept;
    if (known.gain)
        slope = *known.gain * s;
    if (known.gain && known.readNoise && known.offset)
        intercept = (*known.readNoise * s) * (*known.readNoise * s) - *slope * (*known.offset * s);
    else if (known.readNoise && known.offset)
        // variance = gain * (level - offset) + read^2: with offset and read
        // fixed, the line turns about (offset, read^2).
        intercept.reset();
    Line line = fitLine(levels.bins, slope, intercept);
    if (known.readNoise && known.offset && !known.gain) {
        // Fit the slope through the fixed point by moving the origin there.
        std::vector<NoiseLevels::Bin> moved = levels.bins;
        const double o = *known.offset * s, r2 = (*known.readNoise * s) * (*known.readNoise * s);
        for (auto& b : moved) {
            b.level -= o;
            b.variance -= r2;
        }
        Line through = fitLine(moved, std::nullopt, 0.0);
        line.slope = through.slope;
        line.intercept = r2 - through.slope * o;
        line.weight = through.weight;
    }

    const double a = line.slope, c = line.intercept;
    double lowest = std::numeric_limits<double>::infinity();
    double highest = -lowest;
    for (std::size_t i = 0; i < levels.bins.size(); ++i)
        if (line.weight[i] > 0.0) {
            lowest = std::min(lowest, levels.bins[i].level);
            highest = std::max(highest, levels.bins[i].level);
        }
    if (!(lowest <= highest)) {
        lowest = levels.bins.front().level;
        highest = levels.bins.back().level;
    }
    FittedNoise out;
    for (const double w : line.weight)
        out.agreement += w > 0.0 ? 1.0 : 0.0;
    out.agreement /= double(line.weight.size());

    double offset = 0.0, read2 = 0.0;
    if (known.offset) {
        offset = *known.offset * s;
        read2 = known.readNoise ? (*known.readNoise * s) * (*known.readNoise * s) : a * offset + c;
    } else if (known.readNoise) {
        read2 = (*known.readNoise * s) * (*known.readNoise * s);
        offset = a > 0.0 ? (read2 - c) / a : 0.0;
    } else if (c >= 0.0) {
        read2 = c;
    } else if (a > 0.0) {
        // A negative intercept puts zero signal above zero: a black level.
        // Photon noise alone explains every level from where the line
        // reaches no variance, and the black level is there, or at the
        // darkest patches where some lie below it (a line that missed them
        // by a few hundredths of a photon). The forward transform is the
        // same for any split of the intercept between black level and read
        // noise, but the exact inverse at low counts is not: read noise 0.9
        // and a black level at the lowest bin cost 1.9 dB on black space at
        // 10 photons, read noise 3 there 1.3 dB at 100.
        offset = std::min(-c / a, levels.darkest);
    }
    // The variance the stabilised path evens out: from the darkest pixels
    // the image holds (read noise alone below its black level) to the
    // brightest bin. From a growth of 2.5 the stabilised path wins; from
    // 1.5 it wins where the brightest signal stands clear of its noise
    // (+0.4 to +0.7 dB on brick from 10 photons without read noise or 30
    // with 2), or the read noise is under a photon (+0.9 dB at 2 photons).
    // Below that it loses up to 0.2 dB to a single sigma: 5 photons under
    // read noise 2, or 10 on brick, whose variance grows by 1.5 to 2.
    const double atHighest = a * highest + c;
    const double atDarkest = std::max(a * levels.darkest + c, read2);
    out.growth = atDarkest > 0.0 ? atHighest / atDarkest
                                 : (atHighest > 0.0 ? std::numeric_limits<double>::infinity() : 0.0);
    const bool clearOfNoise = highest - std::min(offset, 0.0) >= 2.2 * std::sqrt(atHighest);
    const bool photonLimited = read2 < a * a;
    out.signalDependent =
        a > 0.0 && atHighest > 0.0 &&
        (out.growth >= 2.5 || (out.growth >= 1.5 && (clearOfNoise || photonLimited)));
    out.model.kind = NoiseKind::poissonGaussian;
    out.model.gain = a / s;
    out.model.offset = offset / s;
    out.model.readNoise = std::sqrt(std::max(read2, 0.0)) / s;
    // The front ends refuse a given read noise of 0, and a fitted model must
    // go back in as given: a thousandth of a photon adds a millionth of a
    // photon's variance.
    if (!known.readNoise && a > 0.0)
        out.model.readNoise = std::max(out.model.readNoise, 1e-3 * out.model.gain);
    return out;
}

NoiseModel chooseNoiseModel(const NoiseLevels& levels, double sigma, NoiseChoice choice,
                            const KnownNoise& known)
{
    NoiseModel gaussian;
    gaussian.sigma = sigma;
    gaussian.readNoise = sigma;
    if (choice == NoiseChoice::gaussian)
        return gaussian;
    if (choice == NoiseChoice::poissonGaussian) {
        FittedNoise fit;
        try {
            fit = fitNoiseModel(levels, known);
        } catch (const std::invalid_argument& e) {
            throw std::invalid_argument(unfitMessage(e.what()));
        }
        if (!(fit.model.gain > 0.0))
            throw std::invalid_argument(unfitMessage("its noise does not grow with the signal"));
        fit.model.sigma = sigma;
        return fit.model;
    }
    if (levels.unfit.empty()) {
        bool anyNoise = false;
        for (const auto& b : levels.bins)
            anyNoise = anyNoise || b.variance > 0.0;
        if (anyNoise) {
            const FittedNoise fit = fitNoiseModel(levels, known);
            // Regions of zero counts can pull the white-noise estimate to 0;
            // noise the levels do show is then taken as it is. Otherwise the
            // line must pass through half the bins, or the white estimate,
            // which leaves out patches at the data's extremes, must see the
            // noise grow too. Clipped white noise reads as a steep line
            // through its darkest few bins (gain 4.3 through 2 of 16 on
            // 8-bit sigma 30, where the white estimate grows by 0.97, and
            // 1.4 on a 128 x 128 crop); photon counts put 7 to 16 bins on
            // their line, texture or not, while on brick the white estimate
            // grows by 0.64 to 1.4.
            const bool confirmed = !(levels.whiteGrowth > 0.0) || levels.whiteGrowth >= 1.5 ||
                                   fit.agreement >= 0.5;
            if ((fit.signalDependent && confirmed) || (!(sigma > 0.0) && fit.model.gain > 0.0)) {
                NoiseModel model = fit.model;
                model.sigma = sigma;
                return model;
            }
            if (!(sigma > 0.0)) {
                double largest = 0.0;
                for (const auto& b : levels.bins)
                    largest = std::max(largest, b.variance);
                gaussian.sigma = std::sqrt(largest) / levels.scale;
                gaussian.readNoise = gaussian.sigma;
            }
        }
    }
    if (!(gaussian.sigma > 0.0))
        throw std::invalid_argument(levels.unfit == "the image is constant"
                                        ? "the image is constant: its noise level cannot be "
                                          "estimated"
                                        : "no noise could be measured at any signal level (the "
                                          "image is exactly smooth)");
    return gaussian;
}

// ---------------------------------------------------------------- the transform

namespace {

// Above this many photons the expectation of the transform follows its
// asymptotic form to far better than the filter's error.
constexpr double tableTop = 400.0;
constexpr int tableSteps = 1024;

} // namespace

Stabiliser::Stabiliser(double gain, double readNoise, double offset)
    : gain_(gain), offset_(offset)
{
    const double s = readNoise / gain;
    s2_ = s * s;
    c_ = 0.375 + s2_;
    // g(k) = E[2 sqrt(max(k + t + c, 0))] over t ~ N(0, s^2): Simpson's rule
    // over 8 standard deviations each side.
    const int top = int(tableTop + 12.0 * std::sqrt(tableTop) + 40.0);
    std::vector<double> g(std::size_t(top) + 1);
    for (int k = 0; k <= top; ++k) {
        if (s2_ == 0.0 || s < 1e-6) {
            g[std::size_t(k)] = 2.0 * std::sqrt(k + c_);
            continue;
        }
        constexpr int intervals = 256;
        const double h = 16.0 * s / intervals;
        double sum = 0.0;
        for (int i = 0; i <= intervals; ++i) {
            const double t = -8.0 * s + i * h;
            const double weight = (i == 0 || i == intervals) ? 1.0 : (i % 2 ? 4.0 : 2.0);
            const double density = std::exp(-0.5 * t * t / s2_);
            sum += weight * density * 2.0 * std::sqrt(std::max(k + t + c_, 0.0));
        }
        g[std::size_t(k)] = sum * h / 3.0 / (s * std::sqrt(2.0 * 3.141592653589793));
    }
    // E[f | l] = sum_k Poisson(k; l) g(k), on a grid even in sqrt(l).
    lambda_.resize(tableSteps + 1);
    expectation_.resize(tableSteps + 1);
    for (int j = 0; j <= tableSteps; ++j) {
        const double root = std::sqrt(tableTop) * j / tableSteps;
        const double l = root * root;
        lambda_[std::size_t(j)] = l;
        if (l == 0.0) {
            expectation_[0] = g[0];
            continue;
        }
        const int first = std::max(0, int(l - 12.0 * std::sqrt(l) - 10.0));
        const int last = std::min(top, int(l + 12.0 * std::sqrt(l) + 30.0));
        double sum = 0.0, mass = 0.0;
        for (int k = first; k <= last; ++k) {
            const double p = std::exp(k * std::log(l) - l - std::lgamma(k + 1.0));
            sum += p * g[std::size_t(k)];
            mass += p;
        }
        expectation_[std::size_t(j)] = sum / mass;
    }
    // The asymptotic inverse l = d^2/4 - 1/8 - s^2, shifted to meet the table.
    const double d = expectation_.back();
    tailShift_ = tableTop - (0.25 * d * d - 0.125 - s2_);
}

double Stabiliser::forward(double z) const
{
    const double y = (z - offset_) / gain_;
    return 2.0 * std::sqrt(std::max(y + c_, 0.0));
}

double Stabiliser::inverse(double d) const
{
    double l = 0.0;
    if (d >= expectation_.back()) {
        l = 0.25 * d * d - 0.125 - s2_ + tailShift_;
    } else if (d > expectation_.front()) {
        const auto above = std::upper_bound(expectation_.begin(), expectation_.end(), d);
        const std::size_t j = std::size_t(above - expectation_.begin());
        const double e0 = expectation_[j - 1], e1 = expectation_[j];
        const double t = e1 > e0 ? (d - e0) / (e1 - e0) : 0.0;
        l = lambda_[j - 1] + t * (lambda_[j] - lambda_[j - 1]);
    }
    return offset_ + gain_ * l;
}

double Stabiliser::algebraicInverse(double d) const
{
    return offset_ + gain_ * (0.25 * d * d - c_);
}

// ---------------------------------------------------------------- the plan

namespace {

void checkPositive(const std::optional<double>& value, const char* name)
{
    if (value && !(std::isfinite(*value) && *value > 0.0))
        throw std::invalid_argument(std::string(name) + " must be a finite number > 0, not " +
                                    formatNumber(*value));
}

} // namespace

NoiseModel correlatedModel(const DenoiseInput& in)
{
    return correlatedFromSpectrum(imageNoiseSpectrum(in.pixels, in.rows, in.cols, in.channels, 8));
}

NoiseModel whiteOrCorrelated(const std::function<NoiseModel()>& white, bool constant,
                             const std::function<NoiseModel()>& coloured)
{
    // Noise that is not white reads near 0 in the smallest eigenvalue the
    // white estimate takes; where the white models see little or nothing,
    // its spectrum tells it apart. Noise that follows the signal keeps its
    // model, as the estimate in bands gives it.
    NoiseModel model;
    std::string refusal;
    try {
        model = white();
    } catch (const std::invalid_argument& e) {
        refusal = e.what();
    }
    if (!constant && (!refusal.empty() || model.kind == NoiseKind::gaussian)) {
        try {
            NoiseModel measured = coloured();
            if (looksCorrelated(measured, refusal.empty() ? model.sigma : 0.0))
                return measured;
        } catch (const std::invalid_argument&) {
        }
    }
    if (!refusal.empty())
        throw std::invalid_argument(refusal);
    return model;
}

bool looksCorrelated(const NoiseModel& coloured, double whiteSigma)
{
    return coloured.spectrum.flatness < whiteFlatness && coloured.spectrum.flatness > leastFlatness &&
           coloured.sigma > correlatedExcess * whiteSigma;
}

NoisePlan planNoise(const DenoiseInput& in, const ModelEstimate& estimate,
                    const CorrelatedEstimate& correlated, int threads)
{
    const bool anyParameter = in.gain || in.readNoise || in.offset;
    checkPositive(in.gain, "gain");
    checkPositive(in.readNoise, "read noise");
    const std::size_t count = std::size_t(in.rows) * std::size_t(in.cols) * std::size_t(in.channels);
    if (in.offset) {
        if (!std::isfinite(*in.offset))
            throw std::invalid_argument("offset must be a finite number, not " +
                                        formatNumber(*in.offset));
        const double highest =
            in.extremes ? in.extremes->high : *std::max_element(in.pixels, in.pixels + count);
        if (*in.offset > highest)
            throw std::invalid_argument("offset " + formatNumber(*in.offset) +
                                        " lies above the data's maximum " + formatNumber(highest) +
                                        ": no signal would remain");
    }
    if (in.sigma && in.noise == NoiseChoice::poissonGaussian)
        throw std::invalid_argument("sigma cannot be given with the poisson-gaussian noise model "
                                    "(its noise follows the signal); give gain and read noise "
                                    "instead, or the gaussian model");
    if (anyParameter && (in.sigma || in.noise == NoiseChoice::gaussian))
        throw std::invalid_argument(
            "gain, read noise and offset belong to the poisson-gaussian noise model, " +
            std::string(in.sigma ? "sigma" : "the gaussian model") +
            " to white noise: give one or the other");

    if (anyParameter && in.noise == NoiseChoice::correlated)
        throw std::invalid_argument(
            "gain, read noise and offset belong to the poisson-gaussian noise model, the "
            "correlated model to noise of one level: give one or the other");

    NoisePlan plan;
    if (in.shapes && (in.noise != NoiseChoice::correlated || !in.sigma))
        throw std::invalid_argument("a tile's noise shapes belong to the correlated noise model, "
                                    "with the whole image's sigma");
    if (in.shapes) {
        // A tile: the whole image's model, measured already.
        plan.model.kind = NoiseKind::correlated;
        plan.model.sigma = *in.sigma;
        plan.model.readNoise = *in.sigma;
        return plan;
    }
    // The spectrum of an image in memory, or one measured apart.
    const auto measured = [&] { return correlated ? correlated() : correlatedModel(in); };
    if (in.noise == NoiseChoice::correlated) {
        if (estimate && !correlated)
            throw std::invalid_argument(
                "the correlated noise model measures its spectrum on the whole image at once, "
                "which an image read in bands or chunks does not give; use the gaussian model");
        plan.model = measured();
        if (in.sigma)
            plan.model.sigma = *in.sigma;
        plan.estimated = true;
        return plan;
    }
    if (in.sigma) {
        plan.model.sigma = *in.sigma;
        plan.model.readNoise = *in.sigma;
        return plan;
    }
    const bool poisson = in.noise == NoiseChoice::poissonGaussian || anyParameter;
    if (poisson && in.gain && in.readNoise) {
        plan.model.kind = NoiseKind::poissonGaussian;
        plan.model.gain = *in.gain;
        plan.model.readNoise = *in.readNoise;
        plan.model.offset = in.offset.value_or(0.0);
        plan.estimated = false;
        return plan;
    }

    const bool constant = in.extremes ? in.extremes->low == in.extremes->high
                                      : std::all_of(in.pixels, in.pixels + count,
                                                    [&](double v) { return v == in.pixels[0]; });
    if (constant)
        throw std::invalid_argument(
            "the image is constant: its noise level cannot be estimated; give sigma");
    std::optional<NoiseEstimator> own;
    if (!estimate) {
        own.emplace(in.rows, in.cols, in.channels);
        own->add(in.pixels, 0, in.rows);
    }
    // Noise that is not white (demosaicked, compressed) hides from the
    // smallest eigenvalue, which reads its weakest direction: where the
    // white models see little or nothing, its spectrum is asked. Noise that
    // follows the signal keeps its model, as an estimate in bands gives it.
    // An image too small for the spectrum is taken as white. In memory, with
    // threads to spare, the spectrum is measured beside the white models
    // rather than after them; it is used only as it would be.
    const bool askSpectrum =
        in.noise == NoiseChoice::automatic && !poisson && (!estimate || correlated);
    std::optional<NoiseModel> coloured;
    const std::function<void()> measureSpectrum = [&] {
        try {
            coloured = measured();
        } catch (const std::invalid_argument&) {
        }
    };
    const bool spectrumAside = askSpectrum && !estimate && threads > 1;
    const auto model = [&](NoiseChoice choice, const KnownNoise& known) {
        return estimate ? estimate(choice, known)
                        : own->estimateModel(choice, known.gain, known.readNoise, known.offset,
                                             threads, spectrumAside ? measureSpectrum : nullptr);
    };
    plan.estimated = true;
    if (in.noise == NoiseChoice::gaussian) {
        plan.model = model(NoiseChoice::gaussian, {});
        return plan;
    }
    NoiseModel chosen;
    std::string refusal;
    try {
        chosen = model(poisson ? NoiseChoice::poissonGaussian : NoiseChoice::automatic,
                       KnownNoise{in.gain, in.readNoise, in.offset});
    } catch (const std::invalid_argument& e) {
        refusal = poisson ? std::string(e.what()) : std::string(e.what()) + "; give sigma";
    }
    if (askSpectrum && (!refusal.empty() || chosen.kind == NoiseKind::gaussian)) {
        if (!spectrumAside)
            measureSpectrum();
        if (coloured && looksCorrelated(*coloured, refusal.empty() ? chosen.sigma : 0.0)) {
            plan.model = std::move(*coloured);
            return plan;
        }
    }
    if (!refusal.empty())
        throw std::invalid_argument(refusal);
    plan.model = chosen;
    return plan;
}

StabilisedProblem stabilisedProblem(const NoiseModel& model, double lowest, double highest)
{
    StabilisedProblem p{Stabiliser(model.gain, model.readNoise, model.offset), {}};
    // The transform is monotone, so the transformed extremes are those of the
    // data's extremes.
    double low = p.stabiliser.forward(lowest), high = p.stabiliser.forward(highest);
    // The filter needs a range at least as wide as the noise; unit noise over
    // a narrower span of values is all but nothing to stabilise.
    if (high - low < 2.0) {
        const double middle = 0.5 * (low + high);
        low = middle - 1.0;
        high = middle + 1.0;
    }
    p.range = DataRange{low, high};
    return p;
}

void StabilisedProblem::gaussianInput(DenoiseInput& in) const
{
    in.range = range;
    in.sigma = 1.0;
    in.noise = NoiseChoice::gaussian;
    in.gain.reset();
    in.readNoise.reset();
    in.offset.reset();
    in.extremes.reset();
}

DenoiseResult denoiseStabilised(const DenoiseInput& in, const DenoiseOptions& options,
                                const NoisePlan& plan)
{
    const NoiseModel& model = plan.model;
    const std::size_t count = std::size_t(in.rows) * std::size_t(in.cols) * std::size_t(in.channels);
    double lowest = std::numeric_limits<double>::infinity(), highest = -lowest, mean = 0.0;
    for (std::size_t i = 0; i < count; ++i) {
        lowest = std::min(lowest, in.pixels[i]);
        highest = std::max(highest, in.pixels[i]);
        mean += in.pixels[i];
    }
    mean /= double(count);
    // A tile takes the whole image's extremes, so that every tile is
    // filtered over the one range the whole image is.
    if (in.extremes) {
        lowest = in.extremes->low;
        highest = in.extremes->high;
    }
    const StabilisedProblem problem = stabilisedProblem(model, lowest, highest);
    std::vector<double> stable(count);
    for (std::size_t i = 0; i < count; ++i)
        stable[i] = problem.stabiliser.forward(in.pixels[i]);
    DenoiseInput stabilised = in;
    stabilised.pixels = stable.data();
    problem.gaussianInput(stabilised);
    DenoiseResult result = denoise(stabilised, options);
    for (double& v : result.pixels)
        v = problem.stabiliser.inverse(v);
    result.noise = model;
    result.noise.sigma =
        std::sqrt(std::max(model.gain * (mean - model.offset) + model.readNoise * model.readNoise, 0.0));
    result.sigma = result.noise.sigma;
    result.sigmaEstimated = plan.estimated;
    return result;
}

} // namespace detail
} // namespace sorvik
