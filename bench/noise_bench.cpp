// Benchmark of the noise models on photon counts made from the bundled
// photographs (run by hand, never by the tests).
//
//   noise_bench [--data DIR] [--threads N] [--estimate-only] [--images a.png,b.png]
//
// Counts z = Poisson(peak * clean) + N(0, read^2) in photons (gain 1, offset
// 0), passed as float data, for peaks of 1 to 100 photons and read noise 0,
// 2 and 5. Each case is denoised three ways: the gaussian model with its
// sigma estimated, the poisson-gaussian model with the true parameters, and
// the default (automatic) call. PSNR against peak * clean, peak as the
// signal's top. Then the automatic choice on white Gaussian noise, where it
// must agree with the gaussian model to the bit.
#include "bench/workload.h"

#include <sorvik/denoise.h>


#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace sorvik::bench {
namespace {

using Clock = std::chrono::steady_clock;

std::vector<double> counts(const std::vector<double>& clean, double peak, double read,
                           std::uint32_t seed)
{
    std::mt19937 bits(seed);
    std::normal_distribution<double> gauss(0.0, 1.0);
    std::vector<double> z(clean.size());
    for (std::size_t i = 0; i < clean.size(); ++i) {
        std::poisson_distribution<int> poisson(peak * clean[i]);
        z[i] = peak * clean[i] > 0.0 ? double(poisson(bits)) : 0.0;
        if (read > 0.0)
            z[i] += read * gauss(bits);
    }
    return z;
}

double psnr(const std::vector<double>& truth, const std::vector<double>& estimate, double peak)
{
    double sum = 0.0;
    for (std::size_t i = 0; i < truth.size(); ++i)
        sum += (truth[i] - estimate[i]) * (truth[i] - estimate[i]);
    return 10.0 * std::log10(peak * peak * double(truth.size()) / sum);
}

DenoiseInput inputOf(const Photo& photo, const std::vector<double>& z)
{
    DenoiseInput input;
    input.rows = photo.rows;
    input.cols = photo.cols;
    input.channels = photo.channels;
    input.pixels = z.data();
    input.range = floatDataRange(z.data(), photo.rows, photo.cols, photo.channels);
    return input;
}

std::string attempt(const std::vector<double>& truth, double peak, const DenoiseInput& input,
                    const DenoiseOptions& options)
{
    try {
        const DenoiseResult r = denoise(input, options);
        char text[32];
        std::snprintf(text, sizeof text, "%7.2f", psnr(truth, r.pixels, peak));
        return text;
    } catch (const std::exception&) {
        return "refused";
    }
}

void countsTable(const std::vector<Photo>& photos, int threads, bool estimateOnly)
{
    std::printf("photon counts (PSNR dB; gain, read noise estimated; estimate seconds)\n");
    std::printf("%-16s %4s %4s %7s %8s %8s %8s  %-8s %6s %6s %6s\n", "image", "peak", "read",
                "noisy", "gaussian", "true", "auto", "model", "gain", "read", "sec");
    DenoiseOptions options;
    options.threads = threads;
    for (const Photo& photo : photos)
        for (double peak : {1.0, 2.0, 5.0, 10.0, 30.0, 100.0})
            for (double read : {0.0, 2.0, 5.0}) {
                const std::vector<double> z =
                    counts(photo.pixels, peak, read, 1000u + std::uint32_t(peak * 10 + read));
                std::vector<double> truth = photo.pixels;
                for (double& v : truth)
                    v *= peak;
                const Clock::time_point start = Clock::now();
                std::string kind = "refused";
                double gain = 0.0, readNoise = 0.0;
                try {
                    const NoiseModel m = estimateNoiseModel(z.data(), photo.rows, photo.cols,
                                                            photo.channels);
                    kind = noiseKindName(m.kind);
                    if (m.kind == NoiseKind::gaussian)
                        kind = "gaussian";
                    gain = m.gain;
                    readNoise = m.readNoise;
                } catch (const std::exception&) {
                }
                const double seconds = secondsSince(start);
                std::string gaussian = "-", stabilised = "-", automatic = "-";
                if (!estimateOnly) {
                    DenoiseInput input = inputOf(photo, z);
                    input.noise = NoiseChoice::gaussian;
                    gaussian = attempt(truth, peak, input, options);
                    input.noise = NoiseChoice::poissonGaussian;
                    input.gain = 1.0;
                    input.readNoise = std::max(read, 1e-3);
                    input.offset = 0.0;
                    stabilised = attempt(truth, peak, input, options);
                    input = inputOf(photo, z);
                    automatic = attempt(truth, peak, input, options);
                }
                std::printf("%-16s %4.0f %4.0f %7.2f %8s %8s %8s  %-8.8s %6.3f %6.2f %6.3f\n",
                            photo.name.c_str(), peak, read, psnr(truth, z, peak), gaussian.c_str(),
                            stabilised.c_str(), automatic.c_str(), kind.c_str(), gain, readNoise,
                            seconds);
                std::fflush(stdout);
            }
    std::printf("model: pg = poisson-gaussian chosen by the automatic estimate\n\n");
}

void gaussianTable(const std::vector<Photo>& photos, int threads, bool estimateOnly)
{
    DenoiseOptions options;
    options.threads = threads;
    std::printf("white Gaussian noise: the automatic choice (8-bit levels, float and 8-bit)\n");
    for (const Photo& photo : photos)
        for (bool eightBit : {false, true}) {
            std::printf("%-16s %-6s", photo.name.c_str(), eightBit ? "8-bit" : "float");
            for (double sigma : {5.0, 10.0, 20.0, 30.0}) {
                std::mt19937 bits(77u + std::uint32_t(sigma));
                std::normal_distribution<double> gauss(0.0, sigma / 255.0);
                std::vector<double> z = photo.pixels;
                for (double& v : z) {
                    v += gauss(bits);
                    if (eightBit)
                        v = std::min(255.0, std::max(0.0, std::round(255.0 * v))) / 255.0;
                }
                const NoiseModel m =
                    estimateNoiseModel(z.data(), photo.rows, photo.cols, photo.channels);
                std::printf("  %2.0f:%s", sigma,
                            m.kind == NoiseKind::gaussian ? "gaussian" : "POISSON");
                // A misfire's cost: the automatic call against the gaussian one.
                if (m.kind != NoiseKind::gaussian && !estimateOnly) {
                    DenoiseInput input = inputOf(photo, z);
                    const std::string automatic = attempt(photo.pixels, 1.0, input, options);
                    input.noise = NoiseChoice::gaussian;
                    const std::string gaussian = attempt(photo.pixels, 1.0, input, options);
                    std::printf("(%s dB, gaussian %s)", automatic.c_str(), gaussian.c_str());
                }
            }
            std::printf("\n");
        }
    std::printf("\n");
}

int run(int argc, char** argv)
{
    std::string dir = SORVIK_BENCH_DATA_DIR;
    std::string names = "camera.png,astronaut-grey.png";
    int threads = 1;
    bool estimateOnly = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--data" && i + 1 < argc)
            dir = argv[++i];
        else if (arg == "--threads" && i + 1 < argc)
            threads = std::atoi(argv[++i]);
        else if (arg == "--images" && i + 1 < argc)
            names = argv[++i];
        else if (arg == "--estimate-only")
            estimateOnly = true;
        else {
            std::fprintf(stderr, "usage: noise_bench [--data DIR] [--threads N] "
                                 "[--estimate-only] [--images a.png,b.png]\n");
            return 2;
        }
    }
    std::vector<Photo> photos;
    std::stringstream list(names);
    for (std::string name; std::getline(list, name, ',');)
        photos.push_back(readPhoto(dir, name));
    gaussianTable(photos, threads, estimateOnly);
    countsTable(photos, threads, estimateOnly);
    return 0;
}

} // namespace
} // namespace sorvik::bench

int main(int argc, char** argv)
{
    try {
        return sorvik::bench::run(argc, argv);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "noise_bench: %s\n", e.what());
        return 1;
    }
}
