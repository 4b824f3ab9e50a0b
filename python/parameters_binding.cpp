#include "python/parameters_binding.h"

#include "frontend/first_stage.h"

#include <sorvik/denoise.h>

#include <pybind11/numpy.h>
#include <pybind11/stl.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <stdexcept>
#include <type_traits>
#include <variant>

namespace py = pybind11;

namespace {

std::string typeName(const py::handle& object)
{
    return py::str(py::type::handle_of(object).attr("__name__"));
}

// Truth values are numbers to Python, but block_size=True is a mistake, not 1.
bool isTruthValue(const py::handle& object)
{
    return PyBool_Check(object.ptr()) || py::isinstance(object, py::module_::import("numpy").attr("bool_"));
}

std::int64_t wholeValue(const py::handle& object, const sorvik::Parameter& row, const std::string& name)
{
    if (isTruthValue(object) || PyFloat_Check(object.ptr()) || !PyIndex_Check(object.ptr()))
        throw py::type_error(name + " must be an integer, not " + typeName(object));
    const py::object index = py::reinterpret_steal<py::object>(PyNumber_Index(object.ptr()));
    if (!index)
        throw py::error_already_set();
    int overflow = 0;
    const long long value = PyLong_AsLongLongAndOverflow(index.ptr(), &overflow);
    if (value == -1 && PyErr_Occurred())
        throw py::error_already_set();
    if (overflow != 0)
        throw py::value_error(name + " must be " +
                              (overflow > 0 ? "at most " + sorvik::formatNumber(row.high)
                                            : "at least " + sorvik::formatNumber(row.low)) +
                              ", not " + std::string(py::str(index)));
    return value;
}

double realValue(const py::handle& object, const std::string& name)
{
    if (isTruthValue(object) || !PyNumber_Check(object.ptr()) || PyComplex_Check(object.ptr()) ||
        py::isinstance(object, py::module_::import("numpy").attr("complexfloating")))
        throw py::type_error(name + " must be a real number, not " + typeName(object));
    const double value = PyFloat_AsDouble(object.ptr());
    if (value == -1.0 && PyErr_Occurred()) {
        // An int past a double's range (2**1100) is a value, not a type, error.
        if (PyErr_ExceptionMatches(PyExc_OverflowError)) {
            PyErr_Clear();
            throw py::value_error(name + " " + std::string(py::str(object)).substr(0, 40) +
                                  " is too large for a float");
        }
        throw py::error_already_set();
    }
    return value;
}

} // namespace

std::vector<double> windowWeights(const py::handle& window, std::int64_t blockSize)
{
    const std::string accepted = "window must be None or a block_size x block_size array of real weights";
    if (window.is_none())
        return {};
    if (py::isinstance<py::str>(window) || py::isinstance<py::bytes>(window))
        throw py::type_error(accepted + ", not " + typeName(window) +
                             "; for a Kaiser window pass kaiser_window(block_size, beta)");
    py::object given;
    if (py::isinstance<py::array>(window))
        given = py::reinterpret_borrow<py::object>(window);
    else if (py::isinstance<py::list>(window) || py::isinstance<py::tuple>(window))
        given = py::array::ensure(window);
    else if (py::hasattr(window, "__array__")) // a Dask or other array-like window
        given = py::module_::import("numpy").attr("asarray")(window);
    if (!given)
        throw py::type_error(accepted + " (a numpy array or nested lists), not " + typeName(window));
    const auto array = py::reinterpret_borrow<py::array>(given);
    // Complex weights would lose their imaginary part, text would be parsed:
    // both are refused as the wrong kind, whatever their values.
    const char kind = array.dtype().kind();
    if (kind != 'b' && kind != 'i' && kind != 'u' && kind != 'f' && kind != 'O')
        throw py::type_error(accepted + ", not dtype " + std::string(py::str(array.dtype())));
    if (array.ndim() != 2 || array.shape(0) != blockSize || array.shape(1) != blockSize)
        throw py::value_error("window must be a block_size x block_size array (" + std::to_string(blockSize) +
                              " x " + std::to_string(blockSize) + ")");
    if (kind == 'O')
        for (const py::handle item : array.attr("ravel")())
            if (!PyNumber_Check(item.ptr()) || PyComplex_Check(item.ptr()) || py::isinstance<py::str>(item))
                throw py::type_error(accepted + "; these cannot be converted to float64");
    // Entry [r, c] of a row-major P x P array is entry r * P + c, the
    // filter's own order.
    const auto converted = py::array_t<double, py::array::c_style | py::array::forcecast>::ensure(array);
    if (!converted)
        throw py::type_error(accepted + "; these cannot be converted to float64");
    std::vector<double> weights(std::size_t(converted.size()));
    const py::array& bytes = converted;
    std::memcpy(weights.data(), bytes.data(), weights.size() * sizeof(double));
    return weights;
}

