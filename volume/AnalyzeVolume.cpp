#include "volume/AnalyzeVolume.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <type_traits>

#include "math/MyMath.h"
#include "utils/ByteOrder.h"
#include "utils/CheckedMath.h"
#include "utils/File.h"
#include "utils/MyUtils.h"

namespace {

constexpr int kHeaderBytes = 348;

using fibrejoin::FitsInt;

short Low16(int value) {
    return static_cast<short>(static_cast<uint16_t>(value));
}

// Bytes per element of a type code, as written by the writers; 0 for a code they do not know.
int ElementWidth(int dataType) {
    switch (dataType) {
        case 2:
            return 1;
        case 4:
            return 2;
        case 8:
        case 16:
            return 4;
        case 64:
            return 8;
        case 128:
            return 3;
        default:
            return 0;
    }
}

// Calls visit with a zero of the C++ type stored under codes 2, 4, 8, 16 and 64, the codes the
// converting readers handle; false, without calling it, for any other code.
template <typename Visitor>
bool VisitStoredType(int dataType, Visitor&& visit) {
    switch (dataType) {
        case 2:
            visit(static_cast<unsigned char>(0));
            return true;
        case 4:
            visit(static_cast<short>(0));
            return true;
        case 8:
            visit(0);
            return true;
        case 16:
            visit(0.0f);
            return true;
        case 64:
            visit(0.0);
            return true;
        default:
            return false;
    }
}

// Reverses the bytes of the first n elements of type Stored at values.
template <typename Stored>
void ReverseElements(void* values, int64_t n) {
    if constexpr (sizeof(Stored) > 1) {
        if (n > 0) ReverseEach<sizeof(Stored)>(values, size_t(n));
    }
}

// Brings the interpreted fields of a header from the other byte order; headerSize stays as it
// is, the mark of a foreign image.
void ReverseInterpretedFields(ANALYZE_HEADER& header) {
    ReverseBytes(header.extentConstant);
    ReverseBytes(header.dimCount);
    ReverseBytes(header.sizeX);
    ReverseBytes(header.sizeY);
    ReverseBytes(header.sizeZ);
    ReverseBytes(header.volumeCount);
    ReverseBytes(header.dataType);
    ReverseBytes(header.bitsPerVoxel);
    ReverseBytes(header.voxelSizeX);
    ReverseBytes(header.voxelSizeY);
    ReverseBytes(header.voxelSizeZ);
    ReverseBytes(header.word140);
    ReverseBytes(header.word144);
}

template <typename VoxelSize>
int ExtractHeader(const char* path, int* sizes, VoxelSize* voxelSizes, int& dataType,
                  int* bitsPerVoxel) {
    ANALYZE_HEADER header;
    if (!CAnalyzeVolume::ReadHeader(path, header)) return 0;
    sizes[0] = header.sizeX;
    sizes[1] = header.sizeY;
    sizes[2] = header.sizeZ;
    voxelSizes[0] = header.voxelSizeX;
    voxelSizes[1] = header.voxelSizeY;
    voxelSizes[2] = header.voxelSizeZ;
    dataType = header.dataType;
    if (bitsPerVoxel) *bitsPerVoxel = header.bitsPerVoxel;
    return 1;
}

// What a reader asks of an image: the pair's names, its header and the byte range.
struct ImageRequest {
    std::string headerName;
    std::string imageName;
    ANALYZE_HEADER header;
    int64_t count = 0;       // elements
    int64_t bytes = 0;       // (bitsPerVoxel * count) / 8
    int64_t position = 0;    // (start * bitsPerVoxel) / 8
    bool fitsInt32 = false;  // every step of the three above within the int range

