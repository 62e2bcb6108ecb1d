// A console reporter for benchmarks that compare against a baseline of the same run: it keeps
// the median of every benchmark and prints ratios of two medians after the run. Run with
// repetitions (the medians are the aggregates) and, so that load changes touch both sides alike,
// with random interleaving.
#ifndef FIBREJOIN_BENCH_MEDIAN_REPORTER_H
#define FIBREJOIN_BENCH_MEDIAN_REPORTER_H

#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

class MedianReporter : public benchmark::ConsoleReporter {
  public:
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs) {
            if (run.aggregate_name != "median") continue;
            const std::string& args = run.run_name.args;
            medians[run.run_name.function_name + (args.empty() ? "" : "/" + args)] =
                run.GetAdjustedRealTime();
        }
        ConsoleReporter::ReportRuns(runs);
    }
    // "what  a/b  (a ms / b ms)" for the medians of benchmarks a and b, when both ran.
    void PrintRatio(const char* what, const std::string& a, const std::string& b) const {
        const auto x = medians.find(a), y = medians.find(b);
        if (x == medians.end() || y == medians.end()) return;
        std::printf("%-52s %6.2f  (%.2f ms / %.2f ms)\n", what, x->second / y->second, x->second,
                    y->second);
    }
    std::map<std::string, double> medians;
};

// benchmark::Initialize with repetitions of different benchmarks alternating, so that a change in
// the machine's load touches a benchmark and its baseline alike; flags given on the command line
// come later and win.
inline void InitializeInterleaved(int argc, char** argv) {
    std::vector<char*> args(argv, argv + argc);
    static char interleaving[] = "--benchmark_enable_random_interleaving=true";
    args.insert(args.begin() + 1, interleaving);
    int count = int(args.size());
    benchmark::Initialize(&count, args.data());
}

#endif  // FIBREJOIN_BENCH_MEDIAN_REPORTER_H
