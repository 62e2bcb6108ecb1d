#include "volume/VolumeReader.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <vector>

#include "utils/CheckedMath.h"
#include "utils/File.h"

namespace {

using fibrejoin::ByteCount;
using fibrejoin::CheckedAdd;
using fibrejoin::CheckedMultiply;
using fibrejoin::OpenFile;
using fibrejoin::Seek;
using fibrejoin::UniqueFile;

// Largest span of a row of evenly spaced elements that file mode reads in one piece.
constexpr int64_t kMaxRowSpan = int64_t(1) << 20;

// a * b + c in the 32-bit arithmetic of element indices; false when a step leaves the int range.
bool MultiplyAdd32(int a, int b, int c, int& result) {
    int product = 0;
    return CheckedMultiply(a, b, product) && CheckedAdd(product, c, result);
}

int WriteBytes(const char* path, const void* data, int64_t bytes) {
    const UniqueFile file = OpenFile(path, "wb");
    if (!file) return 0;
    return bytes > 0 && std::fwrite(data, 1, size_t(bytes), file.get()) > 0 ? 1 : 0;
}

int ReadBytes(const char* path, void* data, int64_t bytes) {
    const UniqueFile file = OpenFile(path, "rb");
    if (!file) return 0;
    return bytes > 0 && std::fread(data, 1, size_t(bytes), file.get()) > 0 ? 1 : 0;
}

template <typename T>
int WriteElements(const char* path, const T* data, int64_t count) {
    return WriteBytes(path, data, ByteCount(count, sizeof(T)));
}

template <typename T>
int ReadElements(const char* path, T* data, int64_t count) {
    return ReadBytes(path, data, ByteCount(count, sizeof(T)));
}

}  // namespace

CVolumeReader::CVolumeReader()
    : file(nullptr),
      dimX(0),
      dimY(0),
      dimZ(0),
      frameCount(1),
      elementSize(2),
      mosaic(1),
      frameVoxels(0),
      dataOffset(0),
      inMemory(0),
      interleaved(0),
      cacheBytes(0),
      hasVolume(false) {}

CVolumeReader::~CVolumeReader() {
    CVolumeReader::Close();
}

bool CVolumeReader::Open(const char* path, int sizeX, int sizeY, int sizeZ, int mosaicFactor,
                         int frames, int bytesPerElement, int interleavedLayout, int loadInMemory) {
    const int dims[3] = {sizeX, sizeY, sizeZ};
    return Open(path, dims, mosaicFactor, frames, bytesPerElement, interleavedLayout, loadInMemory,
                0);
}

bool CVolumeReader::Open(const char* path, const int* dims, int mosaicFactor, int frames,
                         int bytesPerElement, int interleavedLayout, int loadInMemory,
                         int64_t offset) {
    Close();
    file = std::fopen(path, "rb");
    if (!file) return false;

    // Elements per frame, a 32-bit product. A geometry whose product leaves 32 bits, or whose
    // counts are negative, fails like a file that is too short: the stream stays attached but
    // there is no readable volume.
    int tileArea = 0, sliceArea = 0, voxels = 0;
    const bool mosaicFrame = mosaicFactor >= 2;
    if (!MultiplyAdd32(mosaicFrame ? mosaicFactor : dims[2], mosaicFrame ? mosaicFactor : 1, 0,
                       tileArea) ||
        !MultiplyAdd32(dims[0], dims[1], 0, sliceArea) ||
        !MultiplyAdd32(sliceArea, tileArea, 0, voxels)) {
        return false;
    }
    frameVoxels = voxels;
    // Two negative sizes would make a positive product: each count is checked on its own.
    if (dims[0] < 0 || dims[1] < 0 || dims[2] < 0 || frames < 0 || bytesPerElement < 1 ||
        offset < 0) {
        return false;
    }

    // At most 2^31 * 2^31 * 2^31 bytes, which can pass 64 bits.
    int64_t total = 0;
    if (!fibrejoin::CheckedProduct(total, int64_t(bytesPerElement), int64_t(frames), frameVoxels)) {
        return false;
    }
    const int64_t length = fibrejoin::FileSize(file);
    if (length < 0 || total > length - offset) return false;

    frameCount = frames;
    elementSize = bytesPerElement;
    mosaic = mosaicFactor;
    dimX = dims[0];
    dimY = dims[1];
    dimZ = dims[2];

    // The total fits in the file, so the cache is never larger than the file. When the memory
    // cannot be had the request is dropped and reads go to the file.
    inMemory = 0;
    if (loadInMemory) {
        cache.reset(new (std::nothrow) unsigned char[size_t(total)]);
        if (cache) {
            const size_t read =
                Seek(file, offset) ? std::fread(cache.get(), 1, size_t(total), file) : 0;
            std::memset(cache.get() + read, 0, size_t(total) - read);
            cacheBytes = total;
            inMemory = loadInMemory;
        }
    }
    interleaved = interleavedLayout;
    dataOffset = offset;
    hasVolume = true;
    return true;
}