    bool Foreign() const { return header.headerSize != kHeaderBytes; }
};

void NameRequest(const char* path, ImageRequest& request) {
    const std::string title = CMyUtils::getFileTitle(path);
    request.headerName = title + ".hdr";
    request.imageName = title + ".img";
}

// The element count (the given count when it is 1 or more, else the voxel count), the byte
// count and the byte position, in the 32-bit arithmetic of the readers. ReadAsShortMask forms
// the byte count in 64 bits (wideByteCount), so only its count and position must fit.
void SizeRequest(ImageRequest& request, int start, int count, bool wideByteCount) {
    const ANALYZE_HEADER& header = request.header;
    const int64_t bits = header.bitsPerVoxel;
    // Two 16-bit sizes always multiply within the int range; the third may leave it.
    const int64_t voxels = int64_t(header.sizeX) * header.sizeY * header.sizeZ;
    const int64_t startBits = int64_t(start) * bits;
    request.count = count >= 1 ? count : voxels;
    request.bytes = bits * request.count / 8;
    request.position = startBits / 8;
    request.fitsInt32 =
        FitsInt(voxels) && FitsInt(startBits) && (wideByteCount || FitsInt(bits * request.count));
}

void PrintUnsupported(const ImageRequest& request) {
    std::printf("Unsupported data type: %s\n", request.imageName.c_str());
}

// A converting reader refuses, as unsupported and before anything is allocated for it, a header
// with a size of 0 or less, counts or positions beyond 32 bits, or, for a type it converts, bits
// that disagree with the element width.
bool AcceptConversion(const ImageRequest& request) {
    const ANALYZE_HEADER& header = request.header;
    int width = 0;
    VisitStoredType(header.dataType, [&](auto zero) { width = int(sizeof(zero)); });
    if (header.sizeX <= 0 || header.sizeY <= 0 || header.sizeZ <= 0 || !request.fitsInt32 ||
        (width > 0 && header.bitsPerVoxel != 8 * width)) {
        PrintUnsupported(request);
        return false;
    }
    return true;
}

// Steps every converting reader takes before reading: the names, the header ("Can not read
// file" when it cannot be read), the sizes and their check.
bool PrepareConversion(const char* path, int start, int count, bool wideByteCount,
                       ImageRequest& request) {
    NameRequest(path, request);
    if (!CAnalyzeVolume::ReadHeader(request.headerName.c_str(), request.header)) {
        std::printf("Can not read file %s\n", request.headerName.c_str());
        return false;
    }
    SizeRequest(request, start, count, wideByteCount);
    return AcceptConversion(request);
}

// Bytes of the request the image file holds from the position on; 0 when it cannot be opened.
int64_t DeliverableBytes(const ImageRequest& request) {
    if (request.bytes <= 0 || request.position < 0) return 0;
    const int64_t length = CMyUtils::getFileSize(request.imageName);
    return request.position >= length ? 0 : std::min(request.bytes, length - request.position);
}

// The stored elements of a request, in the image's byte order until ToNative. Requested elements
// past `available` lie beyond the end of the image file and count as 0, as does the missing part
// of an element the file ends in.
template <typename Stored>
struct StoredElements {
    std::unique_ptr<Stored[]> values;
    int64_t available = 0;
};

// Reads the requested elements with one positioned read into a buffer that holds only what the
// image file can deliver; the part of it the read did not reach is cleared.
template <typename Stored>
bool LoadElements(const ImageRequest& request, StoredElements<Stored>& out) {
    const int64_t bytes = DeliverableBytes(request);
    const int64_t held = (bytes + int64_t(sizeof(Stored)) - 1) / int64_t(sizeof(Stored));
    out.values.reset(new Stored[size_t(held)]);
    unsigned char* buffer = reinterpret_cast<unsigned char*>(out.values.get());
    const int64_t read =
        CVolumeReader::ReadRawBytes(request.imageName.c_str(), buffer, bytes, request.position);
    std::memset(buffer + read, 0, size_t(held * int64_t(sizeof(Stored)) - read));
    out.available = held;
    return read > 0;
}

template <typename Stored>
void ToNative(const ImageRequest& request, StoredElements<Stored>& loaded) {
    if (request.Foreign()) ReverseElements<Stored>(loaded.values.get(), loaded.available);
}

// The reading step for a code the operation does not convert: a missing or empty image fails as
// for any other code (one byte tells, as the whole range would), otherwise the code is refused.
int RefuseAfterReading(const ImageRequest& request) {
    unsigned char probe = 0;
    const int64_t bytes = request.bytes > 0 ? 1 : 0;
    if (CVolumeReader::ReadRaw(request.imageName.c_str(), &probe, bytes, request.position)) {
        PrintUnsupported(request);
    }
    return 0;
}

struct ToFloat {
    template <typename Stored>
    float operator()(Stored value) const {
        return static_cast<float>(value);
    }
};

struct ToShort {
    template <typename Stored>
    short operator()(Stored value) const {
        if constexpr (std::is_integral<Stored>::value) {
            return Low16(value);
        } else {
            // Truncation to a 32-bit integer; NaN and values outside its range give 0, the low
            // 16 bits of the integer-indefinite value the processor produces for them.
            const double wide = value;
            if (!(wide > -2147483649.0 && wide < 2147483648.0)) return 0;
            return Low16(static_cast<int>(value));
        }
    }
};

// Converts the requested elements into out, element i from stored element i; 1 on success. A
// foreign image is brought to native order a block at a time, just before the block is
// converted, so that the block is converted while it is still in the cache.
template <typename Out, typename Convert>
int ConvertRequest(const ImageRequest& request, Out* out, Convert convert) {
    constexpr int64_t kBlock = 4096;
    int result = 0;
    const bool converts = VisitStoredType(request.header.dataType, [&](auto zero) {
        using Stored = decltype(zero);
        StoredElements<Stored> loaded;
        if (!LoadElements(request, loaded)) return;
        Stored* values = loaded.values.get();
        for (int64_t begin = 0; begin < loaded.available; begin += kBlock) {
            const int64_t end = std::min(loaded.available, begin + kBlock);
            if (request.Foreign()) ReverseElements<Stored>(values + begin, end - begin);
            for (int64_t i = begin; i < end; ++i)
                out[i] = convert(values[i]);
        }
        std::fill(out + loaded.available, out + request.count, convert(zero));
        result = 1;
    });
    return converts ? result : RefuseAfterReading(request);
}

// The largest of the n values and `zeros` zeros (n >= 1), plus one in the element's own
// arithmetic: integers of codes 2 and 4 widened to int, a wrapping 32-bit addition for code 8,
// float and double additions for codes 16 and 64.
template <typename Stored>
double OnePastLargest(const Stored* values, int64_t n, bool zeros) {
    Stored largest = values[0];
    for (int64_t i = 1; i < n; ++i) {
        if (values[i] > largest) largest = values[i];
    }
    if (zeros && Stored(0) > largest) largest = Stored(0);
    if constexpr (std::is_same<Stored, int>::value) {
        return static_cast<int>(static_cast<uint32_t>(largest) + 1u);
    } else if constexpr (std::is_integral<Stored>::value) {
        return int(largest) + 1;
    } else {
        return largest + Stored(1);
    }
}

}  // namespace

