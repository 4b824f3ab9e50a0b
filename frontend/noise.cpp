#include "frontend/noise.h"

#include <cmath>
#include <random>

namespace sorvik {

std::vector<double> gaussianNoise(std::size_t count, std::uint64_t seed)
{
    // std::normal_distribution differs between standard libraries; the
    // Mersenne Twister's output does not, and Box-Muller on top of it is
    // written out here.
    std::mt19937_64 engine(seed);
    const double twoPi = 6.283185307179586;
    auto uniform = [&engine] { return (double(engine() >> 11) + 1.0) * 0x1.0p-53; }; // (0, 1]
    std::vector<double> noise(count);
    for (std::size_t i = 0; i < count; i += 2) {
        const double radius = std::sqrt(-2.0 * std::log(uniform()));
        const double angle = twoPi * uniform();
        noise[i] = radius * std::cos(angle);
        if (i + 1 < count)
            noise[i + 1] = radius * std::sin(angle);
    }
    return noise;
}

} // namespace sorvik
