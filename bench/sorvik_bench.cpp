// Benchmark of the filter on the standard workload, against the FFT floor.
//
//   sorvik_bench [--sizes 256,512,1024,2048] [--runs 5] [--threads 1]
//                [--image data/camera.png] [--calls-only]
//                [--kernel portable|sse2|avx2|avx512]
//
// For each size: the median seconds of `runs` full calls, megapixels and
// reference blocks per second, the call's peak memory (measured in a fresh
// process) next to the filter's own bound (filterMemoryBound), and the FFT floor: the
// median time of executing only the FFTW plans the call executed (the same
// plans, on the same kind of buffers, the same number of times, on one
// thread, with no matching and no copies). Further tables split the profiled
// calls by stage (each stage's median) and set the work the workload asks for
// per pixel against the time spent on it. --calls-only times the calls alone
// (wall and processor time), for quick comparisons and profilers, and prints
// a hash of the output's bits, to set thread counts and builds side by side. --kernel
// caps block matching's kernel at the given instruction set, to set kernels
// side by side. The basic estimate of the same noisy image (what the one-call
// denoise runs before the filter) is timed too, set against the filter.
//
// The machine's other load shows in the seconds; the ratios to the floor,
// measured in the same run, are the steadier figure.
#include "bench/workload.h"
#include "frontend/settings.h"
#include "filter/match_scan.h"
#include "filter/profile.h"
#include "filter/workspace.h"
#ifdef SORVIK_BENCH_BASIC_ESTIMATE
#include "pilot/basic_estimate.h"
#endif

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <iterator>
#include <malloc.h>
#include <unistd.h>
#include <sstream>
#include <string>
#include <vector>

