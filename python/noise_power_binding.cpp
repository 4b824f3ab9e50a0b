// The noise spectrum of a chunked image, phase by phase (<sorvik/noise_chunks.h>):
// scores, selection, squares and spectra cross between Dask's tasks as
// arrays, so that the tasks can run on any worker.
#include "python/noise_power_binding.h"
#include "python/denoise_binding.h"
#include "python/parameters_binding.h"

#include "denoise/noise_model.h"

#include <sorvik/noise_chunks.h>

#include <pybind11/numpy.h>
#include <pybind11/stl.h>

#include <array>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace py = pybind11;

namespace {

using Planar = py::array_t<double, py::array::c_style>;
using Doubles = py::array_t<double, py::array::c_style | py::array::forcecast>;
using Range = std::array<std::int64_t, 2>;
using Shape = std::pair<std::int64_t, std::int64_t>;

std::int32_t int32Of(std::int64_t v, const char* name)
{
    if (v < 0 || v > INT32_MAX)
        throw py::value_error(std::string(name) + " out of range: " + std::to_string(v));
    return std::int32_t(v);
}

sorvik::Span spanOf(const Range& r, const char* name) { return {int32Of(r[0], name), int32Of(r[1], name)}; }

std::optional<sorvik::DataRange> rangeOf(const std::optional<std::pair<double, double>>& r)
{
    if (!r)
        return std::nullopt;
    return sorvik::DataRange{r->first, r->second};
}

// A chunk and where it lies, as the tasks hand it over.
struct Chunk {
    const Planar& planar;
    std::int32_t rows, cols;
    int channels;
    sorvik::Span chunkRows, chunkCols, ownRows, ownCols;
};

Chunk chunkOf(const Planar& planar, const Shape& shape, const Range& chunkRows, const Range& chunkCols,
              const Range& ownRows, const Range& ownCols)
{
    if (planar.ndim() != 3)
        throw std::invalid_argument("internal: a planar chunk has 3 dimensions");
    Chunk c{planar, int32Of(shape.first, "image rows"), int32Of(shape.second, "image columns"),
            int(planar.shape(0)), spanOf(chunkRows, "chunk rows"), spanOf(chunkCols, "chunk columns"),
            spanOf(ownRows, "own rows"), spanOf(ownCols, "own columns")};
    if (planar.shape(1) != c.chunkCols.size() || planar.shape(2) != c.chunkRows.size())
        throw std::invalid_argument("internal: the chunk's shape is not that of its spans");
    return c;
}

template <typename F>
auto chunkErrors(int channels, F&& f) -> decltype(f())
{
    try {
        py::gil_scoped_release release;
        return f();
    } catch (const sorvik::NonFiniteValue& e) {
        rethrowNonFinite(e, channels);
    } catch (const std::invalid_argument& e) {
        throw py::value_error(e.what());
    }
}

Doubles blocksArray(const std::vector<sorvik::SpectrumBlock>& blocks)
{
    Doubles out({py::ssize_t(blocks.size()), py::ssize_t(4)});
    auto a = out.mutable_unchecked<2>();
    for (py::ssize_t k = 0; k < py::ssize_t(blocks.size()); ++k) {
        const sorvik::SpectrumBlock& b = blocks[std::size_t(k)];
        a(k, 0) = b.texture;
        a(k, 1) = b.level;
        a(k, 2) = double(b.row);
        a(k, 3) = double(b.col);
    }
    return out;
}

std::vector<sorvik::SpectrumBlock> blocksOf(const Doubles& array)
{
    if (array.ndim() != 2 || array.shape(1) != 4)
        throw py::value_error("internal: spectrum blocks are an (n, 4) array");
    const auto a = array.unchecked<2>();
    std::vector<sorvik::SpectrumBlock> out(std::size_t(array.shape(0)));
    for (py::ssize_t k = 0; k < array.shape(0); ++k)
        out[std::size_t(k)] = {a(k, 0), a(k, 1), std::int64_t(a(k, 2)), std::int64_t(a(k, 3))};
    return out;
}

py::list scores(const Planar& planar, const Shape& shape, const Range& chunkRows, const Range& chunkCols,
                const Range& ownRows, const Range& ownCols, std::int32_t blockSize,
                std::optional<std::pair<double, double>> filterRange)
{
    const Chunk c = chunkOf(planar, shape, chunkRows, chunkCols, ownRows, ownCols);
    py::list out;
    for (int k = 0; k < c.channels; ++k) {
        const auto blocks = chunkErrors(c.channels, [&] {
            return sorvik::noiseChunkSpectrumScores(planar.data(), c.rows, c.cols, c.channels,
                                                    c.chunkRows, c.chunkCols, c.ownRows, c.ownCols,
                                                    k, blockSize, rangeOf(filterRange));
        });
        out.append(blocksArray(blocks));
    }
    return out;
}

Doubles selectBlocks(const Shape& shape, std::int32_t blockSize, const Doubles& scored)
{
    std::vector<sorvik::SpectrumBlock> blocks = blocksOf(scored);
    const std::int32_t rows = int32Of(shape.first, "image rows"), cols = int32Of(shape.second, "image columns");
    return blocksArray(chunkErrors(1, [&] {
        return sorvik::selectSpectrumBlocks(rows, cols, blockSize, std::move(blocks));
    }));
}

py::list squares(const Planar& planar, const Shape& shape, const Range& chunkRows, const Range& chunkCols,
                 const Range& ownRows, const Range& ownCols, std::int32_t blockSize,
                 std::optional<std::pair<double, double>> filterRange, const std::vector<Doubles>& selected)
{
    const Chunk c = chunkOf(planar, shape, chunkRows, chunkCols, ownRows, ownCols);
    if (selected.size() != std::size_t(c.channels))
        throw py::value_error("internal: a selection a channel");
    py::list out;
    for (int k = 0; k < c.channels; ++k) {
        const std::vector<sorvik::SpectrumBlock> chosen = blocksOf(selected[std::size_t(k)]);
        const sorvik::SpectrumPart part = chunkErrors(c.channels, [&] {
            return sorvik::noiseChunkSpectrumSquares(planar.data(), c.rows, c.cols, c.channels,
                                                     c.chunkRows, c.chunkCols, c.ownRows, c.ownCols,
                                                     k, blockSize, rangeOf(filterRange), chosen);
        });
        py::array_t<std::int64_t> slots(py::ssize_t(part.slots.size()));
        for (std::size_t i = 0; i < part.slots.size(); ++i)
            slots.mutable_data()[i] = std::int64_t(part.slots[i]);
        Doubles cosine(py::ssize_t(part.cosine.size())), fourier(py::ssize_t(part.fourier.size()));
        std::memcpy(cosine.mutable_data(), part.cosine.data(), part.cosine.size() * sizeof(double));
        std::memcpy(fourier.mutable_data(), part.fourier.data(), part.fourier.size() * sizeof(double));
        out.append(py::make_tuple(slots, cosine, fourier));
    }
    return out;
}

py::tuple spectrumTuple(const sorvik::NoiseSpectrum& s)
{
    return py::make_tuple(Doubles(py::ssize_t(s.cosine.size()), s.cosine.data()),
                          Doubles(py::ssize_t(s.fourier.size()), s.fourier.data()), s.blocks);
}

py::tuple fromParts(std::int32_t blockSize, std::size_t selected, const std::vector<py::tuple>& parts)
{
    std::vector<sorvik::SpectrumPart> all;
    for (const py::tuple& t : parts) {
        if (t.size() != 3)
            throw py::value_error("internal: a spectrum part is (slots, cosine, fourier)");
        const auto slots = t[0].cast<py::array_t<std::int64_t, py::array::c_style | py::array::forcecast>>();
        const auto cosine = t[1].cast<Doubles>();
        const auto fourier = t[2].cast<Doubles>();
        sorvik::SpectrumPart part;
        for (py::ssize_t i = 0; i < slots.size(); ++i) {
            if (slots.data()[i] < 0)
                throw py::value_error("internal: a spectrum slot below 0");
            part.slots.push_back(std::size_t(slots.data()[i]));
        }
        part.cosine.assign(cosine.data(), cosine.data() + cosine.size());
        part.fourier.assign(fourier.data(), fourier.data() + fourier.size());
        all.push_back(std::move(part));
    }
    return spectrumTuple(chunkErrors(1, [&] { return sorvik::noiseSpectrumFromParts(blockSize, selected, all); }));
}

py::tuple shapes(const std::vector<py::tuple>& wiener, const std::vector<py::tuple>& grouped, double level)
{
    std::vector<sorvik::NoiseSpectrum> w, g;
    for (const py::tuple& s : wiener)
        w.push_back(spectrumOf(s));
    for (const py::tuple& s : grouped)
        g.push_back(spectrumOf(s));
    const sorvik::NoiseShapes out = chunkErrors(1, [&] { return sorvik::noiseShapesFromSpectra(w, g, level); });
    py::list wienerShapes, groupedShapes;
    for (const auto& v : out.wiener)
        wienerShapes.append(py::array_t<float>(py::ssize_t(v.size()), v.data()));
    for (const auto& v : out.grouped)
        groupedShapes.append(py::array_t<float>(py::ssize_t(v.size()), v.data()));
    return py::make_tuple(py::cast(out.sigma), wienerShapes, groupedShapes);
}

// The stages' block sizes at a sigma on the 0..1 scale, as denoise() takes them.
std::pair<std::int32_t, std::int32_t> stageBlocks(std::int32_t blockSize, const py::dict& firstStage,
                                                  double unitSigma)
{
    sorvik::DenoiseOptions options;
    applyFirstStageKeywords(firstStage, sorvik::FrontEnd::dask, options);
    const std::int32_t grouped = options.grouped ? options.grouped->blockSize
                                                 : sorvik::groupedSettings(options.choice, unitSigma).blockSize;
    return {blockSize, grouped};
}

bool fits(const Shape& shape, std::int32_t blockSize)
{
    return sorvik::spectrumFits(int32Of(shape.first, "image rows"), int32Of(shape.second, "image columns"),
                                blockSize);
}

} // namespace

