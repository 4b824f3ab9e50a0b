// The noise's power per spatial frequency of a block, measured where the
// image is flattest: what the filter's stages need to shrink each
// coefficient against its own noise when the noise is not white.
#include <sorvik/denoise.h>

#include "noise_model.h"
#include "noise_power.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
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
double trimmedPower(double* squares, std::size_t count, double correction)
{
    const std::size_t kept = std::max<std::size_t>(1, count * 9 / 10);
    std::nth_element(squares, squares + (kept - 1), squares + count);
    double sum = 0.0;
    for (std::size_t i = 0; i < kept; ++i)
        sum += squares[i];
    return sum / double(kept) / correction;
}

} // namespace

namespace detail {

SpectrumGrid spectrumGrid(std::int32_t rows, std::int32_t cols, std::int32_t blockSize)
{
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
    SpectrumGrid grid;
    grid.P = P;
    while ((spanRows + grid.stride - 1) / grid.stride * ((spanCols + grid.stride - 1) / grid.stride) >
           maxScored)
        ++grid.stride;
    grid.gridRows = (spanRows + grid.stride - 1) / grid.stride;
    grid.gridCols = (spanCols + grid.stride - 1) / grid.stride;
    return grid;
}

namespace {

// The block's energy about its mean: its texture and noise together.
double acEnergy(const PlaneView& image, std::int64_t r, std::int64_t c, std::int32_t P)
{
    double sum = 0.0, squares = 0.0;
    for (std::int32_t b = 0; b < P; ++b)
        for (std::int32_t a = 0; a < P; ++a) {
            const double v = image.at(r + a, c + b);
            sum += v;
            squares += v * v;
        }
    return std::max(squares - sum * sum / double(P * P), 0.0);
}

double blockMean(const PlaneView& image, std::int64_t r, std::int64_t c, std::int32_t P)
{
    double sum = 0.0;
    for (std::int32_t b = 0; b < P; ++b)
        for (std::int32_t a = 0; a < P; ++a)
            sum += image.at(r + a, c + b);
    return sum / double(P * P);
}

// The grid indices whose anchors lie in the span.
std::pair<std::int64_t, std::int64_t> gridIndices(const SpectrumGrid& grid, Span anchors,
                                                  std::int64_t count)
{
    const std::int64_t first = (std::int64_t(anchors.begin) + grid.stride - 1) / grid.stride;
    const std::int64_t last = (std::int64_t(anchors.end) + grid.stride - 1) / grid.stride;
    return {std::min(first, count), std::min(last, count)};
}

} // namespace

void scoreBlocks(const SpectrumGrid& grid, const PlaneView& image, Span anchorRows, Span anchorCols,
                 std::vector<ScoredBlock>& out)
{
    const std::int32_t P = grid.P;
    const auto rowsAt = gridIndices(grid, anchorRows, grid.gridRows);
    const auto colsAt = gridIndices(grid, anchorCols, grid.gridCols);
    for (std::int64_t j = colsAt.first; j < colsAt.second; ++j)
        for (std::int64_t i = rowsAt.first; i < rowsAt.second; ++i) {
            const std::int64_t r = P + i * grid.stride, c = P + j * grid.stride;
            double texture = acEnergy(image, r - P, c, P) + acEnergy(image, r + P, c, P) +
                             acEnergy(image, r, c - P, P) + acEnergy(image, r, c + P, P);
            // Data near the largest doubles overflows its squares; such a
            // block is no flatter than any, and a NaN would break the sort.
            if (std::isnan(texture))
                texture = std::numeric_limits<double>::infinity();
            out.push_back({texture, blockMean(image, r, c, P), r, c});
        }
}

std::vector<ScoredBlock> selectBlocks(std::vector<ScoredBlock> scored)
{
    // Ties broken by position, so that the selection is the same on every
    // platform, and whatever order the blocks were scored in: the sort by
    // level leaves one order for nth_element to work on.
    const auto flatter = [](const ScoredBlock& x, const ScoredBlock& y) {
        return x.texture != y.texture ? x.texture < y.texture
                                      : (x.c != y.c ? x.c < y.c : x.r < y.r);
    };
    const auto darker = [](const ScoredBlock& x, const ScoredBlock& y) {
        return x.level != y.level ? x.level < y.level : (x.c != y.c ? x.c < y.c : x.r < y.r);
    };
    // The flattest tenth of each of several bands of brightness: noise that
    // grows with the signal (photons, then a tone curve) would otherwise be
    // read where it is weakest, in the flat dark, as flat regions are dark
    // as often as not.
    std::sort(scored.begin(), scored.end(), darker);
    const std::size_t bands = scored.size() >= std::size_t(levelBands * minBlocks) ? levelBands : 1;
    std::vector<ScoredBlock> chosen;
    for (std::size_t band = 0; band < bands; ++band) {
        const auto first = scored.begin() + std::ptrdiff_t(scored.size() * band / bands);
        const auto last = scored.begin() + std::ptrdiff_t(scored.size() * (band + 1) / bands);
        const std::size_t size = std::size_t(last - first);
        const std::size_t take =
            std::min(size, std::max<std::size_t>(std::size_t(minBlocks) / bands + 1, size / 10));
        std::nth_element(first, first + std::ptrdiff_t(take - 1), last, flatter);
        chosen.insert(chosen.end(), first, first + std::ptrdiff_t(take));
    }
    return chosen;
}

SpectrumSquares::SpectrumSquares(std::int32_t blockSize, std::size_t blocks)
    : P(blockSize), count(blocks),
      cosine(std::size_t(blockSize) * std::size_t(blockSize) * blocks),
      fourier(std::size_t(blockSize) * std::size_t(blockSize / 2 + 1) * blocks)
{
}

BlockPowers::BlockPowers(std::int32_t blockSize) : P_(blockSize), H_(blockSize / 2 + 1)
{
    const std::int32_t P = P_;
    const std::size_t area = std::size_t(P) * std::size_t(P);
    cosineBasis_.resize(area);
    cosTable_.resize(area);
    sinTable_.resize(area);
    for (std::int32_t u = 0; u < P; ++u)
        for (std::int32_t a = 0; a < P; ++a) {
            const double scale = u == 0 ? std::sqrt(1.0 / P) : std::sqrt(2.0 / P);
            cosineBasis_[std::size_t(u) * P + a] = scale * std::cos(pi * (2 * a + 1) * u / (2.0 * P));
            cosTable_[std::size_t(u) * P + a] = std::cos(2.0 * pi * double((u * a) % P) / P);
            sinTable_[std::size_t(u) * P + a] = std::sin(2.0 * pi * double((u * a) % P) / P);
        }
    block_.resize(area);
    rowsPass_.resize(area);
    re_.resize(std::size_t(P) * std::size_t(H_));
    im_.resize(std::size_t(P) * std::size_t(H_));
}

void BlockPowers::measure(const PlaneView& image, std::int64_t r, std::int64_t c,
                          SpectrumSquares& into, std::size_t slot)
{
    const std::int32_t P = P_, H = H_;
    const std::size_t n = into.count;
    const double* cosineBasis = cosineBasis_.data();
    const double* cosTable = cosTable_.data();
    const double* sinTable = sinTable_.data();
    double* block = block_.data();
    double* rowsPass = rowsPass_.data();
    double* re = re_.data();
    double* im = im_.data();
    for (std::int32_t a = 0; a < P; ++a)
        for (std::int32_t b = 0; b < P; ++b)
            block[std::size_t(a) * P + b] = image.at(r + a, c + b);
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
            into.cosine[(std::size_t(u) * P + v) * n + slot] = sum * sum;
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
                const double cs = cosTable[std::size_t(u) * P + a];
                const double sn = sinTable[std::size_t(u) * P + a];
                const double xr = re[std::size_t(a) * H + v], xi = im[std::size_t(a) * H + v];
                sr += xr * cs + xi * sn;
                si += xi * cs - xr * sn;
            }
            into.fourier[(std::size_t(u) * H + v) * n + slot] = (sr * sr + si * si) / double(P * P);
        }
}

