// The noise's power per spatial frequency of a block, measured where the
// image is flattest: what the filter's stages need to shrink each
// coefficient against its own noise when the noise is not white.
#include <sorvik/denoise.h>

#include "noise_model.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace sorvik {
namespace {

constexpr double pi = 3.14159265358979323846;

// At most this many blocks are scored: more add time, not precision.
constexpr std::int64_t maxScored = 40000;
constexpr std::int64_t minBlocks = 64;
constexpr std::size_t levelBands = 8;

// The mean of the lowest 90% of n squares of a zero-mean Gaussian value of
// variance 1: chi-square with one degree of freedom (a real coefficient) or,
// halved, with two (a complex one). Dividing a trimmed mean by it gives the
// variance, the trimmed tail being that of noise.
double trimmedChiSquare1()
{
    const double q = 2.705543454095404; // its 90% quantile
    const double below = std::erf(std::sqrt(q / 2.0)) - std::sqrt(2.0 * q / pi) * std::exp(-q / 2.0);
    return below / 0.9;
}

double trimmedExponential()
{
    const double a = std::log(10.0); // the 90% quantile of the unit exponential
    return (1.0 - 0.1 * (1.0 + a)) / 0.9;
}

// The power of one coefficient from its squares over the selected blocks.
double trimmedPower(std::vector<double>& squares, double correction)
{
    const std::size_t kept = std::max<std::size_t>(1, squares.size() * 9 / 10);
    std::nth_element(squares.begin(), squares.begin() + (kept - 1), squares.end());
    double sum = 0.0;
    for (std::size_t i = 0; i < kept; ++i)
        sum += squares[i];
    return sum / double(kept) / correction;
}

struct Plane {
    const double* values;
    std::int32_t rows;

    double at(std::int64_t r, std::int64_t c) const { return values[r + c * std::int64_t(rows)]; }

    // The block's energy about its mean: its texture and noise together.
    double acEnergy(std::int64_t r, std::int64_t c, std::int32_t P) const
    {
        double sum = 0.0, squares = 0.0;
        for (std::int32_t b = 0; b < P; ++b)
            for (std::int32_t a = 0; a < P; ++a) {
                const double v = at(r + a, c + b);
                sum += v;
                squares += v * v;
            }
        return std::max(squares - sum * sum / double(P * P), 0.0);
    }

    double mean(std::int64_t r, std::int64_t c, std::int32_t P) const
    {
        double sum = 0.0;
        for (std::int32_t b = 0; b < P; ++b)
            for (std::int32_t a = 0; a < P; ++a)
                sum += at(r + a, c + b);
        return sum / double(P * P);
    }
};

} // namespace

