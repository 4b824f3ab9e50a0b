// Gaussian white noise that is the same on every platform for a given seed,
// for the demo and the benchmark.
#ifndef SORVIK_FRONTEND_NOISE_H
#define SORVIK_FRONTEND_NOISE_H

#include <cstddef>
#include <cstdint>
#include <vector>

namespace sorvik {

// `count` values of standard deviation 1.
std::vector<double> gaussianNoise(std::size_t count, std::uint64_t seed);

} // namespace sorvik

#endif
