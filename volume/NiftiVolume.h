// NIfTI images (NIfTI-1 and NIfTI-2, ".nii", ".nii.gz", ".hdr"/".img" pairs) and Analyze pairs,
// read in one call into a plain value type, and written as NIfTI-1 ".nii" or ".nii.gz". The
// header format is the NIfTI C library's business; callers see only Image and TensorImage, which
// own their voxels. Reading keeps at most one small buffer of raw bytes besides the result.
//
// Tensor images. Pipelines store the six distinct elements of a symmetric tensor in different
// orders and frames, which is why ReadTensorImage takes both as parameters:
//   - FSL dtifit (--save_tensor): upper triangle row by row (xx, xy, xz, yy, yz, zz), 4-D with six
//     volumes, in the voxel axes of the image as FSL sees them. FSL's gradient directions are
//     given with the x axis flipped for images stored with a positive determinant; for such
//     images xy and xz may come out with the opposite sign to the voxel grid (not checked here).
//   - DIPY: lower triangle (xx, xy, yy, xz, yz, zz), in its workflows as a 5-D image whose fifth
//     dimension is 6 (the symmetric-matrix layout of the format). The frame is that of the
//     gradient table the user gave it, usually FSL-style voxel axes; we know of no marking.
//   - MRtrix (dwi2tensor): diagonal first (xx, yy, zz, xy, xz, yz), 4-D with six volumes, in
//     world (scanner) axes.
//   - Others (AFNI, Camino, ...): not verified here; check the tool's documentation.
// World-frame tensors D are turned into the voxel axes as R^T D R, R being the image matrix's 3x3
// part with the voxel sizes divided out, made orthonormal (a flipped axis stays flipped), because
// CTrack walks the voxel grid.
//
// Not thread-safe across calls that run at the same time: the NIfTI library keeps a global
// message level, which every call sets to silent.
#ifndef FIBREJOIN_VOLUME_NIFTIVOLUME_H
#define FIBREJOIN_VOLUME_NIFTIVOLUME_H

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "utils/Memory.h"

namespace fibrejoin {

// The element types read; only Float32, Int16 and UInt8 are written.
enum class VoxelType { UInt8, Int8, Int16, UInt16, Int32, UInt32, Float32, Float64 };

// One image with its values as floats.
struct Image {
    std::array<int64_t, 4> dims{};     // x, y, z, volumes (the product of every dimension past z)
    std::array<float, 3> voxelSize{};  // mm
    std::array<double, 16> voxelToWorld{};  // 4x4 row-major: voxel indices (centres) -> world mm
    VoxelType storedType = VoxelType::Float32;  // as stored in the file
    LargeVector<float> voxels;  // x fastest, then y, z, volume; slope and intercept applied

    int64_t VoxelsPerVolume() const { return dims[0] * dims[1] * dims[2]; }
};

// Reads a NIfTI image or an Analyze pair. The matrix is the sform when its code is set, else the
// qform when its code is set, else the voxel sizes on the diagonal with no offset.
bool ReadImage(const std::string& path, Image& image, std::string& message);

// Writes ".nii" or ".nii.gz" (by the name's extension) as NIfTI-1 in `type` (Float32, Int16 or
// UInt8; integers are rounded and clamped to the type's range, NaN to 0, with no scaling). The
// matrix is stored as both sform and qform (the qform is its nearest rotation, so a sheared
// matrix survives only in the sform); an all-zero matrix means the voxel sizes on the diagonal.
// The voxel sizes written are the matrix's column lengths. Written under a temporary name and
// renamed into place when complete.
bool WriteImage(const std::string& path, const Image& image, VoxelType type, std::string& message);

// Element order of the six values per voxel in a tensor image (see the top of this file).
enum class TensorOrder {
    Upper,          // xx, xy, xz, yy, yz, zz
    Lower,          // xx, xy, yy, xz, yz, zz
    DiagonalFirst,  // xx, yy, zz, xy, xz, yz
};
// Axes in which the tensors are given.
enum class TensorFrame { Voxel, World };

// A tensor field in the layout CTrack takes.
struct TensorImage {
    std::array<int, 3> dims{};
    std::array<float, 3> voxelSize{};
    std::array<double, 16> voxelToWorld{};
    LargeVector<float> tensors;  // 6 per voxel: xx, xy, xz, yy, yz, zz in voxel axes, x fastest
};

// Reads a 4-D image of six volumes, or a 5-D image whose fourth dimension is 1 and fifth is 6,
// into voxel-axis tensors. The grid must fit CTrack's int dimensions.
bool ReadTensorImage(const std::string& path, TensorOrder order, TensorFrame frame,
                     TensorImage& image, std::string& message);

}  // namespace fibrejoin

#endif  // FIBREJOIN_VOLUME_NIFTIVOLUME_H