sorvik::Request pythonRequest(const py::dict& keywords, sorvik::FrontEnd frontEnd)
{
    sorvik::Request r;
    // In the table's order, so that the block size is known before the window.
    for (const sorvik::Parameter& row : sorvik::parameters()) {
        if (row.keyword == nullptr || !keywords.contains(row.keyword))
            continue;
        const py::object value = keywords[row.keyword];
        if (value.is_none())
            continue;
        const std::string name = row.keyword;
        std::visit(
            [&](auto member) {
                auto& field = r.*member;
                using Field = std::decay_t<decltype(field)>;
                if constexpr (std::is_same_v<Field, std::int64_t> ||
                              std::is_same_v<Field, std::optional<std::int64_t>>) {
                    field = wholeValue(value, row, name);
                } else if constexpr (std::is_same_v<Field, double> || std::is_same_v<Field, std::optional<double>>) {
                    field = realValue(value, name);
                } else if constexpr (std::is_same_v<Field, std::optional<std::pair<double, double>>>) {
                    try {
                        const py::sequence pair = py::reinterpret_borrow<py::sequence>(value);
                        if (!py::isinstance<py::sequence>(value) || py::isinstance<py::str>(value) ||
                            py::len(pair) != 2)
                            throw py::type_error("");
                        field = std::make_pair(realValue(py::object(pair[0]), name), realValue(py::object(pair[1]), name));
                    } catch (const py::type_error&) {
                        throw py::type_error(name + " must be a pair (low, high) of numbers");
                    }
                } else if constexpr (std::is_same_v<Field, std::vector<double>>) {
                    field = windowWeights(value, r.blockSize);
                } else if constexpr (std::is_same_v<Field, std::optional<std::string>>) {
                    if (row.kind != sorvik::ParameterKind::choice)
                        throw py::type_error(name + " is an option of the tool alone");
                    if (!py::isinstance<py::str>(value))
                        throw py::type_error(name + " must be a str, not " + typeName(value));
                    field = value.cast<std::string>();
                } else {
                    throw py::type_error(name + " is an option of the tool alone");
                }
            },
            row.field);
    }
    for (const auto& item : keywords) {
        const std::string key = py::str(item.first);
        const sorvik::Parameter* row = sorvik::findParameter(frontEnd, key);
        if (row == nullptr)
            throw py::type_error("unexpected keyword argument '" + key + "'");
    }
    return r;
}

py::dict requestKeywords(const sorvik::Request& given, sorvik::FrontEnd frontEnd, bool oneCall, bool frames,
                         bool colour)
{
    const sorvik::Request r = oneCall ? given.withProfile(frames, colour) : given;
    py::dict out;
    for (const sorvik::Parameter& row : sorvik::parameters()) {
        if (row.keyword == nullptr)
            continue;
        std::visit(
            [&](auto member) {
                const auto& field = r.*member;
                using Field = std::decay_t<decltype(field)>;
                if constexpr (std::is_same_v<Field, std::vector<double>>) {
                    if (field.empty()) {
                        out[row.keyword] = py::none();
                    } else {
                        const auto side = py::ssize_t(std::lround(std::sqrt(double(field.size()))));
                        py::array_t<double> w({side, side});
                        std::memcpy(w.mutable_data(), field.data(), field.size() * sizeof(double));
                        out[row.keyword] = w;
                    }
                } else if constexpr (std::is_same_v<Field, std::int64_t> || std::is_same_v<Field, double>) {
                    out[row.keyword] = field;
                } else {
                    out[row.keyword] = field ? py::cast(*field) : py::none();
                }
            },
            row.field);
    }
    // Defaults that depend on another value or on the front end, resolved.
    const sorvik::WienerSettings wiener = r.wiener();
    // Resolved into the values it sets, the profile itself says no more.
    out.attr("pop")("profile");
    out["step"] = wiener.step;
    out["max_group_size"] = wiener.maxGroupSize;
    out["search_radius"] = wiener.searchRadius;
    out["match_threshold"] = wiener.matchThreshold;
    out["threads"] = r.threads ? int(*r.threads) : sorvik::defaultThreads(frontEnd);
    return out;
}

void applyFirstStageKeywords(const py::dict& keywords, sorvik::FrontEnd frontEnd,
                             sorvik::DenoiseOptions& options)
{
    const sorvik::Request request = pythonRequest(keywords, frontEnd);
    try {
        sorvik::validate(request, frontEnd);
    } catch (const std::invalid_argument& e) {
        throw py::value_error(e.what());
    }
    sorvik::applyFirstStage(request, options);
}

