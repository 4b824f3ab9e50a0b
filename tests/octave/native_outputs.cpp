// Runs the native module (sorvik.mexa64, through the r14host loader) on the
// calls that Octave wrote, and writes its outputs, so that the Octave suite
// can hold sorvik.mex to the native module's bits.
//
// Usage: sorvik_native_outputs MODULE INPUTS OUTPUTS
//   INPUTS   the text SRVKOCT1, the number of calls (a double), then for
//            every call the doubles M, N, window rows, window columns, step,
//            blockSize, maxGroupSize, matchThreshold, searchRadius, sigma,
//            then noisy (M*N doubles), the window (doubles) and the pilot
//            (M*N floats): little-endian and column-major, as Octave's fwrite
//            leaves them (tests/octave/support/write_agreement_inputs.m).
//   OUTPUTS  for every call, the M*N floats of the module's output.
// Inputs 2, 6 and 7 are passed as empty doubles.
#include <cmath>
#include <cstdio>
#include <cstring>
#include <exception>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>
#include <vector>

#include "loader.h"

namespace {

// Reads the file front to back; every read is checked against its end.
class Reader {
public:
    explicit Reader(const std::string& path)
    {
        std::ifstream file(path, std::ios::binary);
        if (!file)
            throw std::runtime_error("cannot read " + path);
        bytes_.assign(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
    }

    template <typename T>
    std::vector<T> take(std::size_t count)
    {
        if (count > (bytes_.size() - offset_) / sizeof(T))
            throw std::runtime_error("the input file ends early");
        std::vector<T> values(count);
        std::memcpy(values.data(), bytes_.data() + offset_, count * sizeof(T));
        offset_ += count * sizeof(T);
        return values;
    }

    bool atEnd() const { return offset_ == bytes_.size(); }

private:
    std::vector<char> bytes_;
    std::size_t offset_ = 0;
};

// A count stored as a double: whole, non-negative and small enough for the
// loader's int dimensions.
int countFrom(double value, const char* what)
{
    if (!(value >= 0 && value <= 1 << 20 && std::floor(value) == value))
        throw std::runtime_error(std::string("bad ") + what + " in the input file");
    return static_cast<int>(value);
}

std::vector<float> runCall(const r14host::Module& module, Reader& in)
{
    const std::vector<double> header = in.take<double>(10);
    const int rows = countFrom(header[0], "row count");
    const int cols = countFrom(header[1], "column count");
    const int windowRows = countFrom(header[2], "window row count");
    const int windowCols = countFrom(header[3], "window column count");
    const std::size_t pixels = static_cast<std::size_t>(rows) * static_cast<std::size_t>(cols);
    const std::vector<double> noisy = in.take<double>(pixels);
    const std::vector<double> window =
        in.take<double>(static_cast<std::size_t>(windowRows) * static_cast<std::size_t>(windowCols));
    const std::vector<float> pilot = in.take<float>(pixels);

    using namespace r14host;
    std::vector<Array> arrays;
    arrays.push_back(doubleMatrix(rows, cols, noisy));
    arrays.push_back(emptyDouble());
    for (int k = 4; k <= 6; ++k) // step, blockSize, maxGroupSize
        arrays.push_back(doubleScalar(header[static_cast<std::size_t>(k)]));
    arrays.push_back(emptyDouble());
    arrays.push_back(emptyDouble());
    for (int k = 7; k <= 9; ++k) // matchThreshold, searchRadius, sigma
        arrays.push_back(doubleScalar(header[static_cast<std::size_t>(k)]));
    arrays.push_back(doubleMatrix(windowRows, windowCols, window));
    arrays.push_back(singleMatrix(rows, cols, pilot));
    std::vector<const mxArray*> inputs;
    for (const Array& array : arrays)
        inputs.push_back(array.get());

    const CallResult result = module.call(1, inputs);
    if (result.errorExit)
        throw std::runtime_error("the module refused the call: " + result.errorId + ": " + result.errorMessage);
    const mxArray* output = result.outputs.empty() ? nullptr : result.outputs[0].get();
    if (output == nullptr || mxGetClassID(output) != mxSINGLE_CLASS || dimensions(output) != std::vector<int>{rows, cols})
        throw std::runtime_error("the module did not return a single M x N output");
    return singleData(output);
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 4) {
        std::fprintf(stderr, "usage: %s MODULE INPUTS OUTPUTS\n", argv[0]);
        return 2;
    }
    try {
        const r14host::Module module(argv[1]);
        Reader in(argv[2]);
        if (in.take<char>(8) != std::vector<char>{'S', 'R', 'V', 'K', 'O', 'C', 'T', '1'})
            throw std::runtime_error(std::string(argv[2]) + " is not an input file");
        const int calls = countFrom(in.take<double>(1)[0], "call count");
        std::vector<float> outputs;
        for (int k = 0; k < calls; ++k) {
            const std::vector<float> output = runCall(module, in);
            outputs.insert(outputs.end(), output.begin(), output.end());
        }
        if (!in.atEnd())
            throw std::runtime_error("the input file goes on after the last call");

        std::ofstream out(argv[3], std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(outputs.data()),
                  static_cast<std::streamsize>(outputs.size() * sizeof(float)));
        if (!out.flush())
            throw std::runtime_error(std::string("cannot write ") + argv[3]);
        std::printf("%d calls of %s written to %s\n", calls, argv[1], argv[3]);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "%s: %s\n", argv[0], error.what());
        return 1;
    }
    return 0;
}
