// Fuzzes the raw volume reader in file mode and memory mode, in the three layouts. The input is
// the file itself; its first twelve bytes also give the geometry the reader is opened with:
// int16 dimX, dimY, dimZ; int8 mosaic, frameCount, elementSize; a flag byte (bit 0: voxel-
// interleaved); uint16 dataOffset, all little-endian.
#include <cstdint>
#include <cstring>
#include <vector>

#include "FuzzFiles.h"
#include "volume/VolumeReader.h"

namespace {

// The largest destination the target allocates for a whole frame; larger frames are skipped,
// since the caller sizes destinations and the geometry here is arbitrary.
constexpr int64_t kMaxFrameBytes = int64_t(1) << 16;

struct Geometry {
    int dims[3];
    int mosaic, frameCount, elementSize, interleaved;
    int64_t dataOffset;
};

Geometry ParseGeometry(const uint8_t* data) {
    const auto int16 = [data](int at) { return int(int16_t(data[at] | data[at + 1] << 8)); };
    return {
        {int16(0), int16(2), int16(4)}, int(int8_t(data[6])), int(int8_t(data[7])),
        int(int8_t(data[8])),           data[9] & 1,          int64_t(data[10] | data[11] << 8)};
}

// Both modes read the same file: what memory mode delivers, file mode must deliver too.
void CompareReads(bool memoryRead, const std::vector<uint8_t>& memoryBytes, bool fileRead,
                  const std::vector<uint8_t>& fileBytes) {
    if (memoryRead && (!fileRead || memoryBytes != fileBytes)) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 12) return 0;
    const std::string path = WriteScratch("volume.raw", data, size);
    Geometry g = ParseGeometry(data);

    CVolumeReader file, memory;
    const bool fileOpen = file.Open(path.c_str(), g.dims, g.mosaic, g.frameCount, g.elementSize,
                                    g.interleaved, 0, g.dataOffset);
    const bool memoryOpen = memory.Open(path.c_str(), g.dims, g.mosaic, g.frameCount, g.elementSize,
                                        g.interleaved, 1, g.dataOffset);
    if (fileOpen != memoryOpen) __builtin_trap();
    if (!fileOpen) {
        // A reader without a readable volume refuses every read.
        uint8_t element[8];
        if (file.Read(element, 0, 0, 0, 0) || memory.Read(element, 0) ||
            file.ReadData(element, 0, 1)) {
            __builtin_trap();
        }
        return 0;
    }

    const int64_t width = g.elementSize;
    std::vector<uint8_t> a, b;
    // A few whole frames, when a frame is of a size a caller could hold.
    const int64_t frameBytes = int64_t(g.dims[0]) * g.dims[1] * g.dims[2] * width;
    if (frameBytes >= 0 && frameBytes <= kMaxFrameBytes) {
        for (int t = -1; t < 3 && t <= g.frameCount; ++t) {
            a.assign(size_t(frameBytes) + 1, 0);
            b.assign(size_t(frameBytes) + 1, 0);
            const bool inMemory = memory.Read(a.data(), t);
            CompareReads(inMemory, a, file.Read(b.data(), t), b);
        }
    }
    // Corners of the grid, and coordinates just outside it.
    const int coordinates[][3] = {{0, 0, 0},
                                  {g.dims[0] - 1, g.dims[1] - 1, g.dims[2] - 1},
                                  {g.dims[0] / 2, g.dims[1] / 2, g.dims[2] / 2},
                                  {-1, 0, 0},
                                  {g.dims[0], g.dims[1], g.dims[2]}};
    const int64_t voxelBytes = int64_t(g.frameCount > 0 ? g.frameCount : 0) * width;
    for (const int* c : coordinates) {
        a.assign(size_t(voxelBytes) + 1, 0);
        b.assign(size_t(voxelBytes) + 1, 0);
        const bool inMemory = memory.Read(a.data(), c);
        CompareReads(inMemory, a, file.Read(b.data(), c), b);
        for (int t : {0, g.frameCount - 1}) {
            file.GetOffset(c[0], c[1], c[2], t);
            a.assign(size_t(width), 0);
            b.assign(size_t(width), 0);
            const bool elementInMemory = memory.Read(a.data(), c, t);
            CompareReads(elementInMemory, a, file.Read(b.data(), c[0], c[1], c[2], t), b);
        }
    }
    file.Close();
    memory.Close();
    return 0;
}
