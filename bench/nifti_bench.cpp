// NIfTI reading against the plainest ways of getting the same bytes.
//
// A 256 MiB float32 image (256 x 256 x 256, 4 volumes) as .nii, read with ReadImage against one
// fread of the file's bytes into a fresh buffer; the same image as .nii.gz, read with ReadImage
// against `gzip -dc` of it to /dev/null. Files are read once before timing (warm page cache);
// repetitions run interleaved and the ratios of the medians are printed at the end, with the
// growth of the peak resident memory of one read in a fresh process.
// Usage: nifti_bench [Google Benchmark flags]
#include <benchmark/benchmark.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "median_reporter.h"
#include "volume/NiftiVolume.h"

namespace {

constexpr int64_t kSide = 256, kVolumes = 4;
constexpr int kRepetitions = 5;

std::string g_dir;

std::string File(bool compressed) {
    return g_dir + (compressed ? "/image.nii.gz" : "/image.nii");
}

// Written by a child process so that this one stays small for the memory measurement.
bool CreateFiles() {
    char name[] = "/tmp/fibrejoin-nifti-bench-XXXXXX";
    if (!mkdtemp(name)) return false;
    g_dir = name;
    const pid_t child = fork();
    if (child == 0) {
        fibrejoin::Image image;
        image.dims = {kSide, kSide, kSide, kVolumes};
        image.voxelSize = {1, 1, 1};
        image.voxels.resize(size_t(kSide * kSide * kSide * kVolumes));
        // 12-bit noise as floats: compresses about as well as a real diffusion image.
        uint32_t state = 12345u;
        for (float& value : image.voxels) {
            state = state * 1664525u + 1013904223u;
            value = float(state >> 20) * 0.5f;
        }
        std::string message;
        const bool written =
            fibrejoin::WriteImage(File(false), image, fibrejoin::VoxelType::Float32, message) &&
            fibrejoin::WriteImage(File(true), image, fibrejoin::VoxelType::Float32, message);
        if (!written) std::fprintf(stderr, "%s\n", message.c_str());
        _exit(written ? 0 : 1);
    }
    int status = 0;
    return child > 0 && waitpid(child, &status, 0) == child && WIFEXITED(status) &&
           WEXITSTATUS(status) == 0;
}

int64_t FileBytes(const std::string& path) {
    return int64_t(std::filesystem::file_size(path));
}

void BM_ReadImage(benchmark::State& state) {
    const std::string path = File(state.range(0) != 0);
    for (auto _ : state) {
        fibrejoin::Image image;
        std::string message;
        if (!fibrejoin::ReadImage(path, image, message)) std::abort();
        benchmark::DoNotOptimize(image.voxels.data());
    }
    state.SetBytesProcessed(state.iterations() * FileBytes(File(false)));
}

void BM_Fread(benchmark::State& state) {
    const std::string path = File(false);
    const size_t bytes = size_t(FileBytes(path));
    for (auto _ : state) {
        std::unique_ptr<unsigned char[]> buffer(new unsigned char[bytes]);
        FILE* file = std::fopen(path.c_str(), "rb");
        if (!file || std::fread(buffer.get(), 1, bytes, file) != bytes) std::abort();
        std::fclose(file);
        benchmark::DoNotOptimize(buffer.get());
    }
    state.SetBytesProcessed(state.iterations() * int64_t(bytes));
}

void BM_GzipToNull(benchmark::State& state) {
    const std::string command = "gzip -dc " + File(true) + " > /dev/null";
    for (auto _ : state) {
        if (std::system(command.c_str()) != 0) std::abort();
    }
    state.SetBytesProcessed(state.iterations() * FileBytes(File(false)));
}

void Common(benchmark::internal::Benchmark* b) {
    b->Unit(benchmark::kMillisecond)->Repetitions(kRepetitions)->ReportAggregatesOnly(true);
    b->UseRealTime();
}

BENCHMARK(BM_ReadImage)->ArgName("gz")->Arg(0)->Arg(1)->Apply(Common);
BENCHMARK(BM_Fread)->Apply(Common);
BENCHMARK(BM_GzipToNull)->Apply(Common);

// The peak resident size (VmHWM) of this process in KiB.
int64_t PeakKiB() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmHWM:", 0) == 0) return std::atoll(line.c_str() + 6);
    return -1;
}

// How far one read raises the peak resident size of a fresh child process, in MiB.
double PeakGrowthMiB(const std::string& path) {
    int pipeEnds[2];
    if (pipe(pipeEnds) != 0) return -1;
    const pid_t child = fork();
    if (child == 0) {
        const int64_t before = PeakKiB();
        fibrejoin::Image image;
        std::string message;
        const bool read = fibrejoin::ReadImage(path, image, message);
        const int64_t growth = read ? PeakKiB() - before : -1024;
        if (write(pipeEnds[1], &growth, sizeof growth) != sizeof growth) _exit(1);
        _exit(0);
    }
    int64_t growth = -1024;
    close(pipeEnds[1]);
    if (read(pipeEnds[0], &growth, sizeof growth) != sizeof growth) growth = -1024;
    close(pipeEnds[0]);
    waitpid(child, nullptr, 0);
    return double(growth) / 1024;
}

}  // namespace

int main(int argc, char** argv) {
    InitializeInterleaved(argc, argv);
    if (!CreateFiles()) {
        std::fprintf(stderr, "can not write the image files\n");
        return 1;
    }
    const double image = double(kSide * kSide * kSide * kVolumes * 4) / (1 << 20);
    std::printf("image %.0f MiB as float; .nii %.1f MiB, .nii.gz %.1f MiB\n", image,
                double(FileBytes(File(false))) / (1 << 20),
                double(FileBytes(File(true))) / (1 << 20));
    std::printf("peak resident growth of one read: .nii %.1f MiB, .nii.gz %.1f MiB\n",
                PeakGrowthMiB(File(false)), PeakGrowthMiB(File(true)));
    MedianReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    std::printf("\nRatios of medians\n");
    reporter.PrintRatio("ReadImage .nii / fread of its bytes", "BM_ReadImage/gz:0", "BM_Fread");
    reporter.PrintRatio("ReadImage .nii.gz / gzip -dc", "BM_ReadImage/gz:1", "BM_GzipToNull");
    std::error_code ignored;
    std::filesystem::remove_all(g_dir, ignored);
    return 0;
}
