// Merge throughput against the floor of copying the bytes.
//
// Writes two track files of 256 MiB in all (100-point tracks, 3 scalars, 2 properties), then
// times `cat IN1 IN2 > OUT` and `fibrejoin IN1 IN2 OUT` alternately as child processes, after one
// warm-up run of each, and prints the medians, their ratio, and the merge's peak resident memory.
// Usage: merge_bench [total MiB, default 256] [runs, default 11]
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "trackio/TrackIO.h"

extern char** environ;

namespace {

struct Sample {
    double seconds;
    long peak_kib;
};

// Runs a command (stdout optionally to a file) and measures its wall time and peak memory.
Sample Time(const std::vector<std::string>& command, const std::string& stdout_path = "") {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (!stdout_path.empty()) {
        posix_spawn_file_actions_addopen(&actions, 1, stdout_path.c_str(),
                                         O_WRONLY | O_CREAT | O_TRUNC, 0644);
    }
    std::vector<char*> argv;
    for (const std::string& arg : command)
        argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    const auto start = std::chrono::steady_clock::now();
    pid_t pid;
    if (posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) {
        std::fprintf(stderr, "can not run %s\n", argv[0]);
        std::exit(1);
    }
    int status = 0;
    rusage usage{};
    wait4(pid, &status, 0, &usage);
    const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
    posix_spawn_file_actions_destroy(&actions);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        std::fprintf(stderr, "%s failed\n", argv[0]);
        std::exit(1);
    }
    return {elapsed.count(), usage.ru_maxrss};
}

bool WriteInput(const std::string& path, int64_t bytes, float seed) {
    const int points = 100;
    TRACK_HEADER header;
    header.dimension[0] = header.dimension[1] = header.dimension[2] = 128;
    header.voxel_size[0] = header.voxel_size[1] = header.voxel_size[2] = 1.5f;
    header.scalar_count = 3;
    header.property_count = 2;
    CTrackWriter writer;
    if (!writer.Initialize(path.c_str(), header)) return false;
    std::vector<float> block((3 + 3) * points + 2);
    const int64_t record = 4 + 4 * int64_t(block.size());
    for (int64_t written = 1000; written + record <= bytes; written += record) {
        for (size_t i = 0; i < block.size(); ++i)
            block[i] = seed + float(i) * 0.5f;
        seed += 1.0f;
        if (!writer.WriteNextTrack(points, block.data())) return false;
    }
    return writer.Close();
}

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
    const int64_t total_mib = argc > 1 ? std::atoll(argv[1]) : 256;
    const int runs = argc > 2 ? std::max(1, std::atoi(argv[2])) : 11;

    char pattern[] = "/tmp/fibrejoin-bench-XXXXXX";
    if (!mkdtemp(pattern)) return 1;
    const std::string dir = pattern;
    const std::string a = dir + "/a.trk", b = dir + "/b.trk", out = dir + "/out.trk";
    if (!WriteInput(a, total_mib << 19, 0.0f) || !WriteInput(b, total_mib << 19, 0.25f)) {
        std::fprintf(stderr, "can not write the inputs in %s\n", dir.c_str());
        return 1;
    }
    const std::vector<std::string> cat = {"cat", a, b};
    const std::vector<std::string> merge = {FIBREJOIN_BIN, a, b, out};

    Time(cat, out);  // warm-up: inputs and output in the page cache
    Time(merge);
    std::vector<double> cat_seconds, merge_seconds;
    long peak_kib = 0;
    // Alternate which command goes first, so that neither always meets the other's dirty pages.
    for (int run = 0; run < runs; ++run) {
        for (int turn = 0; turn < 2; ++turn) {
            std::filesystem::remove(out);
            if ((run + turn) % 2 == 0) {
                cat_seconds.push_back(Time(cat, out).seconds);
            } else {
                const Sample sample = Time(merge);
                merge_seconds.push_back(sample.seconds);
                peak_kib = std::max(peak_kib, sample.peak_kib);
            }
        }
    }
    const double input_mib =
        double(std::filesystem::file_size(a) + std::filesystem::file_size(b)) / (1 << 20);
    std::filesystem::remove_all(dir);

    const double cat_median = Median(cat_seconds), merge_median = Median(merge_seconds);
    std::printf(
        "inputs               %.0f MiB in two files, 100-point tracks, 3 scalars, 2 props\n",
        input_mib);
    std::printf("cat (median of %d)    %.3f s  %.0f MiB/s\n", runs, cat_median,
                input_mib / cat_median);
    std::printf("merge (median of %d)  %.3f s  %.0f MiB/s\n", runs, merge_median,
                input_mib / merge_median);
    std::printf("merge / cat          %.2f  (target at most 1.5)\n", merge_median / cat_median);
    std::printf("merge peak memory    %.1f MiB  (target at most 32)\n", peak_kib / 1024.0);
    return 0;
}