sorvik::NoiseSpectrum spectrumOf(const py::tuple& t)
{
    if (t.size() != 3)
        throw py::value_error("internal: a spectrum is (cosine, fourier, blocks)");
    const auto cosine = t[0].cast<Doubles>();
    const auto fourier = t[1].cast<Doubles>();
    sorvik::NoiseSpectrum s;
    s.blockSize = std::int32_t(std::lround(std::sqrt(double(cosine.size()))));
    if (py::ssize_t(s.blockSize) * s.blockSize != cosine.size() ||
        py::ssize_t(s.blockSize) * (s.blockSize / 2 + 1) != fourier.size())
        throw py::value_error("internal: a spectrum's powers do not make a block");
    s.cosine.assign(cosine.data(), cosine.data() + cosine.size());
    s.fourier.assign(fourier.data(), fourier.data() + fourier.size());
    s.blocks = t[2].cast<std::size_t>();
    sorvik::detail::summariseSpectrum(s);
    return s;
}

std::optional<std::vector<sorvik::NoiseSpectrum>> spectraOf(const py::object& spectra)
{
    if (spectra.is_none())
        return std::nullopt;
    std::vector<sorvik::NoiseSpectrum> out;
    for (const py::handle& s : spectra)
        out.push_back(spectrumOf(py::reinterpret_borrow<py::tuple>(s)));
    return out;
}

void registerSpectrum(py::module_& m)
{
    using namespace pybind11::literals;
    m.def("_spectrum_fits", &fits, "image_shape"_a, "block_size"_a);
    m.def("_spectrum_scores", &scores, "planar"_a, "image_shape"_a, "chunk_rows"_a, "chunk_cols"_a,
          "own_rows"_a, "own_cols"_a, "block_size"_a, "filter_range"_a);
    m.def("_spectrum_select", &selectBlocks, "image_shape"_a, "block_size"_a, "scored"_a);
    m.def("_spectrum_squares", &squares, "planar"_a, "image_shape"_a, "chunk_rows"_a, "chunk_cols"_a,
          "own_rows"_a, "own_cols"_a, "block_size"_a, "filter_range"_a, "selected"_a);
    m.def("_spectrum_from_parts", &fromParts, "block_size"_a, "selected"_a, "parts"_a);
    m.def("_noise_shapes", &shapes, "wiener"_a, "grouped"_a, "level"_a);
    m.def("_stage_block_sizes", &stageBlocks, "block_size"_a, "first_stage"_a, "unit_sigma"_a);
}
