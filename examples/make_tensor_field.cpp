// make_tensor_field FOLDER: writes the examples' synthetic fibre bundle as NIfTI images, the input
// of fibretrack: FOLDER/tensors.nii.gz (six volumes xx, xy, xz, yy, yz, zz: fibretrack's default
// --tensor-order upper, in voxel axes) and FOLDER/mask.nii.gz (1 inside the bundle).
#include <cstdio>
#include <string>

#include "examples/helix_field.h"
#include "volume/NiftiVolume.h"

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: make_tensor_field FOLDER\n");
        return 1;
    }
    const std::string folder = argv[1];
    const helix_field::Field field = helix_field::MakeField();
    const int64_t voxels =
        int64_t(helix_field::kDims[0]) * helix_field::kDims[1] * helix_field::kDims[2];

    fibrejoin::Image image;
    image.dims = {helix_field::kDims[0], helix_field::kDims[1], helix_field::kDims[2], 6};
    for (int a = 0; a < 3; ++a) {
        image.voxelSize[a] = helix_field::kVoxelSize[a];
        image.voxelToWorld[5 * a] = helix_field::kVoxelSize[a];
    }
    image.voxelToWorld[15] = 1;
    // The field holds six values per voxel; the image holds six volumes.
    image.voxels.resize(size_t(6 * voxels));
    for (int64_t v = 0; v < voxels; ++v) {
        for (int c = 0; c < 6; ++c)
            image.voxels[size_t(c * voxels + v)] = field.tensors[size_t(6 * v + c)];
    }
    std::string message;
    const std::string tensors = folder + "/tensors.nii.gz", mask = folder + "/mask.nii.gz";
    if (!fibrejoin::WriteImage(tensors, image, fibrejoin::VoxelType::Float32, message)) {
        std::fprintf(stderr, "%s\n", message.c_str());
        return 1;
    }
    image.dims[3] = 1;
    image.voxels.assign(field.mask.begin(), field.mask.end());
    if (!fibrejoin::WriteImage(mask, image, fibrejoin::VoxelType::UInt8, message)) {
        std::fprintf(stderr, "%s\n", message.c_str());
        return 1;
    }
    std::printf("wrote %s (%d x %d x %d x 6, float32) and %s (%d voxels in the bundle)\n",
                tensors.c_str(), helix_field::kDims[0], helix_field::kDims[1],
                helix_field::kDims[2], mask.c_str(), field.mask_voxels);
    return 0;
}