NoiseSpectrum estimateNoiseSpectrum(const double* plane, std::int32_t rows, std::int32_t cols,
                                    std::int32_t blockSize)
{
    if (plane == nullptr)
        throw std::invalid_argument("the plane to measure the noise spectrum of is null");
    if (blockSize < 2 || blockSize > 64)
        throw std::invalid_argument("the noise spectrum's block size must be 2 to 64, not " +
                                    std::to_string(blockSize));
    const std::int32_t P = blockSize;
    // Every scored block has its four neighbours a block away inside the plane.
    const std::int64_t spanRows = std::int64_t(rows) - 3 * std::int64_t(P) + 1;
    const std::int64_t spanCols = std::int64_t(cols) - 3 * std::int64_t(P) + 1;
    if (spanRows < 1 || spanCols < 1 || spanRows * spanCols < minBlocks)
        throw std::invalid_argument("the image (" + std::to_string(rows) + " x " +
                                    std::to_string(cols) + ") is too small to measure its noise "
                                    "spectrum with " + std::to_string(P) + " x " +
                                    std::to_string(P) + " blocks");
    std::int64_t stride = 1;
    while ((spanRows + stride - 1) / stride * ((spanCols + stride - 1) / stride) > maxScored)
        ++stride;
    const std::int64_t gridRows = (spanRows + stride - 1) / stride;
    const std::int64_t gridCols = (spanCols + stride - 1) / stride;

    const Plane image{plane, rows};
    struct Scored {
        double texture, level;
        std::int64_t r, c;
    };
    std::vector<Scored> scored;
    scored.reserve(std::size_t(gridRows * gridCols));
    for (std::int64_t j = 0; j < gridCols; ++j)
        for (std::int64_t i = 0; i < gridRows; ++i) {
            const std::int64_t r = P + i * stride, c = P + j * stride;
            const double texture = image.acEnergy(r - P, c, P) + image.acEnergy(r + P, c, P) +
                                   image.acEnergy(r, c - P, P) + image.acEnergy(r, c + P, P);
            scored.push_back({texture, image.mean(r, c, P), r, c});
        }
    // Ties broken by position, so that the selection is the same on every platform.
    const auto flatter = [](const Scored& x, const Scored& y) {
        return x.texture != y.texture ? x.texture < y.texture
                                      : (x.c != y.c ? x.c < y.c : x.r < y.r);
    };
    const auto darker = [](const Scored& x, const Scored& y) {
        return x.level != y.level ? x.level < y.level : (x.c != y.c ? x.c < y.c : x.r < y.r);
    };
    // The flattest tenth of each of several bands of brightness: noise that
    // grows with the signal (photons, then a tone curve) would otherwise be
    // read where it is weakest, in the flat dark, as flat regions are dark
    // as often as not.
    std::sort(scored.begin(), scored.end(), darker);
    const std::size_t bands = scored.size() >= std::size_t(levelBands * minBlocks) ? levelBands : 1;
    std::vector<Scored> chosen;
    for (std::size_t band = 0; band < bands; ++band) {
        const auto first = scored.begin() + std::ptrdiff_t(scored.size() * band / bands);
        const auto last = scored.begin() + std::ptrdiff_t(scored.size() * (band + 1) / bands);
        const std::size_t size = std::size_t(last - first);
        const std::size_t take =
            std::min(size, std::max<std::size_t>(std::size_t(minBlocks) / bands + 1, size / 10));
        std::nth_element(first, first + std::ptrdiff_t(take - 1), last, flatter);
        chosen.insert(chosen.end(), first, first + std::ptrdiff_t(take));
    }
    scored = std::move(chosen);
    const std::size_t selected = scored.size();

    const std::size_t area = std::size_t(P) * std::size_t(P);
    const std::int32_t H = P / 2 + 1;
    const std::size_t half = std::size_t(P) * std::size_t(H);
    std::vector<double> cosineBasis(area), cosTable(area), sinTable(area);
    for (std::int32_t u = 0; u < P; ++u)
        for (std::int32_t a = 0; a < P; ++a) {
            const double scale = u == 0 ? std::sqrt(1.0 / P) : std::sqrt(2.0 / P);
            cosineBasis[std::size_t(u) * P + a] = scale * std::cos(pi * (2 * a + 1) * u / (2.0 * P));
            cosTable[std::size_t(u) * P + a] = std::cos(2.0 * pi * double((u * a) % P) / P);
            sinTable[std::size_t(u) * P + a] = std::sin(2.0 * pi * double((u * a) % P) / P);
        }

    // Squares per coefficient, coefficient-major, for the trimmed means.
    std::vector<std::vector<double>> cosineSquares(area), fourierSquares(half);
    for (auto& v : cosineSquares)
        v.reserve(selected);
    for (auto& v : fourierSquares)
        v.reserve(selected);
    std::vector<double> block(area), rowsPass(area), re(std::size_t(P) * H), im(std::size_t(P) * H);
    for (const Scored& s : scored) {
        for (std::int32_t a = 0; a < P; ++a)
            for (std::int32_t b = 0; b < P; ++b)
                block[std::size_t(a) * P + b] = image.at(s.r + a, s.c + b);
        // DCT along each row, then along each column.
        for (std::int32_t a = 0; a < P; ++a)
            for (std::int32_t v = 0; v < P; ++v) {
                double sum = 0.0;
                for (std::int32_t b = 0; b < P; ++b)
                    sum += cosineBasis[std::size_t(v) * P + b] * block[std::size_t(a) * P + b];
                rowsPass[std::size_t(a) * P + v] = sum;
            }
        for (std::int32_t u = 0; u < P; ++u)
            for (std::int32_t v = 0; v < P; ++v) {
                double sum = 0.0;
                for (std::int32_t a = 0; a < P; ++a)
                    sum += cosineBasis[std::size_t(u) * P + a] * rowsPass[std::size_t(a) * P + v];
                cosineSquares[std::size_t(u) * P + v].push_back(sum * sum);
            }
        // The DFT the same way, on the half spectrum of the rows.
        for (std::int32_t a = 0; a < P; ++a)
            for (std::int32_t v = 0; v < H; ++v) {
                double sr = 0.0, si = 0.0;
                for (std::int32_t b = 0; b < P; ++b) {
                    const double x = block[std::size_t(a) * P + b];
                    sr += x * cosTable[std::size_t(v) * P + b];
                    si -= x * sinTable[std::size_t(v) * P + b];
                }
                re[std::size_t(a) * H + v] = sr;
                im[std::size_t(a) * H + v] = si;
            }
        for (std::int32_t u = 0; u < P; ++u)
            for (std::int32_t v = 0; v < H; ++v) {
                double sr = 0.0, si = 0.0;
                for (std::int32_t a = 0; a < P; ++a) {
                    const double c = cosTable[std::size_t(u) * P + a];
                    const double n = sinTable[std::size_t(u) * P + a];
                    const double xr = re[std::size_t(a) * H + v], xi = im[std::size_t(a) * H + v];
                    sr += xr * c + xi * n;
                    si += xi * c - xr * n;
                }
                fourierSquares[std::size_t(u) * H + v].push_back((sr * sr + si * si) / double(P * P));
            }
    }

    NoiseSpectrum out;
    out.blockSize = P;
    out.blocks = selected;
    out.cosine.resize(area);
    out.fourier.resize(half);
    const double real = trimmedChiSquare1(), complex = trimmedExponential();
    for (std::size_t i = 1; i < area; ++i)
        out.cosine[i] = trimmedPower(cosineSquares[i], real);
    for (std::int32_t u = 0; u < P; ++u)
        for (std::int32_t v = 0; v < H; ++v) {
            const std::size_t t = std::size_t(u) * H + v;
            // Coefficients of a real block's DFT that are real themselves.
            const bool isReal = (u == 0 || 2 * u == P) && (v == 0 || 2 * v == P);
            if (t > 0)
                out.fourier[t] = trimmedPower(fourierSquares[t], isReal ? real : complex);
        }
    out.cosine[0] = (out.cosine[1] + out.cosine[std::size_t(P)] + out.cosine[std::size_t(P) + 1]) / 3.0;
    out.fourier[0] = (out.fourier[1] + out.fourier[std::size_t(H)] + out.fourier[std::size_t(H) + 1]) / 3.0;

    detail::summariseSpectrum(out);
    return out;
}