void SWAP_DOUBLE(double* values, int64_t n) {
    if (n > 0) ReverseEach<8>(values, size_t(n));
}

// ---------------------------------------------------------------------------------------------
// Headers

int CAnalyzeVolume::ReadHeader(const char* path, ANALYZE_HEADER& header) {
    const std::string name = CMyUtils::getFileTitle(path) + ".hdr";
    const fibrejoin::UniqueFile file = fibrejoin::OpenFile(name, "rb");
    if (!file) return 0;
    if (fibrejoin::FileSize(file.get()) < kHeaderBytes) {
        std::printf("Wrong size of the analyze header file.\n");
        return 0;
    }
    ANALYZE_HEADER read;
    if (std::fread(&read, sizeof(read), 1, file.get()) != 1) return 0;
    if (read.headerSize != kHeaderBytes) ReverseInterpretedFields(read);
    header = read;
    return 1;
}

int CAnalyzeVolume::ReadHeader(const char* path, int* sizes, float* voxelSizes, int& dataType,
                               int& bitsPerVoxel) {
    return ExtractHeader(path, sizes, voxelSizes, dataType, &bitsPerVoxel);
}
int CAnalyzeVolume::ReadHeader(const char* path, int* sizes, double* voxelSizes, int& dataType,
                               int& bitsPerVoxel) {
    return ExtractHeader(path, sizes, voxelSizes, dataType, &bitsPerVoxel);
}
int CAnalyzeVolume::ReadHeader(const char* path, int* sizes, float* voxelSizes, int& dataType) {
    return ExtractHeader(path, sizes, voxelSizes, dataType, static_cast<int*>(nullptr));
}
int CAnalyzeVolume::ReadHeader(const char* path, int* sizes, double* voxelSizes, int& dataType) {
    return ExtractHeader(path, sizes, voxelSizes, dataType, static_cast<int*>(nullptr));
}

