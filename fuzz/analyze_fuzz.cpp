// Fuzzes the Analyze readers: the first 348 bytes of the input are the header file (all of it
// when shorter, which the readers must refuse), the rest is the image file. Every reading
// operation runs on the pair, the histogram and the automatic threshold included.
#include <algorithm>

#include "FuzzFiles.h"
#include "volume/AnalyzeVolume.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const size_t headerSize = std::min<size_t>(size, 348);
    WriteScratch("volume.hdr", data, headerSize);
    WriteScratch("volume.img", data + headerSize, size - headerSize);
    const std::string title = ScratchPath("volume");
    const char* path = title.c_str();
    ANALYZE_HEADER header;
    if (!CAnalyzeVolume::ReadHeader(path, header)) return 0;

    // Outputs of the size the readers deliver, as the readers compute it, when a caller could
    // hold them: a hostile header can describe far more.
    const auto holdable = [](int64_t elements) { return elements >= 0 && elements <= 1 << 16; };
    const int64_t voxels = int64_t(header.sizeX) * header.sizeY * header.sizeZ;
    const int64_t imageBytes = voxels * header.bitsPerVoxel / 8;
    if (holdable(imageBytes)) {
        std::vector<uint8_t> raw(size_t(imageBytes) + 8);
        CAnalyzeVolume::ReadVolume(path, raw.data());
    }
    if (holdable(voxels)) {
        std::vector<float> floats(size_t(voxels) + 1);
        std::vector<short> shorts(size_t(voxels) + 1);
        CAnalyzeVolume::ReadAsShortMask(path, shorts.data(), 1.0, 100.0);
        CAnalyzeVolume::ReadAsShortMask(path, shorts.data(), 1.0, -1.0);
        CAnalyzeVolume::ReadAsFloat(path, floats.data(), 0, 0);
        CAnalyzeVolume::ReadAsShort(path, shorts.data(), 0, 0);
        // A window of the image, starting inside it.
        const int start = int(voxels / 3), count = int(std::min<int64_t>(voxels, 7));
        CAnalyzeVolume::ReadAsFloat(path, floats.data(), start, count);
        CAnalyzeVolume::ReadAsShort(path, shorts.data(), start, count);
    }
    int64_t counters[64];
    double range[2];
    CAnalyzeVolume::Histogram(path, counters, 64, range);
    CAnalyzeVolume::GetAutoThreshold(path, 64, range);
    return 0;
}
