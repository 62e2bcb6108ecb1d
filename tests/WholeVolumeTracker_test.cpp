#include "tracking/WholeVolumeTracker.h"

#include <gtest/gtest.h>

#include <cmath>
#include <stdexcept>
#include <string>
#include <tuple>
#include <vector>

#include "tensor_fields.h"
#include "tracking/Track.h"
#include "tracking/TrackPropagation.h"

namespace {

using namespace fibrejoin;
using namespace tensor_fields;

// Arcs around the z axis through (20, 20) mm, rising slowly with z, with a weaker second
// direction along z so that all three eigenvalues differ. 20 x 20 x 6 voxels of 2 mm.
Points Arc(int v) {
    const float x = (v % 20 + 0.5f) * 2 - 20, y = (v / 20 % 20 + 0.5f) * 2 - 20;
    const float r = std::hypot(x, y) + 1e-3f, rise = 0.1f * (v / 400 - 3);
    const float norm = std::sqrt(1 + rise * rise);
    Points tensor = Along(-y / r / norm, x / r / norm, rise / norm);
    tensor[5] += 0.2f;
    return tensor;
}

// The arc field with a ring-shaped mask and a few holes.
struct ArcField : Field {
    std::vector<float> scale;
    ArcField() : Field(20, 20, 6, 2, 2, 2, Arc), scale(2400) {
        for (int v = 0; v < 2400; ++v) {
            const float x = (v % 20 + 0.5f) * 2 - 20, y = (v / 20 % 20 + 0.5f) * 2 - 20;
            const float r = std::hypot(x, y);
            mask[v] = r > 5 && r < 19 && v % 37 != 0;
            scale[v] = 0.5f + (v % 5) * 0.25f;
        }
    }
    TensorField View(bool withScale = false) const {
        return {{dims[0], dims[1], dims[2]},
                {voxel[0], voxel[1], voxel[2]},
                tensors.data(),
                mask.data(),
                withScale ? scale.data() : nullptr};
    }
};

struct Output {
    std::vector<std::size_t> seeds;
    std::vector<Points> tracks;
    bool operator==(const Output& other) const {
        return seeds == other.seeds && tracks == other.tracks;
    }
};

Output Track(const TensorField& field, const std::vector<Seed>& seeds, TrackingOptions options,
             std::size_t stopAfter = SIZE_MAX, bool expect = true) {
    Output out;
    TrackingProgress summary;
    std::string error;
    const bool ok = WholeVolumeTracker().Run(
        field, seeds, options,
        [&](std::size_t seed, const float* points, int count) {
            out.seeds.push_back(seed);
            out.tracks.emplace_back(points, points + 3 * count);
            return out.tracks.size() < stopAfter;
        },
        nullptr, summary, error);
    EXPECT_EQ(ok, expect) << error;
    EXPECT_EQ(summary.tracksKept, out.tracks.size() - (ok ? 0 : 1));
    return out;
}

// What CTrack::GetTrack gives from each seed, within the length limits.
Output Library(ArcField& field, const std::vector<Seed>& seeds, const TrackingOptions& options,
               bool withScale = false) {
    Output out;
    for (std::size_t s = 0; s < seeds.size(); ++s) {
        float seed[3] = {seeds[s][0], seeds[s][1], seeds[s][2]};
        float* points = nullptr;
        int count = 0;
        if (!CTrack::GetTrack(field.dims, field.voxel, field.tensors.data(), field.mask.data(),
                              seed, static_cast<int>(options.method), options.stepFactor,
                              options.maxAngleDegrees, withScale ? field.scale.data() : nullptr,
                              points, count, options.eigenIndex))
            continue;
        const float length = CTrack::GetLength(points, count);
        if (length >= options.minLengthMm && length <= options.maxLengthMm) {
            out.seeds.push_back(s);
            out.tracks.emplace_back(points, points + 3 * count);
        }
        delete[] points;
    }
    return out;
}

std::vector<Seed> JitteredSeeds(const ArcField& field, uint64_t rngSeed, int perVoxel = 2) {
    return SeedsFromMask({20, 20, 6}, {2, 2, 2}, field.mask.data(), perVoxel, rngSeed);
}

TEST(WholeVolumeTracker, TracksEqualGetTrackForEveryMethodAndAnyThreadCount) {
    ArcField field;
    const std::vector<Seed> seeds = JitteredSeeds(field, 11);
    for (int method = 0; method < 4; ++method) {
        for (int eigenIndex : {0, 1}) {
            TrackingOptions options;
            options.method = static_cast<TrackingMethod>(method);
            options.maxAngleDegrees = 30;
            options.eigenIndex = eigenIndex;
            const bool withScale = eigenIndex == 1;
            const Output expected = Library(field, seeds, options, withScale);
            ASSERT_GT(expected.tracks.size(), seeds.size() / 2) << method;
            for (int threads : {1, 2, 7}) {
                options.threads = threads;
                EXPECT_TRUE(Track(field.View(withScale), seeds, options) == expected)
                    << method << " with threads " << threads;
            }
        }
    }
}

TEST(WholeVolumeTracker, LengthLimitsAndAStoppingSinkEndTheStreamInOrder) {
    ArcField field;
    const std::vector<Seed> seeds = JitteredSeeds(field, 3);
    TrackingOptions options;
    options.method = TrackingMethod::RungeKutta2;
    options.minLengthMm = 12;
    options.maxLengthMm = 30;
    options.threads = 2;
    const Output limited = Track(field.View(), seeds, options);
    ASSERT_TRUE(limited == Library(field, seeds, options));
    // The limits drop some tracks and keep many.
    EXPECT_LT(limited.tracks.size(), Track(field.View(), seeds, TrackingOptions()).tracks.size());
    ASSERT_GT(limited.tracks.size(), 20u);
    // A sink that refuses the tenth track ends the run there, with the nine before it kept.
    options.threads = 7;
    const Output stopped = Track(field.View(), seeds, options, 10, false);
    ASSERT_EQ(stopped.tracks.size(), 10u);
    EXPECT_TRUE(std::equal(stopped.seeds.begin(), stopped.seeds.end(), limited.seeds.begin()));
    // A sink that throws: the workers are stopped and joined, and the exception reaches the caller.
    TrackingProgress summary;
    std::string error;
    EXPECT_THROW(WholeVolumeTracker().Run(
                     field.View(), seeds, options,
                     [](std::size_t, const float*, int) -> bool { throw std::runtime_error("x"); },
                     nullptr, summary, error),
                 std::runtime_error);
}

TEST(WholeVolumeTracker, RefusesBadFieldsAndOptions) {
    ArcField field;
    const std::vector<Seed> seeds = JitteredSeeds(field, 3);
    std::vector<std::pair<TensorField, TrackingOptions>> cases(7, {field.View(), {}});
    cases[0].first.mask = nullptr;
    cases[1].first.dims[1] = 0;
    cases[2].first.voxelSize[2] = NAN;
    cases[3].second.stepFactor = 0;
    cases[4].second.eigenIndex = 3;
    cases[5].second.minLengthMm = 5, cases[5].second.maxLengthMm = 4;
    cases[6].second.method = static_cast<TrackingMethod>(4);
    for (size_t c = 0; c < cases.size(); ++c) {
        TrackingProgress summary;
        std::string error;
        const bool ok = WholeVolumeTracker().Run(
            cases[c].first, seeds, cases[c].second,
            [](std::size_t, const float*, int) { return true; }, nullptr, summary, error);
        EXPECT_TRUE(!ok && !error.empty()) << c;
    }
}

TEST(MaskSeeds, CentresJitterInsideTheVoxelAndBlocksOfTheList) {
    ArcField field;
    const std::vector<Seed> centres = JitteredSeeds(field, 5, 1);
    const std::vector<Seed> jittered = JitteredSeeds(field, 5, 3);
    ASSERT_EQ(jittered.size(), 3 * centres.size());
    EXPECT_EQ(jittered, JitteredSeeds(field, 5, 3));
    const std::vector<Seed> other = JitteredSeeds(field, 6, 3);
    std::size_t moved = 0, sameAsOtherSeed = 0, n = 0;
    for (int v = 0; v < 2400; ++v) {
        if (field.mask[v] < 1) continue;
        const int voxel[3] = {v % 20, v / 20 % 20, v / 400};
        const Seed& centre = centres[n];
        for (int a = 0; a < 3; ++a)
            EXPECT_EQ(centre[a], static_cast<float>((voxel[a] + 0.5) * 2.0));
        for (int copy = 0; copy < 3; ++copy) {
            const Seed& seed = jittered[3 * n + copy];
            for (int a = 0; a < 3; ++a)
                EXPECT_EQ(static_cast<int>(seed[a] / 2.0f), voxel[a]);
            moved += seed != centre;
            sameAsOtherSeed += seed == other[3 * n + copy];
        }
        ++n;
    }
    EXPECT_EQ(std::make_tuple(n, moved, sameAsOtherSeed),
              std::make_tuple(centres.size(), jittered.size(), std::size_t{0}));

    // Any block of the list computed alone, as the shards and the workers do.
    const MaskSeeds seeds({20, 20, 6}, {2, 2, 2}, field.mask.data(), 3, 5);
    for (std::size_t first :
         {std::size_t{0}, std::size_t{1}, std::size_t{299}, jittered.size() - 4}) {
        std::vector<Seed> block(4);
        seeds.Fill(first, 4, block.data());
        EXPECT_TRUE(std::equal(block.begin(), block.end(), jittered.begin() + first)) << first;
    }
    std::vector<float> floatMask(field.mask.begin(), field.mask.end());
    EXPECT_EQ(MaskSeeds({20, 20, 6}, {2, 2, 2}, floatMask.data(), 3, 5)[77], jittered[77]);
}

// Decompose fills the selected voxels of the words in its range only, so that threads given
// distinct ranges never write the same decomposition; a range past the end stops at the end.
TEST(VoxelEigenTable, DecomposesTheSelectedVoxelsOfItsWordsOnly) {
    std::vector<short> mask(130, 0);  // three words of 64 voxels, the last holding two
    mask[5] = mask[70] = mask[129] = 1;
    std::vector<float> tensors(6 * 130, 0.0f);
    for (size_t v = 0; v < 130; ++v)
        tensors[6 * v] = 3, tensors[6 * v + 3] = 2, tensors[6 * v + 5] = 1;
    VoxelEigenTable table;
    ASSERT_TRUE(table.Select(mask.data(), 130));
    ASSERT_EQ(std::make_tuple(table.WordCount(), table.size()), std::make_tuple(3u, 3u));
    EXPECT_EQ(table.Find(4), nullptr);
    table.Decompose(tensors.data(), 0, 1);
    EXPECT_EQ(std::make_tuple(table.Find(5)[0], table.Find(70)[0]), std::make_tuple(3.0f, 0.0f));
    table.Decompose(tensors.data(), 1, 9);
    EXPECT_EQ(std::make_tuple(table.Find(70)[0], table.Find(129)[0]), std::make_tuple(3.0f, 3.0f));
}

TEST(ShardRange, ContiguousBlocksCoverTheListOnce) {
    for (std::size_t count : {0, 1, 10, 1001}) {
        for (int shards : {1, 3, 7}) {
            std::size_t next = 0;
            for (int k = 0; k < shards; ++k) {
                const auto range = ShardRange(count, k, shards);
                EXPECT_EQ(range.first, next);
                EXPECT_LE(range.second - range.first, count / shards + 1);
                EXPECT_GE(range.second - range.first, count / shards);
                next = range.second;
            }
            EXPECT_EQ(next, count);
        }
    }
    EXPECT_EQ(ShardRange(10, 3, 3), std::make_pair(std::size_t{0}, std::size_t{0}));
    EXPECT_EQ(ShardRange(10, -1, 3), std::make_pair(std::size_t{0}, std::size_t{0}));
}

TEST(StoppingMask, AnisotropyThresholdCombinedWithAMaskImage) {
    // Isotropic, linear (FA 1), Along's tensor (eigenvalues 1.7, 0.3, 0.3) in a rotated frame, and
    // a zero tensor.
    const float s = std::sqrt(0.5f);
    Points tensors = {1, 0, 0, 1, 0, 1, 2, 0, 0, 0, 0, 0};
    const Points along = Along(s, s, 0);
    tensors.insert(tensors.end(), along.begin(), along.end());
    tensors.insert(tensors.end(), 6, 0.0f);
    EXPECT_FLOAT_EQ(FractionalAnisotropy(tensors.data()), 0);
    EXPECT_FLOAT_EQ(FractionalAnisotropy(tensors.data() + 6), 1);
    EXPECT_NEAR(FractionalAnisotropy(tensors.data() + 12), 1.4 / std::sqrt(3.07), 1e-6);
    const LargeVector<short> image = {1, 1, 0, 1};
    for (int threads : {1, 3}) {
        EXPECT_EQ(StoppingMask({4, 1, 1}, tensors.data(), true, 0.79f, nullptr, threads),
                  (LargeVector<short>{0, 1, 1, 0}));
        EXPECT_EQ(StoppingMask({4, 1, 1}, tensors.data(), true, 0.5f, image.data(), threads),
                  (LargeVector<short>{0, 1, 0, 0}));
        EXPECT_EQ(StoppingMask({4, 1, 1}, tensors.data(), false, 0.5f, image.data(), threads),
                  image);
    }
}

}  // namespace
