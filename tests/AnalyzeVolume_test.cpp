#include "volume/AnalyzeVolume.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <limits>
#include <numeric>
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

// WriteHeader(sizes 40000 3 4, voxel sizes 1 1 2, bits 16, type 4) on a little-endian machine:
// sizes keep their low 16 bits.
Bytes ExpectedHeader() {
    Bytes bytes(348, 0);
    const std::pair<size_t, Bytes> set[] = {
        {0, {0x5C, 0x01}},  {33, {0x40}},
        {38, {0x72}},       {40, {3, 0, 0x40, 0x9C, 3, 0, 4, 0, 1}},
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
    // From element 10 on, as many as the volume holds (those past the image are 0), or 5.
    std::vector<float> tail(floats.begin() + 10, floats.end());
    tail.resize(24, 0.0f);
    tail.push_back(-99.0f);
    EXPECT_EQ(Floats(title + ".hdr", 25, 10, 0), tail);
    tail.resize(5);
    tail.push_back(-99.0f);
    EXPECT_EQ(Floats(title, 6, 10, 5), tail);
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

TEST(AnalyzeHeader, BytesOnThisMachineEveryFormAndForeignOrder) {
    TempDir dir;
    const std::string path = dir.File("h.hdr"), other = dir.File("w.img");
    const int sizes[3] = {40000, 3, 4};
    const double wide[3] = {1.0, 1.0, 2.0};
    // Writers write the path given. The double forms pass through the float ones; the form
    // without bits derives them.
    ASSERT_EQ(CAnalyzeVolume::WriteHeader(other.c_str(), sizes, wide, 16, 4), 1);
    EXPECT_EQ(FirstDifference(ReadBytes(other), ExpectedHeader()), "");
    ASSERT_EQ(CAnalyzeVolume::WriteHeader(path.c_str(), sizes, wide, 4), 1);
    EXPECT_EQ(FirstDifference(ReadBytes(path), ExpectedHeader()), "");

    // Readers read the title's ".hdr".
    int outSizes[3] = {}, type = 0, bits = 0;
    float voxel[3] = {};
    double voxelWide[3] = {};
    ASSERT_EQ(CAnalyzeVolume::ReadHeader(dir.File("h").c_str(), outSizes, voxel, type, bits), 1);
    EXPECT_EQ(std::vector<int>(outSizes, outSizes + 3), std::vector<int>({40000 - 65536, 3, 4}));
    EXPECT_EQ(std::vector<float>(voxel, voxel + 3), std::vector<float>({1, 1, 2}));
    EXPECT_EQ(type * 100 + bits, 416);
    ASSERT_EQ(CAnalyzeVolume::ReadHeader(path.c_str(), outSizes, voxelWide, type, bits = 0), 1);
    EXPECT_EQ(voxelWide[2] + bits, 18.0);
    ASSERT_EQ(CAnalyzeVolume::ReadHeader(dir.File("h.img").c_str(), outSizes, voxel, type = 0), 1);
    ASSERT_EQ(CAnalyzeVolume::ReadHeader(path.c_str(), outSizes, voxelWide, type), 1);
    EXPECT_EQ(type, 4);

    // An unknown code needs its bits; a header that cannot be created fails.
    EXPECT_EQ(CAnalyzeVolume::WriteHeader(dir.File("t.hdr").c_str(), sizes, kVoxel, 32), 0);
    EXPECT_FALSE(std::filesystem::exists(dir.File("t.hdr")));
    EXPECT_EQ(CAnalyzeVolume::WriteHeader(dir.File("t.hdr").c_str(), sizes, kVoxel, 7, 32), 1);
    EXPECT_EQ(CAnalyzeVolume::WriteHeader(dir.File("no/t.hdr").c_str(), sizes, kVoxel, 7, 4), 0);

    // A header shorter than 348 bytes reads as nothing, leaving the outputs as they were.
    std::filesystem::resize_file(path, 347);
    CaptureStdout();
    EXPECT_EQ(CAnalyzeVolume::ReadHeader(path.c_str(), outSizes, voxel, type = 0), 0);
    GetCapturedStdout();
    EXPECT_EQ(outSizes[0] + type, 40000 - 65536);

    // A foreign header, and one whose size is 348 in neither order, read as their native twin
    // (of which only the first 348 bytes count) but for the size, which keeps the file's bytes.
    Bytes bytes = ExpectedHeader();
    bytes[100] = 0xAB;                                       // opaque: never reversed
    std::iota(bytes.begin() + 140, bytes.begin() + 148, 1);  // word140 and word144
    bytes.resize(400, 0x11);
    WriteBytes(path, bytes);
    ANALYZE_HEADER native, h;
    ASSERT_EQ(CAnalyzeVolume::ReadHeader(path.c_str(), native), 1);
    EXPECT_EQ(std::memcmp(&native, bytes.data(), 348), 0);
    MakeForeign(dir.File("h"), 1);
    bytes = ReadBytes(path);
    for (const Bytes& size : {Bytes({0, 0, 1, 0x5C}), Bytes({1, 2, 3, 4})}) {
        std::copy_n(size.begin(), 4, bytes.begin());
        WriteBytes(path, bytes);
        ASSERT_EQ(CAnalyzeVolume::ReadHeader(path.c_str(), h), 1);
        EXPECT_EQ(std::memcmp(&h.headerSize, size.data(), 4), 0);
        h.headerSize = native.headerSize;
        EXPECT_EQ(std::memcmp(&h, &native, sizeof(h)), 0);
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

TEST(AnalyzeVolume, ConversionsAndMaskRangesOfExtremeValues) {
    // Truncation to 32 bits, then the low 16 bits; rounding to float. Mask bounds are inclusive
    // and NaN is never inside; a reversed range reaches the largest value plus one in the
    // element's arithmetic: bytes widen, 32-bit integers wrap.
    TempDir dir;
    const std::string v = dir.File("v");
    WritePair(v, 16,
              std::vector<float>(
                  {2.9f, -2.9f, 65540, float(kNaN), 3e9f, -3e9f, 2147483520.0f, -65537.5f}));
    EXPECT_EQ(Shorts(v, 8), std::vector<short>({2, -2, 4, 0, 0, 0, -128, -1}));
    EXPECT_EQ(Mask(v, 8, -1e30, 1e30), std::vector<short>({1, 1, 1, 0, 1, 1, 1, 1}));
    WritePair(v, 64,
              std::vector<double>({2.9, -2.9, 65540.7, kNaN, 2147483647.9, 2147483648.0,
                                   -2147483647.5, -2147483649.0, 0.1}));
    EXPECT_EQ(Shorts(v, 9), std::vector<short>({2, -2, 4, 0, -1, 0, 1, 0, 0}));
    EXPECT_EQ(Floats(v, 1, 8, 1)[0], 0.1f);
    EXPECT_EQ(Mask(v, 9, 1.5, -1), std::vector<short>({1, 0, 1, 0, 1, 1, 0, 0, 0}));
    WritePair(v, 8, std::vector<int>({65537, -1, 40000, INT_MIN, 16777217, INT_MAX}));
    EXPECT_EQ(Shorts(v, 6), std::vector<short>({1, -1, -25536, 0, 1, -1}));
    EXPECT_EQ(Floats(v, 1, 4, 1)[0], 16777216.0f);
    EXPECT_EQ(Mask(v, 6, 4, 0), std::vector<short>(6, 0));
    WritePair(v, 4, std::vector<short>({99, 100, 150, 200, 201, -5}));
    EXPECT_EQ(Mask(v, 6, 100, 200), std::vector<short>({0, 1, 1, 1, 0, 0}));
    EXPECT_EQ(Mask(v, 6, 100, 0), std::vector<short>({0, 1, 1, 1, 1, 0}));
    WritePair(v, 2, std::vector<unsigned char>({255, 3, 100}));
    EXPECT_EQ(Mask(v, 3, 100, 0), std::vector<short>({1, 0, 1}));
}

TEST(AnalyzeVolume, ImagesThatEndEarlyReadAsZeros) {
    // A 16-bit image cut inside element 5: the byte read stays, the rest of the volume is 0.
    TempDir dir;
    const std::string v = dir.File("v");
    WritePair(v, 4, std::vector<short>(24, 0x1234), {4, 3, 2});
    std::filesystem::resize_file(v + ".img", 11);
    std::vector<short> expected(24, 0), raw(25, -99), mask(24, 1);
    std::fill_n(expected.begin(), 5, short(0x1234));
    expected[5] = 0x34;
    std::fill_n(mask.begin(), 5, short(0));
    EXPECT_EQ(Shorts(v, 24), expected);
    EXPECT_EQ(Mask(v, 24, 0, 100), mask);
    ASSERT_EQ(CAnalyzeVolume::ReadVolume(v.c_str(), raw.data()), 1);
    EXPECT_EQ(std::vector<short>(raw.begin(), raw.begin() + 24), expected);
    EXPECT_EQ(raw[24], -99);
    std::vector<int64_t> counts(4), expectedCounts(4);
    EXPECT_EQ(CAnalyzeVolume::Histogram(v.c_str(), counts.data(), 4),
              CMyMath::Histogram(expected.data(), 24, expectedCounts.data(), 4));
    EXPECT_EQ(counts, expectedCounts);

    // A 1 x 3 x 1 volume of 32-bit integers with the last one missing; the zeros take part in a
    // reversed range.
    WritePair(v, 8, std::vector<int>({-5, -70000, 9}), {1, 3, 1});
    std::filesystem::resize_file(v + ".img", 8);
    EXPECT_EQ(Floats(v, 3), std::vector<float>({-5, -70000, 0}));
    EXPECT_EQ(Mask(v, 3, -1, 1), std::vector<short>({0, 0, 1}));
    EXPECT_EQ(Mask(v, 3, -6, -100), std::vector<short>({1, 0, 1}));
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

    // Code 128 is delivered as stored.
    const std::string bad = dir.File("bad");
    const int two[3] = {2, 1, 1};
    WritePair(bad, 128, std::vector<unsigned char>({1, 2, 3, 4, 5, 6}), {2, 1, 1});
    ASSERT_EQ(CAnalyzeVolume::ReadVolume(bad.c_str(), buffer.data()), 1);
    EXPECT_EQ(Bytes(buffer.begin(), buffer.begin() + 7), Bytes({1, 2, 3, 4, 5, 6, 0x55}));

    // Each converting reader reads the image (" failed " when it is empty, nothing when it is
    // missing) before it refuses a code it does not convert; it refuses, as unsupported, sizes
    // or bits that cannot be read safely before any allocation.
    const std::string unsupported = "Unsupported data type: " + bad + ".img\n";
    const struct {
        int sizes[3], bits, type, imageBytes;  // no image file for -1
        std::string said;
    } cases[] = {
        {{2, 1, 1}, 24, 128, 6, unsupported},
        {{2, 1, 1}, 24, 128, 0, " failed "},
        {{2, 1, 1}, 24, 128, -1, ""},
        {{2, 1, 1}, 16, 4, 0, " failed "},
        {{32767, 32767, 32767}, 16, 4, 64, unsupported},
        {{0, 1, 1}, 16, 4, 64, unsupported},
        {{2, 0, 1}, 16, 4, 64, unsupported},
        {{2, 1, 0}, 16, 4, 64, unsupported},
        {{2, 1, 1}, 8, 4, 64, unsupported},
        {{2, 1, 1}, 64, 16, 64, unsupported},
    };
    for (const auto& c : cases) {
        CAnalyzeVolume::WriteHeader((bad + ".hdr").c_str(), c.sizes, kVoxel, c.bits, c.type);
        std::filesystem::remove(bad + ".img");
        if (c.imageBytes >= 0) WriteBytes(bad + ".img", Bytes(size_t(c.imageBytes), 1));
        EXPECT_EQ(readers(bad), times(5, c.said)) << c.sizes[0] << " " << c.bits << " " << c.type;
    }
    // The last header describes 8 bytes, the first one a volume beyond 32-bit counts.
    CaptureStdout();
    EXPECT_EQ(CAnalyzeVolume::ReadVolume(bad.c_str(), buffer.data()), 1) << "as stored";
    CAnalyzeVolume::WriteHeader((bad + ".hdr").c_str(), cases[4].sizes, kVoxel, 16, 4);
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

TEST(AnalyzeVolume, SwapDoubleReversesEachOfTheValues) {
    double values[2] = {1.0, -2.5};
    SWAP_DOUBLE(values, 2);
    SWAP_DOUBLE(values, 1);  // the first one back
    SWAP_DOUBLE(values, 0);
    SWAP_DOUBLE(values, -1);
    uint64_t bits[2];
    std::memcpy(bits, values, sizeof(bits));
    EXPECT_EQ(bits[0], 0x3FF0000000000000ull);
    EXPECT_EQ(bits[1], 0x00000000000004C0ull);
}

}  // namespace