int CAnalyzeVolume::WriteHeader(const char* path, const int* sizes, const float* voxelSizes,
                                int bitsPerVoxel, int dataType) {
    const fibrejoin::UniqueFile file = fibrejoin::OpenFile(path, "wb");
    if (!file) return 0;
    ANALYZE_HEADER header;
    std::memset(&header, 0, sizeof(header));
    header.headerSize = kHeaderBytes;
    header.extentConstant = 16384;
    header.regularMark = 'r';
    header.dimCount = 3;
    header.sizeX = Low16(sizes[0]);
    header.sizeY = Low16(sizes[1]);
    header.sizeZ = Low16(sizes[2]);
    header.volumeCount = 1;
    header.dataType = Low16(dataType);
    header.bitsPerVoxel = Low16(bitsPerVoxel);
    header.voxelSizeX = voxelSizes[0];
    header.voxelSizeY = voxelSizes[1];
    header.voxelSizeZ = voxelSizes[2];
    // Write errors are not reported: the header counts as written once its file was created.
    std::fwrite(&header, sizeof(header), 1, file.get());
    return 1;
}

int CAnalyzeVolume::WriteHeader(const char* path, const int* sizes, const float* voxelSizes,
                                int dataType) {
    const int width = ElementWidth(dataType);
    return width == 0 ? 0 : WriteHeader(path, sizes, voxelSizes, 8 * width, dataType);
}

int CAnalyzeVolume::WriteHeader(const char* path, const int* sizes, const double* voxelSizes,
                                int bitsPerVoxel, int dataType) {
    const float narrowed[3] = {float(voxelSizes[0]), float(voxelSizes[1]), float(voxelSizes[2])};
    return WriteHeader(path, sizes, narrowed, bitsPerVoxel, dataType);
}

int CAnalyzeVolume::WriteHeader(const char* path, const int* sizes, const double* voxelSizes,
                                int dataType) {
    const float narrowed[3] = {float(voxelSizes[0]), float(voxelSizes[1]), float(voxelSizes[2])};
    return WriteHeader(path, sizes, narrowed, dataType);
}

// ---------------------------------------------------------------------------------------------
// Images

int CAnalyzeVolume::ReadVolume(const char* path, void* buffer) {
    ImageRequest request;
    NameRequest(path, request);
    if (!ReadHeader(request.headerName.c_str(), request.header)) {
        std::printf("Can not read file %s\n", request.headerName.c_str());
        return 0;
    }
    SizeRequest(request, 0, 0, false);
    if (!request.fitsInt32) return 0;
    unsigned char* bytes = static_cast<unsigned char*>(buffer);
    const int64_t read = ReadRawBytes(request.imageName.c_str(), bytes, request.bytes, 0);
    if (read == 0) return 0;
    // What the image file does not hold reads as zeros.
    std::memset(bytes + read, 0, size_t(request.bytes - read));
    if (request.Foreign()) {
        // Never past the bytes read, whatever the bits per voxel say.
        VisitStoredType(request.header.dataType, [&](auto zero) {
            const int64_t width = sizeof(zero);
            ReverseElements<decltype(zero)>(bytes, std::min(request.count, request.bytes / width));
        });
    }
    return 1;
}

int CAnalyzeVolume::ReadAsFloat(const char* path, float* out, int start, int count) {
    ImageRequest request;
    if (!PrepareConversion(path, start, count, false, request)) return 0;
    return ConvertRequest(request, out, ToFloat());
}

int CAnalyzeVolume::ReadAsShort(const char* path, short* out, int start, int count) {
    ImageRequest request;
    if (!PrepareConversion(path, start, count, false, request)) return 0;
    return ConvertRequest(request, out, ToShort());
}

