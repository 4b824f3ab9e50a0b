// The benchmark's standard workload: a real photograph at several sizes, with
// Gaussian noise from a fixed seed, the clean image as pilot, and the usual
// Wiener-stage parameters.
#ifndef SORVIK_BENCH_WORKLOAD_H
#define SORVIK_BENCH_WORKLOAD_H

#include <sorvik/sorvik.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace sorvik::bench {

// A grey image on the 0..1 scale, column-major (pixel (i, j) at i + j * rows).
struct GreyImage {
    std::int32_t rows = 0, cols = 0;
    std::vector<double> pixels;
};

// Reads an 8-bit (or any) PNG as grey; throws std::runtime_error on failure.
GreyImage readPng(const std::string& path);

// A photograph on the 0..1 scale: one plane (grey) or three (RGB) one after
// the other, each column-major.
struct Photo {
    std::string name;
    std::int32_t rows = 0, cols = 0;
    int channels = 1;
    std::vector<double> pixels;
};

// Reads dir/name as RGB (colour true), grey (false), or as the file holds it
// (unset); throws std::runtime_error on failure.
Photo readPhoto(const std::string& dir, const std::string& name, std::optional<bool> colour = {});

double secondsSince(std::chrono::steady_clock::time_point start);

// A size x size image from `source`: a centred crop when it is smaller, mirror
// tiling (the image, then its reflection, alternately) when it is larger.
GreyImage deriveSquare(const GreyImage& source, std::int32_t size);

// clean + N(0, sigma^2) per pixel, from the front ends' fixed-seed noise, so
// that the noise is the same on every platform.
std::vector<double> addGaussianNoise(const std::vector<double>& clean, double sigma,
                                     std::uint64_t seed);

struct Workload {
    FilterParams params;
    std::vector<double> noisy;
    std::vector<float> pilot;
    std::vector<double> window;
};

// blockSize 8, step 3, maxGroupSize 32, searchRadius 19, matchThreshold
// 0.19685, sigma 25/255, Kaiser(8, 2) window, noise seed fixed.
Workload standardWorkload(const GreyImage& clean);

} // namespace sorvik::bench

#endif
