// fibretrack TENSOR OUT: deterministic whole-brain tracking from a tensor image, on every core.
//
// Reads a NIfTI or Analyze tensor image, builds the stopping mask (a mask image, an FA threshold
// or both), seeds every seed voxel (optionally several jittered seeds each, optionally one shard
// of the seed list) and writes the kept tracks in seed order to a .trk or .tck file. The output
// is written under a temporary name and renamed at the end.
#include <chrono>
#include <cmath>
#include <cstdio>
#include <iostream>
#include <map>
#include <string>
#include <thread>

#include "commands/CommandLine.h"
#include "tracking/WholeVolumeTracker.h"
#include "trackio/TrackFile.h"
#include "volume/NiftiVolume.h"

namespace fibrejoin {
namespace {

struct Arguments {
    std::string tensorPath, outputPath;
    std::string order = "upper", frame = "voxel", method = "fact";
    float stepFactor = 0.5f, angle = 45.0f;
    int eigenvector = 1;
    std::string angleScalePath, maskPath, seedsPath;
    float faThreshold = -1.0f;  // negative: not given
    int seedsPerVoxel = 1;
    uint64_t rngSeed = 0;
    std::string shard;
    float minLength = 0.0f, maxLength = INFINITY;
    int threads = 0;
    bool quiet = false, force = false;
};

const std::map<std::string, TensorOrder> kOrders{{"upper", TensorOrder::Upper},
                                                 {"lower", TensorOrder::Lower},
                                                 {"diagonal-first", TensorOrder::DiagonalFirst}};
const std::map<std::string, TensorFrame> kFrames{{"voxel", TensorFrame::Voxel},
                                                 {"world", TensorFrame::World}};
const std::map<std::string, TrackingMethod> kMethods{{"fact", TrackingMethod::Fact},
                                                     {"fixed", TrackingMethod::FixedStep},
                                                     {"rk2", TrackingMethod::RungeKutta2},
                                                     {"tensorline", TrackingMethod::TensorLine}};

template <typename Mode>
std::vector<std::string> Names(const std::map<std::string, Mode>& modes) {
    std::vector<std::string> names;
    for (const auto& entry : modes)
        names.push_back(entry.first);
    return names;
}

void Declare(CLI::App& app, Arguments& a) {
    AddVersionFlag(app);
    app.add_option("TENSOR", a.tensorPath, "Tensor image (NIfTI .nii/.nii.gz or Analyze .hdr/.img)")
        ->required();
    app.add_option("OUT", a.outputPath, "Output track file, .trk or .tck by extension")->required();
    app.add_option("--tensor-order", a.order, "Order of the six tensor volumes")
        ->check(CLI::IsMember(Names(kOrders)))
        ->option_text("upper|lower|diagonal-first (default: upper)");
    app.add_option("--tensor-frame", a.frame, "Axes the tensors are given in")
        ->check(CLI::IsMember(Names(kFrames)))
        ->option_text("voxel|world (default: voxel)");
    app.add_option("--method", a.method, "Propagation method")
        ->check(CLI::IsMember(Names(kMethods)))
        ->option_text("fact|fixed|rk2|tensorline (default: fact)");
    app.add_option("--step-factor", a.stepFactor, "Step as a fraction of the smallest voxel edge")
        ->check(CLI::Range(1e-3f, 10.0f))
        ->capture_default_str();
    app.add_option("--angle", a.angle, "Largest turn between steps, in degrees")
        ->check(CLI::Range(0.0f, 180.0f))
        ->capture_default_str();
    app.add_option("--eigenvector", a.eigenvector, "Eigenvector to follow (1: principal)")
        ->check(CLI::IsMember({1, 2, 3}))
        ->capture_default_str();
    app.add_option("--angle-scale", a.angleScalePath, "Image scaling the angle per voxel");
    app.add_option("--mask", a.maskPath, "Tracking mask image (non-zero voxels may be entered)");
    app.add_option("--fa-threshold", a.faThreshold,
                   "Stop where FA falls below this (default 0.1 without --mask)")
        ->check(CLI::Range(0.0f, 1.0f));
    app.add_option("--seeds", a.seedsPath,
                   "Seed image (non-zero voxels; default: the tracking mask)");
    app.add_option("--seeds-per-voxel", a.seedsPerVoxel,
                   "Seeds per voxel; more than 1 jitters them inside the voxel")
        ->check(CLI::Range(1, 1000))
        ->capture_default_str();
    app.add_option("--rng-seed", a.rngSeed, "Seed of the jitter")->capture_default_str();
    app.add_option("--shard", a.shard, "Track only the K-th of N blocks of seeds (K/N, K from 0)");
    app.add_option("--min-length", a.minLength, "Drop tracks shorter than this (mm)")
        ->check(CLI::NonNegativeNumber);
    app.add_option("--max-length", a.maxLength, "Drop tracks longer than this (mm)")
        ->check(CLI::NonNegativeNumber);
    app.add_option("--threads", a.threads, "Worker threads (default: all cores)")
        ->check(CLI::Range(1, 1024));
    app.add_flag("-q,--quiet", a.quiet, "No progress and no summary");
    app.add_flag("-f,--force", a.force, "Replace an existing output");
}

// One value per voxel of the tensor grid from the image at path: the first volume, checked
// against the grid. what names the image's role in messages.
bool ReadGridImage(const std::string& path, const TensorImage& grid, const char* what, Image& image,
                   std::string& message) {
    if (!ReadImage(path, image, message)) return false;
    for (int axis = 0; axis < 3; ++axis) {
        if (image.dims[axis] != grid.dims[axis]) {
            message = path + ": the " + what + " grid (" + std::to_string(image.dims[0]) + "x" +
                      std::to_string(image.dims[1]) + "x" + std::to_string(image.dims[2]) +
                      ") differs from the tensor grid (" + std::to_string(grid.dims[0]) + "x" +
                      std::to_string(grid.dims[1]) + "x" + std::to_string(grid.dims[2]) + ")";
            return false;
        }
    }
    image.voxels.resize(size_t(image.VoxelsPerVolume()));
    return true;
}

// Non-zero voxels of a mask image as 1, the rest 0.
LargeVector<short> Binary(const Image& image) {
    LargeVector<short> mask(image.voxels.size());
    for (size_t i = 0; i < mask.size(); ++i)
        mask[i] = image.voxels[i] != 0.0f ? 1 : 0;
    return mask;
}

bool ParseShard(const std::string& text, int& shard, int& shardCount) {
    char rest = 0;
    return std::sscanf(text.c_str(), "%d/%d%c", &shard, &shardCount, &rest) == 2 &&
           shardCount >= 1 && shard >= 0 && shard < shardCount;
}

std::string ProgressText(const TrackingProgress& p, double seconds) {
    const double rate = seconds > 0 ? double(p.tracksKept) / seconds : 0.0;
    const double seedRate = seconds > 0 ? double(p.seedsDone) / seconds : 0.0;
    std::string text = "seeds " + std::to_string(p.seedsDone) + "/" + std::to_string(p.seedCount) +
                       "  tracks " + std::to_string(p.tracksKept) + "  " +
                       std::to_string(long(rate + 0.5)) + " tracks/s";
    // The first blocks include starting the workers; a rate from them misleads.
    if (seconds >= 1 && seedRate > 0 && p.seedsDone < p.seedCount) {
        text += "  " + FormatDuration(double(p.seedCount - p.seedsDone) / seedRate) + " left";
    }
    return text;
}

// What a run reads before it tracks: the tensors, where tracks may go, the seed voxels (empty:
// those where tracks may go) and the optional angle-scale map.
struct Inputs {
    TensorImage tensors;
    LargeVector<short> stopping, seedVoxels;
    Image angleScale;
};

bool ReadInputs(const Arguments& a, Inputs& in, std::string& message) {
    if (!ReadTensorImage(a.tensorPath, kOrders.at(a.order), kFrames.at(a.frame), in.tensors,
                         message))
        return false;
    Image image;
    LargeVector<short> maskVoxels;
    if (!a.maskPath.empty()) {
        if (!ReadGridImage(a.maskPath, in.tensors, "mask", image, message)) return false;
        maskVoxels = Binary(image);
    }
    if (!a.angleScalePath.empty() &&
        !ReadGridImage(a.angleScalePath, in.tensors, "angle-scale", in.angleScale, message))
        return false;
    // Without a mask the FA threshold defaults to 0.1; with one, FA counts only when given.
    const bool useFa = a.faThreshold >= 0 || a.maskPath.empty();
    in.stopping = StoppingMask(in.tensors.dims, in.tensors.tensors.data(), useFa,
                               a.faThreshold >= 0 ? a.faThreshold : 0.1f,
                               maskVoxels.empty() ? nullptr : maskVoxels.data(), a.threads);
    if (!a.seedsPath.empty()) {
        if (!ReadGridImage(a.seedsPath, in.tensors, "seed", image, message)) return false;
        in.seedVoxels = Binary(image);
    }
    return true;
}

TrackingOptions Options(const Arguments& a) {
    TrackingOptions options;
    options.method = kMethods.at(a.method);
    options.stepFactor = a.stepFactor;
    options.maxAngleDegrees = a.angle;
    options.eigenIndex = a.eigenvector - 1;
    options.minLengthMm = a.minLength;
    options.maxLengthMm = a.maxLength;
    options.threads = a.threads;
    return options;
}

int Run(const CLI::App& app, const Arguments& a) {
    std::string message;
    int shard = 0, shardCount = 1;
    if (!a.shard.empty() && !ParseShard(a.shard, shard, shardCount)) {
        std::cerr << app.get_name() << ": --shard " << a.shard
                  << ": expected K/N with 0 <= K < N\n";
        return kExitUsage;
    }
    TrackFormat format;
    if (!FormatFromPath(a.outputPath, format, message)) return Fail(app, message);

    InstallInterruptHandlers();
    const auto start = std::chrono::steady_clock::now();
    Inputs in;
    if (!ReadInputs(a, in, message)) return Fail(app, message);
    const MaskSeeds seeds(in.tensors.dims, in.tensors.voxelSize,
                          in.seedVoxels.empty() ? in.stopping.data() : in.seedVoxels.data(),
                          a.seedsPerVoxel, a.rngSeed);
    const auto range = ShardRange(seeds.size(), shard, shardCount);

    TrackFileHeader header = MakeTrackFileHeader(in.tensors.dims, in.tensors.voxelSize);
    header.voxelToWorld = in.tensors.voxelToWorld;
    header.orientation = OrientationFromMatrix(in.tensors.voxelToWorld);
    TrackFileWriter writer;
    if (!writer.Open(a.outputPath, header, a.force, message)) return Fail(app, message);

    TensorField field;
    field.dims = in.tensors.dims;
    field.voxelSize = in.tensors.voxelSize;
    field.tensors = in.tensors.tensors.data();
    field.mask = in.stopping.data();
    field.angleScale = in.angleScale.voxels.empty() ? nullptr : in.angleScale.voxels.data();

    ProgressLine progress(a.quiet);
    const auto trackingStart = std::chrono::steady_clock::now();
    auto elapsed = [](std::chrono::steady_clock::time_point since) {
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
    };
    std::string stopReason;
    const TrackSink sink = [&](size_t, const float* points, int count) {
        if (Interrupted()) {
            stopReason = "interrupted";
            return false;
        }
        return writer.write(points, count, nullptr, nullptr);
    };
    const ProgressCallback onProgress = [&](const TrackingProgress& p) {
        progress.Show(ProgressText(p, elapsed(trackingStart)));
    };
    TrackingProgress summary;
    WholeVolumeTracker tracker;
    const bool tracked = tracker.Run(field, seeds, range.first, range.second, Options(a), sink,
                                     onProgress, summary, message);
    progress.Clear();
    if (!tracked) {
        writer.Discard();
        if (!stopReason.empty()) return Fail(app, a.outputPath + ": " + stopReason);
        return Fail(app, writer.failure().empty() ? message : writer.failure());
    }
    if (!writer.Close(message)) return Fail(app, message);
    if (!a.quiet) {
        const double seconds = elapsed(start);
        std::fprintf(stderr, "%s: %zu tracks from %zu seeds in %s (%.0f tracks/s) -> %s\n",
                     app.get_name().c_str(), summary.tracksKept, summary.seedsDone,
                     FormatDuration(seconds).c_str(),
                     seconds > 0 ? double(summary.tracksKept) / seconds : 0.0,
                     a.outputPath.c_str());
    }
    return kExitSuccess;
}

}  // namespace
}  // namespace fibrejoin

int main(int argc, char** argv) {
    CLI::App app{"Deterministic whole-brain tensor tracking, on every core", "fibretrack"};
    fibrejoin::Arguments arguments;
    fibrejoin::Declare(app, arguments);
    const int parsed = fibrejoin::ParseArguments(app, argc, argv);
    if (parsed >= 0) return parsed;
    return fibrejoin::Run(app, arguments);
}
