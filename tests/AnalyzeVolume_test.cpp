#include "volume/AnalyzeVolume.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
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

const float kVoxel[3] = {1.0f, 1.0f, 2.0f};
const double kVoxelWide[3] = {0.1, 1.0, 2.0};
const double kNaN = std::numeric_limits<double>::quiet_NaN();

// WriteHeader(sizes 2 3 4, voxel sizes 1 1 2, bits 16, type 4) on a little-endian machine.
Bytes ExpectedHeader() {
    Bytes bytes(348, 0);
    const std::pair<size_t, Bytes> set[] = {
        {0, {0x5C, 0x01}},  {33, {0x40}},
        {38, {0x72}},       {40, {3, 0, 2, 0, 3, 0, 4, 0, 1}},
        {70, {4, 0, 0x10}}, {82, {0x80, 0x3F, 0, 0, 0x80, 0x3F, 0, 0, 0, 0x40}},
    };
    for (const auto& [offset, values] : set)
        std::copy(values.begin(), values.end(), bytes.begin() + offset);
    return bytes;
}

// Reverses the interpreted header fields and each `width`-byte element of the image, as a
// machine of the other byte order would have written them.
void MakeForeign(const std::string& title, size_t width) {
    Bytes header = ReadBytes(title + ".hdr"), image = ReadBytes(title + ".img");
    const std::pair<size_t, size_t> fields[] = {{0, 4},  {32, 4}, {40, 2},  {42, 2}, {44, 2},
                                                {46, 2}, {48, 2}, {70, 2},  {72, 2}, {80, 4},
                                                {84, 4}, {88, 4}, {140, 4}, {144, 4}};
    for (const auto& [offset, size] : fields)
        std::reverse(header.begin() + offset, header.begin() + offset + size);
    for (size_t i = 0; i + width <= image.size(); i += width)
        std::reverse(image.begin() + i, image.begin() + i + width);
    WriteBytes(title + ".hdr", header);
    WriteBytes(title + ".img", image);
}

// Writes the values as a volume of values.size() x 1 x 1 (or the given sizes), with the voxel
// sizes kVoxelWide.
template <typename T>
void WritePair(const std::string& title, int code, const std::vector<T>& values,
               std::vector<int> sizes = {}) {
    if (sizes.empty()) sizes = {int(values.size()), 1, 1};
    ASSERT_EQ(CAnalyzeVolume::WriteVolume((title + ".img").c_str(), sizes.data(), kVoxelWide,
                                          values.data(), code),
              1);
}

std::vector<short> Shorts(const std::string& path, size_t n, int start = 0, int count = 0) {
    std::vector<short> out(n, -99);
    EXPECT_EQ(CAnalyzeVolume::ReadAsShort(path.c_str(), out.data(), start, count), 1);
    return out;
}

std::vector<float> Floats(const std::string& path, size_t n, int start = 0, int count = 0) {
    std::vector<float> out(n, -99.0f);
    EXPECT_EQ(CAnalyzeVolume::ReadAsFloat(path.c_str(), out.data(), start, count), 1);
    return out;
}

std::vector<short> Mask(const std::string& path, size_t n, double lower, double upper) {
    std::vector<short> mask(n, 7);
    EXPECT_EQ(CAnalyzeVolume::ReadAsShortMask(path.c_str(), mask.data(), lower, upper), 1);
    return mask;
}