bool CVolumeReader::ElementPosition(int x, int y, int z, int t, int64_t& position) const {
    int64_t index = 0;
    int v = 0, element = 0;
    if (interleaved) {
        if (!MultiplyAdd32(z, dimY, y, v) || !MultiplyAdd32(v, dimX, x, v) ||
            !MultiplyAdd32(v, frameCount, t, element)) {
            return false;
        }
        index = element;
    } else {
        if (mosaic >= 2) {
            if (!MultiplyAdd32(z / mosaic, dimY, y, v) ||
                !MultiplyAdd32(v, mosaic, z % mosaic, v) || !MultiplyAdd32(v, dimX, x, v)) {
                return false;
            }
        } else if (!MultiplyAdd32(z, dimY, y, v) || !MultiplyAdd32(v, dimX, x, v)) {
            return false;
        }
        // frameVoxels never leaves the int range, so this stays far inside 64 bits.
        index = v + t * frameVoxels;
    }
    return CheckedMultiply(index, int64_t(elementSize), position) &&
           CheckedAdd(position, dataOffset, position);
}

int64_t CVolumeReader::GetOffset(int x, int y, int z, int t) const {
    int64_t position = 0;
    return ElementPosition(x, y, z, t, position) ? position : -1;
}

int CVolumeReader::ReadData(void* destination, int64_t position, int64_t count) {
    if (!hasVolume || position < 0 || count < 0) return 0;
    if (inMemory) {
        const int64_t start = position - dataOffset;
        if (start < 0 || start > cacheBytes || count > cacheBytes - start) return 0;
        std::memcpy(destination, cache.get() + start, size_t(count));
        return 1;
    }
    // Nothing to move always succeeds, as it does from memory (fread of a zero-size item reports
    // none read).
    if (count == 0) return 1;
    if (!Seek(file, position)) return 0;
    return int(std::fread(destination, size_t(count), 1, file));
}

bool CVolumeReader::ReadRun(unsigned char* destination, int64_t position, int64_t bytes) {
    if (bytes == 0) return true;
    if (!inMemory) return ReadData(destination, position, bytes) != 0;
    const int64_t start = position - dataOffset;
    if (start < 0 || start >= cacheBytes) return false;
    const int64_t inside = std::min(bytes, cacheBytes - start);
    const int64_t whole = inside - inside % elementSize;
    std::memcpy(destination, cache.get() + start, size_t(whole));
    return whole == bytes;
}

bool CVolumeReader::Read(void* destination, int t) {
    if (!hasVolume) return false;
    if (dimX <= 0 || dimY <= 0 || dimZ <= 0) return true;
    // The bytes delivered, also up to a failure, are those of reading element by element, but:
    // rows whose elements lie next to each other (every row of the frame-sequential and mosaic
    // layouts) are read as runs, and runs that continue each other are joined, so that a
    // frame-sequential frame is one read; in file mode, rows of evenly spaced elements (the
    // voxel-interleaved layout) come from one read of the row's span each, instead of a seek and
    // a read per element.
    const int64_t rowBytes = int64_t(dimX) * elementSize;
    unsigned char* out = static_cast<unsigned char*>(destination);
    unsigned char* runDestination = out;
    int64_t runPosition = 0, runBytes = 0;
    std::vector<unsigned char> span;
    for (int z = 0; z < dimZ; ++z) {
        for (int y = 0; y < dimY; ++y) {
            int64_t first = 0, last = 0;
            const bool ends =
                ElementPosition(0, y, z, t, first) && ElementPosition(dimX - 1, y, z, t, last);
            const bool contiguous = ends && last - first == rowBytes - elementSize;
            if (contiguous && runBytes > 0 && first == runPosition + runBytes) {
                runBytes += rowBytes;
                out += rowBytes;
                continue;
            }
            if (!ReadRun(runDestination, runPosition, runBytes)) return false;
            runBytes = 0;
            if (contiguous) {
                runDestination = out;
                runPosition = first;
                runBytes = rowBytes;
                out += rowBytes;
                continue;
            }
            // Not contiguous, so dimX is at least 2.
            const int64_t spanBytes = last - first + elementSize;
            if (ends && !inMemory && first >= 0 && last >= first && spanBytes <= kMaxRowSpan &&
                (last - first) % (dimX - 1) == 0) {
                span.resize(size_t(spanBytes));
                if (!ReadSpacedRow(out, first, (last - first) / (dimX - 1), span)) return false;
                out += rowBytes;
                continue;
            }
            for (int x = 0; x < dimX; ++x, out += elementSize) {
                int64_t position = 0;
                if (!ElementPosition(x, y, z, t, position) ||
                    !ReadData(out, position, elementSize)) {
                    return false;
                }
            }
        }
    }
    return ReadRun(runDestination, runPosition, runBytes);
}

