// Whole-volume deterministic tracking: a tensor field, a stopping mask and a list of seeds turned
// into a stream of tracks, on several threads, in seed order.
//
// WholeVolumeTracker::Run tracks every seed with CTrack's propagators (the tracks are bit for bit
// those of CTrack::GetTrack from the same seeds) and hands each kept track to a sink on the calling
// thread, in seed order whatever the number of threads, so that what the sink writes does not
// depend on it. At most a fixed window of finished tracks waits for earlier seeds. FACT,
// Runge-Kutta and tensorline first decompose every mask voxel once, in parallel.
//
// TensorField only borrows the caller's arrays, which must stay alive and unchanged during Run.
// MaskSeeds numbers the seeds of a seed mask and computes any of them on demand, so that a seed
// list never has to be held in memory; ShardRange cuts it into contiguous blocks for cluster jobs.
// Nothing here keeps global state; distinct trackers may run concurrently.
#ifndef FIBREJOIN_TRACKING_WHOLEVOLUMETRACKER_H
#define FIBREJOIN_TRACKING_WHOLEVOLUMETRACKER_H

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <limits>
#include <string>
#include <utility>
#include <vector>

#include "utils/Memory.h"

namespace fibrejoin {

// The method codes of CTrack::GetTrackOneWay.
enum class TrackingMethod { Fact = 0, FixedStep = 1, RungeKutta2 = 2, TensorLine = 3 };

// A tensor image as the propagators read it. dims nx, ny, nz; voxelSize in mm; tensors six floats
// per voxel (xx, xy, xz, yy, yz, zz), x fastest; a track may enter a voxel whose mask value is
// >= 1; angleScale, when not null, scales the largest turn per voxel.
struct TensorField {
    std::array<int, 3> dims{};
    std::array<float, 3> voxelSize{};
    const float* tensors = nullptr;
    const short* mask = nullptr;
    const float* angleScale = nullptr;
};

struct TrackingOptions {
    TrackingMethod method = TrackingMethod::Fact;
    float stepFactor = 0.5f;     // step = stepFactor x the smallest voxel edge
    float maxAngleDegrees = 45;  // largest turn between consecutive directions
    int eigenIndex = 0;          // eigenvector to follow, 0 = principal
    float minLengthMm = 0;       // shorter tracks are dropped
    float maxLengthMm = std::numeric_limits<float>::infinity();  // longer tracks are dropped
    int threads = 0;                                             // 0: one per core
};

// A seed position in mm; voxel i spans [i * size, (i + 1) * size) along each axis.
using Seed = std::array<float, 3>;

// The seeds of a seed mask: seedsPerVoxel per voxel with a value > 0, voxel by voxel in index
// order (x fastest). With one seed per voxel it stands at the voxel centre (as CTrack::GetTrack
// places a voxel seed); with more, each is drawn uniformly inside its voxel from rngSeed and its
// own number, so any seed can be computed alone and the list is the same for any thread count or
// shard. Keeps one bit per voxel; the mask is not referenced after construction.
class MaskSeeds {
  public:
    MaskSeeds(std::array<int, 3> dims, std::array<float, 3> voxelSize, const short* seedMask,
              int seedsPerVoxel, uint64_t rngSeed);
    MaskSeeds(std::array<int, 3> dims, std::array<float, 3> voxelSize, const float* seedMask,
              int seedsPerVoxel, uint64_t rngSeed);

    std::size_t size() const { return voxelCount_ * static_cast<std::size_t>(perVoxel_); }
    // Seeds [first, first + count) into out; first + count must not exceed size().
    void Fill(std::size_t first, std::size_t count, Seed* out) const;
    Seed operator[](std::size_t index) const;

  private:
    template <typename T>
    void Build(const T* mask);
    Seed At(int64_t voxel, std::size_t index) const;

    std::array<int, 3> dims_;
    std::array<float, 3> voxelSize_;
    int perVoxel_;
    uint64_t rngSeed_;
    std::size_t voxelCount_ = 0;
    std::vector<uint64_t> bits_;
    std::vector<std::size_t> before_;  // seeding voxels in the words before
};

// All the seeds of a seed mask as a list.
std::vector<Seed> SeedsFromMask(std::array<int, 3> dims, std::array<float, 3> voxelSize,
                                const short* seedMask, int seedsPerVoxel, uint64_t rngSeed);

// The K-th (shard, from 0) of shardCount contiguous blocks of seedCount seeds, as [begin, end);
// the blocks differ in size by at most one and, taken in order, cover every seed once.
std::pair<std::size_t, std::size_t> ShardRange(std::size_t seedCount, int shard, int shardCount);

// The stopping mask: 1 where the fractional anisotropy of the tensor is >= faThreshold (when
// useFa) and the mask image, when given, is >= 1; 0 elsewhere (a tensor with zero trace has FA 0).
// Computed on `threads` threads (0: one per core).
LargeVector<short> StoppingMask(std::array<int, 3> dims, const float* tensors, bool useFa,
                                float faThreshold, const short* maskImage, int threads = 1);
// FA of one six-component tensor (xx, xy, xz, yy, yz, zz), from its invariants in double.
float FractionalAnisotropy(const float* tensor);

// Where a run stands; handed to the progress callback on the calling thread.
struct TrackingProgress {
    std::size_t seedsDone = 0;
    std::size_t seedCount = 0;
    std::size_t tracksKept = 0;
    uint64_t pointsKept = 0;
};

// Receives each kept track: the seed's index in the run's seed list, count points x, y, z in mm
// (valid only during the call). Returning false stops the run.
using TrackSink = std::function<bool(std::size_t seedIndex, const float* points, int count)>;
using ProgressCallback = std::function<void(const TrackingProgress&)>;
// Fills seeds [first, first + count) of the run's list into out; called from worker threads.
using SeedSource = std::function<void(std::size_t first, std::size_t count, Seed* out)>;

class WholeVolumeTracker {
  public:
    // Tracks seeds [0, seedCount) of seeds and hands every track of at least three points within
    // the length limits to sink, in seed order. progress, when set, is called after each block of
    // seeds. False with a message on a bad field or options, or when the sink stopped the run
    // (summary then tells how far it came).
    bool Run(const TensorField& field, const SeedSource& seeds, std::size_t seedCount,
             const TrackingOptions& options, const TrackSink& sink,
             const ProgressCallback& progress, TrackingProgress& summary, std::string& error);
    // The same over a list of seeds.
    bool Run(const TensorField& field, const std::vector<Seed>& seeds,
             const TrackingOptions& options, const TrackSink& sink,
             const ProgressCallback& progress, TrackingProgress& summary, std::string& error);
    // The same over seeds [begin, end) of a seed mask; the sink sees indices from 0 at begin.
    bool Run(const TensorField& field, const MaskSeeds& seeds, std::size_t begin, std::size_t end,
             const TrackingOptions& options, const TrackSink& sink,
             const ProgressCallback& progress, TrackingProgress& summary, std::string& error);

    // Finished tracks at most waiting for earlier seeds.
    static constexpr std::size_t kWindowTracks = 1024;
};

}  // namespace fibrejoin

#endif  // FIBREJOIN_TRACKING_WHOLEVOLUMETRACKER_H
