// The one call with either pilot on the bundled photographs (run by hand,
// never by the tests).
//
//   pilot_bench [--data DIR] [--threads N] [--sigmas 10,25] [--images a.png,b.png]
//               [--wiener-tau x] [--wiener-K n] [--wiener-R n] [--wiener-step n] [--wiener-P n] [--grouped-only] [--P n] [--step n] [--K n] [--R n] [--lambda x]
//               [--tau x] [--floor x]
//
// The photographs (by default the bundled ones: grey camera, astronaut-grey,
// brick; colour astronaut; any PNG is read grey or RGB as it is stored) get
// Gaussian noise from fixed seeds, then are rounded and clipped to 8 bits
// as a noisy PNG holds them; the one call sees them in 0..255 with the true
// sigma given. Prints PSNR (peak 255, against the clean photograph) and
// processor seconds of the default pilot and of pilot=dct; the options after
// --grouped-only replace the defaults of the grouped pilot, for tuning.
#include "bench/workload.h"

#include "denoise/grouped_pilot.h"
#include "pilot/basic_estimate.h"

#include <sorvik/denoise.h>


#include <algorithm>
#include <cmath>
#include <ctime>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace sorvik::bench {
namespace {

// The photograph in levels of 255, as the benchmark's noise and PSNR take it.
Photo readPhoto255(const std::string& dir, const std::string& name)
{
    Photo photo = readPhoto(dir, name); // grey or RGB as the file holds it
    for (double& v : photo.pixels)
        v = std::round(v * 255.0);
    return photo;
}

std::vector<double> noisy8(const Photo& photo, double sigma)
{
    const std::size_t plane = std::size_t(photo.rows) * std::size_t(photo.cols);
    std::vector<double> out;
    for (int c = 0; c < photo.channels; ++c) {
        const std::vector<double> clean(photo.pixels.begin() + std::ptrdiff_t(c * plane),
                                        photo.pixels.begin() + std::ptrdiff_t((c + 1) * plane));
        for (double v : addGaussianNoise(clean, sigma, 777u + 101u * unsigned(c)))
            out.push_back(std::min(255.0, std::max(0.0, std::nearbyint(v))));
    }
    return out;
}

double psnr(const std::vector<double>& clean, const std::vector<double>& estimate)
{
    double sum = 0.0;
    for (std::size_t i = 0; i < clean.size(); ++i) {
        const double e = std::min(255.0, std::max(0.0, estimate[i]));
        sum += (clean[i] - e) * (clean[i] - e);
    }
    return 10.0 * std::log10(255.0 * 255.0 * double(clean.size()) / sum);
}

std::vector<std::string> split(const std::string& list)
{
    std::vector<std::string> parts;
    std::stringstream in(list);
    for (std::string part; std::getline(in, part, ',');)
        parts.push_back(part);
    return parts;
}

// The pilots alone, grey: PSNR of the basic and the grouped estimate.
void pilotOnly(const Photo& photo, const std::vector<double>& noisy, double sigma,
               const DenoiseOptions& options)
{
    const std::size_t plane = std::size_t(photo.rows) * std::size_t(photo.cols);
    std::vector<double> unit(plane);
    for (std::size_t i = 0; i < plane; ++i)
        unit[i] = noisy[i] / 255.0;
    std::vector<float> pilot(plane);
    const double unitSigma = sigma / 255.0;
    const auto score = [&] {
        std::vector<double> scaled(plane);
        for (std::size_t i = 0; i < plane; ++i)
            scaled[i] = 255.0 * double(pilot[i]);
        return psnr(std::vector<double>(photo.pixels.begin(), photo.pixels.begin() + std::ptrdiff_t(plane)), scaled);
    };
    basicEstimate(photo.rows, photo.cols, unit.data(), unitSigma, pilot.data());
    const double basic = score();
    detail::groupedPilot(photo.rows, photo.cols, 1, unit.data(), &unitSigma, unitSigma, options,
                         pilot.data());
    std::printf("%-20s %5.0f  pilot dct %6.2f  grouped %6.2f\n", photo.name.c_str(), sigma, basic, score());
}

struct Run {
    double db = 0.0, seconds = 0.0;
};

Run time(const Photo& photo, const std::vector<double>& noisy, double sigma,
         const DenoiseOptions& options)
{
    DenoiseInput input;
    input.rows = photo.rows;
    input.cols = photo.cols;
    input.channels = photo.channels;
    input.pixels = noisy.data();
    input.range = uint8Range;
    input.sigma = sigma;
    // Processor time of the whole process: on a shared host it counts the
    // call's own work, where wall-clock time counts the neighbours' too.
    const std::clock_t start = std::clock();
    const DenoiseResult result = denoise(input, options);
    return Run{psnr(photo.pixels, result.pixels), double(std::clock() - start) / CLOCKS_PER_SEC};
}

int run(int argc, char** argv)
{
    std::string dir = SORVIK_BENCH_DATA_DIR;
    std::vector<std::string> names = {"camera.png", "astronaut-grey.png", "brick.png",
                                      "astronaut.png"};
    std::vector<double> sigmas = {10, 15, 25, 35, 50};
    int threads = 1;
    bool groupedOnly = false;
    bool pilotsOnly = false;
    double wienerTau = -1.0; // the Wiener stage's match threshold, when given
    std::int32_t wienerK = 0, wienerR = -1, wienerStep = 0, wienerP = 0; // its group size, radius, step, block
    GroupedSettings tuned;
    bool tuning = false;
    std::vector<std::string> given; // the grouped options set on the command line
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool more = i + 1 < argc;
        if (arg == "--grouped-only")
            groupedOnly = true;
        else if (arg == "--pilots")
            pilotsOnly = true;
        else if (!more) {
            std::fprintf(stderr, "usage: see the comment at the top of bench/pilot_bench.cpp\n");
            return 2;
        } else if (arg == "--data")
            dir = argv[++i];
        else if (arg == "--threads")
            threads = std::atoi(argv[++i]);
        else if (arg == "--wiener-tau")
            wienerTau = std::atof(argv[++i]);
        else if (arg == "--wiener-K")
            wienerK = std::atoi(argv[++i]);
        else if (arg == "--wiener-R")
            wienerR = std::atoi(argv[++i]);
        else if (arg == "--wiener-step")
            wienerStep = std::atoi(argv[++i]);
        else if (arg == "--wiener-P")
            wienerP = std::atoi(argv[++i]);
        else if (arg == "--images")
            names = split(argv[++i]);
        else if (arg == "--sigmas") {
            sigmas.clear();
            for (const std::string& s : split(argv[++i]))
                sigmas.push_back(std::atof(s.c_str()));
        } else {
            const double value = std::atof(argv[++i]);
            tuning = true;
            given.push_back(arg);
            if (arg == "--P")
                tuned.blockSize = std::int32_t(value);
            else if (arg == "--step")
                tuned.step = std::int32_t(value);
            else if (arg == "--K")
                tuned.maxGroupSize = std::int32_t(value);
            else if (arg == "--R")
                tuned.searchRadius = std::int32_t(value);
            else if (arg == "--lambda")
                tuned.lambda = value;
            else if (arg == "--tau")
                tuned.matchThreshold = value;
            else if (arg == "--floor")
                tuned.matchFloor = value;
            else {
                std::fprintf(stderr, "unknown option %s\n", arg.c_str());
                return 2;
            }
        }
    }
    std::printf("PSNR dB (peak 255) and processor seconds, %d thread(s), 8-bit clipped noise, "
                "sigma given\n",
                threads);
    std::printf("%-20s %5s  %7s %7s  %7s %7s  %6s\n", "image", "sigma", "dct:dB", "s",
                "grp:dB", "s", "gain");
    // Gains by sigma, grey [0] and colour [1]: sum, count, lowest.
    std::vector<double> gainSum(2 * sigmas.size(), 0.0), gainLow(2 * sigmas.size(), 1e9);
    std::vector<int> gainCount(2 * sigmas.size(), 0);
    for (const std::string& name : names) {
        const Photo photo = readPhoto255(dir, name);
        for (std::size_t si = 0; si < sigmas.size(); ++si) {
            const double sigma = sigmas[si];
            const std::vector<double> noisy = noisy8(photo, sigma);
            DenoiseOptions options;
            options.threads = threads;
            if (wienerTau >= 0.0)
                options.wiener.matchThreshold = wienerTau;
            if (wienerK > 0)
                options.wiener.maxGroupSize = wienerK;
            if (wienerR >= 0)
                options.wiener.searchRadius = wienerR;
            if (wienerStep > 0)
                options.wiener.step = wienerStep;
            if (wienerP > 0)
                options.wiener.blockSize = wienerP;
            Run dct;
            if (!groupedOnly) {
                options.pilot = PilotKind::dct;
                dct = time(photo, noisy, sigma, options);
            }
            options.pilot = PilotKind::grouped;
            if (tuning) {
                GroupedSettings s = groupedDefaults(sigma / 255.0);
                // Only what was given replaces the default for this sigma.
                const auto set = [&given](const char* option) {
                    return std::find(given.begin(), given.end(), option) != given.end();
                };
                if (set("--P")) s.blockSize = tuned.blockSize;
                if (set("--step")) s.step = tuned.step;
                if (set("--K")) s.maxGroupSize = tuned.maxGroupSize;
                if (set("--R")) s.searchRadius = tuned.searchRadius;
                if (set("--lambda")) s.lambda = tuned.lambda;
                if (set("--tau")) s.matchThreshold = tuned.matchThreshold;
                if (set("--floor")) s.matchFloor = tuned.matchFloor;
                options.grouped = s;
            }
            if (pilotsOnly) {
                pilotOnly(photo, noisy, sigma, options);
                continue;
            }
            const Run grouped = time(photo, noisy, sigma, options);
            std::printf("%-20s %5.0f  %7.2f %7.2f  %7.2f %7.2f  %+6.2f\n", name.c_str(), sigma,
                        dct.db, dct.seconds, grouped.db, grouped.seconds, grouped.db - dct.db);
            std::fflush(stdout);
            const std::size_t at = 2 * si + (photo.channels == 3 ? 1 : 0);
            gainSum[at] += grouped.db - dct.db;
            gainLow[at] = std::min(gainLow[at], grouped.db - dct.db);
            ++gainCount[at];
        }
    }
    for (std::size_t at = 0; at < gainSum.size() && !groupedOnly && !pilotsOnly; ++at)
        if (gainCount[at] > 0)
            std::printf("mean gain %-6s sigma %3.0f: %+6.3f dB over %d image(s), lowest %+6.3f\n",
                        at % 2 ? "colour" : "grey", sigmas[at / 2], gainSum[at] / gainCount[at],
                        gainCount[at], gainLow[at]);
    return 0;
}

} // namespace
} // namespace sorvik::bench

int main(int argc, char** argv)
{
    try {
        return sorvik::bench::run(argc, argv);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "pilot_bench: %s\n", e.what());
        return 1;
    }
}
