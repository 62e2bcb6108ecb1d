#include "tracking/Track.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <tuple>
#include <vector>

#include "tensor_fields.h"

namespace {

using tensor_fields::Along;
using tensor_fields::Field;
using tensor_fields::Points;
const float kNaN = std::nanf("");
const float kCos45 = std::cos(0.25f * 3.14159265f);

// Points (x, y, z) in mm, one per x.
Points Line(const Points& xs, float y = 3, float z = 2.5f) {
    Points track;
    for (float x : xs)
        track.insert(track.end(), {x, y, z});
    return track;
}

// A seed in the axis field of 8 x 4 x 4 voxels of 2 x 1.5 x 1 mm, where the step is 1 mm, half a
// voxel along x.
const Points kSeed = {7, 3, 2.5f};

TEST(TrackInterpolation, BlendsTheEightCornersByTheirWeights) {
    Field field(3, 3, 3, 2, 1, 0.5f, [](int v) {  // xx = 3 + i + 2 j + 4 k
        return Points{3.0f + v % 3 + 2 * (v / 3 % 3) + 4 * (v / 9), 0, 0, 1, 0, 0.5f};
    });
    // x, y, z, whether the blend is made and its largest eigenvalue (-1: nothing written): the
    // lower corner of (1, 1, 1), the centre of (0, 0, 0), fractions 0.25, 0.5, 0.75, a position
    // extrapolated below zero, then five positions without a complete neighbourhood.
    const float cases[][5] = {
        {2, 1, 0.5f, 1, 10},        {1, 0.5f, 0.25f, 1, 6.5f},  {0.5f, 0.5f, 0.375f, 1, 7.25f},
        {-1, 0.5f, 0.25f, 1, 5.5f}, {4.5f, 0.5f, 0.25f, 0, -1}, {1, 2.1f, 0.25f, 0, -1},
        {1, 0.5f, 1.1f, 0, -1},     {-2, 0.5f, 0.25f, 0, -1},   {kNaN, 0.5f, 0.25f, 0, -1}};
    for (const float* c : cases) {
        float values[3] = {-1}, rows[3][3], *vectors[3] = {rows[0], rows[1], rows[2]};
        float position[3] = {c[0], c[1], c[2]};
        const int made = CTrack::InterpolateVoxel(field.dims, field.voxel, field.tensors.data(),
                                                  position, values, vectors);
        EXPECT_EQ(std::make_tuple(made, std::round(values[0] * 1e4f) / 1e4f),
                  std::make_tuple(int(c[3]), c[4]))
            << c[0] << ", " << c[1] << ", " << c[2];
        // Either output missing: nothing is made.
        EXPECT_FALSE(CTrack::InterpolateVoxel(field.dims, field.voxel, field.tensors.data(),
                                              position, nullptr, vectors) ||
                     CTrack::InterpolateVoxel(field.dims, field.voxel, field.tensors.data(),
                                              position, values, nullptr));
    }
}

TEST(TrackPropagators, WalkTheAxisFieldAndStopAtTheMaskOrOnBadArguments) {
    Field field(8, 4, 4, 2, 1.5f, 1);
    // FACT stores each voxel entry, backward first and the seed once; equal cosines pass, and
    // truncation toward zero keeps x = -0.5 voxel in voxel 0. The fixed step takes 1 mm steps,
    // extrapolated below zero, none from the last layer. Runge-Kutta stores the midpoints of its
    // two stages, where a first stage may wrap into the previous row of voxels. Tensorline
    // coincides with FACT on a uniform field. The upper face (x = 16) lies outside.
    const Points walked[4] = {{1, 3, 5, 7, 8, 10, 12, 14},
                              {-1, 0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13},
                              {0.5f, 3, 5, 7, 8.5f, 10.5f, 12.5f, 14.5f},
                              {1, 3, 5, 7, 8, 10, 12, 14}};
    for (int method = 0; method < 4; ++method)
        EXPECT_EQ(field.Whole(method, kSeed, 1), Line(walked[method])) << method;
    // A backward half goes in front of what the buffer held (a forward half after it, as above).
    EXPECT_EQ(field.Half(0, kSeed, 1, 1, {-1, -2, -3, -4}),
              (Points{1, 3, 2.5f, 3, 3, 2.5f, 5, 3, 2.5f, -1, -2, -3, -4}));
    // Eigenvector index 1 follows y: steps of 2/3 voxel.
    EXPECT_EQ(field.Half(0, kSeed, 1, 0, {}, 1), (Points{7, 3, 2.5f, 7, 5, 2.5f}));
    // A walk that cannot move ends after the seed.
    for (int method : {0, 2, 3})
        for (float factor : {0.0f, kNaN})
            EXPECT_EQ(field.Half(method, kSeed, 1, 0, {}, 0, nullptr, factor), kSeed) << method;

    // A walk leaving through y or z between -1 and 0 voxel stops before: the position truncates
    // into voxel 0 but lies outside.
    for (Points (*along)(int) :
         {+[](int) { return Along(0, 1, 0); }, +[](int) { return Along(0, 0, 1); }}) {
        Field down(4, 4, 4, 1, 1, 1, along);
        for (int method : {0, 3})
            EXPECT_EQ(down.Half(method, {1.5f, 1.5f, 1.5f}, 1, 1).size(), 3u) << method;
    }

    // Bad arguments add nothing; tensorline has no eigenvector column to check.
    float seed[3] = {7, 3, 2.5f}, nanSeed[3] = {kNaN, 3, 2.5f}, *t = field.tensors.data();
    int negative[3] = {-8, -4, 4}, huge[3] = {1 << 30, 1 << 30, 1 << 30}, *dims = field.dims;
    short* mask = field.mask.data();
    // Dimensions, tensors, mask, seed and eigenvector column, one of them bad in each call (the
    // huge dimensions overflow the voxel count).
    const std::tuple<int*, float*, short*, float*, int> calls[] = {
        {dims, t, mask, nanSeed, 0},  {dims, nullptr, mask, seed, 0}, {dims, t, nullptr, seed, 0},
        {negative, t, mask, seed, 0}, {huge, t, mask, seed, 0},       {nullptr, t, mask, seed, 0},
        {dims, t, mask, nullptr, 0},  {dims, t, mask, seed, -1},      {dims, t, mask, seed, 3}};
    Points track;
    for (int method = 0; method < 4; ++method)
        for (auto [d, tensors, m, s, column] : calls)
            CTrack::GetTrackOneWay(d, field.voxel, tensors, m, s, method, 1, 1, nullptr, track, 0,
                                   column);
    EXPECT_EQ(track.size(), 30u);  // the two tensorlines with a bad column

    // Voxel (5, 2, 2) at 0 and voxel (0, 2, 2) at -1 are outside the mask.
    field.mask[(2 * 4 + 2) * 8 + 5] = 0;
    field.mask[(2 * 4 + 2) * 8] = -1;
    const Points kept[4] = {{3, 5, 7, 8}, {2, 3, 4, 5, 6, 7, 8, 9}, {3, 5, 7, 8.5f}, {3, 5, 7, 8}};
    for (int method = 0; method < 4; ++method)
        EXPECT_EQ(field.Whole(method, kSeed, 1), Line(kept[method])) << method;
}

TEST(TrackPropagators, FollowAnOffAxisDirectionAndStopAtTheAngleAndTheLengthCap) {
    // Along e = (1, 2, 2) / 3 every step goes forward with y and z twice x.
    Field field(10, 10, 10, 2, 2, 2, [](int) { return Along(1 / 3.0f, 2 / 3.0f, 2 / 3.0f); });
    for (int method = 0; method < 4; ++method) {
        const Points track = field.Whole(method, {3.1f, 2.3f, 1.7f}, 0.99f);
        ASSERT_GE(track.size(), 24u) << method;
        for (size_t n = 3; n < track.size(); n += 3) {
            const float x = track[n] - track[n - 3];
            EXPECT_TRUE(x > 0.1f && std::fabs(track[n + 1] - track[n - 2] - 2 * x) < 1e-4f &&
                        std::fabs(track[n + 2] - track[n - 1] - 2 * x) < 1e-4f)
                << method;
        }
    }

    // With a quarter-voxel step, FACT and tensorline still keep one point per voxel entered.
    for (int method : {0, 3}) {
        const Points track =
            field.Half(method, {3.1f, 2.3f, 1.7f}, 0.99f, 0, {}, 0, nullptr, 0.25f);
        ASSERT_GE(track.size(), 24u) << method;
        const auto voxelOf = [&track](size_t at) {
            return std::make_tuple(int(track[at] / 2), int(track[at + 1] / 2),
                                   int(track[at + 2] / 2));
        };
        for (size_t n = 3; n < track.size(); n += 3)
            EXPECT_NE(voxelOf(n), voxelOf(n - 3)) << method << " point " << n / 3;
    }

    // The direction turns by 30 degrees from voxel 4 on along x.
    Field turn(12, 12, 3, 2, 2, 2,
               [](int v) { return v % 12 < 4 ? Along(1, 0, 0) : Along(0.8660254f, 0.5f, 0); });
    const Points seed = {3, 3, 3}, stopped = Line({3, 5, 7}, 3, 3);
    EXPECT_EQ(turn.Half(0, seed, 0.92f, 0), stopped);
    // Runge-Kutta's midpoint halves the turn at the first step into voxel 4, then follows the
    // turned eigenvector (y rises by tan 30 degrees per unit of x).
    const Points midpoints = turn.Half(2, seed, 0.92f, 0);
    ASSERT_GT(midpoints.size(), 15u);
    EXPECT_NEAR((midpoints[13] - midpoints[10]) / (midpoints[12] - midpoints[9]), 0.5773503f,
                1e-4f);
    // Tensorline turns by 21 degrees into voxel 4: the tensor applied to x, blended with x, and
    // that blended with the eigenvector.
    const Points bent = turn.Half(3, seed, 0.92f, 0);
    EXPECT_NEAR((bent.at(13) - bent[10]) / (bent[12] - bent[9]), 0.3847778f, 1e-4f);
    // Its direction stays a unit vector: points lie whole steps (2 mm) apart after the turn too.
    const float gap = std::hypot(bent.at(15) - bent[12], bent[16] - bent[13], bent[17] - bent[14]);
    EXPECT_NEAR(gap / 2, std::round(gap / 2), 1e-3f);
    // 45 degrees let the turn pass, unless the map halves the angle in voxel (4, 1, 1): the voxel
    // entered decides.
    EXPECT_GT(turn.Half(0, seed, kCos45, 0).size(), 9u);
    std::vector<float> scale(12 * 12 * 3, 1);
    scale[(1 * 12 + 1) * 12 + 4] = 0.5f;
    EXPECT_EQ(turn.Half(0, seed, kCos45, 0, {}, 0, scale.data()), stopped);

    // 4001 points from an empty buffer (5001 for the fixed step). The cap counts the whole track:
    // a backward half at the cap leaves room for the seed.
    Field line(5100, 2, 2, 1, 1, 1);
    for (int method = 0; method < 4; ++method)
        EXPECT_EQ(line.Half(method, {1, 0.5f, 0.5f}, 1, 0).size(), method == 1 ? 15003u : 12003u);
    EXPECT_EQ(line.Whole(0, {5050.5f, 0.5f, 0.5f}, 1).at(12003), 5050.5f);
}

TEST(TrackAssembly, GetTrackJoinsTheHalvesAndOwnsNothingOnFailure) {
    Field field(8, 4, 4, 2, 1.5f, 1), pair(2, 4, 4, 2, 1.5f, 1);
    int count = -1;
    // Two points are not a track; without a seed voxel there are no points and a count of 0.
    EXPECT_TRUE(pair.Track(0, Points{1, 3, 2.5f}, 0, count).empty() && count == 2);
    EXPECT_TRUE(field.Track(0, std::vector<int>{}, 45, count).empty() && count == 0);
    // The centre of voxel (3, 2, 1) is at (7, 3.75, 1.5).
    EXPECT_EQ(field.Track(0, std::vector<int>{3, 2, 1}, 45, count),
              field.Whole(0, {7, 3.75f, 1.5f}, kCos45));
    // 90 degrees is not quite a right angle: a perpendicular turn ends the track.
    Field square(8, 8, 2, 2, 2, 2, [](int v) { return Along(v % 8 < 4, v % 8 >= 4, 0); });
    EXPECT_EQ(square.Track(0, Points{3, 3, 3}, 90, count), Line({1, 3, 5, 7}, 3, 3));
}

TEST(TrackGeometry, CrossingsLengthCurvatureTorsionAndUFactor) {
    float line[9] = {0, 0, 0, 1, 0, 0, 2, 0, 0};
    // A later point on the plane x = 2 counts; x = 2.5 is beyond the track, 0.5 away from it:
    // within half of tolerance 2, not of 1.
    EXPECT_EQ(CTrack::IntersectWithPlane(line, 3, 0, 2), 1);
    EXPECT_EQ(CTrack::IntersectWithPlane(line, 3, 0, 2.5f), 0);
    EXPECT_EQ(CTrack::IntersectWithPlane(line, 3, 0, 2.5f, 2), 1);
    EXPECT_EQ(CTrack::IntersectWithPlane(line, 3, 0, 2.5f, 1), 0);

    float normal[3] = {1, 0, 0}, at[3] = {1.5f, 0, 0}, hit[3] = {7, 7, 7};
    int segment = -1;
    EXPECT_TRUE(CTrack::IntersectWithPlane(line, 1, normal, at, hit, &segment) == 0 && hit[0] == 7);
    EXPECT_EQ(CTrack::IntersectWithPlane(line, 3, normal, nullptr, hit, &segment), 0);
    EXPECT_TRUE(CTrack::IntersectWithPlane(line, 3, normal, at, hit, &segment) == 1 &&
                segment == 1 && hit[0] == 1.5f);
    at[0] = 1;  // a crossing at a shared point belongs to the lower segment
    EXPECT_TRUE(CTrack::IntersectWithPlane(line, 3, normal, at, hit, &segment) == 1 &&
                segment == 0 && hit[0] == 1);

    // The angle is that of the crossing segment, along x.
    float kinked[9] = {0, 1, 0, 1, 0, 0, 2, 0, 0}, centre[3] = {1.5f, 0, 0};
    EXPECT_EQ(CTrack::IntersectWithDisk(kinked, 3, normal, centre, 0.1f, hit, 10), 1);
    centre[1] = 1;
    EXPECT_EQ(CTrack::IntersectWithDisk(kinked, 3, normal, centre, 0.5f, hit, 90), 0);
    EXPECT_EQ(CTrack::IntersectWithDisk(kinked, 3, normal, centre, 1, hit, 90), 1);  // on the rim
    // A segment at 169 degrees to the normal is within 15 degrees of the normal line.
    float back[6] = {1, -0.2f, 0, -1, 0.2f, 0}, origin[3] = {0, 0, 0};
    EXPECT_EQ(CTrack::IntersectWithDisk(back, 2, normal, origin, 1, hit, 15), 1);
    EXPECT_EQ(CTrack::IntersectWithDisk(back, 2, normal, origin, 1, hit, 5), 0);
    EXPECT_EQ(CTrack::IntersectWithDisk(back, 2, normal, origin, 1, hit, 11.5f), 1);  // 168.7
    // With no angle allowed, straight along the normal counts and straight against it does not.
    float along[6] = {-1, 0, 0, 1, 0, 0}, against[6] = {1, 0, 0, -1, 0, 0};
    EXPECT_EQ(CTrack::IntersectWithDisk(along, 2, normal, origin, 1, hit, 0), 1);
    EXPECT_EQ(CTrack::IntersectWithDisk(against, 2, normal, origin, 1, hit, 0), 0);

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
            for (float share : {1.0f, 1 / 3.0f}) {  // the sums, then the averages
                float curvature, torsion, product;
                CTrack::GetCurvatureAndTorsion(helix, 4, curvature, torsion, product, share < 1);
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

    // A U, an S, a skewed bend, a zero chord (which stays zero), and six points, whose chords run
    // to points 2 and 4.
    auto u = [](Points p) { return CTrack::GetUFactor(p.data(), int(p.size() / 3), 0); };
    EXPECT_EQ(u({0, 0, 0, 0, 1, 0, 1, 1, 0, 1, 0, 0}), 1);
    EXPECT_EQ(u({0, 0, 0, 0, 1, 0, 1, 1, 0}), 0);  // three points make no U
    EXPECT_EQ(u({0, 0, 0, 0, 1, 0, 1, 1, 0, 1, 2, 0}), -1);
    EXPECT_NEAR(u({0, 0, 0, 1, 0, 2, 3, 1, 2, 2, 3, 1}), 0.5477226f, 1e-6f);
    EXPECT_EQ(u({0, 0, 0, 0, 0, 0, 1, 1, 0, 0, 0, 0}), 0);
    EXPECT_EQ(u({0, 0, 0, 9, 9, 9, 0, 2, 0, 9, 9, 9, 2, 2, 0, 2, 0, 0}), 1);
}

}  // namespace
