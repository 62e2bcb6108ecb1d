#include "tracking/WholeVolumeTracker.h"

#include <algorithm>
#include <cmath>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <new>
#include <thread>

#include "tracking/Track.h"
#include "tracking/TrackPropagation.h"
#include "utils/CheckedMath.h"

namespace fibrejoin {

namespace {

// splitmix64: a well-mixed 64-bit value from a counter.
uint64_t mix(uint64_t x) {
    x += 0x9E3779B97F4A7C15ull;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    return x ^ (x >> 31);
}

int64_t voxelCount(const std::array<int, 3>& dims) {
    int64_t voxels = 0;
    if (dims[0] < 1 || dims[1] < 1 || dims[2] < 1 ||
        !CheckedProduct(voxels, int64_t{dims[0]}, int64_t{dims[1]}, int64_t{dims[2]}) ||
        ByteCount(voxels, 6 * sizeof(float)) < 0)
        return 0;
    return voxels;
}

int threadCount(int requested) {
    if (requested > 0) return requested;
    return std::max(1, static_cast<int>(std::thread::hardware_concurrency()));
}

// Runs work(part) for part 0..parts-1, part 0 on the calling thread.
template <typename Work>
void runParallel(int parts, Work work) {
    std::vector<std::thread> helpers;
    for (int part = 1; part < parts; ++part)
        helpers.emplace_back(work, part);
    work(0);
    for (std::thread& helper : helpers)
        helper.join();
}

// The kept tracks of one block of consecutive seeds, points back to back.
struct Block {
    struct Entry {
        std::size_t seed;
        std::size_t offset;
        int count;
    };
    std::vector<float> points;
    std::vector<Entry> tracks;
    std::size_t seeds = 0;
    bool ready = false;
};

// What every thread of a run reads.
struct RunSetup {
    TensorField field;
    TrackingOptions options;
    const VoxelEigenTable* table;
    float cosAngle;
    const SeedSource* seeds;
    std::size_t seedCount;
    std::size_t blockSeeds;
    bool checkLength;  // false when no length can fail the limits
};

// Tracks the seeds of block number `number` into block.
void trackBlock(const RunSetup& setup, std::size_t number, Block& block, std::vector<Seed>& seeds,
                std::vector<float>& track) {
    const std::size_t first = number * setup.blockSeeds;
    const std::size_t count = std::min(setup.blockSeeds, setup.seedCount - first);
    seeds.resize(count);
    (*setup.seeds)(first, count, seeds.data());
    block.points.clear();
    block.tracks.clear();
    block.seeds = count;
    // The propagators only read the arrays; their signatures predate const.
    TensorField f = setup.field;
    int* dims = f.dims.data();
    float* voxelSize = f.voxelSize.data();
    float* tensors = const_cast<float*>(f.tensors);
    short* mask = const_cast<short*>(f.mask);
    float* angleScale = const_cast<float*>(f.angleScale);
    const TrackingOptions& o = setup.options;
    for (std::size_t s = 0; s < count; ++s) {
        TrackWithTable(setup.table, dims, voxelSize, tensors, mask, seeds[s].data(),
                       static_cast<int>(o.method), o.stepFactor, setup.cosAngle, angleScale,
                       o.eigenIndex, track);
        const int points = static_cast<int>(track.size() / 3);
        if (points <= 2) continue;
        if (setup.checkLength) {
            const float length = CTrack::GetLength(track.data(), points);
            if (length < o.minLengthMm || length > o.maxLengthMm) continue;
        }
        block.tracks.push_back({first + s, block.points.size(), points});
        block.points.insert(block.points.end(), track.begin(), track.begin() + 3 * points);
    }
}

bool checkRun(const TensorField& field, const TrackingOptions& o, std::string& error) {
    if (voxelCount(field.dims) == 0) {
        error = "tensor field: the grid dimensions must be positive and addressable";
        return false;
    }
    for (float size : field.voxelSize)
        if (!(size > 0 && std::isfinite(size))) {
            error = "tensor field: voxel sizes must be positive and finite";
            return false;
        }
    if (field.tensors == nullptr || field.mask == nullptr) {
        error = "tensor field: no tensor or mask array";
        return false;
    }
    if (static_cast<int>(o.method) < 0 || static_cast<int>(o.method) > 3) {
        error = "tracking options: unknown method";
        return false;
    }
    if (!(o.stepFactor > 0 && std::isfinite(o.stepFactor))) {
        error = "tracking options: the step factor must be positive and finite";
        return false;
    }
    if (o.eigenIndex < 0 || o.eigenIndex > 2) {
        error = "tracking options: the eigenvector index must be 0, 1 or 2";
        return false;
    }
    if (std::isnan(o.maxAngleDegrees) || std::isnan(o.minLengthMm) || std::isnan(o.maxLengthMm) ||
        o.minLengthMm > o.maxLengthMm) {
        error = "tracking options: the angle or the length limits are not numbers in order";
        return false;
    }
    return true;
}

}  // namespace

// ==== Seeds ====

MaskSeeds::MaskSeeds(std::array<int, 3> dims, std::array<float, 3> voxelSize, const short* seedMask,
                     int seedsPerVoxel, uint64_t rngSeed)
    : dims_(dims), voxelSize_(voxelSize), perVoxel_(std::max(0, seedsPerVoxel)), rngSeed_(rngSeed) {
    Build(seedMask);
}

MaskSeeds::MaskSeeds(std::array<int, 3> dims, std::array<float, 3> voxelSize, const float* seedMask,
                     int seedsPerVoxel, uint64_t rngSeed)
    : dims_(dims), voxelSize_(voxelSize), perVoxel_(std::max(0, seedsPerVoxel)), rngSeed_(rngSeed) {
    Build(seedMask);
}

template <typename T>
void MaskSeeds::Build(const T* mask) {
    const int64_t voxels = voxelCount(dims_);
    if (mask == nullptr || voxels == 0) return;
    const std::size_t words = static_cast<std::size_t>((voxels + 63) / 64);
    bits_.assign(words, 0);
    before_.assign(words, 0);
    for (std::size_t word = 0; word < words; ++word) {
        before_[word] = voxelCount_;
        const int64_t first = static_cast<int64_t>(word) * 64;
        const int64_t last = std::min(voxels, first + 64);
        uint64_t bits = 0;
        for (int64_t v = first; v < last; ++v)
            if (mask[v] > 0) bits |= uint64_t{1} << (v - first);
        bits_[word] = bits;
        voxelCount_ += static_cast<std::size_t>(__builtin_popcountll(bits));
    }
}

// Seed number index, in voxel (linear index) voxel.
Seed MaskSeeds::At(int64_t voxel, std::size_t index) const {
    const int64_t layer = int64_t{dims_[0]} * dims_[1];
    const int64_t cell[3] = {voxel % dims_[0], voxel % layer / dims_[0], voxel / layer};
    Seed seed;
    for (int a = 0; a < 3; ++a) {
        const double size = static_cast<double>(voxelSize_[a]);
        const double lower = static_cast<double>(cell[a]);
        if (perVoxel_ == 1) {  // the voxel centre, as CTrack::GetTrack computes it
            seed[a] = static_cast<float>((lower + 0.5) * size);
            continue;
        }
        const uint64_t draw = mix(mix(rngSeed_) ^ (3 * static_cast<uint64_t>(index) + a));
        const double u = static_cast<double>(draw >> 40) * 0x1p-24;  // [0, 1)
        float x = static_cast<float>((lower + u) * size);
        // Rounding may leave the voxel as the propagators locate a position; step back in.
        const int target = static_cast<int>(cell[a]);
        while (static_cast<int>(x / voxelSize_[a]) > target)
            x = std::nextafter(x, -INFINITY);
        while (static_cast<int>(x / voxelSize_[a]) < target)
            x = std::nextafter(x, INFINITY);
        seed[a] = x;
    }
    return seed;
}

void MaskSeeds::Fill(std::size_t first, std::size_t count, Seed* out) const {
    if (count == 0) return;
    const std::size_t per = static_cast<std::size_t>(perVoxel_);
    std::size_t ordinal = first / per;  // among the seeding voxels
    // The word holding that voxel, then the voxel itself.
    std::size_t word = static_cast<std::size_t>(
        std::upper_bound(before_.begin(), before_.end(), ordinal) - before_.begin() - 1);
    uint64_t bits = bits_[word];
    for (std::size_t skip = ordinal - before_[word]; skip > 0; --skip)
        bits &= bits - 1;
    std::size_t index = first;
    for (std::size_t n = 0; n < count;) {
        while (bits == 0)
            bits = bits_[++word];
        const int64_t voxel = static_cast<int64_t>(word * 64) + __builtin_ctzll(bits);
        for (; n < count && index / per == ordinal; ++n, ++index)
            out[n] = At(voxel, index);
        bits &= bits - 1;
        ++ordinal;
    }
}

Seed MaskSeeds::operator[](std::size_t index) const {
    Seed seed;
    Fill(index, 1, &seed);
    return seed;
}

std::vector<Seed> SeedsFromMask(std::array<int, 3> dims, std::array<float, 3> voxelSize,
                                const short* seedMask, int seedsPerVoxel, uint64_t rngSeed) {
    const MaskSeeds seeds(dims, voxelSize, seedMask, seedsPerVoxel, rngSeed);
    std::vector<Seed> list(seeds.size());
    seeds.Fill(0, list.size(), list.data());
    return list;
}

std::pair<std::size_t, std::size_t> ShardRange(std::size_t seedCount, int shard, int shardCount) {
    if (shardCount < 1 || shard < 0 || shard >= shardCount) return {0, 0};
    const std::size_t n = static_cast<std::size_t>(shardCount);
    const std::size_t k = static_cast<std::size_t>(shard);
    const std::size_t base = seedCount / n, extra = seedCount % n;
    const std::size_t begin = k * base + std::min(k, extra);
    return {begin, begin + base + (k < extra ? 1 : 0)};
}

// ==== Stopping mask ====

float FractionalAnisotropy(const float* t) {
    const double xx = t[0], xy = t[1], xz = t[2], yy = t[3], yz = t[4], zz = t[5];
    const double offDiagonal = 2 * (xy * xy + xz * xz + yz * yz);
    const double norm = xx * xx + yy * yy + zz * zz + offDiagonal;
    if (norm == 0) return 0;
    const double mean = (xx + yy + zz) / 3;
    const double deviation = (xx - mean) * (xx - mean) + (yy - mean) * (yy - mean) +
                             (zz - mean) * (zz - mean) + offDiagonal;
    return static_cast<float>(std::sqrt(1.5 * deviation / norm));
}

LargeVector<short> StoppingMask(std::array<int, 3> dims, const float* tensors, bool useFa,
                                float faThreshold, const short* maskImage, int threads) {
    const int64_t voxels = voxelCount(dims);
    LargeVector<short> mask(static_cast<std::size_t>(voxels));
    const int parts = threadCount(threads);
    runParallel(parts, [&](int part) {
        const int64_t end = voxels * (part + 1) / parts;
        for (int64_t v = voxels * part / parts; v < end; ++v) {
            const bool inImage = maskImage == nullptr || maskImage[v] >= 1;
            const bool anisotropic =
                !useFa ||
                (tensors != nullptr && FractionalAnisotropy(tensors + 6 * v) >= faThreshold);
            mask[static_cast<std::size_t>(v)] = inImage && anisotropic ? 1 : 0;
        }
    });
    return mask;
}

// ==== Tracking ====

bool WholeVolumeTracker::Run(const TensorField& field, const std::vector<Seed>& seeds,
                             const TrackingOptions& options, const TrackSink& sink,
                             const ProgressCallback& progress, TrackingProgress& summary,
                             std::string& error) {
    const SeedSource source = [&seeds](std::size_t first, std::size_t count, Seed* out) {
        std::copy(seeds.begin() + static_cast<std::ptrdiff_t>(first),
                  seeds.begin() + static_cast<std::ptrdiff_t>(first + count), out);
    };
    return Run(field, source, seeds.size(), options, sink, progress, summary, error);
}

bool WholeVolumeTracker::Run(const TensorField& field, const MaskSeeds& seeds, std::size_t begin,
                             std::size_t end, const TrackingOptions& options, const TrackSink& sink,
                             const ProgressCallback& progress, TrackingProgress& summary,
                             std::string& error) {
    if (begin > end || end > seeds.size()) {
        error = "seed range outside the seed list";
        return false;
    }
    const SeedSource source = [&seeds, begin](std::size_t first, std::size_t count, Seed* out) {
        seeds.Fill(begin + first, count, out);
    };
    return Run(field, source, end - begin, options, sink, progress, summary, error);
}

bool WholeVolumeTracker::Run(const TensorField& field, const SeedSource& seeds,
                             std::size_t seedCount, const TrackingOptions& options,
                             const TrackSink& sink, const ProgressCallback& progress,
                             TrackingProgress& summary, std::string& error) {
    summary = TrackingProgress();
    summary.seedCount = seedCount;
    if (!checkRun(field, options, error)) return false;
    const int threads = threadCount(options.threads);

    // Every mask voxel decomposed once, for the methods that decompose voxels' own tensors.
    VoxelEigenTable table;
    const bool useTable = options.method != TrackingMethod::FixedStep;
    if (useTable) {
        if (!table.Select(field.mask, voxelCount(field.dims))) {
            error = "tensor field: too many mask voxels";
            return false;
        }
        const std::size_t words = table.WordCount();
        runParallel(threads, [&](int part) {
            const std::size_t parts = static_cast<std::size_t>(threads);
            const std::size_t p = static_cast<std::size_t>(part);
            table.Decompose(field.tensors, words * p / parts, words * (p + 1) / parts);
        });
    }

    // Blocks of seeds, small enough that a window of them keeps each thread busy.
    RunSetup setup{field,
                   options,
                   useTable ? &table : nullptr,
                   CosineOfDegrees(options.maxAngleDegrees),
                   &seeds,
                   seedCount,
                   0,
                   options.minLengthMm > 0 || options.maxLengthMm < INFINITY};
    setup.blockSeeds =
        std::clamp<std::size_t>(kWindowTracks / (4 * static_cast<std::size_t>(threads)), 1, 64);
    const std::size_t window = kWindowTracks / setup.blockSeeds;
    const std::size_t blockCount = (seedCount + setup.blockSeeds - 1) / setup.blockSeeds;
    std::vector<Block> blocks(std::min(window, blockCount));

    std::mutex lock;
    std::condition_variable changed;
    std::size_t nextClaim = 0, nextDeliver = 0;
    bool stop = false;
    std::string failure;  // why a worker gave up
    // Point buffers of delivered blocks, handed to the next claims: a run touches as many buffers
    // as blocks are in flight at once, not one per slot of the window, and they stay in cache.
    std::vector<std::vector<float>> warm;

    // Tracks the next block when the window has room; false when there is none to take.
    auto claimAndTrack = [&](std::unique_lock<std::mutex>& held, std::vector<Seed>& seedBuffer,
                             std::vector<float>& track) {
        if (stop || nextClaim >= blockCount || nextClaim >= nextDeliver + window) return false;
        const std::size_t number = nextClaim++;
        Block& block = blocks[number % window];
        if (!warm.empty()) {
            block.points.swap(warm.back());
            warm.pop_back();
        }
        held.unlock();
        std::string why;
        try {
            trackBlock(setup, number, block, seedBuffer, track);
        } catch (const std::bad_alloc&) {
            why = "out of memory";
        } catch (const std::exception& e) {
            why = e.what();
        }
        held.lock();
        block.ready = true;
        if (!why.empty()) {
            stop = true;
            if (failure.empty()) failure = why;
        }
        changed.notify_all();
        return true;
    };

    // Whatever way the calling thread leaves (a sink or progress callback may throw), the workers
    // are stopped and joined first.
    std::vector<std::thread> workers;
    struct StopAndJoin {
        std::vector<std::thread>& workers;
        std::mutex& lock;
        std::condition_variable& changed;
        bool& stop;
        ~StopAndJoin() {
            {
                const std::lock_guard<std::mutex> held(lock);
                stop = true;
            }
            changed.notify_all();
            for (std::thread& worker : workers)
                worker.join();
        }
    } stopAndJoin{workers, lock, changed, stop};
    for (int t = 1; t < threads; ++t)
        workers.emplace_back([&]() {
            std::vector<Seed> seedBuffer;
            std::vector<float> track;
            std::unique_lock<std::mutex> held(lock);
            while (!stop && nextClaim < blockCount)
                if (!claimAndTrack(held, seedBuffer, track)) changed.wait(held);
        });

    // The calling thread hands finished blocks on in order and tracks when it has to wait.
    std::vector<Seed> seedBuffer;
    std::vector<float> track;
    bool sinkStopped = false;
    {
        std::unique_lock<std::mutex> held(lock);
        while (!stop && nextDeliver < blockCount) {
            Block& block = blocks[nextDeliver % window];
            if (!block.ready) {
                if (!claimAndTrack(held, seedBuffer, track)) changed.wait(held);
                continue;
            }
            held.unlock();
            for (const Block::Entry& entry : block.tracks) {
                if (!sink(entry.seed, block.points.data() + entry.offset, entry.count)) {
                    sinkStopped = true;
                    break;
                }
                ++summary.tracksKept;
                summary.pointsKept += static_cast<uint64_t>(entry.count);
            }
            if (!sinkStopped) {
                summary.seedsDone += block.seeds;
                if (progress) progress(summary);
            }
            held.lock();
            block.ready = false;
            warm.push_back(std::move(block.points));
            block.points = std::vector<float>();
            ++nextDeliver;
            if (sinkStopped) stop = true;
            changed.notify_all();
        }
    }
    // A failure is read under the lock, as workers may still be finishing.
    {
        const std::lock_guard<std::mutex> held(lock);
        if (!failure.empty()) {
            error = "tracking: " + failure;
            return false;
        }
    }
    if (sinkStopped) {
        error = "tracking: stopped by the track sink";
        return false;
    }
    return true;
}

}  // namespace fibrejoin