// 24 values of a 4 x 3 x 2 volume of the code, read back through every reader.
template <typename T>
void CheckEveryReader(const std::string& title, int code, bool foreign) {
    SCOPED_TRACE("code " + std::to_string(code) + (foreign ? " foreign" : " native"));
    std::vector<T> values, raw(24);
    std::vector<float> floats;
    std::vector<short> shorts, mask, reversed;
    for (int i = 0; i < 24; ++i) {
        const T value =
            std::is_integral<T>::value ? T(i * 7 - (code == 2 ? -3 : 40)) : T(i * 2.5 - 30.25);
        values.push_back(value);
        floats.push_back(float(value));
        shorts.push_back(short(int(value)));
        mask.push_back(-5 <= value && value <= 40);
        reversed.push_back(value >= 20);
    }
    WritePair(title, code, values, {4, 3, 2});
    if (foreign) MakeForeign(title, sizeof(T));
    ASSERT_EQ(CAnalyzeVolume::ReadVolume(title.c_str(), raw.data()), 1);
    EXPECT_EQ(raw, values);
    EXPECT_EQ(Floats(title + ".hdr", 24), floats);
    EXPECT_EQ(Shorts(title, 24), shorts);
    EXPECT_EQ(Mask(title, 24, -5, 40), mask);
    EXPECT_EQ(Mask(title, 24, 20, 0), reversed);
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

TEST(AnalyzeHeader, BytesOnThisMachineAndEveryForm) {
    TempDir dir;
    const std::string path = dir.File("h.hdr");
    const int sizes[3] = {2, 3, 4};
    const double wide[3] = {1.0, 1.0, 2.0}, tenth[3] = {0.1, 0.2, 0.3};
    ASSERT_EQ(CAnalyzeVolume::WriteHeader(path.c_str(), sizes, kVoxel, 16, 4), 1);
    EXPECT_EQ(FirstDifference(ReadBytes(path), ExpectedHeader()), "");
    ASSERT_EQ(CAnalyzeVolume::WriteHeader(path.c_str(), sizes, wide, 4), 1);
    EXPECT_EQ(FirstDifference(ReadBytes(path), ExpectedHeader()), "");

    int outSizes[3] = {}, type = 0, bits = 0;
    float voxel[3] = {};
    double voxelWide[3] = {};
    ASSERT_EQ(CAnalyzeVolume::ReadHeader(dir.File("h").c_str(), outSizes, voxel, type, bits), 1);
    EXPECT_EQ(std::vector<int>(outSizes, outSizes + 3), std::vector<int>({2, 3, 4}));
    EXPECT_EQ(std::vector<float>(voxel, voxel + 3), std::vector<float>({1, 1, 2}));
    EXPECT_EQ(type * 100 + bits, 416);
    ASSERT_EQ(CAnalyzeVolume::ReadHeader(path.c_str(), outSizes, voxelWide, type, bits = 0), 1);
    EXPECT_EQ(voxelWide[2] + bits, 18.0);
    ASSERT_EQ(CAnalyzeVolume::ReadHeader(path.c_str(), outSizes, voxel, type = 0), 1);
    ASSERT_EQ(CAnalyzeVolume::ReadHeader(path.c_str(), outSizes, voxelWide, type), 1);
    EXPECT_EQ(type, 4);

    // Bits derived from the type; double voxel sizes rounded to the nearest float.
    const std::pair<int, int> bitsOfType[] = {{2, 8}, {8, 32}, {16, 32}, {64, 64}, {128, 24}};
    for (const auto& [code, expected] : bitsOfType) {
        ASSERT_EQ(CAnalyzeVolume::WriteHeader(path.c_str(), sizes, tenth, code), 1);
        ASSERT_EQ(CAnalyzeVolume::ReadHeader(path.c_str(), outSizes, voxel, type, bits), 1);
        EXPECT_EQ(bits, expected);
        EXPECT_EQ(voxel[0], 0.1f);
    }
    EXPECT_EQ(CAnalyzeVolume::WriteHeader(dir.File("t.hdr").c_str(), sizes, kVoxel, 32), 0);
    EXPECT_FALSE(std::filesystem::exists(dir.File("t.hdr")));
    EXPECT_EQ(CAnalyzeVolume::WriteHeader(dir.File("t.hdr").c_str(), sizes, kVoxel, 7, 32), 1);
    EXPECT_EQ(CAnalyzeVolume::WriteHeader(dir.File("no/t.hdr").c_str(), sizes, kVoxel, 7, 4), 0);

    // Writers write the path given, readers read the title's ".hdr": its first 348 bytes, or
    // nothing when it is shorter. Sizes keep their low 16 bits.
    const int large[3] = {40000, 1, 1};
    ASSERT_EQ(CAnalyzeVolume::WriteHeader(dir.File("out.img").c_str(), large, kVoxel, 4), 1);
    Bytes bytes = ReadBytes(dir.File("out.img"));
    bytes.resize(400, 0x11);
    WriteBytes(dir.File("out.hdr"), bytes);
    CaptureStdout();
    ASSERT_EQ(CAnalyzeVolume::ReadHeader(dir.File("out.img").c_str(), outSizes, voxel, type), 1);
    EXPECT_EQ(outSizes[0], 40000 - 65536);
    bytes.resize(347);
    WriteBytes(dir.File("out.hdr"), bytes);
    EXPECT_EQ(CAnalyzeVolume::ReadHeader(dir.File("out").c_str(), outSizes, voxel, type), 0);
    EXPECT_EQ(CAnalyzeVolume::ReadHeader(dir.File("none").c_str(), outSizes, voxel, type), 0);
    EXPECT_EQ(GetCapturedStdout(), "Wrong size of the analyze header file.\n");
    EXPECT_EQ(outSizes[0], 40000 - 65536) << "outputs untouched on failure";

    // A foreign header, and one whose size is 348 in neither order, keep their size as stored.
    for (const Bytes& size : {Bytes({0, 0, 1, 0x5C}), Bytes({1, 2, 3, 4})}) {
        bytes = ExpectedHeader();
        bytes[100] = 0xAB;  // opaque: never reversed
        std::copy_n(size.begin(), 4, bytes.begin() + 140);
        WriteBytes(path, bytes);
        MakeForeign(dir.File("h"), 1);
        bytes = ReadBytes(path);
        std::copy_n(size.begin(), 4, bytes.begin());
        WriteBytes(path, bytes);
        ANALYZE_HEADER h;
        ASSERT_EQ(CAnalyzeVolume::ReadHeader(path.c_str(), h), 1);
        EXPECT_EQ(std::memcmp(&h.headerSize, size.data(), 4), 0);
        EXPECT_EQ(std::memcmp(&h.word140, size.data(), 4), 0);
        EXPECT_EQ(h.extentConstant + h.dimCount + h.sizeX + h.sizeY + h.sizeZ + h.volumeCount,
                  16384 + 3 + 2 + 3 + 4 + 1);
        EXPECT_EQ(h.dataType * 100 + h.bitsPerVoxel, 416);
        EXPECT_EQ(h.voxelSizeX + h.voxelSizeY + h.voxelSizeZ, 4.0f);
        EXPECT_EQ(uint8_t(reinterpret_cast<const char*>(&h)[100]), 0xAB);
    }
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
    float voxel[3];
    int sizes[3], type;
    ASSERT_EQ(CAnalyzeVolume::ReadHeader(dir.File("f64").c_str(), sizes, voxel, type), 1);
    EXPECT_EQ(std::vector<float>(voxel, voxel + 3), std::vector<float>({0.1f, 1, 2}));
}

TEST(AnalyzeVolume, ConversionsTruncateWrapAndRound) {
    TempDir dir;
    const std::string v = dir.File("v");
    WritePair(v, 16,
              std::vector<float>(
                  {2.9f, -2.9f, 65540, float(kNaN), 3e9f, -3e9f, 2147483520.0f, -65537.5f}));
    EXPECT_EQ(Shorts(v, 8), std::vector<short>({2, -2, 4, 0, 0, 0, -128, -1}));
    WritePair(v, 64,
              std::vector<double>({2.9, -2.9, 65540.7, kNaN, 2147483647.9, 2147483648.0,
                                   -2147483647.5, -2147483649.0, 0.1}));
    EXPECT_EQ(Shorts(v, 9), std::vector<short>({2, -2, 4, 0, -1, 0, 1, 0, 0}));
    EXPECT_EQ(Floats(v, 1, 8, 1)[0], 0.1f);
    WritePair(v, 8, std::vector<int>({65537, -1, 40000, INT_MIN, 16777217}));
    EXPECT_EQ(Shorts(v, 5), std::vector<short>({1, -1, -25536, 0, 1}));
    EXPECT_EQ(Floats(v, 1, 4, 1)[0], 16777216.0f);
    WritePair(v, 2, std::vector<unsigned char>({200, 7}));
    EXPECT_EQ(Floats(v, 2), std::vector<float>({200, 7}));
    EXPECT_EQ(Shorts(v, 2), std::vector<short>({200, 7}));
    // Image bytes 00 01 FF FE under a native, then a foreign header.
    WritePair(v, 4, std::vector<short>({256, -257}));
    EXPECT_EQ(Shorts(v, 2), std::vector<short>({256, -257}));
    MakeForeign(v, 1);
    EXPECT_EQ(Floats(v, 2), std::vector<float>({1, -2}));
}

TEST(AnalyzeVolume, StartCountMasksAndImagesThatEndEarly) {
    TempDir dir;
    const std::string v = dir.File("v");
    std::vector<short> values;
    for (short i = 0; i < 24; ++i)
        values.push_back(short(3 * i + 1));
    WritePair(v, 4, values, {4, 3, 2});
    EXPECT_EQ(Floats(v, 6, 10, 5), std::vector<float>({31, 34, 37, 40, 43, -99}));
    // Count 0 from voxel 10: as many voxels as the volume holds, the 10 past the image as 0.
    std::vector<short> expected(values.begin() + 10, values.end());
    expected.resize(24, 0);
    expected.push_back(-99);
    EXPECT_EQ(Shorts(v, 25, 10, 0), expected);

    // An image cut inside element 5: the bytes read stay, the rest of the volume is 0.
    Bytes image = ReadBytes(v + ".img");
    image.resize(11);
    WriteBytes(v + ".img", image);
    expected.assign(values.begin(), values.begin() + 5);
    expected.push_back(values[5] & 0xFF);
    expected.resize(24, 0);
    EXPECT_EQ(Shorts(v, 24), expected);
    std::vector<short> raw(25, -99);
    ASSERT_EQ(CAnalyzeVolume::ReadVolume(v.c_str(), raw.data()), 1);
    EXPECT_EQ(std::vector<short>(raw.begin(), raw.begin() + 24), expected);
    EXPECT_EQ(raw[24], -99);
    std::vector<short> mask(24, 1);
    std::fill(mask.begin() + 1, mask.begin() + 6, 0);  // 4 to 16 lie above 3
    EXPECT_EQ(Mask(v, 24, 0, 3), mask);
    std::vector<int64_t> counts(4), expectedCounts(4);
    EXPECT_EQ(CAnalyzeVolume::Histogram(v.c_str(), counts.data(), 4),
              CMyMath::Histogram(expected.data(), 24, expectedCounts.data(), 4));
    EXPECT_EQ(counts, expectedCounts);
    // 32-bit integers with the last one missing; the zeros take part in a reversed range.
    WritePair(v, 8, std::vector<int>({-5, 70000, 9}));
    image = ReadBytes(v + ".img");
    WriteBytes(v + ".img", Bytes(image.begin(), image.begin() + 8));
    EXPECT_EQ(Floats(v, 3), std::vector<float>({-5, 70000, 0}));
    EXPECT_EQ(Mask(v, 3, -1, 1), std::vector<short>({0, 0, 1}));
    WritePair(v, 4, std::vector<short>({-5, -9, -2}));
    image = ReadBytes(v + ".img");
    WriteBytes(v + ".img", Bytes(image.begin(), image.begin() + 4));
    EXPECT_EQ(Mask(v, 3, -6, -100), std::vector<short>({1, 0, 1}));

    // Inclusive bounds; a reversed range reaches the largest value plus one in the element's
    // arithmetic: bytes widen, 32-bit integers wrap. NaN is never inside.
    WritePair(v, 4, std::vector<short>({99, 100, 150, 200, 201, -5}));
    EXPECT_EQ(Mask(v, 6, 100, 200), std::vector<short>({0, 1, 1, 1, 0, 0}));
    EXPECT_EQ(Mask(v, 6, 100, 0), std::vector<short>({0, 1, 1, 1, 1, 0}));
    EXPECT_EQ(Mask(v, 6, 150, 150), std::vector<short>({0, 0, 1, 0, 0, 0}));
    WritePair(v, 2, std::vector<unsigned char>({255, 3, 100}));
    EXPECT_EQ(Mask(v, 3, 100, 0), std::vector<short>({1, 0, 1}));
    WritePair(v, 8, std::vector<int>({INT_MAX, 5, 100}));
    EXPECT_EQ(Mask(v, 3, 4, 0), std::vector<short>({0, 0, 0}));
    WritePair(v, 16, std::vector<float>({1.5f, float(kNaN), 2.5f}));
    EXPECT_EQ(Mask(v, 3, -1e30, 1e30), std::vector<short>({1, 0, 1}));
    WritePair(v, 64, std::vector<double>({1.5, 2.5, 0.5}));
    EXPECT_EQ(Mask(v, 3, 1.5, -1), std::vector<short>({1, 1, 0}));
}

TEST(AnalyzeVolume, MessagesAndRefusedHeaders) {
    TempDir dir;
    std::vector<unsigned char> buffer(64, 0x55);
    std::vector<float> floats(8);
    std::vector<short> shorts(8, 7);
    std::vector<int64_t> counts(4);
    // The output of the five converting readers, each of which must fail.
    const auto readers = [&](const std::string& path) {
        CaptureStdout();
        EXPECT_EQ(CAnalyzeVolume::ReadAsFloat(path.c_str(), floats.data(), 0, 0), 0);
        EXPECT_EQ(CAnalyzeVolume::ReadAsShort(path.c_str(), shorts.data(), 0, 0), 0);
        EXPECT_EQ(CAnalyzeVolume::ReadAsShortMask(path.c_str(), shorts.data(), 0, 1), 0);
        EXPECT_EQ(CAnalyzeVolume::Histogram(path.c_str(), counts.data(), 4), 0.0);
        EXPECT_EQ(CAnalyzeVolume::GetAutoThreshold(path.c_str(), 4), 0.0);
        return GetCapturedStdout();
    };
    const auto times = [](int n, const std::string& text) {
        std::string all;
        while (n-- > 0)
            all += text;
        return all;
    };
    const std::string missing = dir.File("missing");
    EXPECT_EQ(readers(missing), times(4, "Can not read file " + missing + ".hdr\n"));
    CaptureStdout();
    EXPECT_EQ(CAnalyzeVolume::ReadVolume(missing.c_str(), buffer.data()), 0);
    EXPECT_EQ(GetCapturedStdout(), "Can not read file " + missing + ".hdr\n");

    // Code 128: delivered as stored, refused by every converting reader once the image is read.
    const std::string rgb = dir.File("rgb");
    WritePair(rgb, 128, std::vector<unsigned char>({1, 2, 3, 4, 5, 6}), {2, 1, 1});
    ASSERT_EQ(CAnalyzeVolume::ReadVolume(rgb.c_str(), buffer.data()), 1);
    EXPECT_EQ(Bytes(buffer.begin(), buffer.begin() + 7), Bytes({1, 2, 3, 4, 5, 6, 0x55}));
    EXPECT_EQ(readers(rgb), times(5, "Unsupported data type: " + rgb + ".img\n"));
    EXPECT_EQ(shorts[0] + shorts[1], 0) << "the mask is cleared all the same";
    WriteBytes(rgb + ".img", Bytes());
    EXPECT_EQ(readers(rgb), times(5, " failed "));
    std::filesystem::remove(rgb + ".img");
    EXPECT_EQ(readers(rgb), "");

    // A type the readers convert, with an empty image.
    const int two[3] = {2, 1, 1};
    CAnalyzeVolume::WriteHeader((rgb + ".hdr").c_str(), two, kVoxel, 16, 4);
    WriteBytes(rgb + ".img", Bytes());
    EXPECT_EQ(readers(rgb), times(5, " failed "));

    // Headers whose sizes or bits cannot be read safely, refused before any allocation.
    const int hostile[3] = {32767, 32767, 32767};
    const int noX[3] = {0, 1, 1}, noY[3] = {2, 0, 1}, noZ[3] = {2, 1, 0};
    const std::string bad = dir.File("bad");
    WriteBytes(bad + ".img", Bytes(64, 1));
    const struct {
        const int* sizes;
        int bits, type;
    } headers[] = {{hostile, 16, 4}, {noX, 16, 4}, {noY, 16, 4},
                   {noZ, 16, 4},     {two, 8, 4},  {two, 64, 16}};
    for (const auto& h : headers) {
        CAnalyzeVolume::WriteHeader((bad + ".hdr").c_str(), h.sizes, kVoxel, h.bits, h.type);
        EXPECT_EQ(readers(bad), times(5, "Unsupported data type: " + bad + ".img\n"));
    }
    CaptureStdout();
    EXPECT_EQ(CAnalyzeVolume::ReadVolume(bad.c_str(), buffer.data()), 1) << "as stored";
    CAnalyzeVolume::WriteHeader((bad + ".hdr").c_str(), hostile, kVoxel, 16, 4);
    EXPECT_EQ(CAnalyzeVolume::ReadVolume(bad.c_str(), buffer.data()), 0);
    EXPECT_EQ(GetCapturedStdout(), "");
    WriteBytes(bad + ".hdr", Bytes(20, 0));
    const std::string shortHeader = "Wrong size of the analyze header file.\n";
    EXPECT_EQ(readers(bad),
              times(4, shortHeader + "Can not read file " + bad + ".hdr\n") + shortHeader);

    EXPECT_EQ(CAnalyzeVolume::WriteVolume(dir.File("t").c_str(), two, kVoxel, two, 32), 0);
    EXPECT_FALSE(std::filesystem::exists(dir.File("t.hdr")) ||
                 std::filesystem::exists(dir.File("t.img")));
}

TEST(AnalyzeVolume, SwapDoubleReversesEachValue) {
    double values[2] = {1.0, -2.5};
    SWAP_DOUBLE(values, 2);
    uint64_t bits;
    std::memcpy(&bits, &values[0], 8);
    EXPECT_EQ(bits, 0x000000000000F03Full);
    SWAP_DOUBLE(values, 0);
    SWAP_DOUBLE(values, -1);
    SWAP_DOUBLE(values, 1);
    EXPECT_EQ(values[0], 1.0);
    SWAP_DOUBLE(values + 1, 1);
    EXPECT_EQ(values[1], -2.5);
}

}  // namespace
