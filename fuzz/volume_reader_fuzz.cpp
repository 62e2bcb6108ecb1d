// Fuzzes the raw volume reader in file mode and memory mode, in the three layouts. The input is
// the file itself; its first twelve bytes also give the geometry the reader is opened with:
// int16 dimX, dimY, dimZ; int8 mosaic, frameCount, elementSize; a flag byte (bit 0: voxel-
// interleaved); uint16 dataOffset, all little-endian.
#include <algorithm>

#include "FuzzFiles.h"
#include "volume/VolumeReader.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 12) return 0;
    const std::string path = WriteScratch("volume.raw", data, size);
    const auto int16 = [data](int at) { return int(int16_t(data[at] | data[at + 1] << 8)); };
    const int x = int16(0), y = int16(2), z = int16(4), dims[3] = {x, y, z};
    const int frames = int8_t(data[7]), width = int8_t(data[8]);
    const auto open = [&](CVolumeReader& reader, int inMemory) {
        return reader.Open(path.c_str(), dims, int8_t(data[6]), frames, width, data[9] & 1,
                           inMemory, data[10] | data[11] << 8);
    };
    CVolumeReader file, memory;
    const bool opened = open(file, 0);
    if (opened != open(memory, 1)) __builtin_trap();
    if (!opened) return 0;

    // `read` fills a destination of `bytes` bytes from each reader: what memory mode delivers,
    // file mode must deliver too. The destinations have a spare byte for reads that overrun.
    const auto compare = [&](int64_t bytes, auto read) {
        std::vector<uint8_t> a(size_t(bytes) + 1), b(size_t(bytes) + 1);
        const bool fromMemory = read(memory, a.data()), fromFile = read(file, b.data());
        if (fromMemory && (!fromFile || a != b)) __builtin_trap();
    };
    // A few whole frames, when a frame is of a size a caller could hold (the caller sizes
    // destinations, and the geometry here is arbitrary).
    const int64_t frameBytes = int64_t(x) * y * z * width;
    for (int t = -1; t < 3 && t <= frames && frameBytes >= 0 && frameBytes <= (1 << 16); ++t)
        compare(frameBytes, [t](CVolumeReader& r, uint8_t* to) { return r.Read(to, t); });
    // Voxels and elements at corners of the grid, and at coordinates just outside it.
    const int corners[][3] = {
        {0, 0, 0}, {x - 1, y - 1, z - 1}, {x / 2, y / 2, z / 2}, {-1, 0, 0}, {x, y, z}};
    for (const int* c : corners) {
        compare(int64_t(std::max(frames, 0)) * width,
                [c](CVolumeReader& r, uint8_t* to) { return r.Read(to, c); });
        for (int t : {0, frames - 1})
            compare(width, [c, t](CVolumeReader& r, uint8_t* to) { return r.Read(to, c, t); });
    }
    return 0;
}
