// Whole-volume tracking through WholeVolumeTracker on the tracking phantom (tracking_phantom.h):
// tracks per second by method and thread count, against the library loop (CTrack::GetTrack per
// seed, one thread) on the same seeds, the voxel centres of the mask.
//
// A driver run includes decomposing every mask voxel once (FACT, Runge-Kutta, tensorline); its sink
// only counts points. "tracks_per_cpu_s" divides by the processor time of all threads, so that
// the cost of running on two threads shows on a loaded machine too. "peak_rss_mib" is the process's
// peak resident size so far: run one benchmark per process (--benchmark_filter) to read it for that
// case alone. The run with 16 seeds per voxel (jittered) shows that memory does not follow the
// number of seeds.
#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "tracking/Track.h"
#include "tracking/WholeVolumeTracker.h"
#include "tracking_phantom.h"

namespace {

using namespace tracking_phantom;
using fibrejoin::Seed;

PhantomField& phantom() {
    static PhantomField field;
    return field;
}

const std::vector<Seed>& centres() {
    static const std::vector<Seed> list = fibrejoin::SeedsFromMask(
        {kSize, kSize, kSize}, {kVoxel, kVoxel, kVoxel}, phantom().mask.data(), 1, 0);
    return list;
}

// User and system time of the whole process, all threads.
double processSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) * 1e-6;
}

double peakResidentMiB() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_maxrss) / 1024.0;  // kB on Linux
}

// Arguments: method code, threads, seeds per voxel.
void BM_Driver(benchmark::State& state) {
    PhantomField& field = phantom();
    const fibrejoin::TensorField view{{kSize, kSize, kSize},
                                      {kVoxel, kVoxel, kVoxel},
                                      field.tensors.data(),
                                      field.mask.data(),
                                      nullptr};
    fibrejoin::TrackingOptions options;
    options.method = static_cast<fibrejoin::TrackingMethod>(state.range(0));
    options.stepFactor = kStepFactor;
    options.maxAngleDegrees = kMaxAngle;
    options.threads = static_cast<int>(state.range(1));
    const fibrejoin::MaskSeeds seeds({kSize, kSize, kSize}, {kVoxel, kVoxel, kVoxel},
                                     field.mask.data(), static_cast<int>(state.range(2)), 1);
    int64_t points = 0;
    std::size_t tracks = 0;
    const double cpuStart = processSeconds();
    for (auto _ : state) {
        fibrejoin::TrackingProgress summary;
        std::string error;
        const bool ok = fibrejoin::WholeVolumeTracker().Run(
            view, seeds, 0, seeds.size(), options,
            [&points](std::size_t, const float*, int count) {
                points += count;
                return true;
            },
            nullptr, summary, error);
        if (!ok) state.SkipWithError(error.c_str());
        tracks += summary.seedCount;
    }
    state.counters["tracks_per_s"] =
        benchmark::Counter(static_cast<double>(tracks), benchmark::Counter::kIsRate);
    state.counters["points_per_track"] = static_cast<double>(points) / static_cast<double>(tracks);
    // Tracks per second of processor time over all threads: what a thread count would reach on
    // otherwise idle cores, the work being spread evenly.
    state.counters["tracks_per_cpu_s"] =
        static_cast<double>(tracks) / (processSeconds() - cpuStart);
    state.counters["peak_rss_mib"] = peakResidentMiB();
}
BENCHMARK(BM_Driver)
    ->ArgNames({"method", "threads", "per_voxel"})
    ->Args({0, 1, 1})
    ->Args({0, 2, 1})
    ->Args({2, 1, 1})
    ->Args({2, 2, 1})
    ->Args({3, 1, 1})
    ->Args({3, 2, 1})
    ->Args({0, 2, 16})
    ->Args({0, 1, 0})
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond)
    ->Repetitions(5)
    ->ReportAggregatesOnly(true);

// The library loop on the same seeds, one thread.
void BM_LibraryLoop(benchmark::State& state) {
    PhantomField& field = phantom();
    const int method = static_cast<int>(state.range(0));
    std::size_t tracks = 0;
    const double cpuStart = processSeconds();
    for (auto _ : state) {
        for (const Seed& seed : centres()) {
            float start[3] = {seed[0], seed[1], seed[2]};
            float* points = nullptr;
            int count = 0;
            if (CTrack::GetTrack(field.dims, field.voxel, field.tensors.data(), field.mask.data(),
                                 start, method, kStepFactor, kMaxAngle, nullptr, points, count, 0))
                delete[] points;
        }
        tracks += centres().size();
    }
    state.counters["tracks_per_s"] =
        benchmark::Counter(static_cast<double>(tracks), benchmark::Counter::kIsRate);
    state.counters["tracks_per_cpu_s"] =
        static_cast<double>(tracks) / (processSeconds() - cpuStart);
}
BENCHMARK(BM_LibraryLoop)
    ->ArgName("method")
    ->Arg(0)
    ->Arg(2)
    ->Arg(3)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond)
    ->Repetitions(5)
    ->ReportAggregatesOnly(true);

}  // namespace

BENCHMARK_MAIN();
