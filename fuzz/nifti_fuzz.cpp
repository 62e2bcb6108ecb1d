// Fuzzes the NIfTI readers: the input is the file, named .nii.gz when it starts with the gzip
// mark and .nii otherwise. A readable image is also read as a world-frame tensor image, and
// written and read back, which must give the same values.
#include <cstring>

#include "FuzzFiles.h"
#include "volume/NiftiVolume.h"

using namespace fibrejoin;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const bool gzip = size >= 2 && data[0] == 0x1f && data[1] == 0x8b;
    const std::string path = WriteScratch(gzip ? "image.nii.gz" : "image.nii", data, size);
    Image image;
    std::string message;
    TensorImage tensors;
    ReadTensorImage(path, TensorOrder::DiagonalFirst, TensorFrame::World, tensors, message);
    if (!ReadImage(path, image, message)) return 0;
    if (int64_t(image.voxels.size()) != image.VoxelsPerVolume() * image.dims[3]) __builtin_trap();
    const std::string copy = ScratchPath("copy.nii");
    Image back;
    if (WriteImage(copy, image, VoxelType::Float32, message)) {
        if (!ReadImage(copy, back, message) || back.voxels.size() != image.voxels.size() ||
            std::memcmp(back.voxels.data(), image.voxels.data(), 4 * image.voxels.size()) != 0)
            __builtin_trap();
    }
    return 0;
}
