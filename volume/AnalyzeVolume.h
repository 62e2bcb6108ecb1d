// Analyze volumes: a 348-byte header file (".hdr") describing the grid, the voxel size and the
// element type, beside a raw image file (".img") holding the voxels in x-fastest order.
//
// ANALYZE_HEADER is the header file byte for byte. CAnalyzeVolume offers only static operations:
// reading and writing headers, reading an image as stored or converted to float, 16-bit integers
// or a 0/1 mask, its histogram and automatic threshold, and writing a header/image pair. Any path
// whose title (the path without its extension) names the pair designates it: "brain",
// "brain.hdr" and "brain.img" are the same volume. A pair written on a machine of the other byte
// order is recognised by the header's headerSize and read in native order. Output arrays belong
// to the caller; temporary buffers live within one call. Messages go to standard output.
#ifndef FIBREJOIN_VOLUME_ANALYZEVOLUME_H
#define FIBREJOIN_VOLUME_ANALYZEVOLUME_H

#include <cstddef>
#include <cstdint>

#include "volume/VolumeReader.h"

// The header file. Only the named fields are interpreted; the opaque bytes are kept as read.
struct ANALYZE_HEADER {
    int headerSize;  // 348 in the writer's byte order, so anything else marks a foreign pair
    char opaque4[28];
    int extentConstant;  // 16384
    char opaque36[2];
    char regularMark;  // 'r'
    char opaque39[1];
    short dimCount;  // 3
    short sizeX;
    short sizeY;
    short sizeZ;
    short volumeCount;  // 1
    char opaque50[20];
    short dataType;  // element type code: 2, 4, 8, 16, 64 or 128
    short bitsPerVoxel;
    char opaque74[6];
    float voxelSizeX;
    float voxelSizeY;
    float voxelSizeZ;
    char opaque92[48];
    int word140;
    int word144;
    char opaque148[200];
};

static_assert(sizeof(ANALYZE_HEADER) == 348, "the header is 348 bytes");
static_assert(offsetof(ANALYZE_HEADER, extentConstant) == 32, "header layout");
static_assert(offsetof(ANALYZE_HEADER, regularMark) == 38, "header layout");
static_assert(offsetof(ANALYZE_HEADER, dimCount) == 40, "header layout");
static_assert(offsetof(ANALYZE_HEADER, sizeX) == 42, "header layout");
static_assert(offsetof(ANALYZE_HEADER, sizeY) == 44, "header layout");
static_assert(offsetof(ANALYZE_HEADER, sizeZ) == 46, "header layout");
static_assert(offsetof(ANALYZE_HEADER, volumeCount) == 48, "header layout");
static_assert(offsetof(ANALYZE_HEADER, dataType) == 70, "header layout");
static_assert(offsetof(ANALYZE_HEADER, bitsPerVoxel) == 72, "header layout");
static_assert(offsetof(ANALYZE_HEADER, voxelSizeX) == 80, "header layout");
static_assert(offsetof(ANALYZE_HEADER, voxelSizeY) == 84, "header layout");
static_assert(offsetof(ANALYZE_HEADER, voxelSizeZ) == 88, "header layout");
static_assert(offsetof(ANALYZE_HEADER, word140) == 140, "header layout");
static_assert(offsetof(ANALYZE_HEADER, word144) == 144, "header layout");

// Reverses the eight bytes of each of the n values in place; n of 0 or less does nothing.
void SWAP_DOUBLE(double* values, int64_t n);

class CAnalyzeVolume : public CVolumeReader {
  public:
    CAnalyzeVolume() {}
    ~CAnalyzeVolume() override {}

    // ==== Headers ====

    // Reads the header of the pair into the record, in native byte order except headerSize,
    // which keeps the file's order. 0 when the header is missing or shorter than 348 bytes (the
    // latter with a message).
    static int ReadHeader(const char* path, ANALYZE_HEADER& header);
    // As above, extracting sizes, voxel sizes, the type code and the bits per voxel; on failure
    // no output is written.
    static int ReadHeader(const char* path, int* sizes, float* voxelSizes, int& dataType,
                          int& bitsPerVoxel);
    static int ReadHeader(const char* path, int* sizes, double* voxelSizes, int& dataType,
                          int& bitsPerVoxel);
    static int ReadHeader(const char* path, int* sizes, float* voxelSizes, int& dataType);
    static int ReadHeader(const char* path, int* sizes, double* voxelSizes, int& dataType);

    // Write a header to exactly the given path (callers pass the ".hdr" name). Sizes, type and
    // bits keep their low 16 bits. The forms without bits derive them from the type code and
    // refuse, creating nothing, a code they do not know; the double forms round the voxel sizes
    // to the nearest float.
    static int WriteHeader(const char* path, const int* sizes, const float* voxelSizes,
                           int bitsPerVoxel, int dataType);
    static int WriteHeader(const char* path, const int* sizes, const float* voxelSizes,
                           int dataType);
    static int WriteHeader(const char* path, const int* sizes, const double* voxelSizes,
                           int bitsPerVoxel, int dataType);
    static int WriteHeader(const char* path, const int* sizes, const double* voxelSizes,
                           int dataType);

    // ==== Images ====

    // The whole image as stored, in native byte order, into the caller's buffer (zero where the
    // image file ends early). Any type code.
    static int ReadVolume(const char* path, void* buffer);
    // count elements from element `start` on (count below 1: as many as the volume holds),
    // converted. Codes 2, 4, 8, 16 and 64 only; elements past the end of the image file are 0.
    // To short: integers keep their low 16 bits, floating values are truncated to a 32-bit
    // integer first (NaN and values outside that range give 0).
    static int ReadAsFloat(const char* path, float* out, int start, int count);
    static int ReadAsShort(const char* path, short* out, int start, int count);
    // mask[i] = 1 where lower <= value <= upper, else 0, over the whole volume. With lower above
    // upper the range is every value from lower up.
    static int ReadAsShortMask(const char* path, short* mask, double lower, double upper);
    // Histogram of the whole volume in nBins counters; returns the bin width, 0.0 on failure.
    static double Histogram(const char* path, int64_t* counters, int nBins,
                            double* range = nullptr);
    // Automatic background threshold of the whole volume; 0.0 on failure.
    static double GetAutoThreshold(const char* path, int nBins, double* range = nullptr);

    // Write the header and the image (as given, in native order) of a pair; 0 for an unknown
    // type code (nothing written) or when a file cannot be written.
    static int WriteVolume(const char* path, const int* sizes, const float* voxelSizes,
                           const void* data, int dataType);
    static int WriteVolume(const char* path, const int* sizes, const double* voxelSizes,
                           const void* data, int dataType);
};

#endif  // FIBREJOIN_VOLUME_ANALYZEVOLUME_H