namespace detail {

void summariseSpectrum(NoiseSpectrum& out)
{
    const std::int32_t P = out.blockSize;
    const std::size_t area = std::size_t(P) * std::size_t(P);
    double total = 0.0, high = 0.0, middle = 0.0;
    std::size_t highCount = 0, middleCount = 0;
    for (std::int32_t u = 0; u < P; ++u)
        for (std::int32_t v = 0; v < P; ++v) {
            const double power = out.cosine[std::size_t(u) * P + v];
            total += power;
            const double reach = double(u + v) / double(P - 1);
            if (reach >= 1.4) {
                high += power;
                ++highCount;
            } else if (reach >= 0.4 && reach <= 0.8) {
                middle += power;
                ++middleCount;
            }
        }
    out.sigma = std::sqrt(total / double(area));
    out.flatness = 1.0;
    if (highCount > 0 && middleCount > 0 && middle > 0.0)
        out.flatness = (high / double(highCount)) / (middle / double(middleCount));
}

NoiseSpectrum imageNoiseSpectrum(const double* pixels, std::int32_t rows, std::int32_t cols,
                                 int channels, std::int32_t blockSize)
{
    const std::size_t plane = std::size_t(rows) * std::size_t(cols);
    NoiseSpectrum mean;
    for (int c = 0; c < channels; ++c) {
        const NoiseSpectrum one =
            estimateNoiseSpectrum(pixels + std::size_t(c) * plane, rows, cols, blockSize);
        if (c == 0) {
            mean = one;
            continue;
        }
        for (std::size_t i = 0; i < mean.cosine.size(); ++i)
            mean.cosine[i] += one.cosine[i];
        for (std::size_t i = 0; i < mean.fourier.size(); ++i)
            mean.fourier[i] += one.fourier[i];
        mean.blocks += one.blocks;
    }
    for (double& v : mean.cosine)
        v /= double(channels);
    for (double& v : mean.fourier)
        v /= double(channels);
    summariseSpectrum(mean);
    return mean;
}

namespace {

// A channel's powers over its sigma^2, floored at 1: no coefficient is
// shrunk less than white noise of the channel's level would be. Compression
// quantises the noise away in flat regions, where it is measured, but leaves
// its errors (and the noise) next to edges; on camera JPEGs the floor gained
// 0.2 dB on average over a floor near 0 (bench/camera_jpeg_bench.py), and a
// floor keeps a coefficient measured without noise from 0 / 0 in the Wiener
// stage where the pilot is flat too.
std::vector<float> relativeShape(const std::vector<double>& power, double sigma)
{
    std::vector<float> shape(power.size());
    for (std::size_t i = 0; i < power.size(); ++i)
        shape[i] = float(std::max(power[i] / (sigma * sigma), 1.0));
    return shape;
}

} // namespace

ColouredChannels colouredChannels(const double* planes, std::int32_t rows, std::int32_t cols,
                                  int channels, std::int32_t wienerBlock, std::int32_t groupedBlock)
{
    const std::size_t plane = std::size_t(rows) * std::size_t(cols);
    ColouredChannels out;
    std::vector<NoiseSpectrum> wiener, grouped;
    double loudest = 0.0;
    for (int c = 0; c < channels; ++c) {
        const double* p = planes + std::size_t(c) * plane;
        wiener.push_back(estimateNoiseSpectrum(p, rows, cols, wienerBlock));
        grouped.push_back(groupedBlock == wienerBlock ? wiener.back()
                                                      : estimateNoiseSpectrum(p, rows, cols, groupedBlock));
        loudest = std::max(loudest, wiener.back().sigma);
    }
    if (!(loudest > 0.0))
        throw std::invalid_argument(
            "no noise could be measured in the image (it is exactly smooth); give sigma");
    for (int c = 0; c < channels; ++c) {
        // A channel without noise of its own (the colour of a grey image)
        // is filtered lightly rather than with a sigma the filter cannot square.
        const bool quiet = !(wiener[c].sigma > 0.05 * loudest);
        const double sigma = (quiet ? 0.05 * loudest : wiener[c].sigma);
        out.sigma.push_back(sigma);
        out.wiener.push_back(quiet ? std::vector<float>(wiener[c].fourier.size(), 1.0f)
                                   : relativeShape(wiener[c].fourier, sigma));
        // Both stages take the channel's one sigma, so the grouped block's
        // powers are taken relative to it too.
        out.grouped.push_back(quiet ? std::vector<float>(grouped[c].cosine.size(), 1.0f)
                                    : relativeShape(grouped[c].cosine, sigma));
    }
    return out;
}

} // namespace detail

} // namespace sorvik
