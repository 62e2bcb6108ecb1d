// The synthetic fibre bundle of the examples: half a turn of a helix (a half ring in the
// xy-plane that rises along z) in a 40 x 40 x 16 grid of 2 mm voxels, as diffusion tensors (xx,
// xy, xz, yy, yz, zz per voxel, x fastest) with the mask of the voxels it fills. toolkit_demo
// tracks it through the library; make_tensor_field writes it as NIfTI images for the commands.
#ifndef FIBREJOIN_EXAMPLES_HELIX_FIELD_H
#define FIBREJOIN_EXAMPLES_HELIX_FIELD_H

#include <cmath>
#include <vector>

namespace helix_field {

inline int kDims[3] = {40, 40, 16};
inline float kVoxelSize[3] = {2.0f, 2.0f, 2.0f};

// The bundle: voxels whose centre lies between 14 and 30 mm from the axis x = 40 mm, y = 20 mm,
// on the side y >= 20, and within 4 mm of a height that rises from 6 to 26 mm over the half turn.
// Inside it the principal direction runs along the helix.
struct Field {
    std::vector<float> tensors;  // xx, xy, xz, yy, yz, zz per voxel
    std::vector<short> mask;
    int mask_voxels = 0;
};

inline Field MakeField() {
    const double kPi = 3.14159265358979;
    const double rise = 20.0 / kPi;  // mm of height per radian
    const int nvox = kDims[0] * kDims[1] * kDims[2];
    Field field;
    field.tensors.resize(6 * size_t(nvox));
    field.mask.resize(nvox);
    const double major = 1.7e-3, minor = 0.3e-3;  // mm^2/s; FA about 0.8
    for (int k = 0; k < kDims[2]; ++k) {
        for (int j = 0; j < kDims[1]; ++j) {
            for (int i = 0; i < kDims[0]; ++i) {
                const int v = (k * kDims[1] + j) * kDims[0] + i;
                const double dx = (i + 0.5) * kVoxelSize[0] - 40.0;
                const double dy = (j + 0.5) * kVoxelSize[1] - 20.0;
                const double z = (k + 0.5) * kVoxelSize[2];
                const double r = std::sqrt(dx * dx + dy * dy);
                const double angle = std::atan2(dy, dx);
                const bool inside =
                    dy >= 0 && r >= 14 && r <= 30 && std::fabs(z - (6 + rise * angle)) <= 4;
                float* t = &field.tensors[6 * size_t(v)];
                if (!inside) {
                    t[0] = t[3] = t[5] = 0.7e-3f;  // isotropic, and masked out
                    continue;
                }
                field.mask[v] = 1;
                ++field.mask_voxels;
                // The tangent of the helix through this voxel.
                double e[3] = {-dy, dx, rise};
                const double length = std::sqrt(e[0] * e[0] + e[1] * e[1] + e[2] * e[2]);
                for (double& c : e)
                    c /= length;
                const int pairs[6][2] = {{0, 0}, {0, 1}, {0, 2}, {1, 1}, {1, 2}, {2, 2}};
                for (int c = 0; c < 6; ++c) {
                    const int a = pairs[c][0], b = pairs[c][1];
                    t[c] = float((a == b ? minor : 0) + (major - minor) * e[a] * e[b]);
                }
            }
        }
    }
    return field;
}

}  // namespace helix_field

#endif  // FIBREJOIN_EXAMPLES_HELIX_FIELD_H