bool CVolumeReader::ReadSpacedRow(unsigned char* destination, int64_t first, int64_t stride,
                                  std::vector<unsigned char>& span) {
    if (!Seek(file, first)) return false;
    const int64_t read = int64_t(std::fread(span.data(), 1, span.size(), file));
    // An element the read did not wholly reach gets the bytes there are and ends the row, as
    // its own read would have.
    for (int x = 0; x < dimX; ++x, destination += elementSize) {
        const int64_t offset = x * stride;
        const int64_t available = std::min<int64_t>(elementSize, read - offset);
        if (available > 0) std::memcpy(destination, span.data() + offset, size_t(available));
        if (available < elementSize) return false;
    }
    return true;
}

bool CVolumeReader::Read(void* destination, int x, int y, int z) {
    if (!hasVolume) return false;
    int64_t position = 0;
    if (interleaved) {
        return ElementPosition(x, y, z, 0, position) &&
               ReadData(destination, position, int64_t(frameCount) * elementSize) != 0;
    }
    unsigned char* out = static_cast<unsigned char*>(destination);
    for (int t = 0; t < frameCount; ++t, out += elementSize) {
        if (!ElementPosition(x, y, z, t, position) || !ReadData(out, position, elementSize)) {
            return false;
        }
    }
    return true;
}

bool CVolumeReader::Read(void* destination, const int* coordinates) {
    return Read(destination, coordinates[0], coordinates[1], coordinates[2]);
}

bool CVolumeReader::Read(void* destination, int x, int y, int z, int t) {
    int64_t position = 0;
    return hasVolume && ElementPosition(x, y, z, t, position) &&
           ReadData(destination, position, elementSize) != 0;
}

bool CVolumeReader::Read(void* destination, const int* coordinates, int t) {
    return Read(destination, coordinates[0], coordinates[1], coordinates[2], t);
}

bool CVolumeReader::Close() {
    bool closed = true;
    if (file) closed = std::fclose(file) == 0;
    file = nullptr;
    cache.reset();
    cacheBytes = 0;
    hasVolume = false;
    return closed;
}

int CVolumeReader::WriteRaw(const char* path, const float* data, int64_t count) {
    return WriteElements(path, data, count);
}
int CVolumeReader::WriteRaw(const char* path, const int* data, int64_t count) {
    return WriteElements(path, data, count);
}
int CVolumeReader::WriteRaw(const char* path, const short* data, int64_t count) {
    return WriteElements(path, data, count);
}
int CVolumeReader::WriteRaw(const char* path, const unsigned char* data, int64_t count) {
    return WriteElements(path, data, count);
}

int CVolumeReader::ReadRaw(const char* path, float* data, int64_t count) {
    return ReadElements(path, data, count);
}
int CVolumeReader::ReadRaw(const char* path, int* data, int64_t count) {
    return ReadElements(path, data, count);
}
int CVolumeReader::ReadRaw(const char* path, short* data, int64_t count) {
    return ReadElements(path, data, count);
}

int CVolumeReader::ReadRaw(const char* path, unsigned char* data, int64_t count, int64_t position) {
    return ReadRawBytes(path, data, count, position) > 0 ? 1 : 0;
}

int64_t CVolumeReader::ReadRawBytes(const char* path, unsigned char* data, int64_t count,
                                    int64_t position) {
    const UniqueFile stream = OpenFile(path, "rb");
    if (!stream) return 0;
    // A position the stream cannot seek to (a negative one) delivers nothing.
    size_t read = 0;
    if (count > 0 && Seek(stream.get(), position))
        read = std::fread(data, 1, size_t(count), stream.get());
    if (read == 0) std::fputs(" failed ", stdout);
    return int64_t(read);
}
