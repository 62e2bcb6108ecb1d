#include "volume/AnalyzeVolume.h"

#include <gtest/gtest.h>

#include <climits>
#include <cmath>

#include "math/MyMath.h"
#include "track_files.h"

using namespace testing_files;

namespace {

const float kVoxel[3] = {1.0f, 1.0f, 2.0f};
const double kVoxelWide[3] = {0.1, 1.0, 2.0};

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
    for (int at : {0, 32, 80, 84, 88, 140, 144})
        std::reverse(header.begin() + at, header.begin() + at + 4);
    for (int at : {40, 42, 44, 46, 48, 70, 72})
        std::reverse(header.begin() + at, header.begin() + at + 2);
    for (size_t i = 0; i + width <= image.size(); i += width)
        std::reverse(image.begin() + i, image.begin() + i + width);
    WriteBytes(title + ".hdr", header);
    WriteBytes(title + ".img", image);
}

// Writes the values as a volume of 1 x values.size() x 1 (or the given sizes), with the voxel
// sizes kVoxelWide.
template <typename T>
void WritePair(const std::string& title, int code, const std::vector<T>& values,
               std::vector<int> sizes = {}) {
    if (sizes.empty()) sizes = {1, int(values.size()), 1};
    ASSERT_TRUE(CAnalyzeVolume::WriteVolume((title + ".img").c_str(), sizes.data(), kVoxelWide,
                                            values.data(), code));
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

// A 5 x 3 x 2 volume of the code whose image ends after 24 elements, read back through every
// reader: the six elements past the end of the image read as 0.
template <typename T>
void CheckEveryReader(const std::string& title, int code, bool foreign) {
    SCOPED_TRACE("code " + std::to_string(code) + (foreign ? " foreign" : " native"));
    std::vector<T> values, raw(31, T(99));
    std::vector<float> floats;
    std::vector<short> mask;
    for (int i = 0; i < 30; ++i) {
        const T value = i >= 24                      ? T(0)
                        : std::is_integral<T>::value ? T(i * 7 - (code == 2 ? -3 : 40))
                                                     : T(i * 2.5 - 30.25);
        values.push_back(value);
        floats.push_back(float(value));
        mask.push_back(-5 <= value && value <= 40);
    }
    WritePair(title, code, values, {5, 3, 2});
    std::filesystem::resize_file(title + ".img", 24 * sizeof(T));
    if (foreign) MakeForeign(title, sizeof(T));
    ASSERT_EQ(CAnalyzeVolume::ReadVolume(title.c_str(), raw.data()), 1);
    EXPECT_EQ(std::vector<T>(raw.begin(), raw.end() - 1), values);
    EXPECT_EQ(raw[30], T(99));
    // From element 10 on, as many as the volume holds (those past the volume are 0).
    std::vector<float> tail(floats.begin() + 10, floats.end());
    tail.resize(30, 0.0f);
    tail.push_back(-99.0f);
    EXPECT_EQ(Floats(title + ".hdr", 31, 10, 0), tail);
    EXPECT_EQ(Mask(title, 30, -5, 40), mask);
    std::vector<int64_t> counts(5), expectedCounts(5);
    double range[2], expectedRange[2];
    EXPECT_EQ(CAnalyzeVolume::Histogram(title.c_str(), counts.data(), 5, range),
              CMyMath::Histogram(values.data(), 30, expectedCounts.data(), 5, expectedRange));
    EXPECT_EQ(counts, expectedCounts);
    EXPECT_EQ(CAnalyzeVolume::GetAutoThreshold(title.c_str(), 8, range),
              CMyMath::GetAutoThreshold(floats.data(), 30, 8, expectedRange));
}

TEST(AnalyzeHeader, BytesOnThisMachineAndEveryForm) {
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
    ASSERT_EQ(CAnalyzeVolume::ReadHeader(path.c_str(), outSizes, voxelWide, type = 0), 1);
    EXPECT_EQ(voxelWide[2] + type, 6.0);

    // An unknown code needs its bits; a header that cannot be created fails.
    EXPECT_EQ(CAnalyzeVolume::WriteHeader(dir.File("t.hdr").c_str(), sizes, kVoxel, 32), 0);
    EXPECT_FALSE(std::filesystem::exists(dir.File("t.hdr")));
    EXPECT_EQ(CAnalyzeVolume::WriteHeader(dir.File("no/t.hdr").c_str(), sizes, kVoxel, 7, 4), 0);

    // SWAP_DOUBLE reverses both values, then the first one back; counts below 1 do nothing.
    double values[2] = {1.0, -2.5};
    for (int n : {2, 1, 0, -1})
        SWAP_DOUBLE(values, n);
    EXPECT_EQ(values[0], 1.0);
    const uint8_t* bytes = reinterpret_cast<const uint8_t*>(values);
    EXPECT_EQ(Bytes(bytes + 8, bytes + 16), Bytes({0xC0, 4, 0, 0, 0, 0, 0, 0}));
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
    // The last pair is foreign: its header reads as its native twin (voxel sizes rounded to
    // float alike) but for the size, which keeps the file's bytes.
    const int sizes[3] = {5, 3, 2};
    ASSERT_EQ(CAnalyzeVolume::WriteHeader(dir.File("n.hdr").c_str(), sizes, kVoxelWide, 64), 1);
    // The two words the writer leaves at zero hold values here, so that their order shows.
    Bytes nativeBytes = ReadBytes(dir.File("n.hdr")), foreignBytes = ReadBytes(dir.File("f64.hdr"));
    nativeBytes[140] = foreignBytes[143] = 7;
    nativeBytes[144] = foreignBytes[147] = 9;
    WriteBytes(dir.File("n.hdr"), nativeBytes);
    WriteBytes(dir.File("f64.hdr"), foreignBytes);
    ANALYZE_HEADER native, foreign;
    ASSERT_EQ(CAnalyzeVolume::ReadHeader(dir.File("n").c_str(), native), 1);
    ASSERT_EQ(CAnalyzeVolume::ReadHeader(dir.File("f64").c_str(), foreign), 1);
    EXPECT_EQ(foreign.headerSize, 0x5C010000);
    foreign.headerSize = native.headerSize;
    EXPECT_EQ(std::memcmp(&foreign, &native, sizeof(native)), 0);
    // Any size but a native 348 marks a foreign header, also one that is 348 in neither order.
    Bytes bytes = ReadBytes(dir.File("f64.hdr"));
    std::memcpy(bytes.data(), "\1\2\3\4", 4);
    WriteBytes(dir.File("f64.hdr"), bytes);
    ASSERT_EQ(CAnalyzeVolume::ReadHeader(dir.File("f64").c_str(), foreign), 1);
    EXPECT_EQ(foreign.headerSize, 0x04030201);
    foreign.headerSize = native.headerSize;
    EXPECT_EQ(std::memcmp(&foreign, &native, sizeof(native)), 0);
}

TEST(AnalyzeVolume, ConversionsAndMaskRangesOfExtremeValues) {
    // Truncation to 32 bits, then the low 16 bits; rounding to float. Mask bounds are inclusive
    // and NaN is never inside; a reversed range reaches the largest value plus one in the
    // element's arithmetic: bytes widen, 32-bit integers wrap.
    TempDir dir;
    const std::string v = dir.File("v");
    WritePair(v, 16,
              std::vector<float>({2.9f, -2.9f, 65540, NAN, 3e9f, -3e9f, 2147483520.0f, -65537.5f}));
    EXPECT_EQ(Shorts(v, 8), std::vector<short>({2, -2, 4, 0, 0, 0, -128, -1}));
    WritePair(v, 64,
              std::vector<double>({2.9, -2.9, 65540.7, NAN, 2147483647.9, 2147483648.0,
                                   -2147483647.5, -2147483649.0, 0.1}));
    EXPECT_EQ(Shorts(v, 9), std::vector<short>({2, -2, 4, 0, -1, 0, 1, 0, 0}));
    EXPECT_EQ(Floats(v, 1, 8, 1)[0], 0.1f);
    EXPECT_EQ(Mask(v, 9, 1.5, -1), std::vector<short>({1, 0, 1, 0, 1, 1, 0, 0, 0}));
    WritePair(v, 8, std::vector<int>({65537, -1, 40000, INT_MIN, 16777217, INT_MAX}));
    EXPECT_EQ(Shorts(v, 6), std::vector<short>({1, -1, -25536, 0, 1, -1}));
    EXPECT_EQ(Mask(v, 6, 4, 0), std::vector<short>(6, 0));
    WritePair(v, 2, std::vector<unsigned char>({255, 3, 100}));
    EXPECT_EQ(Mask(v, 3, 100, 0), std::vector<short>({1, 0, 1}));
    EXPECT_EQ(Mask(v, 3, 100, 100), std::vector<short>({0, 0, 1}));  // equal bounds: that value
    EXPECT_EQ(Floats(v, 1, 2, 1), std::vector<float>{100});          // a request of one byte
    // A foreign image of more than one conversion block: every block is turned.
    std::vector<short> many(5000);
    for (size_t i = 0; i < many.size(); ++i)
        many[i] = short(i - 2500);
    WritePair(v, 4, many);
    MakeForeign(v, 2);
    EXPECT_EQ(Shorts(v, many.size()), many);
    // An image cut inside its last element (-5): the byte that is there stays, the other is 0.
    WritePair(v, 4, std::vector<short>({99, 100, 150, 200, 201, -5}));
    std::filesystem::resize_file(v + ".img", 11);
    EXPECT_EQ(Shorts(v, 6), std::vector<short>({99, 100, 150, 200, 201, 0xFB}));
    EXPECT_EQ(Mask(v, 6, 100, 200), std::vector<short>({0, 1, 1, 1, 0, 0}));
    EXPECT_EQ(Mask(v, 6, 100, 0), std::vector<short>({0, 1, 1, 1, 1, 1}));
    // The missing elements of an image that ends early are zeros, which take part in a
    // reversed range.
    WritePair(v, 8, std::vector<int>({-5, -70000, 9}));
    std::filesystem::resize_file(v + ".img", 8);
    EXPECT_EQ(Mask(v, 3, -6, -100), std::vector<short>({1, 0, 1}));
}

TEST(AnalyzeVolume, MessagesAndRefusedHeaders) {
    TempDir dir;
    std::vector<unsigned char> buffer(64, 0x55);
    // The five converting readers must fail; the first four say `said`, the threshold `last`.
    const auto readers = [](const std::string& path, const std::string& said,
                            const std::string& last) {
        float floats[8];
        short shorts[8];
        int64_t counts[4];
        testing::internal::CaptureStdout();
        EXPECT_EQ(CAnalyzeVolume::ReadAsFloat(path.c_str(), floats, 0, 0), 0);
        EXPECT_EQ(CAnalyzeVolume::ReadAsShort(path.c_str(), shorts, 0, 0), 0);
        EXPECT_EQ(CAnalyzeVolume::ReadAsShortMask(path.c_str(), shorts, 0, 1), 0);
        EXPECT_EQ(CAnalyzeVolume::Histogram(path.c_str(), counts, 4), 0.0);
        EXPECT_EQ(CAnalyzeVolume::GetAutoThreshold(path.c_str(), 4), 0.0);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), said + said + said + said + last);
    };
    const std::string missing = dir.File("missing"), bad = dir.File("bad");
    const std::string cannot = "Can not read file ",
                      shortHeader = "Wrong size of the analyze header file.\n";
    readers(missing, cannot + missing + ".hdr\n", "");
    testing::internal::CaptureStdout();
    EXPECT_EQ(CAnalyzeVolume::ReadVolume(missing.c_str(), buffer.data()), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), cannot + missing + ".hdr\n");
    WriteBytes(bad + ".hdr", Bytes(20, 0));
    readers(bad, shortHeader + cannot + bad + ".hdr\n", shortHeader);
    // A header that cannot be read whole (here a folder) is no header.
    std::filesystem::create_directory(dir.File("folder.hdr"));
    ANALYZE_HEADER header;
    testing::internal::CaptureStdout();
    EXPECT_EQ(CAnalyzeVolume::ReadHeader(dir.File("folder").c_str(), header), 0);
    testing::internal::GetCapturedStdout();

    // Sizes of 0 or less, a count beyond 32 bits, or bits that disagree with the type are
    // refused as unsupported before anything is allocated; a code that is not converted (128)
    // once its image is read. Each row: sizes, bits, code.
    const std::string unsupported = "Unsupported data type: " + bad + ".img\n";
    const int refused[][5] = {
        {0, 1, 1, 16, 4},   {2, 1, 0, 16, 4},          {2, 1, 1, 64, 16},
        {2, 1, 1, 24, 128}, {2048, 2048, 1024, 16, 4},
    };
    WriteBytes(bad + ".img", Bytes(64, 1));
    for (const int* r : refused) {
        CAnalyzeVolume::WriteHeader((bad + ".hdr").c_str(), r, kVoxel, r[3], r[4]);
        readers(bad, unsupported, unsupported);
    }
    // ReadVolume refuses the last count, beyond 32 bits, without a word.
    testing::internal::CaptureStdout();
    EXPECT_EQ(CAnalyzeVolume::ReadVolume(bad.c_str(), buffer.data()), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    // An empty image fails with " failed ", a missing one silently, for code 128 as for 4.
    const int two[3] = {2, 1, 1};
    for (int code : {4, 128}) {
        CAnalyzeVolume::WriteHeader((bad + ".hdr").c_str(), two, kVoxel, code == 4 ? 16 : 24, code);
        WriteBytes(bad + ".img", {});
        readers(bad, " failed ", " failed ");
        std::filesystem::remove(bad + ".img");
        readers(bad, "", "");
        EXPECT_EQ(CAnalyzeVolume::ReadVolume(bad.c_str(), buffer.data()), 0);
    }
    // A request before the image's first byte, or of no bytes at all, reads nothing.
    WriteBytes(bad + ".img", Bytes(64, 1));
    const int empty[3] = {2, 0, 1};
    CAnalyzeVolume::WriteHeader((bad + ".hdr").c_str(), two, kVoxel, 16, 4);
    short shorts[2];
    testing::internal::CaptureStdout();
    EXPECT_EQ(CAnalyzeVolume::ReadAsShort(bad.c_str(), shorts, -2, 2), 0);
    CAnalyzeVolume::WriteHeader((bad + ".hdr").c_str(), empty, kVoxel, 16, 4);
    EXPECT_EQ(CAnalyzeVolume::ReadVolume(bad.c_str(), buffer.data()), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), " failed  failed ");
    EXPECT_EQ(CAnalyzeVolume::WriteVolume(dir.File("t").c_str(), two, kVoxel, two, 32), 0);
}

}  // namespace