namespace sorvik::bench {
namespace {

using Clock = std::chrono::steady_clock;

// Processor time of the whole process (every thread), immune to waiting for
// a processor that others hold.
double cpuSeconds()
{
    timespec now{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return double(now.tv_sec) + 1e-9 * double(now.tv_nsec);
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    const std::size_t n = values.size();
    return n % 2 ? values[n / 2] : 0.5 * (values[n / 2 - 1] + values[n / 2]);
}

// A field of /proc/self/status in kB, or -1.
long statusKb(const char* field)
{
    std::ifstream status("/proc/self/status");
    std::string line;
    const std::size_t length = std::strlen(field);
    while (std::getline(status, line))
        if (line.compare(0, length, field) == 0 && line.size() > length && line[length] == ':')
            return std::strtol(line.c_str() + length + 1, nullptr, 10);
    return -1;
}

// Lets VmHWM restart from the current resident size.
bool resetPeak()
{
    std::ofstream clear("/proc/self/clear_refs");
    clear << "5";
    clear.flush();
    return bool(clear);
}

// Executes every plan the profiled call executed, as often as it did: one r2c
// per block spectrum; per group of size k >= 2, 2L forward and L backward
// plans of length k, or two forward and one backward plan of all L columns
// for the lengths where those are used; k c2r per group (one for k = 1).
double fftFloorSeconds(const FilterParams& params, const detail::CallProfile& profile)
{
    const detail::Geometry g = detail::makeGeometry(params);
    std::vector<float> scratch(std::size_t(g.M) * g.N);
    detail::Workspace ws;
    if (ws.setUp(g, scratch.data()) != FilterStatus::ok)
        return -1;
    // Plausible magnitudes in the buffers; c2r may overwrite its input, which
    // stays finite over the executions below or saturates, neither of which
    // changes the speed of the plans.
    float* in = reinterpret_cast<float*>(ws.transforms.transformIn.get());
    for (std::int32_t i = 0; i < 2 * std::max(g.K, g.L); ++i)
        in[i] = 0.25f + 0.001f * float(i);

    const auto start = Clock::now();
    for (std::int64_t i = 0; i < profile.blockSpectra; ++i)
        ws.transforms.r2cPlan.execute();
    for (std::int32_t k = 1; k <= g.K; ++k) {
        const std::int64_t groups = profile.groupsOfSize[std::size_t(k)];
        if (k >= 2 && groups > 0) {
            detail::TransformSet& ts = ws.transforms;
            if (!ts.planGroupLength(k))
                return -1;
            if (ts.batched(k)) {
                for (std::int64_t i = 0; i < groups * 2; ++i)
                    ts.batchedForward[k].execute();
                for (std::int64_t i = 0; i < groups; ++i)
                    ts.batchedBackward[k].execute();
            } else {
                for (std::int64_t i = 0; i < groups * 2 * g.L; ++i)
                    ts.forwardPlans[k].execute();
                for (std::int64_t i = 0; i < groups * g.L; ++i)
                    ts.backwardPlans[k].execute();
            }
        }
        for (std::int64_t i = 0; i < groups * k; ++i)
            ws.transforms.c2rPlan.execute();
    }
    return secondsSince(start);
}

struct Options {
    std::vector<int> sizes{256, 512, 1024, 2048};
    int runs = 5;
    int threads = 1;
    std::string image = SORVIK_BENCH_DEFAULT_IMAGE;
    int peakOf = 0;     // internal: measure one size's peak memory and print it
    bool callsOnly = false; // only the timed calls: for profilers and counters
};

// Peak memory of one call: the resident memory it adds on top of a process
// that holds its images and has made one call already (so that library code
// and the planner's own tables are paged in and not counted as the call's).
// Runs in a fresh process, whose heap holds nothing the call could reuse.
long peakOfOneCall(const Options& o)
{
    const Workload w = standardWorkload(deriveSquare(readPng(o.image), o.peakOf));
    std::vector<float> estimate(w.noisy.size(), 1.0f);
    FilterOptions options;
    options.threads = o.threads;
    runFilter(w.params, w.noisy.data(), w.pilot.data(), w.window.data(), estimate.data(), options);
    malloc_trim(0);
    if (!resetPeak())
        return -1;
    const long before = statusKb("VmRSS");
    runFilter(w.params, w.noisy.data(), w.pilot.data(), w.window.data(), estimate.data(), options);
    return statusKb("VmHWM") - before;
}

long childPeakKb(int size, const Options& o)
{
    const std::string command = "/proc/" + std::to_string(getpid()) + "/exe --peak-of " +
                                std::to_string(size) + " --threads " + std::to_string(o.threads) +
                                " --image '" + o.image + "'";
    FILE* child = popen(command.c_str(), "r");
    if (child == nullptr)
        return -1;
    long kb = -1;
    if (std::fscanf(child, "%ld", &kb) != 1)
        kb = -1;
    pclose(child);
    return kb;
}

Options parse(int argc, char** argv)
{
    Options o;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool hasValue = i + 1 < argc;
        if (arg == "--sizes" && hasValue) {
            o.sizes.clear();
            std::stringstream list(argv[++i]);
            for (std::string item; std::getline(list, item, ',');)
                o.sizes.push_back(std::atoi(item.c_str()));
        } else if (arg == "--runs" && hasValue) {
            o.runs = std::max(1, std::atoi(argv[++i]));
        } else if (arg == "--threads" && hasValue) {
            o.threads = std::atoi(argv[++i]);
            checkThreads(o.threads);
        } else if (arg == "--calls-only") {
            o.callsOnly = true;
        } else if (arg == "--peak-of" && hasValue) {
            o.peakOf = std::atoi(argv[++i]);
        } else if (arg == "--image" && hasValue) {
            o.image = argv[++i];
        } else if (arg == "--kernel" && hasValue) {
            const std::string name = argv[++i];
            const char* names[] = {"portable", "sse2", "avx2", "avx512"};
            const auto found = std::find(std::begin(names), std::end(names), name);
            if (found == std::end(names)) {
                std::fprintf(stderr, "--kernel: unknown kernel '%s'\n", name.c_str());
                std::exit(2);
            }
            detail::capKernelLevel(detail::KernelLevel(found - std::begin(names)));
        } else {
            std::fprintf(stderr,
                         "usage: %s [--sizes 256,512,1024,2048] [--runs 5] [--threads 1] "
                         "[--image file.png] [--calls-only] [--kernel portable|sse2|avx2|avx512]\n",
                         argv[0]);
            std::exit(2);
        }
    }
    return o;
}

// FNV-1a over the output's bytes.
unsigned long long bitsHash(const std::vector<float>& values)
{
    unsigned long long hash = 14695981039346656037ull;
    const auto* bytes = reinterpret_cast<const unsigned char*>(values.data());
    for (std::size_t i = 0; i < values.size() * sizeof(float); ++i)
        hash = (hash ^ bytes[i]) * 1099511628211ull;
    return hash;
}

double meanGroup(const detail::CallProfile& p)
{
    double members = 0;
    for (std::size_t k = 0; k < p.groupsOfSize.size(); ++k)
        members += double(k) * double(p.groupsOfSize[k]);
    return members / double(std::max<std::int64_t>(p.references, 1));
}

struct Row {
    int size;
    double seconds, floor, peakMiB, designMiB, imagesMiB;
    double basicSeconds = -1;
    detail::CallProfile profile;
};

int run(const Options& o)
{
    const GreyImage photo = readPng(o.image);
    const char* kernels[] = {"portable", "sse2", "avx2", "avx512"};
    std::printf("image %s (%d x %d), %d run(s) per size, %d thread(s), %s matching kernel\n\n",
                o.image.c_str(), photo.rows, photo.cols, o.runs, o.threads,
                kernels[int(detail::chosenKernelLevel())]);
    FilterOptions options;
    options.threads = o.threads;

    std::vector<Row> rows;
    for (const int size : o.sizes) {
        const Workload w = standardWorkload(deriveSquare(photo, size));
        const std::size_t pixels = w.noisy.size();
        std::vector<float> estimate(pixels, 1.0f); // touched now, so not counted as the call's

        Row row{};
        row.size = size;
        if (o.callsOnly) {
            std::vector<double> full, cpu;
            for (int r = 0; r < o.runs; ++r) {
                const auto start = Clock::now();
                const double cpuStart = cpuSeconds();
                runFilter(w.params, w.noisy.data(), w.pilot.data(), w.window.data(),
                          estimate.data(), options);
                full.push_back(secondsSince(start));
                cpu.push_back(cpuSeconds() - cpuStart);
            }
            std::printf("size %d: %.3f s, %.3f s of processor time (medians of %d), bits %016llx\n",
                        size, median(full), median(cpu), o.runs, bitsHash(estimate));
            continue;
        }
        // Each stage's time is the median over `runs` profiled calls, as one
        // call's split is at the mercy of whatever else the machine runs.
        std::vector<std::vector<double>> stages(6);
        for (int r = 0; r < o.runs; ++r) {
            detail::CallProfile profile;
            if (detail::runFilterProfiled(w.params, w.noisy.data(), w.pilot.data(),
                                          w.window.data(), estimate.data(), options,
                                          &profile) != FilterStatus::ok) {
                std::fprintf(stderr, "filter failed at size %d\n", size);
                return 1;
            }
            const double seconds[6] = {profile.setUpSeconds, profile.ringSeconds,
                                       profile.matchSeconds, profile.groupSeconds,
                                       profile.inverseSeconds, profile.finishSeconds};
            for (int s = 0; s < 6; ++s)
                stages[std::size_t(s)].push_back(seconds[s]);
            if (r == 0)
                row.profile = profile;
        }
        row.profile.setUpSeconds = median(stages[0]);
        row.profile.ringSeconds = median(stages[1]);
        row.profile.matchSeconds = median(stages[2]);
        row.profile.groupSeconds = median(stages[3]);
        row.profile.inverseSeconds = median(stages[4]);
        row.profile.finishSeconds = median(stages[5]);
        std::vector<double> full, floor;
        for (int r = 0; r < o.runs; ++r) {
            auto start = Clock::now();
            runFilter(w.params, w.noisy.data(), w.pilot.data(), w.window.data(), estimate.data(),
                      options);
            full.push_back(secondsSince(start));
            floor.push_back(fftFloorSeconds(w.params, row.profile));
        }
        row.peakMiB = childPeakKb(size, o) / 1024.0;
        row.designMiB = double(filterMemoryBound(w.params, 1, o.threads)) / 1048576.0;
        row.imagesMiB = pixels * (sizeof(double) + 2 * sizeof(float)) / 1048576.0;

        row.seconds = median(full);
        row.floor = median(floor);
#ifdef SORVIK_BENCH_BASIC_ESTIMATE
        std::vector<double> basic;
        BasicEstimateOptions basicOptions;
        basicOptions.threads = o.threads;
        for (int r = 0; r < o.runs; ++r) {
            const auto start = Clock::now();
            basicEstimate(w.params.rows, w.params.cols, w.noisy.data(), w.params.sigma,
                          estimate.data(), basicOptions);
            basic.push_back(secondsSince(start));
        }
        row.basicSeconds = median(basic);
#endif
        rows.push_back(row);
        std::fprintf(stderr, "size %d done\n", size);
    }

    if (o.callsOnly)
        return 0;
    std::printf("| size | seconds | MP/s | refs/s | ns/pixel | peak MiB | design MiB | images MiB "
                "| FFT floor s | full/floor |\n");
    std::printf("|---|---|---|---|---|---|---|---|---|---|\n");
    for (const Row& r : rows) {
        const double pixels = double(r.size) * r.size;
        std::printf("| %d | %.3f | %.2f | %.0f | %.0f | %.1f | %.1f | %.1f | %.3f | %.2f |\n",
                    r.size, r.seconds, pixels / 1e6 / r.seconds,
                    double(r.profile.references) / r.seconds, r.seconds / pixels * 1e9, r.peakMiB,
                    r.designMiB, r.imagesMiB, r.floor, r.seconds / r.floor);
    }
    std::printf("\nWhere the time goes (median of the profiled calls; seconds summed over threads)\n\n");
    std::printf("| size | set-up | rings | matching | group transforms | inverse + aggregation "
                "| finish | references | mean group |\n");
    std::printf("|---|---|---|---|---|---|---|---|---|\n");
    for (const Row& r : rows) {
        const detail::CallProfile& p = r.profile;
        std::printf("| %d | %.3f | %.3f | %.3f | %.3f | %.3f | %.3f | %lld | %.1f |\n", r.size,
                    p.setUpSeconds, p.ringSeconds, p.matchSeconds, p.groupSeconds,
                    p.inverseSeconds, p.finishSeconds, static_cast<long long>(p.references),
                    meanGroup(p));
    }
    if (o.threads > 1) {
        // What the walk leaves idle: a thread with no task spins, then sleeps.
        std::printf("\nIdle time of each thread in the walk (first profiled call)\n\n");
        // Bringing and opening run on one thread at a time; the aggregation
        // (summed over threads) in `slices` slices, each one thread at a time.
        std::printf("| size | walk s | idle s per thread (0: the calling thread) | idle share | "
                    "bring s | open s | aggregate s | slices |\n");
        std::printf("|---|---|---|---|---|---|---|---|\n");
        for (const Row& r : rows) {
            const detail::CallProfile& p = r.profile;
            std::string idle;
            double total = 0;
            for (const double s : p.idleSeconds) {
                idle += (idle.empty() ? "" : ", ") + std::to_string(s).substr(0, 5);
                total += s;
            }
            const double share = p.walkSeconds > 0 && !p.idleSeconds.empty()
                                     ? total / (p.walkSeconds * double(p.idleSeconds.size()))
                                     : 0.0;
            std::printf("| %d | %.3f | %s | %.1f%% | %.3f | %.3f | %.3f | %d |\n", r.size,
                        p.walkSeconds, idle.c_str(), 100.0 * share, p.bringSeconds, p.openSeconds,
                        p.aggregateSeconds, p.slices);
        }
    }
    std::printf("\nWork per pixel: what the workload asks for (references, candidates, the FFT\n"
                "floor) next to what the call spends on it\n\n");
    std::printf("| size | references/pixel | candidates/pixel | floor ns/pixel | full ns/pixel "
                "| matching ns/candidate | groups ns/reference |\n");
    std::printf("|---|---|---|---|---|---|---|\n");
    for (const Row& r : rows) {
        const detail::CallProfile& p = r.profile;
        const double pixels = double(r.size) * r.size;
        const double references = double(std::max<std::int64_t>(p.references, 1));
        std::printf("| %d | %.4f | %.1f | %.0f | %.0f | %.2f | %.0f |\n", r.size,
                    double(p.references) / pixels, double(p.candidates) / pixels,
                    r.floor / pixels * 1e9, r.seconds / pixels * 1e9,
                    p.matchSeconds / double(std::max<std::int64_t>(p.candidates, 1)) * 1e9,
                    (p.groupSeconds + p.inverseSeconds) / references * 1e9);
    }
    if (!rows.empty() && rows.front().basicSeconds >= 0) {
        std::printf("\nThe basic estimate of the same noisy image (median of the runs)\n\n");
        std::printf("| size | basic estimate s | filter s | estimate/filter |\n");
        std::printf("|---|---|---|---|\n");
        for (const Row& r : rows)
            std::printf("| %d | %.4f | %.3f | %.3f |\n", r.size, r.basicSeconds, r.seconds,
                        r.basicSeconds / r.seconds);
    }
    return 0;
}

} // namespace
} // namespace sorvik::bench

int main(int argc, char** argv)
{
    try {
        const sorvik::bench::Options options = sorvik::bench::parse(argc, argv);
        if (options.peakOf > 0) {
            std::printf("%ld\n", sorvik::bench::peakOfOneCall(options));
            return 0;
        }
        return sorvik::bench::run(options);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s\n", e.what());
        return 1;
    }
}
