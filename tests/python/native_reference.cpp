// Runs the native filter and basic estimate on raw files, for the Python
// tests to compare the module's results with, bit for bit. It shares no
// code with the module: its own layout conversion, and FilterParams filled
// in directly.
//
//   native_reference wiener ROWS COLS NOISY PILOT WINDOW OUT SIGMA BLOCK STEP GROUP RADIUS THRESHOLD
//   native_reference basic ROWS COLS NOISY OUT SIGMA THRESHOLD
//
// NOISY and WINDOW hold float64, PILOT and OUT float32, all row-major
// ([row, column]) in the machine's byte order.
#include <sorvik/sorvik.h>
#include "pilot/basic_estimate.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

namespace {

template <typename T>
std::vector<T> readRaw(const char* path, std::size_t count)
{
    std::vector<T> data(count);
    std::ifstream f(path, std::ios::binary);
    f.read(reinterpret_cast<char*>(data.data()), std::streamsize(count * sizeof(T)));
    if (!f || f.peek() != EOF) {
        std::fprintf(stderr, "%s does not hold %zu values\n", path, count);
        std::exit(2);
    }
    return data;
}

template <typename T>
std::vector<T> toColumnMajor(const std::vector<T>& rowMajor, std::size_t M, std::size_t N)
{
    std::vector<T> out(rowMajor.size());
    for (std::size_t i = 0; i < M; ++i)
        for (std::size_t j = 0; j < N; ++j)
            out[i + j * M] = rowMajor[i * N + j];
    return out;
}

void writeRowMajor(const char* path, const std::vector<float>& columnMajor, std::size_t M,
                   std::size_t N)
{
    std::vector<float> out(columnMajor.size());
    for (std::size_t i = 0; i < M; ++i)
        for (std::size_t j = 0; j < N; ++j)
            out[i * N + j] = columnMajor[i + j * M];
    std::ofstream f(path, std::ios::binary);
    f.write(reinterpret_cast<const char*>(out.data()), std::streamsize(out.size() * sizeof(float)));
    if (!f)
        std::exit(2);
}

} // namespace

int main(int argc, char** argv)
{
    const std::string mode = argc > 1 ? argv[1] : "";
    if (!((mode == "wiener" && argc == 14) || (mode == "basic" && argc == 8))) {
        std::fprintf(stderr, "usage: see the head of native_reference.cpp\n");
        return 2;
    }
    const std::size_t M = std::strtoul(argv[2], nullptr, 10);
    const std::size_t N = std::strtoul(argv[3], nullptr, 10);
    const std::vector<double> noisy = toColumnMajor(readRaw<double>(argv[4], M * N), M, N);
    std::vector<float> out(M * N);

    if (mode == "basic") {
        sorvik::BasicEstimateOptions options;
        options.thresholdFactor = std::strtod(argv[7], nullptr);
        sorvik::basicEstimate(std::int32_t(M), std::int32_t(N), noisy.data(),
                              std::strtod(argv[6], nullptr), out.data(), options);
        writeRowMajor(argv[5], out, M, N);
        return 0;
    }

    sorvik::FilterParams p;
    p.rows = std::int32_t(M);
    p.cols = std::int32_t(N);
    p.sigma = float(std::strtod(argv[8], nullptr));
    p.blockSize = std::atoi(argv[9]);
    p.step = std::atoi(argv[10]);
    p.maxGroupSize = std::atoi(argv[11]);
    p.searchRadius = std::atoi(argv[12]);
    p.matchThreshold = float(std::strtod(argv[13], nullptr));
    const std::vector<float> pilot = toColumnMajor(readRaw<float>(argv[5], M * N), M, N);
    const std::size_t area = std::size_t(p.blockSize) * std::size_t(p.blockSize);
    const std::vector<double> window = readRaw<double>(argv[6], area); // entry r * P + c
    const sorvik::FilterStatus status =
        sorvik::runFilter(p, noisy.data(), pilot.data(), window.data(), out.data());
    if (status != sorvik::FilterStatus::ok) {
        std::fprintf(stderr, "%s\n", sorvik::statusMessage(status));
        return 1;
    }
    writeRowMajor(argv[7], out, M, N);
    return 0;
}