namespace {

sorvik::FrontEnd frontEndOf(const std::string& name)
{
    if (name == "python")
        return sorvik::FrontEnd::python;
    if (name == "dask")
        return sorvik::FrontEnd::dask;
    throw std::invalid_argument("internal: no front end " + name);
}

const char* kindName(sorvik::ParameterKind kind)
{
    switch (kind) {
    case sorvik::ParameterKind::whole:
        return "int";
    case sorvik::ParameterKind::real:
    case sorvik::ParameterKind::noiseLevel:
    case sorvik::ParameterKind::positive:
    case sorvik::ParameterKind::level:
        return "float";
    case sorvik::ParameterKind::rangePair:
        return "(float, float)";
    case sorvik::ParameterKind::window:
        return "ndarray";
    case sorvik::ParameterKind::size:
        return "size";
    case sorvik::ParameterKind::count:
        return "count";
    case sorvik::ParameterKind::choice:
        return "choice";
    }
    return "";
}

py::object text(const char* s) { return s != nullptr ? py::object(py::str(s)) : py::object(py::none()); }

py::list parameterTable()
{
    py::list table;
    for (const sorvik::Parameter& row : sorvik::parameters()) {
        py::dict d;
        d["name"] = row.name;
        d["flag"] = text(row.flag);
        d["keyword"] = text(row.keyword);
        d["octave"] = text(row.octave);
        d["kind"] = kindName(row.kind);
        if (row.kind == sorvik::ParameterKind::whole && row.defaultValue > 0 &&
            std::holds_alternative<std::int64_t sorvik::Request::*>(row.field))
            d["default"] = std::int64_t(row.defaultValue);
        else if (row.kind == sorvik::ParameterKind::real)
            d["default"] = row.defaultValue;
        else
            d["default"] = py::none();
        d["default_text"] = row.defaultText;
        const bool bounded = row.kind == sorvik::ParameterKind::whole || row.kind == sorvik::ParameterKind::real;
        d["bounds"] = bounded ? py::object(py::make_tuple(row.low, row.high)) : py::object(py::none());
        d["help"] = row.help;
        d["differs"] = text(row.differs);
        table.append(d);
    }
    return table;
}

// Checks the keyword arguments of a call once the image's shape is known
// (or before, with image_shape None) and gives them back resolved.
py::dict checkParameters(const std::string& frontEndName, std::optional<std::pair<std::int32_t, std::int32_t>> shape,
                         bool integerData, bool oneCall, bool frames, bool colour, const py::kwargs& keywords)
{
    const sorvik::FrontEnd frontEnd = frontEndOf(frontEndName);
    const sorvik::Request request = pythonRequest(keywords, frontEnd);
    sorvik::Subject subject;
    if (shape) {
        subject.rows = shape->first;
        subject.cols = shape->second;
    }
    subject.integerData = integerData;
    try {
        sorvik::validate(request, frontEnd, subject);
    } catch (const std::invalid_argument& e) {
        throw py::value_error(e.what());
    }
    return requestKeywords(request, frontEnd, oneCall, frames, colour);
}

// Denoised planes in the data's units to the caller's integer type: rounded,
// halves away from zero, and saturated, as every front end writes them.
py::array toInteger(const py::array_t<double, py::array::c_style | py::array::forcecast>& planes,
                    const std::string& kind)
{
    std::vector<py::ssize_t> shape(planes.shape(), planes.shape() + planes.ndim());
    const double* in = planes.data();
    const std::size_t count = std::size_t(planes.size());
    if (kind == "uint8") {
        py::array_t<std::uint8_t> out(shape);
        std::uint8_t* o = out.mutable_data();
        for (std::size_t i = 0; i < count; ++i)
            o[i] = sorvik::toUint8(in[i]);
        return out;
    }
    if (kind == "uint16") {
        py::array_t<std::uint16_t> out(shape);
        std::uint16_t* o = out.mutable_data();
        for (std::size_t i = 0; i < count; ++i)
            o[i] = sorvik::toUint16(in[i]);
        return out;
    }
    throw std::invalid_argument("internal: no integer kind " + kind);
}

} // namespace

void registerParameters(py::module_& m)
{
    using namespace pybind11::literals;
    m.def("parameters", &parameterTable,
          "The options of every front end, from the one table they all read.\n"
          "\n"
          "The tool, ``denoise``, ``sorvik.dask`` and the Octave/MATLAB entry take\n"
          "their defaults and bounds from these rows, so a row says how each front\n"
          "end spells the option.\n"
          "\n"
          "Parameters\n"
          "----------\n"
          "None\n"
          "\n"
          "Returns\n"
          "-------\n"
          "list of dict\n"
          "    One dict a row: ``name`` (in prose), ``flag`` (the tool's, or None),\n"
          "    ``keyword`` (Python's, or None), ``octave`` (the Octave/MATLAB name, or\n"
          "    None), ``kind``, ``default``, ``default_text``, ``bounds`` ((low, high)\n"
          "    or None), ``help``, and ``differs``: why a front end takes it\n"
          "    otherwise, or None.\n"
          "\n"
          "Raises\n"
          "------\n"
          "None\n"
          "\n"
          "Examples\n"
          "--------\n"
          ">>> import sorvik\n"
          ">>> row = next(r for r in sorvik.parameters() if r[\"keyword\"] == \"block_size\")\n"
          ">>> row[\"flag\"], row[\"octave\"], row[\"default\"], row[\"bounds\"]\n"
          "('--block-size', 'BlockSize', 8, (2.0, 64.0))");
    m.def("_check_parameters", &checkParameters, "front_end"_a, "image_shape"_a, "integer_data"_a,
          "one_call"_a = true, "frames"_a = false, "colour"_a = false);
    m.def("_to_integer", &toInteger, "planes"_a, "kind"_a);
    m.def("_check_noise_estimate", &sorvik::checkNoiseEstimate, "constant"_a, "sigma"_a);
}
