// Volume reading against plain standard I/O.
//
// ReadAsFloat of a 256 x 256 x 160 16-bit Analyze volume, in native and in foreign byte order,
// against the same work written plainly (one fread of the image into a buffer, one loop
// converting it into the same float array) and against the fread alone. Then CVolumeReader's
// Read of a whole frame in memory mode against file mode, for a frame-sequential and a
// voxel-interleaved file of two frames of that grid. Every file is read before timing, so the
// page cache is warm. Repetitions of the benchmarks run interleaved; the medians and their
// ratios are printed at the end.
// Usage: volume_bench [Google Benchmark flags]
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "median_reporter.h"
#include "utils/File.h"
#include "volume/AnalyzeVolume.h"
#include "volume/VolumeReader.h"

namespace {

constexpr int kDimX = 256, kDimY = 256, kDimZ = 160, kFrames = 2;
constexpr int64_t kVoxels = int64_t(kDimX) * kDimY * kDimZ;
constexpr int kRepetitions = 7;

std::string g_dir;

std::string Title(bool foreign) {
    return g_dir + (foreign ? "/foreign" : "/native");
}
std::string RawFile(bool interleaved) {
    return g_dir + (interleaved ? "/interleaved.raw" : "/frames.raw");
}

std::vector<short> Volume(int seed) {
    std::vector<short> values(kVoxels);
    uint32_t state = 12345u + uint32_t(seed);
    for (short& value : values) {
        state = state * 1664525u + 1013904223u;
        value = short(state >> 20);
    }
    return values;
}

void ReverseFile(const std::string& path, const std::vector<std::pair<size_t, size_t>>& fields,
                 size_t width) {
    const fibrejoin::UniqueFile owned = fibrejoin::OpenFile(path, "r+b");
    FILE* file = owned.get();
    if (!file) std::abort();
    std::vector<unsigned char> bytes(size_t(fibrejoin::FileSize(file)));
    if (std::fread(bytes.data(), 1, bytes.size(), file) != bytes.size()) std::abort();
    for (const auto& [offset, size] : fields)
        std::reverse(bytes.begin() + offset, bytes.begin() + offset + size);
    for (size_t i = 0; width > 1 && i + width <= bytes.size(); i += width)
        std::reverse(bytes.begin() + i, bytes.begin() + i + width);
    std::rewind(file);
    if (!fibrejoin::WriteAll(file, bytes.data(), bytes.size())) std::abort();
}

bool CreateFiles() {
    char name[] = "/tmp/fibrejoin-volume-bench-XXXXXX";
    if (!mkdtemp(name)) return false;
    g_dir = name;
    const std::vector<short> volume = Volume(0);
    const int sizes[3] = {kDimX, kDimY, kDimZ};
    const float voxel[3] = {1, 1, 1};
    for (bool foreign : {false, true}) {
        const std::string title = Title(foreign);
        if (!CAnalyzeVolume::WriteVolume(title.c_str(), sizes, voxel, volume.data(), 4)) {
            return false;
        }
    }
    ReverseFile(Title(true) + ".hdr",
                {{0, 4},
                 {32, 4},
                 {40, 2},
                 {42, 2},
                 {44, 2},
                 {46, 2},
                 {48, 2},
                 {70, 2},
                 {72, 2},
                 {80, 4},
                 {84, 4},
                 {88, 4}},
                1);
    ReverseFile(Title(true) + ".img", {}, 2);

    // Two frames, once frame after frame and once with the frames of a voxel side by side.
    const std::vector<short> second = Volume(1);
    std::vector<short> frames(volume), interleaved;
    frames.insert(frames.end(), second.begin(), second.end());
    for (int64_t i = 0; i < kVoxels; ++i) {
        interleaved.push_back(volume[i]);
        interleaved.push_back(second[i]);
    }
    return CVolumeReader::WriteRaw(RawFile(false).c_str(), frames.data(), 2 * kVoxels) &&
           CVolumeReader::WriteRaw(RawFile(true).c_str(), interleaved.data(), 2 * kVoxels);
}

// One fread of the whole image into a fresh buffer.
std::unique_ptr<unsigned char[]> ReadImage(const std::string& path, size_t bytes) {
    std::unique_ptr<unsigned char[]> buffer(new unsigned char[bytes]);
    const fibrejoin::UniqueFile file = fibrejoin::OpenFile(path, "rb");
    if (!file || std::fread(buffer.get(), 1, bytes, file.get()) != bytes) std::abort();
    return buffer;
}

void BM_ReadAsFloat(benchmark::State& state) {
    const std::string title = Title(state.range(0) != 0);
    std::vector<float> out(kVoxels);
    for (auto _ : state) {
        if (!CAnalyzeVolume::ReadAsFloat(title.c_str(), out.data(), 0, 0)) std::abort();
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(state.iterations() * kVoxels * 2);
}

void BM_PlainFreadAndConversion(benchmark::State& state) {
    const bool foreign = state.range(0) != 0;
    const std::string image = Title(foreign) + ".img";
    std::vector<float> out(kVoxels);
    for (auto _ : state) {
        const std::unique_ptr<unsigned char[]> bytes = ReadImage(image, size_t(kVoxels) * 2);
        for (int64_t i = 0; i < kVoxels; ++i) {
            uint16_t word;
            std::memcpy(&word, bytes.get() + 2 * i, 2);
            if (foreign) word = __builtin_bswap16(word);
            out[i] = float(int16_t(word));
        }
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(state.iterations() * kVoxels * 2);
}

void BM_PlainFread(benchmark::State& state) {
    const std::string image = Title(false) + ".img";
    for (auto _ : state) {
        benchmark::DoNotOptimize(ReadImage(image, size_t(kVoxels) * 2));
    }
    state.SetBytesProcessed(state.iterations() * kVoxels * 2);
}

// Arguments: interleaved layout (0/1), memory mode (0/1).
void BM_ReadFrame(benchmark::State& state) {
    const int interleaved = int(state.range(0));
    const int inMemory = int(state.range(1));
    CVolumeReader reader;
    if (!reader.Open(RawFile(interleaved).c_str(), kDimX, kDimY, kDimZ, 1, kFrames, 2, interleaved,
                     inMemory)) {
        state.SkipWithError("can not open the raw file");
        return;
    }
    std::vector<short> frame(kVoxels);
    for (auto _ : state) {
        if (!reader.Read(frame.data(), 1)) std::abort();
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(state.iterations() * kVoxels * 2);
}

void Common(benchmark::internal::Benchmark* b) {
    b->Unit(benchmark::kMillisecond)->Repetitions(kRepetitions)->ReportAggregatesOnly(true);
}

BENCHMARK(BM_ReadAsFloat)->ArgName("foreign")->Arg(0)->Arg(1)->Apply(Common);
BENCHMARK(BM_PlainFreadAndConversion)->ArgName("foreign")->Arg(0)->Arg(1)->Apply(Common);
BENCHMARK(BM_PlainFread)->Apply(Common);
BENCHMARK(BM_ReadFrame)
    ->ArgNames({"interleaved", "memory"})
    ->Args({0, 0})
    ->Args({0, 1})
    ->Args({1, 0})
    ->Args({1, 1})
    ->Apply(Common);

}  // namespace

int main(int argc, char** argv) {
    InitializeInterleaved(argc, argv);
    if (!CreateFiles()) {
        std::fprintf(stderr, "can not write the volume files\n");
        return 1;
    }
    MedianReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    std::printf("\nRatios of medians\n");
    reporter.PrintRatio("ReadAsFloat / plain fread + conversion, native",
                        "BM_ReadAsFloat/foreign:0", "BM_PlainFreadAndConversion/foreign:0");
    reporter.PrintRatio("ReadAsFloat / plain fread + conversion, foreign",
                        "BM_ReadAsFloat/foreign:1", "BM_PlainFreadAndConversion/foreign:1");
    reporter.PrintRatio("ReadAsFloat / fread alone, native", "BM_ReadAsFloat/foreign:0",
                        "BM_PlainFread");
    reporter.PrintRatio("ReadAsFloat / fread alone, foreign", "BM_ReadAsFloat/foreign:1",
                        "BM_PlainFread");
    reporter.PrintRatio("Read frame, frame-sequential: file / memory mode",
                        "BM_ReadFrame/interleaved:0/memory:0",
                        "BM_ReadFrame/interleaved:0/memory:1");
    reporter.PrintRatio("Read frame, voxel-interleaved: file / memory mode",
                        "BM_ReadFrame/interleaved:1/memory:0",
                        "BM_ReadFrame/interleaved:1/memory:1");
    std::error_code ignored;
    std::filesystem::remove_all(g_dir, ignored);
    return 0;
}
