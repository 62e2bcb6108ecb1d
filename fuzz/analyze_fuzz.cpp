// Fuzzes the Analyze readers: the first 348 bytes of the input are the header file (all of it
// when shorter, which the readers must refuse), the rest is the image file. Every reading
// operation runs on the pair, the histogram and the automatic threshold included.
#include <algorithm>
#include <cstdint>
#include <vector>

#include "FuzzFiles.h"
#include "volume/AnalyzeVolume.h"

namespace {

// The largest output the target allocates; the caller sizes outputs, and a hostile header can
// describe far more than a caller would hold.
constexpr int64_t kMaxOutputElements = int64_t(1) << 16;

bool Holdable(int64_t elements) {
    return elements >= 0 && elements <= kMaxOutputElements;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const size_t headerSize = std::min<size_t>(size, 348);
    WriteScratch("volume.hdr", data, headerSize);
    WriteScratch("volume.img", data + headerSize, size - headerSize);
    const std::string path = ScratchPath("volume");

    ANALYZE_HEADER header;
    if (!CAnalyzeVolume::ReadHeader(path.c_str(), header)) return 0;
    int sizes[3], dataType, bits;
    float floatSizes[3];
    double doubleSizes[3];
    CAnalyzeVolume::ReadHeader(path.c_str(), sizes, floatSizes, dataType, bits);
    CAnalyzeVolume::ReadHeader(path.c_str(), sizes, doubleSizes, dataType);

    // Sizes as the readers compute them, for outputs of the size they deliver.
    const int64_t voxels = int64_t(header.sizeX) * header.sizeY * header.sizeZ;
    const int64_t imageBytes = voxels * header.bitsPerVoxel / 8;
    if (Holdable(imageBytes)) {
        std::vector<uint8_t> raw(size_t(imageBytes) + 8);
        CAnalyzeVolume::ReadVolume(path.c_str(), raw.data());
    }
    if (Holdable(voxels)) {
        std::vector<float> floats(size_t(voxels) + 1);
        std::vector<short> shorts(size_t(voxels) + 1);
        CAnalyzeVolume::ReadAsFloat(path.c_str(), floats.data(), 0, 0);
        CAnalyzeVolume::ReadAsShort(path.c_str(), shorts.data(), 0, 0);
        CAnalyzeVolume::ReadAsShortMask(path.c_str(), shorts.data(), 1.0, 100.0);
        CAnalyzeVolume::ReadAsShortMask(path.c_str(), shorts.data(), 1.0, -1.0);
        // A window of the image, starting inside it.
        const int start = int(voxels / 3), count = int(std::min<int64_t>(voxels, 7));
        CAnalyzeVolume::ReadAsFloat(path.c_str(), floats.data(), start, count);
        CAnalyzeVolume::ReadAsShort(path.c_str(), shorts.data(), start, count);
    }
    int64_t counters[64];
    double range[2];
    CAnalyzeVolume::Histogram(path.c_str(), counters, 64, range);
    CAnalyzeVolume::GetAutoThreshold(path.c_str(), 64, range);
    return 0;
}
