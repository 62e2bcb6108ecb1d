#include "volume/AnalyzeVolume.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstring>
#include <limits>
#include <string>
#include <utility>
#include <vector>

#include "math/MyMath.h"
#include "track_files.h"

using namespace testing_files;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

namespace {

const int kSizes[3] = {4, 3, 2};  // 24 voxels
const float kVoxel[3] = {1.0f, 1.0f, 2.0f};
const double kNaN = std::numeric_limits<double>::quiet_NaN();

// The header WriteHeader(sizes 2 3 4, voxel sizes 1 1 2, bits 16, type 4) gives on a
// little-endian machine.
Bytes ExpectedHeader() {
    Bytes bytes(348, 0);
    const std::pair<size_t, Bytes> set[] = {
        {0, {0x5C, 0x01, 0, 0}},
        {32, {0, 0x40, 0, 0}},
        {38, {0x72}},
        {40, {3, 0, 2, 0, 3, 0, 4, 0, 1, 0}},
        {70, {4, 0, 0x10, 0}},
        {80, {0, 0, 0x80, 0x3F, 0, 0, 0x80, 0x3F, 0, 0, 0, 0x40}},
    };
    for (const auto& [offset, values] : set)
        std::copy(values.begin(), values.end(), bytes.begin() + offset);
    return bytes;
}

// Reverses every interpreted header field, and each element of `width` bytes of the image, as a
// machine of the other byte order would have written them.
void MakeForeign(const std::string& title, size_t width) {
    Bytes header = ReadBytes(title + ".hdr");
    const std::pair<size_t, size_t> fields[] = {{0, 4},  {32, 4}, {40, 2},  {42, 2}, {44, 2},
                                                {46, 2}, {48, 2}, {70, 2},  {72, 2}, {80, 4},
                                                {84, 4}, {88, 4}, {140, 4}, {144, 4}};
    for (const auto& [offset, size] : fields)
        std::reverse(header.begin() + offset, header.begin() + offset + size);
    WriteBytes(title + ".hdr", header);
    Bytes image = ReadBytes(title + ".img");
    for (size_t i = 0; i + width <= image.size(); i += width)
        std::reverse(image.begin() + i, image.begin() + i + width);
    WriteBytes(title + ".img", image);
}

template <typename T>
void WritePair(const std::string& title, int code, const std::vector<T>& values,
               const int* sizes = kSizes) {
    ASSERT_EQ(
        CAnalyzeVolume::WriteVolume((title + ".img").c_str(), sizes, kVoxel, values.data(), code),
        1);
}

std::vector<short> Shorts(const std::string& path, int start = 0, int count = 0, size_t n = 24) {
    std::vector<short> out(n, -99);
    EXPECT_EQ(CAnalyzeVolume::ReadAsShort(path.c_str(), out.data(), start, count), 1);
    return out;
}

std::vector<float> Floats(const std::string& path, int start = 0, int count = 0, size_t n = 24) {
    std::vector<float> out(n, -99.0f);
    EXPECT_EQ(CAnalyzeVolume::ReadAsFloat(path.c_str(), out.data(), start, count), 1);
    return out;
}

std::vector<short> Mask(const std::string& path, double lower, double upper, size_t n) {
    std::vector<short> mask(n, 7);
    EXPECT_EQ(CAnalyzeVolume::ReadAsShortMask(path.c_str(), mask.data(), lower, upper), 1);
    return mask;
}

// Writes 24 values with the code, optionally turns the pair foreign, and reads it back through
// every reader.
template <typename T>
void CheckEveryReader(const std::string& title, int code, bool foreign) {
    SCOPED_TRACE("code " + std::to_string(code) + (foreign ? " foreign" : " native"));
    std::vector<T> values;
    for (int i = 0; i < 24; ++i)
        values.push_back(std::is_integral<T>::value ? T(i * 7 - (code == 2 ? -3 : 40))
                                                    : T(i * 2.5 - 30.25));
    WritePair(title, code, values);
    if (foreign) MakeForeign(title, sizeof(T));

    std::vector<T> raw(24);
    ASSERT_EQ(CAnalyzeVolume::ReadVolume(title.c_str(), raw.data()), 1);
    EXPECT_EQ(raw, values);
    std::vector<float> floats;
    std::vector<short> shorts, mask, reversed;
    for (T value : values) {
        floats.push_back(float(value));
        shorts.push_back(short(int(value)));
        mask.push_back(-5 <= value && value <= 40);
        reversed.push_back(value >= 20);
    }
    EXPECT_EQ(Floats(title + ".hdr"), floats);
    EXPECT_EQ(Shorts(title), shorts);
    EXPECT_EQ(Mask(title, -5, 40, 24), mask);
    EXPECT_EQ(Mask(title, 20, 0, 24), reversed);

    std::vector<int64_t> counts(5), expectedCounts(5);
    double range[2], expectedRange[2];
    EXPECT_EQ(CAnalyzeVolume::Histogram(title.c_str(), counts.data(), 5, range),
              CMyMath::Histogram(values.data(), 24, expectedCounts.data(), 5, expectedRange));
    EXPECT_EQ(counts, expectedCounts);
    EXPECT_EQ(range[1], expectedRange[1]);
    EXPECT_EQ(CAnalyzeVolume::GetAutoThreshold(title.c_str(), 8, range),
              CMyMath::GetAutoThreshold(floats.data(), 24, 8, expectedRange));
    EXPECT_EQ(range[0], expectedRange[0]);
}

TEST(AnalyzeHeader, BytesOnThisMachineAndEveryReaderForm) {
    TempDir dir;
    const std::string path = dir.File("h.hdr");
    const int sizes[3] = {2, 3, 4};
    const float voxel[3] = {1.0f, 1.0f, 2.0f};
    ASSERT_EQ(CAnalyzeVolume::WriteHeader(path.c_str(), sizes, voxel, 16, 4), 1);
    EXPECT_EQ(FirstDifference(ReadBytes(path), ExpectedHeader()), "");
    const double wide[3] = {1.0, 1.0, 2.0};
    ASSERT_EQ(CAnalyzeVolume::WriteHeader(path.c_str(), sizes, wide, 4), 1);
    EXPECT_EQ(FirstDifference(ReadBytes(path), ExpectedHeader()), "");

    ANALYZE_HEADER header;
    ASSERT_EQ(CAnalyzeVolume::ReadHeader(dir.File("h").c_str(), header), 1);
    EXPECT_EQ(header.headerSize, 348);
    EXPECT_EQ(header.sizeZ, 4);
    int outSizes[3] = {}, type = 0, bits = 0;
    float outVoxel[3] = {};
    double outWide[3] = {};
    ASSERT_EQ(CAnalyzeVolume::ReadHeader(path.c_str(), outSizes, outVoxel, type, bits), 1);
    EXPECT_EQ(std::vector<int>(outSizes, outSizes + 3), std::vector<int>({2, 3, 4}));
    EXPECT_EQ(std::vector<float>(outVoxel, outVoxel + 3), std::vector<float>({1, 1, 2}));
    EXPECT_EQ(type, 4);
    EXPECT_EQ(bits, 16);
    type = bits = 0;
    ASSERT_EQ(CAnalyzeVolume::ReadHeader(path.c_str(), outSizes, outWide, type, bits), 1);
    EXPECT_EQ(outWide[2], 2.0);
    EXPECT_EQ(type + bits, 20);
    type = 0;
    ASSERT_EQ(CAnalyzeVolume::ReadHeader(path.c_str(), outSizes, outVoxel, type), 1);
    EXPECT_EQ(type, 4);
    type = 0;
    ASSERT_EQ(CAnalyzeVolume::ReadHeader(path.c_str(), outSizes, outWide, type), 1);
    EXPECT_EQ(type, 4);

    // The double writers round to the nearest float; the bit-deriving writers know the codes.
    const double tenth[3] = {0.1, 0.2, 0.3};
    const std::pair<int, int> bitsOfType[] = {{2, 8}, {8, 32}, {16, 32}, {64, 64}, {128, 24}};
    for (const auto& [code, expectedBits] : bitsOfType) {
        ASSERT_EQ(CAnalyzeVolume::WriteHeader(path.c_str(), sizes, tenth, code), 1);
        ASSERT_EQ(CAnalyzeVolume::ReadHeader(path.c_str(), outSizes, outVoxel, type, bits), 1);
        EXPECT_EQ(bits, expectedBits);
        EXPECT_EQ(outVoxel[0], 0.1f);
    }
}

TEST(AnalyzeHeader, ForeignOrderIsNormalisedExceptTheHeaderSize) {
    TempDir dir;
    const std::string path = dir.File("f.hdr");
    for (const Bytes& size : {Bytes({0, 0, 1, 0x5C}), Bytes({1, 2, 3, 4})}) {
        Bytes bytes = ExpectedHeader();
        bytes[100] = 0xAB;  // opaque: never reversed
        bytes[140] = 1, bytes[141] = 2, bytes[142] = 3, bytes[143] = 4;
        WriteBytes(path, bytes);
        MakeForeign(dir.File("f"), 1);
        bytes = ReadBytes(path);
        std::copy(size.begin(), size.end(), bytes.begin());
        WriteBytes(path, bytes);

        ANALYZE_HEADER header;
        ASSERT_EQ(CAnalyzeVolume::ReadHeader(path.c_str(), header), 1);
        int32_t stored;
        std::memcpy(&stored, size.data(), 4);
        EXPECT_EQ(header.headerSize, stored);
        EXPECT_EQ(header.extentConstant, 16384);
        EXPECT_EQ(header.dimCount, 3);
        EXPECT_EQ(header.sizeX, 2);
        EXPECT_EQ(header.sizeY, 3);
        EXPECT_EQ(header.sizeZ, 4);
        EXPECT_EQ(header.volumeCount, 1);
        EXPECT_EQ(header.dataType, 4);
        EXPECT_EQ(header.bitsPerVoxel, 16);
        EXPECT_EQ(header.voxelSizeX, 1.0f);
        EXPECT_EQ(header.voxelSizeZ, 2.0f);
        EXPECT_EQ(header.word140, 0x04030201);
        EXPECT_EQ(header.regularMark, 'r');
        EXPECT_EQ(uint8_t(reinterpret_cast<const char*>(&header)[100]), 0xAB);
    }
}

TEST(AnalyzeHeader, FileNamesLengthsAndSixteenBitFields) {
    TempDir dir;
    const int sizes[3] = {40000, 1, 1};
    ASSERT_EQ(CAnalyzeVolume::WriteHeader(dir.File("out.img").c_str(), sizes, kVoxel, 4), 1);
    EXPECT_EQ(ReadBytes(dir.File("out.img")).size(), 348u) << "written to exactly that path";
    EXPECT_EQ(CAnalyzeVolume::WriteHeader(dir.File("t.hdr").c_str(), sizes, kVoxel, 32), 0);
    EXPECT_FALSE(std::filesystem::exists(dir.File("t.hdr")));
    EXPECT_EQ(CAnalyzeVolume::WriteHeader(dir.File("t.hdr").c_str(), sizes, kVoxel, 7, 32), 1);

    Bytes bytes = ReadBytes(dir.File("out.img"));
    bytes.resize(400, 0x11);
    WriteBytes(dir.File("out.hdr"), bytes);
    int outSizes[3] = {}, type = 0;
    float voxel[3];
    CaptureStdout();
    ASSERT_EQ(CAnalyzeVolume::ReadHeader(dir.File("out.img").c_str(), outSizes, voxel, type), 1);
    EXPECT_EQ(outSizes[0], 40000 - 65536);
    bytes.resize(347);
    WriteBytes(dir.File("out.hdr"), bytes);
    EXPECT_EQ(CAnalyzeVolume::ReadHeader(dir.File("out").c_str(), outSizes, voxel, type), 0);
    EXPECT_EQ(CAnalyzeVolume::ReadHeader(dir.File("none").c_str(), outSizes, voxel, type), 0);
    EXPECT_EQ(GetCapturedStdout(), "Wrong size of the analyze header file.\n");
    EXPECT_EQ(outSizes[0], 40000 - 65536) << "outputs untouched on failure";
}

TEST(AnalyzeVolume, EveryReaderOfEveryTypeInBothByteOrders) {
    TempDir dir;
    for (bool foreign : {false, true}) {
        CheckEveryReader<unsigned char>(dir.File("u8"), 2, foreign);
        CheckEveryReader<short>(dir.File("s16"), 4, foreign);
        CheckEveryReader<int>(dir.File("s32"), 8, foreign);
        CheckEveryReader<float>(dir.File("f32"), 16, foreign);
        CheckEveryReader<double>(dir.File("f64"), 64, foreign);
    }
    const int sizes[3] = {2, 1, 1};
    const double tenth[3] = {0.1, 1, 1};
    const short pair[2] = {1, 2};
    ASSERT_EQ(CAnalyzeVolume::WriteVolume(dir.File("d").c_str(), sizes, tenth, pair, 4), 1);
    float voxel[3];
    int outSizes[3], type;
    ASSERT_EQ(CAnalyzeVolume::ReadHeader(dir.File("d").c_str(), outSizes, voxel, type), 1);
    EXPECT_EQ(std::vector<float>(voxel, voxel + 3), std::vector<float>({0.1f, 1, 1}));
    EXPECT_EQ(ReadBytes(dir.File("d.img")), Bytes({1, 0, 2, 0}));
}

TEST(AnalyzeVolume, ConversionsTruncateWrapAndRound) {
    TempDir dir;
    const std::string title = dir.File("v");
    const int eight[3] = {8, 1, 1}, nine[3] = {9, 1, 1}, five[3] = {5, 1, 1}, two[3] = {2, 1, 1};
    WritePair(title, 16,
              std::vector<float>(
                  {2.9f, -2.9f, 65540.0f, float(kNaN), 3e9f, -3e9f, 2147483520.0f, -65537.5f}),
              eight);
    EXPECT_EQ(Shorts(title, 0, 0, 8), std::vector<short>({2, -2, 4, 0, 0, 0, -128, -1}));
    WritePair(title, 64,
              std::vector<double>({2.9, -2.9, 65540.7, kNaN, 2147483647.9, 2147483648.0,
                                   -2147483647.5, -2147483649.0, 0.1}),
              nine);
    EXPECT_EQ(Shorts(title, 0, 0, 9), std::vector<short>({2, -2, 4, 0, -1, 0, 1, 0, 0}));
    EXPECT_EQ(Floats(title, 8, 1, 1)[0], 0.1f);
    WritePair(title, 8, std::vector<int>({65537, -1, 40000, INT_MIN, 16777217}), five);
    EXPECT_EQ(Shorts(title, 0, 0, 5), std::vector<short>({1, -1, -25536, 0, 1}));
    EXPECT_EQ(Floats(title, 4, 1, 1)[0], 16777216.0f);
    WritePair(title, 2, std::vector<unsigned char>({200, 7}), two);
    EXPECT_EQ(Floats(title, 0, 0, 2), std::vector<float>({200, 7}));
    EXPECT_EQ(Shorts(title, 0, 0, 2), std::vector<short>({200, 7}));

    // Image bytes 00 01 FF FE under a native and a foreign header.
    WritePair(title, 4, std::vector<short>({256, -257}), two);
    EXPECT_EQ(Shorts(title, 0, 0, 2), std::vector<short>({256, -257}));
    MakeForeign(title, 1);
    EXPECT_EQ(Shorts(title, 0, 0, 2), std::vector<short>({1, -2}));
    EXPECT_EQ(Floats(title, 0, 0, 2), std::vector<float>({1, -2}));
}

TEST(AnalyzeVolume, StartCountAndImagesThatEndEarly) {
    TempDir dir;
    const std::string title = dir.File("v");
    std::vector<short> values;
    for (short i = 0; i < 24; ++i)
        values.push_back(short(3 * i + 1));
    WritePair(title, 4, values);
    EXPECT_EQ(Floats(title, 10, 5, 6), std::vector<float>({31, 34, 37, 40, 43, -99}));
    // Count 0 from voxel 10: as many voxels as the volume holds, the 10 past the image as 0.
    std::vector<short> expected(values.begin() + 10, values.end());
    expected.resize(24, 0);
    expected.push_back(-99);
    EXPECT_EQ(Shorts(title, 10, 0, 25), expected);

    // An image cut inside element 5: the bytes read stay, the rest of the volume is 0.
    Bytes image = ReadBytes(title + ".img");
    image.resize(11);
    WriteBytes(title + ".img", image);
    expected.assign(values.begin(), values.begin() + 5);
    expected.push_back(values[5] & 0xFF);
    expected.resize(24, 0);
    EXPECT_EQ(Shorts(title), expected);
    std::vector<short> raw(25, -99);
    ASSERT_EQ(CAnalyzeVolume::ReadVolume(title.c_str(), raw.data()), 1);
    expected.push_back(-99);
    EXPECT_EQ(raw, expected);
    expected.pop_back();
    std::vector<short> mask(24, 1);
    std::fill(mask.begin() + 1, mask.begin() + 6, 0);  // 4 to 16 lie above 3
    EXPECT_EQ(Mask(title, 0, 3, 24), mask);
    std::vector<int64_t> counts(4), expectedCounts(4);
    EXPECT_EQ(CAnalyzeVolume::Histogram(title.c_str(), counts.data(), 4),
              CMyMath::Histogram(expected.data(), 24, expectedCounts.data(), 4));
    EXPECT_EQ(counts, expectedCounts);

    // The same for 32-bit integers, the last element missing.
    const int three[3] = {3, 1, 1};
    WritePair(title, 8, std::vector<int>({-5, 70000, 9}), three);
    image = ReadBytes(title + ".img");
    image.resize(8);
    WriteBytes(title + ".img", image);
    EXPECT_EQ(Floats(title, 0, 0, 3), std::vector<float>({-5, 70000, 0}));
    EXPECT_EQ(Mask(title, -1, 1, 3), std::vector<short>({0, 0, 1}));
    // The missing elements take part in the largest value of a reversed range as zeros.
    WritePair(title, 4, std::vector<short>({-5, -9, -2}), three);
    image = ReadBytes(title + ".img");
    image.resize(4);
    WriteBytes(title + ".img", image);
    EXPECT_EQ(Mask(title, -6, -100, 3), std::vector<short>({1, 0, 1}));
}

TEST(AnalyzeVolume, MaskBoundsAndReversedRanges) {
    TempDir dir;
    const std::string title = dir.File("m");
    const int six[3] = {6, 1, 1}, three[3] = {3, 1, 1};
    WritePair(title, 4, std::vector<short>({99, 100, 150, 200, 201, -5}), six);
    EXPECT_EQ(Mask(title, 100, 200, 6), std::vector<short>({0, 1, 1, 1, 0, 0}));
    EXPECT_EQ(Mask(title, 100, 0, 6), std::vector<short>({0, 1, 1, 1, 1, 0}));
    EXPECT_EQ(Mask(title, 150, 150, 6), std::vector<short>({0, 0, 1, 0, 0, 0}));
    // The largest value plus one in the element's arithmetic: bytes widen, 32-bit integers wrap.
    WritePair(title, 2, std::vector<unsigned char>({255, 3, 100}), three);
    EXPECT_EQ(Mask(title, 100, 0, 3), std::vector<short>({1, 0, 1}));
    WritePair(title, 8, std::vector<int>({INT_MAX, 5, 100}), three);
    EXPECT_EQ(Mask(title, 4, 0, 3), std::vector<short>({0, 0, 0}));
    WritePair(title, 16, std::vector<float>({1.5f, float(kNaN), 2.5f}), three);
    EXPECT_EQ(Mask(title, -1e30, 1e30, 3), std::vector<short>({1, 0, 1}));
    WritePair(title, 64, std::vector<double>({1.5, 2.5, 0.5}), three);
    EXPECT_EQ(Mask(title, 1.5, -1, 3), std::vector<short>({1, 1, 0}));
}

TEST(AnalyzeVolume, MessagesAndRefusedHeaders) {
    TempDir dir;
    const std::string missing = dir.File("missing");
    std::vector<unsigned char> buffer(64, 0x55);
    std::vector<float> floats(8);
    std::vector<short> shorts(8, 7);
    std::vector<int64_t> counts(4);
    const auto readers = [&](const std::string& path) {
        CaptureStdout();
        EXPECT_EQ(CAnalyzeVolume::ReadAsFloat(path.c_str(), floats.data(), 0, 0), 0);
        EXPECT_EQ(CAnalyzeVolume::ReadAsShort(path.c_str(), shorts.data(), 0, 0), 0);
        EXPECT_EQ(CAnalyzeVolume::ReadAsShortMask(path.c_str(), shorts.data(), 0, 1), 0);
        EXPECT_EQ(CAnalyzeVolume::Histogram(path.c_str(), counts.data(), 4), 0.0);
        EXPECT_EQ(CAnalyzeVolume::GetAutoThreshold(path.c_str(), 4), 0.0);
        return GetCapturedStdout();
    };
    const std::string noHeader = "Can not read file " + missing + ".hdr\n";
    EXPECT_EQ(readers(missing), noHeader + noHeader + noHeader + noHeader);
    CaptureStdout();
    EXPECT_EQ(CAnalyzeVolume::ReadVolume(missing.c_str(), buffer.data()), 0);
    EXPECT_EQ(GetCapturedStdout(), noHeader);

    // Code 128: delivered as stored, refused by every converting reader once the image is read.
    const std::string title = dir.File("rgb");
    const int sizes[3] = {2, 1, 1};
    const std::vector<unsigned char> rgb = {1, 2, 3, 4, 5, 6};
    WritePair(title, 128, rgb, sizes);
    ASSERT_EQ(CAnalyzeVolume::ReadVolume(title.c_str(), buffer.data()), 1);
    EXPECT_EQ(std::vector<unsigned char>(buffer.begin(), buffer.begin() + 7),
              std::vector<unsigned char>({1, 2, 3, 4, 5, 6, 0x55}));
    const std::string unsupported = "Unsupported data type: " + title + ".img\n";
    EXPECT_EQ(readers(title), unsupported + unsupported + unsupported + unsupported + unsupported);
    EXPECT_EQ(shorts[0] + shorts[1], 0) << "the mask is cleared all the same";
    WriteBytes(title + ".img", Bytes());
    EXPECT_EQ(readers(title), " failed  failed  failed  failed  failed ");
    std::filesystem::remove(title + ".img");
    EXPECT_EQ(readers(title), "");
    // An unknown code whose image is a single byte.
    const int one[3] = {1, 1, 1};
    const float unit[3] = {1, 1, 1};
    CAnalyzeVolume::WriteHeader((title + ".hdr").c_str(), one, unit, 8, 7);
    WriteBytes(title + ".img", Bytes(1, 9));
    EXPECT_EQ(readers(title), unsupported + unsupported + unsupported + unsupported + unsupported);

    // Headers whose sizes or bits cannot be read safely, refused before any allocation.
    const int hostile[3] = {32767, 32767, 32767}, empty[3] = {2, 0, 1}, fine[3] = {2, 1, 1};
    const float voxel[3] = {1, 1, 1};
    const std::string bad = dir.File("bad");
    WriteBytes(bad + ".img", Bytes(64, 1));
    const std::string refused = "Unsupported data type: " + bad + ".img\n";
    const std::string refusedFive = refused + refused + refused + refused + refused;
    const struct {
        const int* sizes;
        int bits;
        int type;
    } headers[] = {{hostile, 16, 4}, {empty, 16, 4}, {fine, 8, 4}, {fine, 64, 16}};
    for (const auto& h : headers) {
        CAnalyzeVolume::WriteHeader((bad + ".hdr").c_str(), h.sizes, voxel, h.bits, h.type);
        EXPECT_EQ(readers(bad), refusedFive);
    }
    CAnalyzeVolume::WriteHeader((bad + ".hdr").c_str(), hostile, voxel, 16, 4);
    CaptureStdout();
    EXPECT_EQ(CAnalyzeVolume::ReadVolume(bad.c_str(), buffer.data()), 0);
    EXPECT_EQ(GetCapturedStdout(), "");
    EXPECT_EQ(buffer[0], 1) << "left as it was";

    WriteBytes(bad + ".hdr", Bytes(20, 0));
    const std::string shortHeader = "Wrong size of the analyze header file.\n";
    const std::string cannotRead = shortHeader + "Can not read file " + bad + ".hdr\n";
    EXPECT_EQ(readers(bad), cannotRead + cannotRead + cannotRead + cannotRead + shortHeader);

    EXPECT_EQ(CAnalyzeVolume::WriteVolume(dir.File("t").c_str(), sizes, voxel, rgb.data(), 32), 0);
    EXPECT_FALSE(std::filesystem::exists(dir.File("t.hdr")));
    EXPECT_FALSE(std::filesystem::exists(dir.File("t.img")));
}

TEST(AnalyzeVolume, SwapDoubleReversesEachValue) {
    double values[2] = {1.0, -2.5};
    SWAP_DOUBLE(values, 2);
    uint64_t bits;
    std::memcpy(&bits, &values[0], 8);
    EXPECT_EQ(bits, 0x000000000000F03Full);
    SWAP_DOUBLE(values, 0);
    SWAP_DOUBLE(values, -1);
    SWAP_DOUBLE(values, 2);
    EXPECT_EQ(values[0], 1.0);
    EXPECT_EQ(values[1], -2.5);
}

}  // namespace
