// Throughput of the histogram, the automatic threshold and the volume smoothing, in samples or
// voxels per second (items_per_second; the median of five repetitions is reported).
#include "math/MyMath.h"

#include <benchmark/benchmark.h>

#include <cstdint>
#include <vector>

namespace {

// Deterministic noise in 0 .. 255.
class Noise {
  public:
    int next() {
        state_ = state_ * 6364136223846793005ULL + 1442695040888963407ULL;
        return static_cast<int>(state_ >> 56);
    }

  private:
    uint64_t state_ = 42;
};

// A bright ball on a noisy dark background, like a head in an image volume.
template <typename T>
std::vector<T> ballVolume(int dimX, int dimY, int dimZ, int background, int object) {
    std::vector<T> volume(static_cast<std::size_t>(dimX) * dimY * dimZ);
    Noise noise;
    const double radius = 0.4 * dimY;
    std::size_t i = 0;
    for (int z = 0; z < dimZ; ++z) {
        for (int y = 0; y < dimY; ++y) {
            for (int x = 0; x < dimX; ++x) {
                const double dx = x - dimX / 2.0, dy = y - dimY / 2.0, dz = z - dimZ / 2.0;
                const bool inside = dx * dx + dy * dy + dz * dz < radius * radius;
                volume[i++] = static_cast<T>((inside ? object : background) + noise.next());
            }
        }
    }
    return volume;
}

std::vector<short>& headVolume() {
    static std::vector<short> volume = ballVolume<short>(256, 256, 160, 20, 900);
    return volume;
}

void BM_Histogram(benchmark::State& state) {
    const std::vector<short>& volume = headVolume();
    const auto n = static_cast<int64_t>(volume.size());
    std::vector<int64_t> counts(256);
    double range[2];
    for (auto _ : state)
        benchmark::DoNotOptimize(CMyMath::Histogram(volume.data(), n, counts.data(), 256, range));
    state.SetItemsProcessed(state.iterations() * n);
}
BENCHMARK(BM_Histogram)->Unit(benchmark::kMillisecond)->Repetitions(5)->ReportAggregatesOnly(true);

void BM_GetAutoThreshold(benchmark::State& state) {
    std::vector<short>& volume = headVolume();
    const auto n = static_cast<int64_t>(volume.size());
    for (auto _ : state)
        benchmark::DoNotOptimize(CMyMath::GetAutoThreshold(volume.data(), n, 50));
    state.SetItemsProcessed(state.iterations() * n);
}
BENCHMARK(BM_GetAutoThreshold)
    ->Unit(benchmark::kMillisecond)
    ->Repetitions(5)
    ->ReportAggregatesOnly(true);

void BM_SmoothVolume(benchmark::State& state) {
    const std::vector<float> volume = ballVolume<float>(128, 128, 128, 20, 900);
    std::vector<float> output(volume.size());
    int dim[3] = {128, 128, 128};
    for (auto _ : state) {
        CMyMath::SmoothVolume(volume.data(), dim, 5, 1.0, output.data());
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(volume.size()));
}
BENCHMARK(BM_SmoothVolume)
    ->Unit(benchmark::kMillisecond)
    ->Repetitions(5)
    ->ReportAggregatesOnly(true);

}  // namespace

BENCHMARK_MAIN();
