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
//
// BM_Command runs the fibretrack command end to end on the same field written as a NIfTI image
// with its mask: reading the image, tracking and writing the .trk, in a process of its own, whose
// peak resident size is "peak_rss_mib".
#include <benchmark/benchmark.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "tracking/Track.h"
#include "tracking/WholeVolumeTracker.h"
#include "tracking_phantom.h"
#include "volume/NiftiVolume.h"

extern char** environ;

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

// The phantom as tensor.nii and mask.nii in a folder of its own, written once.
const std::string& phantomFolder() {
    static const std::string folder = [] {
        char name[] = "/tmp/fibretrack-bench-XXXXXX";
        const std::string path = mkdtemp(name) ? name : "/tmp";
        const PhantomField& field = phantom();
        fibrejoin::Image image;
        image.dims = {kSize, kSize, kSize, 6};
        image.voxelSize = {kVoxel, kVoxel, kVoxel};
        image.voxelToWorld = {kVoxel, 0, 0, 0, 0, kVoxel, 0, 0, 0, 0, kVoxel, 0, 0, 0, 0, 1};
        const std::size_t voxels = std::size_t(kSize) * kSize * kSize;
        image.voxels.resize(6 * voxels);
        for (std::size_t v = 0; v < voxels; ++v)
            for (std::size_t c = 0; c < 6; ++c)
                image.voxels[c * voxels + v] = field.tensors[6 * v + c];
        std::string message;
        fibrejoin::WriteImage(path + "/tensor.nii", image, fibrejoin::VoxelType::Float32, message);
        image.dims[3] = 1;
        image.voxels.assign(field.mask.begin(), field.mask.end());
        fibrejoin::WriteImage(path + "/mask.nii", image, fibrejoin::VoxelType::UInt8, message);
        return path;
    }();
    return folder;
}

// Arguments: method code, threads.
void BM_Command(benchmark::State& state) {
    static const char* const kMethods[] = {"fact", "fixed", "rk2", "tensorline"};
    const std::string folder = phantomFolder();
    const std::vector<std::string> args = {FIBRETRACK_BIN,
                                           "-q",
                                           "-f",
                                           "--method",
                                           kMethods[state.range(0)],
                                           "--threads",
                                           std::to_string(state.range(1)),
                                           "--mask",
                                           folder + "/mask.nii",
                                           folder + "/tensor.nii",
                                           folder + "/out.trk"};
    std::vector<char*> argv;
    for (const std::string& arg : args)
        argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    std::size_t tracks = 0;
    double peakMiB = 0, childSeconds = 0;
    for (auto _ : state) {
        // A fresh output, as a first run writes it: replacing one (--force) adds the kernel's
        // freeing of the old file's pages, several ms for this one.
        state.PauseTiming();
        std::remove((folder + "/out.trk").c_str());
        state.ResumeTiming();
        pid_t child = 0;
        int status = 0;
        rusage usage{};
        if (posix_spawn(&child, argv[0], nullptr, nullptr, argv.data(), environ) != 0 ||
            wait4(child, &status, 0, &usage) != child || !WIFEXITED(status) ||
            WEXITSTATUS(status) != 0) {
            state.SkipWithError("fibretrack failed");
            break;
        }
        tracks += centres().size();
        peakMiB = std::max(peakMiB, static_cast<double>(usage.ru_maxrss) / 1024.0);
        childSeconds += static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                        static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) * 1e-6;
    }
    state.counters["tracks_per_s"] =
        benchmark::Counter(static_cast<double>(tracks), benchmark::Counter::kIsRate);
    state.counters["tracks_per_cpu_s"] = static_cast<double>(tracks) / childSeconds;
    state.counters["peak_rss_mib"] = peakMiB;
}
BENCHMARK(BM_Command)
    ->ArgNames({"method", "threads"})
    ->Args({0, 1})
    ->Args({0, 2})
    ->Args({2, 1})
    ->Args({3, 1})
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond)
    ->Repetitions(5)
    ->ReportAggregatesOnly(true);

}  // namespace

BENCHMARK_MAIN();
