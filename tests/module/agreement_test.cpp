// Agreement of sorvik.mexglx with sorvik.mexa64. The native test program
// (AgreementReference) calls the 64-bit module and writes its inputs and its
// output to the file named by SORVIK_AGREEMENT_FILE; the i386 test program
// (Agreement, run under qemu-i386 after it) calls the 32-bit module on the
// same inputs and compares. Both run from the native tree's CTest.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "module_support.h"

namespace {

const char fileMagic[8] = {'S', 'R', 'V', 'K', 'A', 'G', 'R', '1'};

std::string agreementFile()
{
    const char* path = std::getenv("SORVIK_AGREEMENT_FILE");
    return path == nullptr ? std::string() : std::string(path);
}

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

// Little-endian fixed-width fields (both targets are x86).
template <typename T>
void put(std::FILE* file, const T* values, std::size_t count)
{
    ASSERT_EQ(std::fwrite(values, sizeof(T), count, file), count);
}

template <typename T>
void get(std::FILE* file, T* values, std::size_t count)
{
    ASSERT_EQ(std::fread(values, sizeof(T), count, file), count);
}

moduletest::CallInputs agreementInputs()
{
    moduletest::CallInputs inputs = moduletest::CallInputs::synthetic(37, 29, 2024);
    // A pilot that differs from the noisy image, a non-uniform window, noise.
    moduletest::Random random(77);
    for (float& value : inputs.pilot)
        value = static_cast<float>(value * 0.9 + 0.05 + 0.02 * (random.next() - 0.5));
    inputs.blockSize = 6;
    inputs.window.resize(36);
    for (int r = 0; r < 6; ++r)
        for (int c = 0; c < 6; ++c)
            inputs.window[static_cast<std::size_t>(r * 6 + c)] =
                (1.0 + std::sin(0.5 + r * 0.4)) * (1.0 + std::cos(0.3 * c)) / 3.0;
    inputs.step = 2;
    inputs.maxGroupSize = 9;
    inputs.searchRadius = 5;
    inputs.matchThreshold = 1.5;
    inputs.sigma = 0.08;
    return inputs;
}

} // namespace

#ifndef __i386__

TEST(AgreementReference, WriteMexa64Reference)
{
    const std::string path = agreementFile();
    if (path.empty())
        GTEST_SKIP() << "SORVIK_AGREEMENT_FILE is not set (run through CTest)";
    const moduletest::CallInputs in = agreementInputs();
    const std::vector<float> output = moduletest::runExpectingOutput(in);
    ASSERT_EQ(output.size(), in.noisy.size());

    File file(std::fopen(path.c_str(), "wb"));
    ASSERT_NE(file, nullptr) << "cannot write " << path;
    const std::int32_t header[3] = {in.rows, in.cols, static_cast<std::int32_t>(in.window.size())};
    const double params[6] = {in.step, in.blockSize, in.maxGroupSize, in.matchThreshold, in.searchRadius, in.sigma};
    put(file.get(), fileMagic, sizeof fileMagic);
    put(file.get(), header, 3);
    put(file.get(), params, 6);
    put(file.get(), in.noisy.data(), in.noisy.size());
    put(file.get(), in.pilot.data(), in.pilot.size());
    put(file.get(), in.window.data(), in.window.size());
    put(file.get(), output.data(), output.size());
}

#else

TEST(Agreement, MexglxMatchesMexa64)
{
    const std::string path = agreementFile();
    ASSERT_FALSE(path.empty()) << "SORVIK_AGREEMENT_FILE is not set (run through CTest)";
    File file(std::fopen(path.c_str(), "rb"));
    ASSERT_NE(file, nullptr) << "cannot read " << path << " (written by the mexa64 reference test)";
    char magic[sizeof fileMagic];
    std::int32_t header[3];
    double params[6];
    get(file.get(), magic, sizeof magic);
    ASSERT_EQ(std::memcmp(magic, fileMagic, sizeof magic), 0);
    get(file.get(), header, 3);
    get(file.get(), params, 6);
    moduletest::CallInputs in;
    in.rows = header[0];
    in.cols = header[1];
    const std::size_t pixels = static_cast<std::size_t>(in.rows) * static_cast<std::size_t>(in.cols);
    in.noisy.resize(pixels);
    in.pilot.resize(pixels);
    in.window.resize(static_cast<std::size_t>(header[2]));
    std::vector<float> reference(pixels);
    in.step = params[0];
    in.blockSize = params[1];
    in.maxGroupSize = params[2];
    in.matchThreshold = params[3];
    in.searchRadius = params[4];
    in.sigma = params[5];
    get(file.get(), in.noisy.data(), pixels);
    get(file.get(), in.pilot.data(), pixels);
    get(file.get(), in.window.data(), in.window.size());
    get(file.get(), reference.data(), pixels);

    // The file holds what this program would make itself.
    const moduletest::CallInputs own = agreementInputs();
    EXPECT_EQ(in.noisy, own.noisy);
    EXPECT_EQ(in.pilot, own.pilot);

    const std::vector<float> output = moduletest::runExpectingOutput(in);
    ASSERT_EQ(output.size(), pixels);
    double worst = 0.0;
    for (std::size_t k = 0; k < pixels; ++k) {
        ASSERT_EQ(std::isnan(output[k]), std::isnan(reference[k])) << "pixel " << k;
        if (!std::isnan(output[k]))
            worst = std::max(worst, std::fabs(static_cast<double>(output[k]) - reference[k]));
    }
    EXPECT_LT(worst, 1e-5);
    std::printf("max |mexglx - mexa64| = %.3g\n", worst);
}

#endif