NoiseSpectrum spectrumFromSquares(SpectrumSquares& squares)
{
    const std::int32_t P = squares.P;
    const std::size_t area = std::size_t(P) * std::size_t(P);
    const std::int32_t H = P / 2 + 1;
    const std::size_t half = std::size_t(P) * std::size_t(H);
    const std::size_t n = squares.count;
    NoiseSpectrum out;
    out.blockSize = P;
    out.blocks = n;
    out.cosine.resize(area);
    out.fourier.resize(half);
    const double real = trimmedChiSquare1(), complex = trimmedExponential();
    for (std::size_t i = 1; i < area; ++i)
        out.cosine[i] = trimmedPower(squares.cosine.data() + i * n, n, real);
    for (std::int32_t u = 0; u < P; ++u)
        for (std::int32_t v = 0; v < H; ++v) {
            const std::size_t t = std::size_t(u) * H + v;
            // Coefficients of a real block's DFT that are real themselves.
            const bool isReal = (u == 0 || 2 * u == P) && (v == 0 || 2 * v == P);
            if (t > 0)
                out.fourier[t] = trimmedPower(squares.fourier.data() + t * n, n, isReal ? real : complex);
        }
    out.cosine[0] = (out.cosine[1] + out.cosine[std::size_t(P)] + out.cosine[std::size_t(P) + 1]) / 3.0;
    out.fourier[0] = (out.fourier[1] + out.fourier[std::size_t(H)] + out.fourier[std::size_t(H) + 1]) / 3.0;
    summariseSpectrum(out);
    return out;
}

} // namespace detail

