// Tensor fields for the tracking tests: a volume of tensors with its mask, every voxel
// trackable until changed, and tensors with a chosen principal direction. Header-only.
#ifndef FIBREJOIN_TESTS_TENSOR_FIELDS_H
#define FIBREJOIN_TESTS_TENSOR_FIELDS_H

#include <gtest/gtest.h>

#include <vector>

#include "tracking/Track.h"

namespace tensor_fields {

using Points = std::vector<float>;

// 0.3 I + 1.4 e e^T for a unit principal direction e.
inline Points Along(float x, float y, float z) {
    return {0.3f + 1.4f * x * x, 1.4f * x * y, 1.4f * x * z,
            0.3f + 1.4f * y * y, 1.4f * y * z, 0.3f + 1.4f * z * z};
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
    // GetTrack's points from a seed in mm or a seed voxel (none when empty), checking that the
    // result is 1 exactly for three or more points and that only then are points handed over.
    template <typename T>
    Points Track(int method, std::vector<T> seed, float maxAngle, int& count) {
        float* points = nullptr;
        T* start = seed.empty() ? nullptr : seed.data();
        const int made = CTrack::GetTrack(dims, voxel, tensors.data(), mask.data(), start, method,
                                          1, maxAngle, nullptr, points, count, 0);
        EXPECT_EQ(made, count > 2 ? 1 : 0);
        Points track(points, points + (points ? 3 * count : 0));
        delete[] points;
        return track;
    }
};

}  // namespace tensor_fields

#endif  // FIBREJOIN_TESTS_TENSOR_FIELDS_H
