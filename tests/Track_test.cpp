#include "tracking/Track.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <limits>
#include <tuple>
#include <vector>

namespace {

using Points = std::vector<float>;
const float kNaN = std::numeric_limits<float>::quiet_NaN();
const float kCos45 = std::cos(0.25f * 3.14159265f);

// 0.3 I + 1.4 e e^T for a unit principal direction e.
Points Along(float x, float y, float z) {
    return {0.3f + 1.4f * x * x, 1.4f * x * y, 1.4f * x * z,
            0.3f + 1.4f * y * y, 1.4f * y * z, 0.3f + 1.4f * z * z};
}

// Points (x, y, z) in mm, one per x.
Points Line(const Points& xs, float y = 3, float z = 2.5f) {
    Points track;
    for (float x : xs)
        track.insert(track.end(), {x, y, z});
    return track;
}

// A tensor volume with its mask, every voxel trackable until changed.
struct Field {
    int dims[3];
    float voxel[3];
    std::vector<float> tensors;
    std::vector<short> mask;

    // The tensor of voxel v is tensor(v); without a function the eigenvectors are exactly x, y
    // and z everywhere, with eigenvalues 1.7, 0.6 and 0.3.
    Field(int nx, int ny, int nz, float vx, float vy, float vz, Points (*tensor)(int) = nullptr)
        : dims{nx, ny, nz}, voxel{vx, vy, vz}, mask(nx * ny * nz, 1) {
        for (int v = 0; v < nx * ny * nz; ++v)
            for (float c : tensor ? tensor(v) : Points{1.7f, 0, 0, 0.6f, 0, 0.3f})
                tensors.push_back(c);
    }
    Points Half(int method, Points seed, float cosAngle, int flag, Points track = {},
                int eigenIndex = 0, float* angleScale = nullptr, float stepFactor = 1) {
        CTrack::GetTrackOneWay(dims, voxel, tensors.data(), mask.data(), seed.data(), method,
                               stepFactor, cosAngle, angleScale, track, flag, eigenIndex);
        return track;
    }
    Points Whole(int method, Points seed, float cosAngle) {
        return Half(method, seed, cosAngle, 0, Half(method, seed, cosAngle, 1));
    }
    // GetTrack's points, checking that the result is 1 exactly for three or more points and that
    // points is left alone otherwise.
    template <typename Seed>
    Points Track(int method, Seed seed, float maxAngle, int& count) {
        float sentinel = 0, *points = &sentinel;
        const int made = CTrack::GetTrack(dims, voxel, tensors.data(), mask.data(), seed.data(),
                                          method, 1, maxAngle, nullptr, points, count, 0);
        EXPECT_EQ(made, count > 2 ? 1 : 0);
        if (!made) return points == &sentinel ? Points() : Points(1);
        Points track(points, points + 3 * count);
        delete[] points;
        return track;
    }
};

// A seed in the axis field of 8 x 4 x 4 voxels of 2 x 1.5 x 1 mm, where the step is 1 mm, half a
// voxel along x.
const Points kSeed = {7, 3, 2.5f};

TEST(TrackInterpolation, BlendsTheEightCornersByTheirWeights) {
    Field field(3, 3, 3, 2, 1, 0.5f, [](int v) {  // xx = 3 + i + 2 j + 4 k
        return Points{3.0f + v % 3 + 2 * (v / 3 % 3) + 4 * (v / 9), 0, 0, 1, 0, 0.5f};
    });
    float values[3], rows[3][3], *vectors[3] = {rows[0], rows[1], rows[2]};
    // x, y, z and 100 when the blend is made plus its largest eigenvalue: the lower corner of (1,
    // 1, 1), the centre of (0, 0, 0), fractions 0.25, 0.5, 0.75, a position extrapolated below
    // zero, then five positions without a complete neighbourhood.
    float cases[][4] = {
        {2, 1, 0.5f, 110},         {1, 0.5f, 0.25f, 106.5f}, {0.5f, 0.5f, 0.375f, 107.25f},
        {-1, 0.5f, 0.25f, 105.5f}, {4.5f, 0.5f, 0.25f, -1},  {1, 2.1f, 0.25f, -1},
        {1, 0.5f, 1.1f, -1},       {-2, 0.5f, 0.25f, -1},    {kNaN, 0.5f, 0.25f, -1}};
    for (float* c : cases) {
        values[0] = -1;  // stays when nothing is written
        const int made = CTrack::InterpolateVoxel(field.dims, field.voxel, field.tensors.data(), c,
                                                  values, vectors);
        EXPECT_FLOAT_EQ(100 * made + values[0], c[3]) << c[0] << ", " << c[1] << ", " << c[2];
    }
    EXPECT_EQ(CTrack::InterpolateVoxel(field.dims, nullptr, nullptr, values, values, vectors), 0);
}

TEST(TrackPropagators, WalkTheAxisFieldAndStopAtTheMaskOrOnBadArguments) {
    Field field(8, 4, 4, 2, 1.5f, 1);
    // FACT stores each voxel entry, backward first and the seed once; equal cosines pass, and
    // truncation toward zero keeps x = -0.5 voxel in voxel 0. The fixed step takes 1 mm steps,
    // extrapolated below zero, none from the last layer. Runge-Kutta stores the midpoints of its
    // two stages, where a first stage may wrap into the previous row of voxels. Tensorline
    // coincides with FACT on a uniform field.
    const Points walked[4] = {{1, 3, 5, 7, 8, 10, 12, 14},
                              {-1, 0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13},
                              {0.5f, 3, 5, 7, 8.5f, 10.5f, 12.5f, 14.5f},
                              {1, 3, 5, 7, 8, 10, 12, 14}};
    for (int method = 0; method < 4; ++method)
        EXPECT_EQ(field.Whole(method, kSeed, 1), Line(walked[method])) << method;
    // What the buffer held stays; a backward half goes in front of it.
    const Points entry = {-1, -2, -3, -4};
    EXPECT_EQ(field.Half(0, kSeed, 1, 1, entry),
              (Points{1, 3, 2.5f, 3, 3, 2.5f, 5, 3, 2.5f, -1, -2, -3, -4}));
    EXPECT_EQ(field.Half(0, kSeed, 1, 0, entry), (Points{-1, -2, -3, -4, 7, 3, 2.5f, 8, 3, 2.5f, 10,
                                                         3, 2.5f, 12, 3, 2.5f, 14, 3, 2.5f}));
    // Eigenvector index 1 follows y: steps of 2/3 voxel.
    EXPECT_EQ(field.Half(0, kSeed, 1, 0, {}, 1), (Points{7, 3, 2.5f, 7, 5, 2.5f}));
    // The upper face is outside; the fixed step takes no step from the last layer.
    EXPECT_TRUE(field.Half(0, {16, 3, 2.5f}, 1, 0).empty() &&
                field.Half(1, {14.5f, 3, 2.5f}, 1, 0).empty());
    // A walk that cannot move ends after the seed; the fixed step repeats it up to the cap.
    for (int method : {0, 2, 3})
        for (float factor : {0.0f, kNaN})
            EXPECT_EQ(field.Half(method, kSeed, 1, 0, {}, 0, nullptr, factor), kSeed) << method;
    EXPECT_EQ(field.Half(1, kSeed, 1, 0, {}, 0, nullptr, 0).size(), 15003u);

    // Bad arguments add nothing; tensorline has no eigenvector column to check.
    float seed[3] = {7, 3, 2.5f}, nanSeed[3] = {kNaN, 3, 2.5f}, *t = field.tensors.data();
    int negative[3] = {-8, -4, 4}, huge[3] = {INT_MAX, INT_MAX, INT_MAX}, *dims = field.dims;
    short* mask = field.mask.data();
    // Dimensions, tensors, mask, seed and eigenvector column, one of them bad in each call.
    using Call = std::tuple<int*, float*, short*, float*, int>;
    const Call calls[] = {
        {dims, t, mask, nanSeed, 0},  {dims, nullptr, mask, seed, 0}, {dims, t, nullptr, seed, 0},
        {negative, t, mask, seed, 0}, {huge, t, mask, seed, 0},       {nullptr, t, mask, seed, 0},
        {dims, t, mask, nullptr, 0},  {dims, t, mask, seed, -1},      {dims, t, mask, seed, 3}};
    for (int method = 0; method < 4; ++method) {
        Points track;
        for (auto [d, tensors, m, s, column] : calls)
            CTrack::GetTrackOneWay(d, field.voxel, tensors, m, s, method, 1, 1, nullptr, track, 0,
                                   column);
        EXPECT_EQ(track.size(), method == 3 ? 30u : 0u) << method;
    }

    field.mask[(2 * 4 + 2) * 8 + 5] = 0;  // voxel (5, 2, 2)
    field.mask[(2 * 4 + 2) * 8] = -1;     // voxel (0, 2, 2)
    const Points kept[4] = {{3, 5, 7, 8}, {2, 3, 4, 5, 6, 7, 8, 9}, {3, 5, 7, 8.5f}, {3, 5, 7, 8}};
    for (int method = 0; method < 4; ++method) {
        EXPECT_EQ(field.Whole(method, kSeed, 1), Line(kept[method])) << method;
        for (int flag : {0, 1})
            EXPECT_TRUE(field.Half(method, {1, 3, 2.5f}, 1, flag).empty()) << method;
    }
}

TEST(TrackPropagators, FollowAnOffAxisDirection) {
    const Points e = {1 / 3.0f, 2 / 3.0f, 2 / 3.0f};
    Field field(10, 10, 10, 2, 2, 2, [](int) { return Along(1 / 3.0f, 2 / 3.0f, 2 / 3.0f); });
    for (int method = 0; method < 4; ++method) {
        const Points track = field.Whole(method, {3.1f, 2.3f, 1.7f}, 0.99f);
        ASSERT_GE(track.size(), 24u) << method;
        for (size_t n = 3; n < track.size(); n += 3) {
            float step[3], along = 0, off = 0;
            for (int a = 0; a < 3; ++a)
                along += (step[a] = track[n + a] - track[n + a - 3]) * e[a];
            for (int a = 0; a < 3; ++a)
                off = std::max(off, std::fabs(step[a] - along * e[a]));
            EXPECT_TRUE(along > 0.4f && off < 1e-4f) << method;
        }
    }
}

TEST(TrackPropagators, StopAtTheAngleAndTheLengthCap) {
    // The direction turns by 30 degrees from voxel 4 on along x.
    Field turn(12, 12, 3, 2, 2, 2,
               [](int v) { return v % 12 < 4 ? Along(1, 0, 0) : Along(0.8660254f, 0.5f, 0); });
    const Points seed = {3, 3, 3};
    EXPECT_EQ(turn.Half(0, seed, 0.92f, 0), Line({3, 5, 7}, 3, 3));
    // Tensorline turns by 21 degrees into voxel 4: the tensor applied to x, blended with x, and
    // that blended with the eigenvector.
    const Points bent = turn.Half(3, seed, 0.92f, 0);
    ASSERT_GT(bent.size(), 12u);
    EXPECT_NEAR((bent[13] - bent[10]) / (bent[12] - bent[9]), 0.3847778f, 1e-4f);
    const Points turned = turn.Half(0, seed, kCos45, 0);
    EXPECT_TRUE(turned.size() > 12 && turned[turned.size() - 2] > 7);
    std::vector<float> scale(12 * 12 * 3, 1);
    EXPECT_EQ(turn.Half(0, seed, kCos45, 0, {}, 0, scale.data()), turned);
    for (int v = 0; v < 12 * 12 * 3; ++v)
        scale[v] = v % 12 < 4 ? 1 : 0.5f;  // the voxel entered decides
    EXPECT_EQ(turn.Half(0, seed, kCos45, 0, {}, 0, scale.data()).size(), 9u);
    // 4001 points from an empty buffer (5001 for the fixed step), counting what it held.
    Field line(5100, 2, 2, 1, 1, 1);
    const Points start = {0.5f, 0.5f, 0.5f}, far = {5050.5f, 0.5f, 0.5f};
    for (int method = 0; method < 4; ++method)
        EXPECT_EQ(line.Half(method, start, 1, 0).size(), method == 1 ? 15003u : 12003u);
    EXPECT_EQ(line.Half(0, start, 1, 0, Points(12003)).size(), 12006u);
    const Points front = line.Half(0, far, 1, 1, Points(12000, 9));
    EXPECT_TRUE(front.size() == 12003 && front[0] == 5049.5f && front[3] == 9);
    // The cap counts the whole track: a backward half at the cap leaves room for the seed.
    EXPECT_EQ(line.Whole(0, far, 1)[12003], 5050.5f);
    EXPECT_EQ(line.Whole(1, far, 1).size(), 15006u);
}

TEST(TrackAssembly, GetTrackJoinsTheHalvesAndOwnsNothingOnFailure) {
    Field field(8, 4, 4, 2, 1.5f, 1);
    int count = -1;
    EXPECT_TRUE(field.Track(4, kSeed, 45, count).empty() && count == 0);  // no such method
    EXPECT_EQ(field.Track(0, kSeed, 0, count), field.Whole(0, kSeed, 1));
    Field pair(2, 4, 4, 2, 1.5f, 1);  // two points are not a track
    EXPECT_TRUE(pair.Track(0, Points{1, 3, 2.5f}, 0, count).empty() && count == 2);
    float* none = nullptr;  // without a seed voxel: no points and a count of 0
    EXPECT_EQ(CTrack::GetTrack(field.dims, field.voxel, field.tensors.data(), field.mask.data(),
                               static_cast<int*>(nullptr), 0, 1, 45, nullptr, none, count, 0),
              0);
    EXPECT_TRUE(count == 0 && none == nullptr);
    // Voxel (2, 3, 4) of 2 x 2 x 2.5 mm voxels starts at (5, 7, 11.25).
    Field big(10, 10, 10, 2, 2, 2.5f);
    EXPECT_EQ(big.Track(0, std::vector<int>{2, 3, 4}, 45, count),
              big.Whole(0, {5, 7, 11.25f}, kCos45));
    // 90 degrees is not quite a right angle: a perpendicular turn ends the track.
    Field square(8, 8, 2, 2, 2, 2, [](int v) { return Along(v % 8 < 4, v % 8 >= 4, 0); });
    EXPECT_EQ(square.Track(0, Points{3, 3, 3}, 90, count), Line({1, 3, 5, 7}, 3, 3));
}

TEST(TrackGeometry, CrossingsLengthCurvatureTorsionAndUFactor) {
    float line[9] = {0, 0, 0, 1, 0, 0, 2, 0, 0};
    EXPECT_EQ(CTrack::IntersectWithPlane(line, 3, 0, 1.5f), 1);
    EXPECT_EQ(CTrack::IntersectWithPlane(line, 3, 0, 2.5f), 0);
    EXPECT_EQ(CTrack::IntersectWithPlane(line, 3, 0, 2.5f, 2), 1);
    EXPECT_EQ(CTrack::IntersectWithPlane(line, 3, 0, 2.5f, 1), 0);
    EXPECT_EQ(CTrack::IntersectWithPlane(line, 3, 0, 0), 1);  // the first point on the plane
    EXPECT_EQ(CTrack::IntersectWithPlane(line, 1, 0, 0, 5), 0);

    float normal[3] = {1, 0, 0}, across[3] = {0, 1, 0}, at[3] = {1.5f, 0, 0}, hit[3] = {7, 7, 7};
    int segment = -1;
    EXPECT_TRUE(CTrack::IntersectWithPlane(line, 1, normal, at, hit, &segment) == 0 && hit[0] == 7);
    EXPECT_TRUE(CTrack::IntersectWithPlane(line, 3, normal, at, hit, &segment) == 1 &&
                segment == 1 && hit[0] == 1.5f);
    at[0] = 1;  // a crossing at a shared point belongs to the lower segment
    EXPECT_TRUE(CTrack::IntersectWithPlane(line, 3, normal, at, hit, &segment) == 1 &&
                segment == 0 && hit[0] == 1);
    EXPECT_EQ(CTrack::IntersectWithPlane(line, 3, across, at, hit, nullptr), 0);  // in the plane
    EXPECT_EQ(CTrack::IntersectWithPlane(line, 3, normal, at, nullptr, nullptr), 0);

    // The angle is that of the crossing segment, along x.
    float kinked[9] = {0, 1, 0, 1, 0, 0, 2, 0, 0}, centre[3] = {1.5f, 0, 0};
    EXPECT_EQ(CTrack::IntersectWithDisk(kinked, 3, normal, centre, 0.1f, hit, 10), 1);
    centre[1] = 1;
    EXPECT_EQ(CTrack::IntersectWithDisk(kinked, 3, normal, centre, 0.5f, hit, 90), 0);
    EXPECT_EQ(CTrack::IntersectWithDisk(kinked, 3, normal, centre, 1, hit, 90), 1);  // on the rim
    // A segment at 170 degrees to the normal is within 15 degrees of the normal line.
    const float c = std::cos(10 * 3.14159265f / 180), s = std::sin(10 * 3.14159265f / 180);
    float back[6] = {c, -s, 0, -c, s, 0}, origin[3] = {0, 0, 0};
    EXPECT_EQ(CTrack::IntersectWithDisk(back, 2, normal, origin, 1, hit, 15), 1);
    EXPECT_EQ(CTrack::IntersectWithDisk(back, 2, normal, origin, 1, hit, 5), 0);

    float bent[9] = {0, 0, 0, 3, 4, 0, 3, 4, 12};
    EXPECT_EQ(CTrack::GetLength(bent, 3), 17);
    // Unit segments along x, (x + y) / sqrt 2 and (x + y +- z) / sqrt 3, then with the axes turned
    // round so that each coordinate takes every part.
    const float r2 = 1 / std::sqrt(2.0f), r3 = 1 / std::sqrt(3.0f);
    for (int shift = 0; shift < 3; ++shift)
        for (float turn : {1.0f, -1.0f}) {
            float helix[12] = {0, 0, 0, 1, 0, 0, 1 + r2, r2, 0, 1 + r2 + r3, r2 + r3, turn * r3};
            for (float* point = helix; point < helix + 12; point += 3)
                std::rotate(point, point + 3 - shift, point + 3);
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
    EXPECT_TRUE(curvature == 0 && torsion == 0 && product == 5);
    CTrack::GetCurvatureAndTorsion(bent, 3, curvature, torsion, product, false);
    EXPECT_NEAR(curvature, 0.2828427f, 1e-6f);  // sqrt 2 / 5, turning once

    float u[12] = {0, 0, 0, 0, 1, 0, 1, 1, 0, 1, 0, 0};
    EXPECT_EQ(CTrack::GetUFactor(u, 4, 0), 1);
    u[10] = 2;
    EXPECT_EQ(CTrack::GetUFactor(u, 4, 0), -1);
    float skew[12] = {0, 0, 0, 1, 0, 2, 3, 1, 2, 2, 3, 1}, repeated[12] = {0, 0, 0, 0, 0, 0, 1, 1};
    EXPECT_NEAR(CTrack::GetUFactor(skew, 4, 0), 0.5477226f, 1e-6f);
    EXPECT_EQ(CTrack::GetUFactor(repeated, 4, 0), 0);  // a zero chord stays zero
    // Six points: the chords run to points 2 and 4.
    float six[18] = {0, 0, 0, 9, 9, 9, 0, 2, 0, 9, 9, 9, 2, 2, 0, 2, 0, 0};
    EXPECT_EQ(CTrack::GetUFactor(six, 6, 0), 1);
}

}  // namespace
