// Benchmark of the one-call denoiser and its noise estimator on the bundled
// photographs (run by hand, never by the tests).
//
//   denoise_bench [--data DIR] [--threads N] [--estimator-only]
//
// The photographs are read as 0..1 floats and get Gaussian noise from fixed
// seeds (one per channel), unclipped, so the noisy data's range is found from
// its extremes as every front end does for float data. Sigma is reported on
// the 0..255 scale of the 8-bit originals.
//   1. The noise estimator against the true sigma (5, 10, 25, 50), with its time,
//      on the float data and on it rounded and clipped as an 8-bit file holds it;
//      and the usual wavelet estimate on the float data, for comparison.
//   2. PSNR (against the clean photograph, peak 1) and seconds of denoise() at
//      sigma 10, 25 and 50, with the true sigma given and with it estimated.
#include "bench/workload.h"

#include <sorvik/denoise.h>


#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

namespace sorvik::bench {
namespace {

using Clock = std::chrono::steady_clock;

std::vector<double> noisyCopy(const Photo& photo, double sigma, std::uint32_t seed)
{
    const std::size_t plane = std::size_t(photo.rows) * std::size_t(photo.cols);
    std::vector<double> noisy;
    for (int c = 0; c < photo.channels; ++c) {
        const std::vector<double> clean(photo.pixels.begin() + std::ptrdiff_t(c * plane),
                                        photo.pixels.begin() + std::ptrdiff_t((c + 1) * plane));
        const std::vector<double> channel = addGaussianNoise(clean, sigma, seed + 101u * c);
        noisy.insert(noisy.end(), channel.begin(), channel.end());
    }
    return noisy;
}

double psnr(const std::vector<double>& clean, const std::vector<double>& estimate)
{
    double sum = 0.0;
    for (std::size_t i = 0; i < clean.size(); ++i)
        sum += (clean[i] - estimate[i]) * (clean[i] - estimate[i]);
    return 10.0 * std::log10(double(clean.size()) / sum);
}

// The usual quick estimate, for comparison: the median absolute deviation of
// the finest diagonal Haar coefficients over 0.6745, all channels pooled.
double madEstimate(const std::vector<double>& image, const Photo& photo)
{
    const std::size_t plane = std::size_t(photo.rows) * std::size_t(photo.cols);
    std::vector<double> details;
    for (int c = 0; c < photo.channels; ++c)
        for (std::int32_t j = 0; j + 1 < photo.cols; j += 2)
            for (std::int32_t i = 0; i + 1 < photo.rows; i += 2) {
                const double* p =
                    image.data() + std::size_t(c) * plane + std::size_t(j) * photo.rows + i;
                details.push_back(std::fabs(p[0] - p[1] - p[photo.rows] + p[photo.rows + 1]) / 2.0);
            }
    std::nth_element(details.begin(), details.begin() + std::ptrdiff_t(details.size() / 2),
                     details.end());
    return details[details.size() / 2] / 0.6744897501960817;
}

void madTable(const std::vector<Photo>& photos)
{
    std::printf("for comparison: median absolute deviation of the finest Haar coefficients\n");
    for (const Photo& photo : photos) {
        std::printf("%-25s", photo.name.c_str());
        for (double sigma : {5.0, 10.0, 25.0, 50.0}) {
            const std::vector<double> noisy = noisyCopy(photo, sigma / 255.0, 20260);
            const double estimate = 255.0 * madEstimate(noisy, photo);
            std::printf("  %6.2f %+6.1f%%%7s", estimate, 100.0 * (estimate / sigma - 1.0), "");
        }
        std::printf("\n");
    }
    std::printf("\n");
}

void estimatorTable(const std::vector<Photo>& photos)
{
    std::printf("noise estimator (sigma of 255; estimate, error, milliseconds)\n");
    std::printf("%-25s", "image");
    for (double sigma : {5.0, 10.0, 25.0, 50.0})
        std::printf("  %20s", ("sigma " + std::to_string(int(sigma))).c_str());
    std::printf("\n");
    for (const Photo& photo : photos)
        for (bool eightBit : {false, true}) {
            std::printf("%-25s", (photo.name + (eightBit ? " 8-bit" : "")).c_str());
            for (double sigma : {5.0, 10.0, 25.0, 50.0}) {
                std::vector<double> noisy = noisyCopy(photo, sigma / 255.0, 20260);
                // As an 8-bit file holds it: rounded to levels, clipped to the range.
                if (eightBit)
                    for (double& v : noisy)
                        v = std::min(255.0, std::max(0.0, std::round(255.0 * v))) / 255.0;
                const Clock::time_point start = Clock::now();
                const double estimate = 255.0 * estimateNoiseSigma(noisy.data(), photo.rows,
                                                                   photo.cols, photo.channels);
                const double ms = 1000.0 * secondsSince(start);
                std::printf("  %6.2f %+6.1f%% %4.0fms", estimate, 100.0 * (estimate / sigma - 1.0),
                            ms);
            }
            std::printf("\n");
        }
    std::printf("\n");
}

void denoiseTable(const std::vector<Photo>& photos, int threads)
{
    std::printf("denoise (PSNR dB against the clean photograph, seconds; threads %d)\n", threads);
    std::printf("%-20s %5s  %8s %8s  %8s %8s %8s  %7s\n", "image", "sigma", "noisy", "true:dB",
                "estimate", "est:dB", "diff", "seconds");
    for (const Photo& photo : photos)
        for (double sigma : {10.0, 25.0, 50.0}) {
            const std::vector<double> noisy = noisyCopy(photo, sigma / 255.0, 777);
            DenoiseInput input;
            input.rows = photo.rows;
            input.cols = photo.cols;
            input.channels = photo.channels;
            input.pixels = noisy.data();
            input.range = floatDataRange(noisy.data(), photo.rows, photo.cols, photo.channels);
            DenoiseOptions options;
            options.threads = threads;

            input.sigma = sigma / 255.0;
            Clock::time_point start = Clock::now();
            const DenoiseResult given = denoise(input, options);
            const double givenSeconds = secondsSince(start);

            input.sigma.reset();
            start = Clock::now();
            const DenoiseResult estimated = denoise(input, options);
            const double estimatedSeconds = secondsSince(start);

            const double givenDb = psnr(photo.pixels, given.pixels);
            const double estimatedDb = psnr(photo.pixels, estimated.pixels);
            std::printf("%-20s %5.0f  %8.2f %8.2f  %8.2f %8.2f %+8.2f  %3.2f/%3.2f\n",
                        photo.name.c_str(), sigma, psnr(photo.pixels, noisy), givenDb,
                        255.0 * estimated.sigma, estimatedDb, estimatedDb - givenDb, givenSeconds,
                        estimatedSeconds);
        }
    std::printf("seconds: with the true sigma / with it estimated\n");
}

int run(int argc, char** argv)
{
    std::string dir = SORVIK_BENCH_DATA_DIR;
    int threads = 1;
    bool estimatorOnly = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--data" && i + 1 < argc)
            dir = argv[++i];
        else if (arg == "--threads" && i + 1 < argc)
            threads = std::atoi(argv[++i]);
        else if (arg == "--estimator-only")
            estimatorOnly = true;
        else {
            std::fprintf(stderr,
                         "usage: denoise_bench [--data DIR] [--threads N] [--estimator-only]\n");
            return 2;
        }
    }
    const std::vector<Photo> photos = {
        readPhoto(dir, "camera.png", false), readPhoto(dir, "astronaut-grey.png", false),
        readPhoto(dir, "brick.png", false), readPhoto(dir, "astronaut.png", true)};
    estimatorTable(photos);
    madTable(photos);
    if (!estimatorOnly)
        denoiseTable(photos, threads);
    return 0;
}

} // namespace
} // namespace sorvik::bench

int main(int argc, char** argv)
{
    try {
        return sorvik::bench::run(argc, argv);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "denoise_bench: %s\n", e.what());
        return 1;
    }
}
