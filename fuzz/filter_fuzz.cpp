// libFuzzer harness: the filter entry on small images with arbitrary
// parameters. Every call must either be refused with a status or finish
// without touching memory it does not own, and with the bits of one thread.
#include "bytes.h"
#include <sorvik/sorvik.h>

#include <cstdint>
#include <cstring>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    Bytes in(data, size);
    sorvik::FilterParams p;
    p.rows = in.take<std::uint8_t>() % 24;
    p.cols = in.take<std::uint8_t>() % 24;
    p.blockSize = std::int32_t(in.take<std::uint8_t>() % 12) - 1;
    p.searchRadius = std::int32_t(in.take<std::uint8_t>() % 10) - 1;
    p.maxGroupSize = std::int32_t(in.take<std::uint8_t>() % 40) - 1;
    p.step = std::int32_t(in.take<std::int8_t>());
    p.matchThreshold = in.take<float>();
    p.sigma = in.take<float>();
    sorvik::FilterOptions options;
    options.threads = 1 + in.take<std::uint8_t>() % 3;

    const std::size_t pixels = std::size_t(p.rows) * std::size_t(p.cols);
    std::vector<double> noisy(pixels);
    std::vector<float> pilot(pixels);
    for (std::size_t i = 0; i < pixels; ++i) {
        noisy[i] = in.take<std::uint8_t>() / 255.0;
        pilot[i] = float(in.take<std::int8_t>()) / 100.0f;
    }
    const std::size_t windowSize = p.blockSize > 0 ? std::size_t(p.blockSize) * p.blockSize : 1;
    std::vector<double> window(windowSize);
    for (double& w : window)
        w = in.take<std::uint8_t>() / 16.0;

    std::vector<float> estimate(pixels);
    const sorvik::FilterStatus status =
        sorvik::runFilter(p, noisy.data(), pilot.data(), window.data(), estimate.data(), options);
    if (status == sorvik::FilterStatus::ok && sorvik::checkParams(p) != sorvik::FilterStatus::ok)
        __builtin_trap(); // accepted what the check refuses

    // Any thread count gives the bits of one thread.
    if (status == sorvik::FilterStatus::ok && options.threads > 1) {
        std::vector<float> single(pixels);
        options.threads = 1;
        if (sorvik::runFilter(p, noisy.data(), pilot.data(), window.data(), single.data(), options) !=
            sorvik::FilterStatus::ok)
            __builtin_trap();
        if (pixels > 0 && std::memcmp(single.data(), estimate.data(), pixels * sizeof(float)) != 0)
            __builtin_trap();
    }
    return 0;
}
