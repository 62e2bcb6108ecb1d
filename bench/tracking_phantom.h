// The tracking benchmarks' field: 64^3 voxels of 2 mm. Half-circle arcs in the xy-plane around
// (64, 64) mm with radii 16 to 56 mm fill 16 slices of z; a straight bundle of radius 8 mm runs
// along z through all slices. Tensors have eigenvalues 1.6, 0.45 and 0.35 (x 10^-3 mm^2/s, FA
// 0.71) with the principal axis along the fibres; the mask holds the arcs and the bundle, and
// every mask voxel is a seed voxel. Tracking uses step factor 0.5 and 45 degrees.
#ifndef FIBREJOIN_BENCH_TRACKING_PHANTOM_H
#define FIBREJOIN_BENCH_TRACKING_PHANTOM_H

#include <array>
#include <cmath>
#include <vector>

namespace tracking_phantom {

constexpr int kSize = 64;
constexpr float kVoxel = 2;
constexpr float kStepFactor = 0.5f;
constexpr float kMaxAngle = 45;

struct PhantomField {
    int dims[3] = {kSize, kSize, kSize};
    float voxel[3] = {kVoxel, kVoxel, kVoxel};
    std::vector<float> tensors;
    std::vector<short> mask;
    std::vector<std::array<int, 3>> seeds;

    PhantomField() : tensors(6u * kSize * kSize * kSize), mask(kSize * kSize * kSize, 0) {
        for (int k = 0; k < kSize; ++k) {
            for (int j = 0; j < kSize; ++j) {
                for (int i = 0; i < kSize; ++i) {
                    const double x = (i + 0.5) * kVoxel, y = (j + 0.5) * kVoxel;
                    const double r = std::hypot(x - 64, y - 64);
                    const bool arc = k >= 24 && k < 40 && y > 64 && r >= 16 && r <= 56;
                    const bool bundle = std::hypot(x - 64, y - 24) <= 8;
                    const int v = (k * kSize + j) * kSize + i;
                    if (arc) {
                        Set(v, {-(y - 64) / r, (x - 64) / r, 0}, {0, 0, 1});
                    } else if (bundle) {
                        Set(v, {0, 0, 1}, {1, 0, 0});
                    } else {
                        Set(v, {1, 0, 0}, {0, 1, 0}, 0.7, 0.7, 0.7);
                        continue;
                    }
                    mask[v] = 1;
                    seeds.push_back({i, j, k});
                }
            }
        }
    }

    // lambda3 I + (lambda1 - lambda3) e e^T + (lambda2 - lambda3) f f^T, in 10^-3 mm^2/s.
    void Set(int v, std::array<double, 3> e, std::array<double, 3> f, double lambda1 = 1.6,
             double lambda2 = 0.45, double lambda3 = 0.35) {
        const int pairs[6][2] = {{0, 0}, {0, 1}, {0, 2}, {1, 1}, {1, 2}, {2, 2}};
        for (int c = 0; c < 6; ++c) {
            const int a = pairs[c][0], b = pairs[c][1];
            const double value = (a == b ? lambda3 : 0) + (lambda1 - lambda3) * e[a] * e[b] +
                                 (lambda2 - lambda3) * f[a] * f[b];
            tensors[6 * v + c] = static_cast<float>(value * 1e-3);
        }
    }
};

}  // namespace tracking_phantom

#endif  // FIBREJOIN_BENCH_TRACKING_PHANTOM_H
