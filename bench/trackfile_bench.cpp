// Track file throughput: streaming reads, whole-file loads and checked writes of .trk and .tck,
// beside the floor of reading the same bytes in large blocks. The files (100-point tracks, about
// 64 MiB each) are written once into a scratch folder.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <string>
#include <vector>

#include "../tests/track_files.h"
#include "trackio/TrackFile.h"

namespace {

using namespace fibrejoin;

constexpr int kTracks = 56000;  // 100 points each: 64 MiB of .trk

const testing_files::TempDir& Folder() {
    static const testing_files::TempDir folder;
    return folder;
}

TrackFileHeader Header() {
    TrackFileHeader header = MakeTrackFileHeader({96, 96, 60}, {2.0f, 2.0f, 2.0f});
    header.voxelToWorld[3] = -96;
    header.voxelToWorld[7] = -110;
    return header;
}

Track Sample(int t) {
    Track track;
    for (int i = 0; i < 100; ++i)
        track.points.insert(track.points.end(), {0.5f * i, 1.0f + t % 97, 60.0f - 0.25f * i});
    return track;
}

bool WriteFile(const std::string& path) {
    TrackFileWriter writer;
    std::string message;
    if (!writer.Open(path, Header(), true, message)) return false;
    for (int t = 0; t < kTracks; ++t)
        writer.write(Sample(t));
    return writer.Close(message);
}

// The file of the given extension, written on first use.
const std::string& File(const std::string& extension) {
    static std::string trk, tck;
    std::string& path = extension == "trk" ? trk : tck;
    if (path.empty()) {
        path = Folder().File("tracks." + extension);
        if (!WriteFile(path)) std::abort();
    }
    return path;
}

void ReadBytes(benchmark::State& state, const std::string& extension) {
    std::vector<char> block(1 << 20);
    int64_t bytes = 0;
    for (auto _ : state) {
        FILE* file = std::fopen(File(extension).c_str(), "rb");
        for (size_t got; (got = std::fread(block.data(), 1, block.size(), file)) > 0;)
            bytes += int64_t(got);
        std::fclose(file);
    }
    state.SetBytesProcessed(bytes);
}

void Stream(benchmark::State& state, const std::string& extension) {
    int64_t bytes = 0;
    for (auto _ : state) {
        TrackFileReader reader;
        std::string message;
        reader.Open(File(extension), message);
        Track track;
        while (reader.next(track))
            benchmark::DoNotOptimize(track.points.data());
        bytes += reader.fileSize();
    }
    state.SetBytesProcessed(bytes);
}

void Load(benchmark::State& state, const std::string& extension) {
    int64_t bytes = 0;
    for (auto _ : state) {
        TrackFileHeader header;
        TrackSet tracks;
        std::string message;
        LoadTracks(File(extension), header, tracks, message);
        bytes += int64_t(tracks.points.size() * sizeof(float));
    }
    state.SetBytesProcessed(bytes);
}

void Write(benchmark::State& state, const std::string& extension) {
    const std::string path = Folder().File("written." + extension);
    int64_t bytes = 0;
    for (auto _ : state) {
        WriteFile(path);
        bytes += int64_t(kTracks) * 100 * 12;
    }
    state.SetBytesProcessed(bytes);
}

}  // namespace

BENCHMARK_CAPTURE(ReadBytes, trk, "trk")->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(Stream, trk, "trk")->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(Load, trk, "trk")->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(Write, trk, "trk")->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(ReadBytes, tck, "tck")->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(Stream, tck, "tck")->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(Load, tck, "tck")->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(Write, tck, "tck")->Unit(benchmark::kMillisecond)->UseRealTime();

BENCHMARK_MAIN();