int CAnalyzeVolume::ReadAsShortMask(const char* path, short* mask, double lower, double upper) {
    ImageRequest request;
    if (!PrepareConversion(path, 0, 0, true, request)) return 0;
    const bool reversed = lower > upper;
    std::fill(mask, mask + request.count, short(0));
    int result = 0;
    const bool converts = VisitStoredType(request.header.dataType, [&](auto zero) {
        using Stored = decltype(zero);
        StoredElements<Stored> loaded;
        if (!LoadElements(request, loaded)) return;
        ToNative(request, loaded);
        const Stored* values = loaded.values.get();
        const bool zeros = loaded.available < request.count;
        if (reversed) upper = OnePastLargest(values, loaded.available, zeros);
        const auto inside = [&](Stored value) {
            const double wide = value;
            return lower <= wide && wide <= upper;
        };
        for (int64_t i = 0; i < loaded.available; ++i) {
            if (inside(values[i])) mask[i] = 1;
        }
        // The elements past the end of the image (if any) are 0.
        if (inside(zero)) std::fill(mask + loaded.available, mask + request.count, short(1));
        result = 1;
    });
    return converts ? result : RefuseAfterReading(request);
}

// Histogram and threshold store only the samples the image file holds: the requested elements
// past its end are zeros, which the numerics count without storing, so a header that describes
// far more than its image costs no more memory than the image.
double CAnalyzeVolume::Histogram(const char* path, int64_t* counters, int nBins, double* range) {
    ImageRequest request;
    if (!PrepareConversion(path, 0, 0, false, request)) return 0.0;
    double width = 0.0;
    const bool converts = VisitStoredType(request.header.dataType, [&](auto zero) {
        StoredElements<decltype(zero)> loaded;
        if (!LoadElements(request, loaded)) return;
        ToNative(request, loaded);
        width = histogram(loaded.values.get(), loaded.available, counters, nBins, range,
                          request.count - loaded.available);
    });
    if (!converts) RefuseAfterReading(request);
    return width;
}

double CAnalyzeVolume::GetAutoThreshold(const char* path, int nBins, double* range) {
    // The header is read without a message of its own; the reading of the samples reports as
    // ReadAsFloat of the whole volume does.
    ImageRequest request;
    NameRequest(path, request);
    if (!ReadHeader(request.headerName.c_str(), request.header)) return 0.0;
    SizeRequest(request, 0, 0, false);
    if (!AcceptConversion(request)) return 0.0;
    double threshold = 0.0;
    const bool converts = VisitStoredType(request.header.dataType, [&](auto zero) {
        StoredElements<decltype(zero)> loaded;
        if (!LoadElements(request, loaded)) return;
        ToNative(request, loaded);
        std::unique_ptr<float[]> samples(new float[size_t(loaded.available)]);
        std::transform(loaded.values.get(), loaded.values.get() + loaded.available, samples.get(),
                       ToFloat());
        threshold = getAutoThreshold(samples.get(), loaded.available, nBins, range, nullptr,
                                     request.count - loaded.available);
    });
    if (!converts) RefuseAfterReading(request);
    return threshold;
}

int CAnalyzeVolume::WriteVolume(const char* path, const int* sizes, const float* voxelSizes,
                                const void* data, int dataType) {
    const std::string title = CMyUtils::getFileTitle(path);
    const int width = ElementWidth(dataType);
    if (width == 0) return 0;
    if (!WriteHeader((title + ".hdr").c_str(), sizes, voxelSizes, 8 * width, dataType)) return 0;
    const int64_t area = int64_t(sizes[0]) * sizes[1];
    const int64_t voxels = area * sizes[2];
    if (!FitsInt(area) || !FitsInt(voxels)) return 0;
    return WriteRaw((title + ".img").c_str(), static_cast<const unsigned char*>(data),
                    voxels * width);
}

int CAnalyzeVolume::WriteVolume(const char* path, const int* sizes, const double* voxelSizes,
                                const void* data, int dataType) {
    const float narrowed[3] = {float(voxelSizes[0]), float(voxelSizes[1]), float(voxelSizes[2])};
    return WriteVolume(path, sizes, narrowed, data, dataType);
}
