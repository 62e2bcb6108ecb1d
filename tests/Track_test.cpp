#include "tracking/Track.h"

#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <limits>
#include <vector>

#include "math/MyMath.h"

namespace {

const float kNaN = std::numeric_limits<float>::quiet_NaN();
const float kCos45 = std::cos(0.25f * 3.14159265f);

// A tensor volume with its mask (all voxels trackable until changed).
struct Field {
    int dims[3];
    float voxel[3];
    std::vector<float> tensors;
    std::vector<short> mask;

    Field(int nx, int ny, int nz, float vx, float vy, float vz)
        : dims{nx, ny, nz}, voxel{vx, vy, vz}, tensors(6u * nx * ny * nz), mask(nx * ny * nz, 1) {}
    int Index(int i, int j, int k) const { return (k * dims[1] + j) * dims[0] + i; }
    void Set(int v, std::vector<float> six) { std::copy(six.begin(), six.end(), &tensors[6 * v]); }
    // 0.3 I + 1.4 e e^T: principal direction e (unit), FA about 0.8.
    void SetDirection(int v, float x, float y, float z) {
        Set(v, {0.3f + 1.4f * x * x, 1.4f * x * y, 1.4f * x * z, 0.3f + 1.4f * y * y, 1.4f * y * z,
                0.3f + 1.4f * z * z});
    }
    // Principal x, second y, third z: an exactly diagonal tensor everywhere.
    void FillAxes() {
        for (size_t v = 0; v < mask.size(); ++v)
            Set(v, {1.7f, 0, 0, 0.6f, 0, 0.3f});
    }
    std::vector<float> Half(int method, std::vector<float> seed, float cosAngle, int flag,
                            std::vector<float> track = {}, int eigenIndex = 0,
                            float* angleScale = nullptr, float stepFactor = 1) {
        CTrack::GetTrackOneWay(dims, voxel, tensors.data(), mask.data(), seed.data(), method,
                               stepFactor, cosAngle, angleScale, track, flag, eigenIndex);
        return track;
    }
    std::vector<float> Whole(int method, std::vector<float> seed, float cosAngle) {
        return Half(method, seed, cosAngle, 0, Half(method, seed, cosAngle, 1));
    }
};

std::vector<float> Xs(const std::vector<float>& track) {
    std::vector<float> xs;
    for (size_t n = 0; n < track.size(); n += 3)
        xs.push_back(track[n]);
    return xs;
}

// x runs along the principal axis; step 1 mm is half a voxel along x.
Field AxisField() {
    Field field(8, 4, 4, 2, 1.5f, 1);
    field.FillAxes();
    return field;
}
const std::vector<float> kAxisSeed = {7, 3, 2.5f};

TEST(TrackInterpolation, BlendsTheEightCornersByTheirWeights) {
    Field field(3, 3, 3, 2, 1, 0.5f);
    for (int k = 0; k < 3; ++k)
        for (int j = 0; j < 3; ++j)
            for (int i = 0; i < 3; ++i)
                field.Set(field.Index(i, j, k), {3.0f + i + 2 * j + 4 * k, 0, 0, 1, 0, 0.5f});
    float values[3], rows[3][3], *vectors[3] = {rows[0], rows[1], rows[2]};
    auto largest = [&](float x, float y, float z) {
        float position[3] = {x, y, z};
        values[0] = -1;
        const int ok = CTrack::InterpolateVoxel(field.dims, field.voxel, field.tensors.data(),
                                                position, values, vectors);
        return ok ? values[0] : values[0] - 1;
    };
    EXPECT_FLOAT_EQ(largest(2, 1, 0.5f), 10);             // corner of (1, 1, 1)
    EXPECT_FLOAT_EQ(largest(1, 0.5f, 0.25f), 6.5f);       // centre of (0, 0, 0)
    EXPECT_FLOAT_EQ(largest(0.5f, 0.5f, 0.375f), 7.25f);  // fractions 0.25, 0.5, 0.75
    EXPECT_FLOAT_EQ(largest(-1, 0.5f, 0.25f), 5.5f);      // extrapolates below zero
    EXPECT_FLOAT_EQ(rows[0][0], 1);
    EXPECT_EQ(largest(4.5f, 0.5f, 0.25f), -2);  // last layer along x: untouched
    EXPECT_EQ(largest(1, 2.1f, 0.25f), -2);
    EXPECT_EQ(largest(1, 0.5f, 1.1f), -2);
    EXPECT_EQ(largest(-2, 0.5f, 0.25f), -2);
    EXPECT_EQ(largest(kNaN, 0.5f, 0.25f), -2);
    field.dims[1] = 1;
    EXPECT_EQ(largest(1, 0.5f, 0.25f), -2);
}

TEST(TrackFact, StoresTheEntryOfEachVoxelBackwardFirstAndTheSeedOnce) {
    Field field = AxisField();
    // Equal cosines pass; truncation toward zero keeps -0.5 in voxel 0.
    const std::vector<float> expected = {1, 3, 5, 7, 8, 10, 12, 14};
    EXPECT_EQ(Xs(field.Whole(0, kAxisSeed, 1)), expected);
    const std::vector<float> track = field.Whole(0, kAxisSeed, 1);
    for (size_t n = 0; n < track.size(); n += 3) {
        EXPECT_EQ(track[n + 1], 3);
        EXPECT_EQ(track[n + 2], 2.5f);
    }
    // Tensorline coincides with FACT on a uniform field, whatever the eigenvector index.
    EXPECT_EQ(field.Whole(3, kAxisSeed, 1), track);
    EXPECT_EQ(field.Half(3, kAxisSeed, 1, 1, {}, 2), field.Half(0, kAxisSeed, 1, 1));
    // Entry content stays; a backward half goes in front of it.
    const std::vector<float> entry = {-1, -2, -3, -4};
    const std::vector<float> before = {1, 3, 2.5f, 3, 3, 2.5f, 5, 3, 2.5f, -1, -2, -3, -4};
    EXPECT_EQ(field.Half(0, kAxisSeed, 1, 1, entry), before);
    std::vector<float> after = entry;
    after.insert(after.end(), track.begin() + 9, track.end());
    EXPECT_EQ(field.Half(0, kAxisSeed, 1, 0, entry), after);
    // Eigenvector index 1 follows y (0.75 mm steps, one voxel each).
    EXPECT_EQ(field.Half(0, kAxisSeed, 1, 0, {}, 1), (std::vector<float>{7, 3, 2.5f, 7, 5, 2.5f}));
    // A seed on the upper face is outside.
    EXPECT_TRUE(field.Half(0, {16, 3, 2.5f}, 1, 0).empty());
}

TEST(TrackFact, FollowsAnOffAxisDirectionOnePointPerVoxel) {
    Field field(10, 10, 10, 2, 2, 2);
    for (size_t v = 0; v < field.mask.size(); ++v)
        field.SetDirection(v, 1 / 3.0f, 2 / 3.0f, 2 / 3.0f);
    const std::vector<float> track = field.Whole(0, {3.1f, 2.3f, 1.7f}, kCos45);
    ASSERT_GE(track.size(), 3 * 8u);
    for (size_t n = 0; n + 3 < track.size(); n += 3) {
        float along = 0, off = 0;
        for (int a = 0; a < 3; ++a) {
            const float step = track[n + 3 + a] - track[n + a];
            along += step * (a == 0 ? 1 / 3.0f : 2 / 3.0f);
            off += std::fabs(step) * std::fabs(step);
        }
        off = std::sqrt(std::fabs(off - along * along));
        EXPECT_LT(off, 1e-3f);  // on the line through the seed
        EXPECT_GT(along, 0.5f);
        EXPECT_NEAR(along, std::round(along), 1e-3f);  // a whole number of 1 mm steps
    }
}

TEST(TrackPropagators, RungeKuttaAndFixedStepOnTheAxisField) {
    Field field = AxisField();
    // Midpoints of the two stages; the first stage may wrap into the previous row of voxels.
    EXPECT_EQ(Xs(field.Whole(2, kAxisSeed, 1)),
              (std::vector<float>{0.5f, 3, 5, 7, 8.5f, 10.5f, 12.5f, 14.5f}));
    // 1 mm steps; extrapolation below zero, no interpolation in the last layer.
    std::vector<float> expected;
    for (int x = -1; x <= 13; ++x)
        expected.push_back(x);
    EXPECT_EQ(Xs(field.Whole(1, kAxisSeed, 1)), expected);
    EXPECT_TRUE(field.Half(1, {14.5f, 3, 2.5f}, 1, 0).empty());
    // Step factor 0: the voxel walk cannot move, so the seed is all; the fixed step repeats it.
    for (int method : {0, 2, 3})
        EXPECT_EQ(field.Half(method, kAxisSeed, 1, 0, {}, 0, nullptr, 0), kAxisSeed);
    EXPECT_EQ(field.Half(1, kAxisSeed, 1, 0, {}, 0, nullptr, 0).size(), 15003u);
}

TEST(TrackPropagators, StopAtTheMaskTheAngleAndTheLengthCap) {
    Field field = AxisField();
    field.mask[field.Index(5, 2, 2)] = 0;
    field.mask[field.Index(0, 2, 2)] = -1;
    EXPECT_EQ(Xs(field.Whole(0, kAxisSeed, 1)), (std::vector<float>{3, 5, 7, 8}));
    for (int method = 0; method < 4; ++method)
        for (int flag = 0; flag < 2; ++flag)
            EXPECT_TRUE(field.Half(method, {1, 3, 2.5f}, 1, flag).empty()) << method;

    // The direction turns by 30 degrees from voxel 4 on along x.
    Field turn(12, 12, 3, 2, 2, 2);
    for (int v = 0; v < 12 * 12 * 3; ++v)
        turn.SetDirection(v, v % 12 < 4 ? 1 : 0.8660254f, v % 12 < 4 ? 0 : 0.5f, 0);
    const std::vector<float> seed = {3, 3, 3};
    EXPECT_EQ(Xs(turn.Half(0, seed, 0.94f, 0)), (std::vector<float>{3, 5, 7}));
    EXPECT_GT(turn.Half(0, seed, kCos45, 0).size(), 9u);
    std::vector<float> scale(12 * 12 * 3, 1);
    EXPECT_GT(turn.Half(0, seed, kCos45, 0, {}, 0, scale.data()).size(), 9u);
    for (int v = 0; v < 12 * 12 * 3; ++v)
        scale[v] = v % 12 < 4 ? 1 : 0.5f;  // the voxel entered decides
    EXPECT_EQ(turn.Half(0, seed, kCos45, 0, {}, 0, scale.data()).size(), 9u);
    // Every method code runs its own propagator, and the four differ on this field.
    using Propagator = void (*)(int*, float*, float*, short*, float*, float, float, float*,
                                std::vector<float>&, int, int);
    const Propagator propagators[4] = {&CTrack::GetTrackFACT, &CTrack::GetTrackFixedStep,
                                       &CTrack::GetTrackRungeKutta2, &CTrack::GetTrackTensorLine};
    std::vector<float> direct[4];
    for (int method = 0; method < 4; ++method) {
        std::vector<float> start = seed;
        propagators[method](turn.dims, turn.voxel, turn.tensors.data(), turn.mask.data(),
                            start.data(), 1, kCos45, nullptr, direct[method], 0, 0);
        EXPECT_EQ(turn.Half(method, seed, kCos45, 0), direct[method]);
        for (int other = 0; other < method; ++other)
            EXPECT_NE(direct[other], direct[method]);
    }

    // 4001 points from an empty buffer (5001 for the fixed step), counting what was there.
    Field line(5100, 2, 2, 1, 1, 1);
    line.FillAxes();
    const std::vector<float> start = {0.5f, 0.5f, 0.5f};
    EXPECT_EQ(line.Half(0, start, 1, 0).size(), 12003u);
    EXPECT_EQ(line.Half(3, start, 1, 0).size(), 12003u);
    EXPECT_EQ(line.Half(2, start, 1, 0).size(), 12003u);
    EXPECT_EQ(line.Half(1, start, 1, 0).size(), 15003u);
    EXPECT_EQ(line.Half(0, start, 1, 0, std::vector<float>(12003)).size(), 12006u);
    const std::vector<float> front =
        line.Half(0, {2550.5f, 0.5f, 0.5f}, 1, 1, std::vector<float>(12000, 9));
    EXPECT_EQ(front.size(), 12003u);
    EXPECT_EQ(front[0], 2549.5f);
    EXPECT_EQ(front[3], 9);
    // The cap counts the whole track: the backward half leaves room for the seed only.
    const std::vector<float> far = {5050.5f, 0.5f, 0.5f};
    EXPECT_EQ(line.Whole(0, far, 1).size(), 12006u);
    EXPECT_EQ(line.Whole(0, far, 1)[12003], 5050.5f);
    EXPECT_EQ(line.Whole(1, far, 1).size(), 15006u);
}

TEST(TrackAssembly, GetTrackJoinsTheHalvesAndOwnsNothingOnFailure) {
    Field field = AxisField();
    float seed[3] = {7, 3, 2.5f};
    float* points = nullptr;
    int count = -1;
    float sentinel;
    for (int method : {4, -1}) {
        points = &sentinel;
        EXPECT_EQ(CTrack::GetTrack(field.dims, field.voxel, field.tensors.data(), field.mask.data(),
                                   seed, method, 1, 45, nullptr, points, count, 0),
                  0);
        EXPECT_EQ(count, 0);
        EXPECT_EQ(points, &sentinel);
    }
    ASSERT_EQ(CTrack::GetTrack(field.dims, field.voxel, field.tensors.data(), field.mask.data(),
                               seed, 0, 1, 0, nullptr, points, count, 0),
              1);
    EXPECT_EQ(std::vector<float>(points, points + 3 * count), field.Whole(0, kAxisSeed, 1));
    delete[] points;
    // Two points are not a track.
    Field pair(2, 4, 4, 2, 1.5f, 1);
    pair.FillAxes();
    float corner[3] = {1, 3, 2.5f};
    points = &sentinel;
    EXPECT_EQ(CTrack::GetTrack(pair.dims, pair.voxel, pair.tensors.data(), pair.mask.data(), corner,
                               0, 1, 0, nullptr, points, count, 0),
              0);
    EXPECT_EQ(count, 2);
    // Voxel (2, 3, 4) of 2 x 2 x 2.5 mm voxels starts at (5, 7, 11.25).
    Field big(10, 10, 10, 2, 2, 2.5f);
    big.FillAxes();
    int voxel[3] = {2, 3, 4};
    ASSERT_EQ(CTrack::GetTrack(big.dims, big.voxel, big.tensors.data(), big.mask.data(), voxel, 0,
                               1, 45, nullptr, points, count, 0),
              1);
    EXPECT_EQ(std::vector<float>(points, points + 3 * count), big.Whole(0, {5, 7, 11.25f}, kCos45));
    delete[] points;
    // 90 degrees is not quite a right angle: a perpendicular turn ends the track there.
    Field square(8, 8, 2, 2, 2, 2);
    for (int v = 0; v < 8 * 8 * 2; ++v)
        square.SetDirection(v, v % 8 < 4, v % 8 >= 4, 0);
    float left[3] = {3, 3, 3};
    ASSERT_EQ(CTrack::GetTrack(square.dims, square.voxel, square.tensors.data(), square.mask.data(),
                               left, 0, 1, 90, nullptr, points, count, 0),
              1);
    EXPECT_EQ(count, 4);
    delete[] points;
    EXPECT_GT(square.Half(0, {3, 3, 3}, 0, 0).size(), 12u);
}

TEST(TrackPropagators, BadArgumentsAddNothingAndStuckWalksEnd) {
    Field field = AxisField();
    float seed[3] = {7, 3, 2.5f}, nanSeed[3] = {kNaN, 3, 2.5f};
    int negative[3] = {-8, -4, 4}, huge[3] = {INT_MAX, INT_MAX, INT_MAX};
    float* tensors = field.tensors.data();
    short* mask = field.mask.data();
    for (int method = 0; method < 4; ++method) {
        std::vector<float> track;
        auto run = [&](int* dims, float* t, short* m, float* s, int index) {
            CTrack::GetTrackOneWay(dims, field.voxel, t, m, s, method, 1, 1, nullptr, track, 0,
                                   index);
        };
        run(field.dims, tensors, mask, nanSeed, 0);
        run(field.dims, nullptr, mask, seed, 0);
        run(field.dims, tensors, nullptr, seed, 0);
        run(negative, tensors, mask, seed, 0);
        run(huge, tensors, mask, seed, 0);
        run(nullptr, tensors, mask, seed, 0);
        run(field.dims, tensors, mask, nullptr, 0);
        if (method != 3) run(field.dims, tensors, mask, seed, 3);
        if (method != 3) run(field.dims, tensors, mask, seed, -1);
        EXPECT_TRUE(track.empty()) << method;
    }
    // Walks that cannot leave a voxel end the track after the seed.
    Field flat = AxisField();
    flat.voxel[0] = std::numeric_limits<float>::infinity();
    EXPECT_EQ(flat.Half(0, kAxisSeed, 1, 0).size(), 3u);
    for (int method : {0, 2, 3})
        EXPECT_EQ(field.Half(method, kAxisSeed, 1, 0, {}, 0, nullptr, kNaN), kAxisSeed);
}

TEST(TrackGeometry, PlanesAndDisks) {
    float line[9] = {0, 0, 0, 1, 0, 0, 2, 0, 0};
    EXPECT_EQ(CTrack::IntersectWithPlane(line, 3, 0, 1.5f), 1);
    EXPECT_EQ(CTrack::IntersectWithPlane(line, 3, 0, 2.5f), 0);
    EXPECT_EQ(CTrack::IntersectWithPlane(line, 3, 0, 2.5f, 2), 1);
    EXPECT_EQ(CTrack::IntersectWithPlane(line, 3, 0, 2.5f, 1), 0);
    EXPECT_EQ(CTrack::IntersectWithPlane(line, 3, 0, 0), 1);  // first point on the plane
    EXPECT_EQ(CTrack::IntersectWithPlane(line, 3, 1, -1), 0);
    EXPECT_EQ(CTrack::IntersectWithPlane(line, 3, 3, 1.5f), 0);
    EXPECT_EQ(CTrack::IntersectWithPlane(line, 1, 0, 0), 0);
    EXPECT_EQ(CTrack::IntersectWithPlane(line, 1, 0, -1, 5), 0);

    float normal[3] = {1, 0, 0}, at[3] = {1.5f, 0, 0}, hit[3] = {7, 7, 7};
    int segment = -1;
    EXPECT_EQ(CTrack::IntersectWithPlane(line, 1, normal, at, hit, &segment), 0);
    EXPECT_EQ(hit[0], 7);
    EXPECT_EQ(CTrack::IntersectWithPlane(line, 3, normal, at, hit, &segment), 1);
    EXPECT_EQ(segment, 1);
    EXPECT_EQ(hit[0], 1.5f);
    at[0] = 1;  // a crossing at a shared point belongs to the lower segment
    EXPECT_EQ(CTrack::IntersectWithPlane(line, 3, normal, at, hit, &segment), 1);
    EXPECT_EQ(segment, 0);
    EXPECT_EQ(hit[0], 1);
    float across[3] = {0, 1, 0};
    EXPECT_EQ(CTrack::IntersectWithPlane(line, 3, across, at, hit, nullptr), 0);  // in the plane

    float centre[3] = {1.5f, 0, 0};
    EXPECT_EQ(CTrack::IntersectWithDisk(line, 3, normal, centre, 0.1f, hit, 90), 1);
    EXPECT_EQ(CTrack::IntersectWithDisk(line, 3, normal, centre, 0.1f, hit, 10), 1);
    centre[1] = 1;
    EXPECT_EQ(CTrack::IntersectWithDisk(line, 3, normal, centre, 0.5f, hit, 90), 0);
    EXPECT_EQ(CTrack::IntersectWithDisk(line, 3, normal, centre, 1, hit, 90), 1);  // on the rim
    // Segments at 170 and 60 degrees to the normal.
    const float c = std::cos(10 * 3.14159265f / 180), s = std::sin(10 * 3.14159265f / 180);
    float back[6] = {c, -s, 0, -c, s, 0}, steep[6] = {-0.5f, -0.8660254f, 0, 0.5f, 0.8660254f, 0};
    float origin[3] = {0, 0, 0};
    EXPECT_EQ(CTrack::IntersectWithDisk(back, 2, normal, origin, 1, hit, 15), 1);
    EXPECT_EQ(CTrack::IntersectWithDisk(back, 2, normal, origin, 1, hit, 5), 0);
    EXPECT_EQ(CTrack::IntersectWithDisk(steep, 2, normal, origin, 1, hit, 61), 1);
    EXPECT_EQ(CTrack::IntersectWithDisk(steep, 2, normal, origin, 1, hit, 59), 0);
}

TEST(TrackGeometry, LengthCurvatureTorsionAndUFactor) {
    float bent[9] = {0, 0, 0, 3, 4, 0, 3, 4, 12};
    EXPECT_EQ(CTrack::GetLength(bent, 3), 17);
    EXPECT_EQ(CTrack::GetLength(bent, 1), 0);

    // Tangents x, (x + y) / sqrt 2, (x + y + z) / sqrt 3 on unit segments.
    const float r2 = 1 / std::sqrt(2.0f), r3 = 1 / std::sqrt(3.0f);
    for (float turn : {1.0f, -1.0f}) {
        float helix[12] = {0, 0, 0, 1, 0, 0, 1 + r2, r2, 0, 1 + r2 + r3, r2 + r3, turn * r3};
        for (bool average : {false, true}) {
            float curvature, torsion, product;
            CTrack::GetCurvatureAndTorsion(helix, 4, curvature, torsion, product, average);
            const float share = average ? 1 / 3.0f : 1;
            EXPECT_NEAR(curvature, 1.3711819f * share, 1e-5f);
            EXPECT_NEAR(torsion, 0.2886751f * share, 1e-5f);
            EXPECT_NEAR(product, turn * 0.2209424f * share, 1e-5f);
        }
    }
    float curvature = 5, torsion = 5, product = 5;
    CTrack::GetCurvatureAndTorsion(bent, 2, curvature, torsion, product, false);
    EXPECT_EQ(curvature + torsion, 0);
    EXPECT_EQ(product, 5);
    float straight[9] = {0, 0, 0, 1, 1, 1, 2, 2, 2};
    CTrack::GetCurvatureAndTorsion(straight, 3, curvature, torsion, product, true);
    EXPECT_EQ(curvature + torsion + product, 0);

    float u[12] = {0, 0, 0, 0, 1, 0, 1, 1, 0, 1, 0, 0};
    EXPECT_EQ(CTrack::GetUFactor(u, 4, 0), 1);
    u[10] = 2;
    EXPECT_EQ(CTrack::GetUFactor(u, 4, 0), -1);
    EXPECT_EQ(CTrack::GetUFactor(u, 3, 0), 0);
    // Thirds of six points: chords to points 2 and 4.
    float six[18] = {0, 0, 0, 9, 9, 9, 0, 2, 0, 9, 9, 9, 2, 2, 0, 2, 0, 0};
    EXPECT_EQ(CTrack::GetUFactor(six, 6, 0), 1);
}

}  // namespace