NoiseSpectrum estimateNoiseSpectrum(const double* plane, std::int32_t rows, std::int32_t cols,
                                    std::int32_t blockSize)
{
    if (plane == nullptr)
        throw std::invalid_argument("the plane to measure the noise spectrum of is null");
    const detail::SpectrumGrid grid = detail::spectrumGrid(rows, cols, blockSize);
    const detail::PlaneView image{plane, 0, 0, rows};
    std::vector<detail::ScoredBlock> scored;
    scored.reserve(std::size_t(grid.gridRows * grid.gridCols));
    detail::scoreBlocks(grid, image, Span{0, rows}, Span{0, cols}, scored);
    scored = detail::selectBlocks(std::move(scored));
    detail::SpectrumSquares squares(grid.P, scored.size());
    detail::BlockPowers powers(grid.P);
    for (std::size_t k = 0; k < scored.size(); ++k)
        powers.measure(image, scored[k].r, scored[k].c, squares, k);
    return detail::spectrumFromSquares(squares);
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

NoiseSpectrum meanSpectrum(const std::vector<NoiseSpectrum>& channels)
{
    NoiseSpectrum mean;
    for (std::size_t c = 0; c < channels.size(); ++c) {
        const NoiseSpectrum& one = channels[c];
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
        v /= double(channels.size());
    for (double& v : mean.fourier)
        v /= double(channels.size());
    summariseSpectrum(mean);
    return mean;
}

NoiseSpectrum imageNoiseSpectrum(const double* pixels, std::int32_t rows, std::int32_t cols,
                                 int channels, std::int32_t blockSize)
{
    const std::size_t plane = std::size_t(rows) * std::size_t(cols);
    std::vector<NoiseSpectrum> each;
    for (int c = 0; c < channels; ++c)
        each.push_back(estimateNoiseSpectrum(pixels + std::size_t(c) * plane, rows, cols, blockSize));
    return meanSpectrum(each);
}

NoiseModel correlatedFromSpectrum(NoiseSpectrum spectrum)
{
    NoiseModel model;
    model.kind = NoiseKind::correlated;
    model.spectrum = std::move(spectrum);
    model.sigma = model.spectrum.sigma;
    model.readNoise = model.sigma;
    if (!(model.sigma > 0.0))
        throw std::invalid_argument(
            "no noise could be measured in the image (it is exactly smooth); give sigma");
    return model;
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

NoiseShapes colouredFromSpectra(const std::vector<NoiseSpectrum>& wiener,
                                const std::vector<NoiseSpectrum>& groupedOwn)
{
    const std::vector<NoiseSpectrum>& grouped = groupedOwn.empty() ? wiener : groupedOwn;
    double loudest = 0.0;
    for (const NoiseSpectrum& s : wiener)
        loudest = std::max(loudest, s.sigma);
    if (!(loudest > 0.0))
        throw std::invalid_argument(
            "no noise could be measured in the image (it is exactly smooth); give sigma");
    NoiseShapes out;
    for (std::size_t c = 0; c < wiener.size(); ++c) {
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

ColouredChannels colouredChannels(const double* planes, std::int32_t rows, std::int32_t cols,
                                  int channels, std::int32_t wienerBlock, std::int32_t groupedBlock)
{
    const std::size_t plane = std::size_t(rows) * std::size_t(cols);
    std::vector<NoiseSpectrum> wiener, grouped;
    for (int c = 0; c < channels; ++c) {
        const double* p = planes + std::size_t(c) * plane;
        wiener.push_back(estimateNoiseSpectrum(p, rows, cols, wienerBlock));
        if (groupedBlock != wienerBlock)
            grouped.push_back(estimateNoiseSpectrum(p, rows, cols, groupedBlock));
    }
    return colouredFromSpectra(wiener, grouped);
}

void checkShapes(const NoiseShapes& shapes, int channels, std::int32_t wienerBlock,
                 std::int32_t groupedBlock)
{
    const std::size_t n = std::size_t(channels);
    const std::size_t fourier = std::size_t(wienerBlock) * std::size_t(wienerBlock / 2 + 1);
    const std::size_t cosine = std::size_t(groupedBlock) * std::size_t(groupedBlock);
    bool fits = shapes.sigma.size() == n && shapes.wiener.size() == n && shapes.grouped.size() == n;
    for (std::size_t c = 0; fits && c < n; ++c)
        fits = std::isfinite(shapes.sigma[c]) && shapes.sigma[c] > 0.0 &&
               shapes.wiener[c].size() == fourier && shapes.grouped[c].size() == cosine;
    if (!fits)
        throw std::invalid_argument(
            "the noise shapes must give " + std::to_string(channels) +
            " channels a finite sigma > 0, " + std::to_string(fourier) +
            " powers at the Wiener stage's block size and " + std::to_string(cosine) +
            " at the grouped stage's");
}

void toFilterPlanes(double* planes, std::size_t pixels, int channels, const DataRange& range)
{
    const std::size_t count = pixels * std::size_t(channels);
    for (std::size_t i = 0; i < count; ++i)
        planes[i] = range.toUnit(planes[i]);
    if (channels == 3) {
        rgbToOpponent(planes, pixels);
        for (int c = 0; c < 3; ++c) {
            const DataRange channelRange = opponentRange(c);
            double* p = planes + std::size_t(c) * pixels;
            for (std::size_t i = 0; i < pixels; ++i)
                p[i] = channelRange.toUnit(p[i]);
        }
    }
}

// ---------------------------------------------------------------- in bands

BandedSpectrum::BandedSpectrum(std::int32_t rows, std::int32_t cols, std::int32_t blockSize)
    : rows_(rows), cols_(cols), grid_(spectrumGrid(rows, cols, blockSize)), powers_(blockSize)
{
}

std::uint64_t BandedSpectrum::memoryBound(std::int32_t rows, std::int32_t cols,
                                          std::int32_t blockSize, std::int32_t bandRows)
{
    std::uint64_t scored = 0;
    try {
        const SpectrumGrid grid = spectrumGrid(rows, cols, blockSize);
        scored = std::uint64_t(grid.gridRows * grid.gridCols);
    } catch (const std::invalid_argument&) {
        return 0;
    }
    const std::uint64_t P = std::uint64_t(blockSize);
    const std::uint64_t coefficients = P * P + P * (P / 2 + 1);
    // The flattest tenth of each band, and at least minBlocks / bands + 1 of each.
    const std::uint64_t selected = scored / 10 + levelBands * (std::uint64_t(minBlocks) + 1);
    // The rows carried and the window of them and a band.
    const std::uint64_t window = (6 * P + std::uint64_t(bandRows)) * std::uint64_t(cols);
    return (scored * sizeof(ScoredBlock) + selected * (coefficients + 1) * sizeof(double) +
            (5 * P * P + 4 * P * (P / 2 + 1) + window) * sizeof(double));
}

// The rows carried over, then the band's, as one view from carryTop_.
const double* BandedSpectrum::window(const double* band, std::int32_t top, std::int32_t count)
{
    const std::int64_t expected = carryTop_ + carryRows_;
    if (top != expected || count < 1 || std::int64_t(top) + count > rows_)
        throw std::invalid_argument("the noise spectrum's next band starts at row " +
                                    std::to_string(expected) + " and lies in the image, not rows " +
                                    std::to_string(top) + " to " +
                                    std::to_string(std::int64_t(top) + count));
    if (carryRows_ == 0)
        return band;
    const std::size_t W = std::size_t(cols_), kept = std::size_t(carryRows_), h = std::size_t(count);
    const std::size_t height = kept + h;
    next_.resize(height * W);
    for (std::size_t j = 0; j < W; ++j) {
        std::copy(carry_.data() + j * kept, carry_.data() + (j + 1) * kept, next_.data() + j * height);
        std::copy(band + j * h, band + (j + 1) * h, next_.data() + j * height + kept);
    }
    return next_.data();
}

// Keeps rows [keep, end) of the view for the next band.
void BandedSpectrum::carry(const PlaneView& view, std::int64_t keep, std::int64_t end)
{
    // The view is the band or the window, never the carry itself.
    const std::size_t W = std::size_t(cols_), height = std::size_t(end - keep);
    carry_.resize(height * W);
    for (std::size_t j = 0; j < W; ++j) {
        const double* from = view.values + j * std::size_t(view.height) + std::size_t(keep - view.top);
        std::copy(from, from + height, carry_.data() + j * height);
    }
    carryTop_ = keep;
    carryRows_ = std::int64_t(height);
}

void BandedSpectrum::score(const double* band, std::int32_t top, std::int32_t count)
{
    if (selected_)
        throw std::logic_error("the noise spectrum's blocks are selected already");
    const std::int64_t first = carryTop_, end = std::int64_t(top) + count;
    const PlaneView view{window(band, top, count), first, 0, end - first};
    // Anchors whose neighbourhoods end within the rows held.
    const std::int64_t last = end - grid_.reach();
    if (last > nextAnchorRow_) {
        scoreBlocks(grid_, view, Span{std::int32_t(nextAnchorRow_), std::int32_t(last)},
                    Span{0, cols_}, scored_);
        nextAnchorRow_ = (last + grid_.stride - 1) / grid_.stride * grid_.stride;
    }
    carry(view, std::min<std::int64_t>(nextAnchorRow_, end), end);
}

void BandedSpectrum::select()
{
    if (selected_ || nextAnchorRow_ < grid_.gridRows * grid_.stride)
        throw std::logic_error("the noise spectrum selects once, after every row is scored");
    scored_ = selectBlocks(std::move(scored_));
    squares_ = SpectrumSquares(grid_.P, scored_.size());
    byRow_.resize(scored_.size());
    for (std::size_t k = 0; k < byRow_.size(); ++k)
        byRow_[k] = k;
    std::sort(byRow_.begin(), byRow_.end(), [this](std::size_t a, std::size_t b) {
        return scored_[a].r != scored_[b].r ? scored_[a].r < scored_[b].r : a < b;
    });
    nextMeasured_ = 0;
    carry_.clear();
    carryTop_ = carryRows_ = 0;
    selected_ = true;
}

void BandedSpectrum::measure(const double* band, std::int32_t top, std::int32_t count)
{
    if (!selected_)
        throw std::logic_error("the noise spectrum's blocks are measured once selected");
    const std::int64_t first = carryTop_, end = std::int64_t(top) + count;
    const PlaneView view{window(band, top, count), first, 0, end - first};
    for (; nextMeasured_ < byRow_.size(); ++nextMeasured_) {
        const ScoredBlock& b = scored_[byRow_[nextMeasured_]];
        if (b.r + grid_.P > end)
            break;
        powers_.measure(view, b.r, b.c, squares_, byRow_[nextMeasured_]);
    }
    const std::int64_t keep =
        nextMeasured_ < byRow_.size() ? std::min<std::int64_t>(scored_[byRow_[nextMeasured_]].r, end) : end;
    carry(view, keep, end);
}

NoiseSpectrum BandedSpectrum::finish()
{
    if (!selected_ || nextMeasured_ < byRow_.size())
        throw std::logic_error("the noise spectrum needs every selected block measured");
    return spectrumFromSquares(squares_);
}

} // namespace detail

} // namespace sorvik
