// Filters a small noisy ramp with the installed library and checks that the
// result is closer to the ramp than the noise was.
#include <sorvik/sorvik.h>

#include <cmath>
#include <cstdio>
#include <random>
#include <vector>

int main()
{
    const int rows = 40, cols = 48;
    std::vector<double> noisy(rows * cols);
    std::vector<float> clean(rows * cols), estimate(rows * cols);
    std::mt19937 random(7);
    std::normal_distribution<double> noise(0.0, 0.05);
    for (int j = 0; j < cols; ++j)
        for (int i = 0; i < rows; ++i) {
            clean[i + j * rows] = float(0.2 + 0.6 * j / cols);
            noisy[i + j * rows] = clean[i + j * rows] + noise(random);
        }
    sorvik::FilterParams params;
    params.rows = rows;
    params.cols = cols;
    params.searchRadius = 8;
    params.matchThreshold = 0.2f;
    params.sigma = 0.05f;
    const std::vector<double> window(64, 1.0);
    if (sorvik::runFilter(params, noisy.data(), clean.data(), window.data(), estimate.data()) !=
        sorvik::FilterStatus::ok)
        return 1;
    double before = 0, after = 0;
    for (int k = 0; k < rows * cols; ++k) {
        before += std::fabs(noisy[k] - clean[k]);
        after += std::fabs(estimate[k] - clean[k]);
    }
    std::printf("mean error %.4f before, %.4f after\n", before / (rows * cols), after / (rows * cols));
    return after < before / 2 ? 0 : 1;
}
