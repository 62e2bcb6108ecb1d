// Whole tracks per second for each propagation method, and the share of that time spent in the
// tensor decompositions.
//
// The field is the tracking phantom (tracking_phantom.h); every mask voxel seeds one track from its
// centre.
//
// Each iteration first tracks from every seed, then makes as many decompositions as the method
// made, on tensors of the voxels the tracks passed. The time reported is that of the tracks;
// "eigen_share" is the decomposition time over it, and "propagation_per_decomposition" what the
// rest of the tracking costs relative to the decompositions (below 1: the decompositions
// dominate). The decomposition counts per track follow the propagators: FACT and tensorline
// n + 3 for n points (the seed twice, every voxel entered including the two where the halves end),
// the fixed step n + 1 (one interpolation per stored point and the seed of the backward half),
// Runge-Kutta 2n + 4 (two per step, the seed twice); a half ending by the angle test makes one
// fewer, which the field makes rare.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <vector>

#include "math/MyMath.h"
#include "tracking/Track.h"
#include "tracking_phantom.h"

namespace {

using namespace tracking_phantom;

struct Phantom : PhantomField {
    // Tracks from every seed; appends to tensorsUsed the tensors of the decompositions the
    // method makes (by the counts above) when it is given. Returns the number of points.
    int64_t TrackAll(int method, std::vector<const float*>* tensorsUsed) {
        int64_t points = 0;
        for (const std::array<int, 3>& seed : seeds) {
            int seedVoxel[3] = {seed[0], seed[1], seed[2]};
            float* track = nullptr;
            int count = 0;
            const int made =
                CTrack::GetTrack(dims, voxel, tensors.data(), mask.data(), seedVoxel, method,
                                 kStepFactor, kMaxAngle, nullptr, track, count, 0);
            points += count;
            if (tensorsUsed != nullptr)
                Record(method, seed, made ? track : nullptr, count, *tensorsUsed);
            if (made) delete[] track;
        }
        return points;
    }

    // The tensors of the voxels of the track's points (the seed's when there is no track), as
    // many as the method decomposes.
    void Record(int method, const std::array<int, 3>& seed, const float* track, int count,
                std::vector<const float*>& tensorsUsed) const {
        auto tensorAt = [&](int n) {
            int index[3];
            for (int a = 0; a < 3; ++a)
                index[a] = track == nullptr
                               ? seed[a]
                               : std::min(kSize - 1,
                                          std::max(0, static_cast<int>(track[3 * n + a] / kVoxel)));
            return tensors.data() + 6 * ((index[2] * kSize + index[1]) * kSize + index[0]);
        };
        const int decompositions = method == 1   ? count + 1
                                   : method == 2 ? 2 * count + 4
                                                 : count + 3;
        for (int n = 0; n < decompositions; ++n)
            tensorsUsed.push_back(tensorAt(count > 0 ? n % count : 0));
    }
};

Phantom& phantom() {
    static Phantom field;
    return field;
}

void BM_WholeTracks(benchmark::State& state) {
    const int method = static_cast<int>(state.range(0));
    Phantom& field = phantom();
    std::vector<const float*> tensorsUsed;
    field.TrackAll(method, &tensorsUsed);
    float eigenvalues[3], rows[3][3], *eigenvectors[3] = {rows[0], rows[1], rows[2]};

    using Clock = std::chrono::steady_clock;
    double trackSeconds = 0, eigenSeconds = 0;
    int64_t points = 0;
    for (auto _ : state) {
        const Clock::time_point start = Clock::now();
        points += field.TrackAll(method, nullptr);
        const Clock::time_point tracked = Clock::now();
        // Along a track each decomposition waits for the previous one (its direction decides the
        // next voxel). The offset is zero but known only when the previous call is done, so
        // these calls wait for each other too.
        int offset = 0;
        for (const float* tensor : tensorsUsed) {
            CMyMath::ComputeEigens(tensor + offset, eigenvalues, eigenvectors);
            offset = static_cast<int>(eigenvalues[0] * 0.0f);
        }
        benchmark::DoNotOptimize(rows);
        const Clock::time_point decomposed = Clock::now();
        const double seconds = std::chrono::duration<double>(tracked - start).count();
        trackSeconds += seconds;
        eigenSeconds += std::chrono::duration<double>(decomposed - tracked).count();
        state.SetIterationTime(seconds);
    }
    const double tracks = static_cast<double>(state.iterations()) * field.seeds.size();
    state.counters["tracks_per_s"] = tracks / trackSeconds;
    state.counters["points_per_track"] = static_cast<double>(points) / tracks;
    state.counters["decompositions_per_track"] =
        static_cast<double>(tensorsUsed.size()) / field.seeds.size();
    state.counters["eigen_share"] = eigenSeconds / trackSeconds;
    state.counters["propagation_per_decomposition"] = (trackSeconds - eigenSeconds) / eigenSeconds;
}
// 0 FACT, 1 fixed step, 2 Runge-Kutta, 3 tensorline.
BENCHMARK(BM_WholeTracks)
    ->DenseRange(0, 3)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->Repetitions(5)
    ->ReportAggregatesOnly(true);

}  // namespace

BENCHMARK_MAIN();
