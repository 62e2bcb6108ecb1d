// Cost of one tensor eigen decomposition (the inner step of streamline tracking) and of one 4 x 4
// inversion.
#include <benchmark/benchmark.h>

#include <cmath>
#include <random>
#include <vector>

#include "math/MyMath.h"

namespace {

constexpr int kPoolSize = 1024;

// Tensors of diffusion-weighted imaging: one dominant eigenvalue along a random direction, two
// smaller ones, in mm^2/s, stored as xx, xy, xz, yy, yz, zz.
template <typename T>
std::vector<T> diffusionTensors() {
    std::mt19937 rng(2024);
    std::normal_distribution<double> normal(0.0, 1.0);
    std::uniform_real_distribution<double> jitter(0.9, 1.1);
    std::vector<T> tensors;
    for (int t = 0; t < kPoolSize; ++t) {
        double e[3] = {normal(rng), normal(rng), normal(rng)};
        const double length = std::sqrt(e[0] * e[0] + e[1] * e[1] + e[2] * e[2]);
        for (double& x : e)
            x /= length;
        const double major = 1.7e-3 * jitter(rng);
        const double minor = 0.3e-3 * jitter(rng);
        // minor * I + (major - minor) * e e^T, with a little anisotropy among the minor axes.
        const double m[3][3] = {
            {minor + (major - minor) * e[0] * e[0], (major - minor) * e[0] * e[1],
             (major - minor) * e[0] * e[2]},
            {0, minor * jitter(rng) + (major - minor) * e[1] * e[1], (major - minor) * e[1] * e[2]},
            {0, 0, minor + (major - minor) * e[2] * e[2]}};
        for (double x : {m[0][0], m[0][1], m[0][2], m[1][1], m[1][2], m[2][2]})
            tensors.push_back(static_cast<T>(x));
    }
    return tensors;
}

template <typename T>
void BM_ComputeEigens(benchmark::State& state) {
    const std::vector<T> tensors = diffusionTensors<T>();
    T eigenvalues[3];
    T rows[3][3];
    T* eigenvectors[3] = {rows[0], rows[1], rows[2]};
    int next = 0;
    for (auto _ : state) {
        CMyMath::ComputeEigens(&tensors[6 * next], eigenvalues, eigenvectors);
        benchmark::DoNotOptimize(eigenvalues);
        benchmark::DoNotOptimize(rows);
        next = (next + 1) % kPoolSize;
    }
}
BENCHMARK_TEMPLATE(BM_ComputeEigens, float);
BENCHMARK_TEMPLATE(BM_ComputeEigens, double);

void BM_InvertMatrix4x4(benchmark::State& state) {
    std::mt19937 rng(7);
    std::uniform_real_distribution<double> uniform(-1.0, 1.0);
    double matrices[kPoolSize][4][4];
    for (auto& matrix : matrices) {
        for (int i = 0; i < 4; ++i) {
            for (int j = 0; j < 4; ++j)
                matrix[i][j] = uniform(rng) + (i == j ? 4.0 : 0.0);
        }
    }
    double inverse[4][4];
    int next = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(CMyMath::InvertMatrix4x4(inverse, matrices[next]));
        benchmark::DoNotOptimize(inverse);
        next = (next + 1) % kPoolSize;
    }
}
BENCHMARK(BM_InvertMatrix4x4);

}  // namespace

BENCHMARK_MAIN();
