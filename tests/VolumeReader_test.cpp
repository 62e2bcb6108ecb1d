#include "volume/VolumeReader.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "track_files.h"

using namespace testing_files;

namespace {

// Every element of the test files holds its own coordinates, so a value read shows where it was
// read from. Mosaic padding tiles hold kPadding, the prefix before the elements kPrefixByte.
int32_t Code(int x, int y, int z, int t) {
    return 1000 * t + 100 * z + 10 * y + x + 1;
}
constexpr int32_t kPadding = -7;
constexpr uint8_t kPrefixByte = 0xEE;
constexpr int32_t kUntouched = -99;

struct Geometry {
    int dims[3];
    int mosaic;
    int frames;
    int interleaved;
    int64_t offset;
};

// The file bytes of a geometry, laid out from the description of each layout rather than from
// element positions.
Bytes LayOut(const Geometry& g) {
    const int nx = g.dims[0], ny = g.dims[1], nz = g.dims[2], m = g.mosaic;
    std::vector<int32_t> values;
    if (g.interleaved) {
        for (int z = 0; z < nz; ++z)
            for (int y = 0; y < ny; ++y)
                for (int x = 0; x < nx; ++x)
                    for (int t = 0; t < g.frames; ++t)
                        values.push_back(Code(x, y, z, t));
        // The data still spans frames x elements per frame, which the mosaic factor enters.
        values.resize(size_t(g.frames) * nx * ny * (m >= 2 ? m * m : nz), kPadding);
    } else if (m >= 2) {
        // One 2-D image per frame: m x m tiles of nx x ny, slice z in tile row z / m, column z % m.
        for (int t = 0; t < g.frames; ++t) {
            std::vector<int32_t> image(size_t(nx) * ny * m * m, kPadding);
            for (int z = 0; z < nz && z < m * m; ++z)
                for (int y = 0; y < ny; ++y)
                    for (int x = 0; x < nx; ++x)
                        image[((z / m) * ny + y) * (m * nx) + (z % m) * nx + x] = Code(x, y, z, t);
            values.insert(values.end(), image.begin(), image.end());
        }
    } else {
        for (int t = 0; t < g.frames; ++t)
            for (int z = 0; z < nz; ++z)
                for (int y = 0; y < ny; ++y)
                    for (int x = 0; x < nx; ++x)
                        values.push_back(Code(x, y, z, t));
    }
    Bytes bytes(size_t(g.offset), kPrefixByte);
    const uint8_t* raw = reinterpret_cast<const uint8_t*>(values.data());
    bytes.insert(bytes.end(), raw, raw + 4 * values.size());
    return bytes;
}

std::vector<int32_t> Frame(const Geometry& g, int t) {
    std::vector<int32_t> frame;
    for (int z = 0; z < g.dims[2]; ++z)
        for (int y = 0; y < g.dims[1]; ++y)
            for (int x = 0; x < g.dims[0]; ++x)
                frame.push_back(Code(x, y, z, t));
    return frame;
}

bool OpenGeometry(CVolumeReader& reader, const std::string& path, const Geometry& g, int inMemory) {
    return reader.Open(path.c_str(), g.dims, g.mosaic, g.frames, 4, g.interleaved, inMemory,
                       g.offset);
}

TEST(VolumeReader, EveryLayoutDeliversEachElementFromItsPlaceInBothModes) {
    TempDir dir;
    const Geometry geometries[] = {
        {{3, 2, 4}, 1, 2, 0, 0},   // frame after frame
        {{3, 2, 4}, 0, 2, 0, 13},  // the same behind a prefix
        {{3, 2, 1}, 1, 1, 0, 0},   // a single slice
        {{1, 3, 2}, 1, 2, 1, 0},   // rows of one voxel
        {{3, 2, 3}, 2, 2, 0, 5},   // mosaic with one padding tile per frame
        {{3, 2, 2}, 2, 3, 1, 7},   // voxel-interleaved: the mosaic factor plays no part
    };
    for (const Geometry& g : geometries) {
        const std::string path = dir.File("volume.raw");
        const Bytes bytes = LayOut(g);
        WriteBytes(path, bytes);
        for (int inMemory : {0, 1}) {
            SCOPED_TRACE("mosaic " + std::to_string(g.mosaic) + " interleaved " +
                         std::to_string(g.interleaved) + " offset " + std::to_string(g.offset) +
                         " in memory " + std::to_string(inMemory));
            CVolumeReader reader;
            ASSERT_TRUE(OpenGeometry(reader, path, g, inMemory));
            for (int t = 0; t < g.frames; ++t) {
                std::vector<int32_t> frame(Frame(g, t).size(), kUntouched);
                ASSERT_TRUE(reader.Read(frame.data(), t));
                EXPECT_EQ(frame, Frame(g, t));
            }
            for (int z = 0; z < g.dims[2]; ++z) {
                for (int y = 0; y < g.dims[1]; ++y) {
                    for (int x = 0; x < g.dims[0]; ++x) {
                        const int coordinates[3] = {x, y, z};
                        std::vector<int32_t> voxel(g.frames, kUntouched), again = voxel;
                        ASSERT_TRUE(reader.Read(voxel.data(), x, y, z));
                        ASSERT_TRUE(reader.Read(again.data(), coordinates));
                        for (int t = 0; t < g.frames; ++t) {
                            EXPECT_EQ(voxel[t], Code(x, y, z, t));
                            EXPECT_EQ(again[t], Code(x, y, z, t));
                            int32_t one = kUntouched, other = kUntouched;
                            ASSERT_TRUE(reader.Read(&one, x, y, z, t));
                            ASSERT_TRUE(reader.Read(&other, coordinates, t));
                            EXPECT_EQ(one, Code(x, y, z, t));
                            EXPECT_EQ(other, Code(x, y, z, t));
                            int32_t atOffset;
                            std::memcpy(&atOffset, &bytes.at(reader.GetOffset(x, y, z, t)), 4);
                            EXPECT_EQ(atOffset, Code(x, y, z, t));
                        }
                    }
                }
            }
            // A frame far past the last: the element and the frame lie beyond the data.
            int32_t element = kUntouched;
            EXPECT_FALSE(reader.Read(&element, 0, 0, 0, 1000));
            EXPECT_EQ(element, kUntouched);
            std::vector<int32_t> frame(Frame(g, 0).size(), kUntouched);
            EXPECT_FALSE(reader.Read(frame.data(), 1000));
            EXPECT_EQ(frame[0], kUntouched);
            EXPECT_TRUE(reader.Close());
        }
    }
}

TEST(VolumeReader, ElementPositions) {
    TempDir dir;
    const std::string path = dir.File("mosaic.raw");
    WriteBytes(path, Bytes(2 * 16 * 2, 0));
    CVolumeReader reader;
    ASSERT_TRUE(reader.Open(path.c_str(), 2, 2, 3, 2, 2, 2, 0, 0));
    EXPECT_EQ(reader.GetOffset(1, 1, 3, 0), 15 * 2);
    EXPECT_EQ(reader.GetOffset(0, 0, 0, 1), 16 * 2);
    EXPECT_EQ(reader.GetOffset(0, 1, 2, 0), 12 * 2);
    // Elements past the 32-bit index range have no position.
    EXPECT_EQ(reader.GetOffset(0, 0, 2000000000, 0), -1);
    ASSERT_TRUE(reader.Open(path.c_str(), 1, 1, 1, 1, 1, 2, 0, 0));
    EXPECT_EQ(reader.GetOffset(INT32_MAX, 0, 0, 0), int64_t(INT32_MAX) * 2);
    EXPECT_EQ(reader.GetOffset(INT32_MAX, 1, 0, 0), -1);
    EXPECT_EQ(reader.GetOffset(INT32_MIN, 0, 0, 0), int64_t(INT32_MIN) * 2);
    ASSERT_TRUE(reader.Open(path.c_str(), 1, 1, 1, 1, 1, 2, 1, 0));
    EXPECT_EQ(reader.GetOffset(INT32_MAX, 0, 0, 0), int64_t(INT32_MAX) * 2);
    EXPECT_EQ(reader.GetOffset(INT32_MAX, 0, 0, 1), -1);

    // An empty grid reads as an empty frame.
    ASSERT_TRUE(reader.Open(path.c_str(), 2, 0, 3, 1, 1, 2, 0, 0));
    int32_t untouched = kUntouched;
    EXPECT_TRUE(reader.Read(&untouched, 0));
    EXPECT_EQ(untouched, kUntouched);
}

TEST(VolumeReader, WholeFrameStopsAtTheFirstElementOutsideTheData) {
    // Slice 4 of a 2 x 2 mosaic lies past the one frame of the file; slices 0 to 3 are read.
    TempDir dir;
    const Geometry g = {{2, 1, 5}, 2, 1, 0, 3};
    const std::string path = dir.File("mosaic.raw");
    WriteBytes(path, LayOut(g));
    for (int inMemory : {0, 1}) {
        CVolumeReader reader;
        ASSERT_TRUE(OpenGeometry(reader, path, g, inMemory));
        std::vector<int32_t> frame(10, kUntouched);
        EXPECT_FALSE(reader.Read(frame.data(), 0));
        std::vector<int32_t> expected = Frame(g, 0);
        expected[8] = expected[9] = kUntouched;
        EXPECT_EQ(frame, expected) << "in memory " << inMemory;
    }

    // Frame 2 of a voxel-interleaved file of two frames takes frame 0 of the next voxel, up to
    // the last, which lies past the data. The file ends in two bytes of another element: file
    // mode delivers them as a read of that element would, memory mode has not loaded them.
    const Geometry two = {{3, 1, 2}, 1, 2, 1, 0};
    Bytes bytes = LayOut(two);
    bytes.push_back(0xAB);
    bytes.push_back(0xCD);
    WriteBytes(path, bytes);
    for (int inMemory : {0, 1}) {
        CVolumeReader reader;
        ASSERT_TRUE(OpenGeometry(reader, path, two, inMemory));
        std::vector<int32_t> frame(6, kUntouched), expected;
        EXPECT_FALSE(reader.Read(frame.data(), 2));
        for (int v = 1; v < 6; ++v)
            expected.push_back(Code(v % 3, 0, v / 3, 0));
        expected.push_back(inMemory ? kUntouched : int32_t(0xFFFFCDAB));
        EXPECT_EQ(frame, expected) << "in memory " << inMemory;
    }
}

TEST(VolumeReader, OpenNeedsTheWholeDataAndAUsableGeometry) {
    TempDir dir;
    const Geometry g = {{3, 2, 2}, 1, 2, 0, 10};
    const std::string exact = dir.File("exact.raw"), shorter = dir.File("short.raw");
    Bytes bytes = LayOut(g);
    const int64_t length = int64_t(bytes.size());
    WriteBytes(exact, bytes);
    bytes.pop_back();
    WriteBytes(shorter, bytes);

    CVolumeReader reader;
    int32_t value = kUntouched;
    EXPECT_FALSE(reader.Read(&value, 0, 0, 0, 0)) << "never opened";
    EXPECT_FALSE(reader.Read(&value, 0, 0, 0)) << "never opened";
    EXPECT_TRUE(reader.Close());
    EXPECT_TRUE(reader.Close());
    for (int inMemory : {0, 1}) {
        value = kUntouched;
        EXPECT_FALSE(OpenGeometry(reader, shorter, g, inMemory));
        EXPECT_FALSE(reader.Read(&value, 0, 0, 0, 0));
        EXPECT_FALSE(reader.Read(&value, 0));
        EXPECT_EQ(reader.ReadData(&value, 10, 4), 0);
        EXPECT_EQ(value, kUntouched);
        ASSERT_TRUE(OpenGeometry(reader, exact, g, inMemory));
        EXPECT_TRUE(reader.Read(&value, 2, 1, 1, 1));
        EXPECT_EQ(value, Code(2, 1, 1, 1));
        // Through ReadData the prefix is in the file, but not in the loaded frames.
        EXPECT_EQ(reader.ReadData(&value, 0, 4), inMemory ? 0 : 1);
        EXPECT_EQ(reader.ReadData(&value, length - 4, 4), 1);
        EXPECT_EQ(value, Code(2, 1, 1, 1));
        EXPECT_EQ(reader.ReadData(&value, length - 3, 4), 0);
        EXPECT_TRUE(reader.Close());
        EXPECT_FALSE(reader.Read(&value, 0, 0, 0, 0)) << "closed";
        EXPECT_FALSE(reader.Read(&value, 0, 0, 0)) << "closed";
    }
    EXPECT_FALSE(reader.Open(dir.File("missing.raw").c_str(), 1, 1, 1, 1, 1, 1, 0, 0));

    // Geometries that no file can satisfy fail without allocating for them.
    const int huge[3] = {65536, 65536, 1};
    const int big[3] = {1 << 30, 1, 1};
    const int one[3] = {1, 1, 1};
    const int negative[3] = {-3, 2, 2};
    for (int inMemory : {0, 1}) {
        EXPECT_FALSE(reader.Open(exact.c_str(), huge, 1, 1, 1, 0, inMemory, 0));
        EXPECT_FALSE(reader.Open(exact.c_str(), one, 46341, 1, 1, 0, inMemory, 0));
        EXPECT_FALSE(reader.Open(exact.c_str(), big, 1, 1 << 20, 8, 0, inMemory, 0));
        EXPECT_FALSE(reader.Open(exact.c_str(), big, 1, INT32_MAX, INT32_MAX, 0, inMemory, 0));
        EXPECT_FALSE(reader.Open(exact.c_str(), negative, 1, 1, 4, 0, inMemory, 0));
        EXPECT_FALSE(reader.Open(exact.c_str(), one, 1, -1, 4, 0, inMemory, 0));
        EXPECT_FALSE(reader.Open(exact.c_str(), one, 1, 1, 0, 0, inMemory, 0));
        EXPECT_FALSE(reader.Open(exact.c_str(), one, 1, 1, 4, 0, inMemory, -1));
        EXPECT_TRUE(reader.Open(exact.c_str(), one, 1, 1, 4, 0, inMemory, length - 4));
        EXPECT_TRUE(reader.Open(exact.c_str(), one, 1, 1, 4, 0, inMemory, 0));
        EXPECT_FALSE(reader.Read(&value, 0, 0, 0, -1)) << "a negative position";
    }
}

TEST(VolumeReader, RawFilesMoveTheWidthOfTheirElements) {
    TempDir dir;
    const std::string path = dir.File("raw");
    const float floats[3] = {1.5f, -2.0f, 3.25f};
    const int ints[3] = {1, -2, 70000};
    const short shorts[3] = {1, -2, 300};
    const unsigned char chars[3] = {1, 254, 3};
    float floatsBack[4] = {0, 0, 0, 9};
    int intsBack[3] = {};
    short shortsBack[3] = {};

    EXPECT_EQ(CVolumeReader::WriteRaw(path.c_str(), floats, 3), 1);
    EXPECT_EQ(ReadBytes(path).size(), 12u);
    EXPECT_EQ(CVolumeReader::ReadRaw(path.c_str(), floatsBack, 4), 1) << "a short read succeeds";
    EXPECT_EQ(std::vector<float>(floatsBack, floatsBack + 4),
              std::vector<float>({1.5f, -2.0f, 3.25f, 9}));
    EXPECT_EQ(CVolumeReader::WriteRaw(path.c_str(), ints, 3), 1);
    EXPECT_EQ(ReadBytes(path).size(), 12u);
    EXPECT_EQ(CVolumeReader::ReadRaw(path.c_str(), intsBack, 3), 1);
    EXPECT_EQ(std::memcmp(ints, intsBack, sizeof(ints)), 0);
    EXPECT_EQ(CVolumeReader::WriteRaw(path.c_str(), shorts, 3), 1);
    EXPECT_EQ(ReadBytes(path).size(), 6u);
    EXPECT_EQ(CVolumeReader::ReadRaw(path.c_str(), shortsBack, 3), 1);
    EXPECT_EQ(std::memcmp(shorts, shortsBack, sizeof(shorts)), 0);
    EXPECT_EQ(CVolumeReader::WriteRaw(path.c_str(), chars, 1), 1);
    EXPECT_EQ(CVolumeReader::ReadRaw(path.c_str(), shortsBack, 1), 1) << "one byte is enough";
    EXPECT_EQ(CVolumeReader::WriteRaw(path.c_str(), chars, 3), 1);
    EXPECT_EQ(ReadBytes(path), Bytes({1, 254, 3}));

    // The positioned reader: a range, a range cut by the end, then nothing left to read.
    unsigned char bytes[4] = {7, 7, 7, 7};
    testing::internal::CaptureStdout();
    EXPECT_EQ(CVolumeReader::ReadRaw(path.c_str(), bytes, 2, 1), 1);
    EXPECT_EQ(CVolumeReader::ReadRaw(path.c_str(), bytes + 2, 2, 2), 1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(Bytes(bytes, bytes + 4), Bytes({254, 3, 3, 7}));
    testing::internal::CaptureStdout();
    EXPECT_EQ(CVolumeReader::ReadRaw(path.c_str(), bytes, 1, 3), 0);
    EXPECT_EQ(CVolumeReader::ReadRaw(path.c_str(), bytes, 1, 100), 0);
    EXPECT_EQ(CVolumeReader::ReadRaw(dir.File("missing").c_str(), bytes, 1, 0), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), " failed  failed ");

    // Nothing to move: the file is still created or truncated, and the result is 0.
    EXPECT_EQ(CVolumeReader::WriteRaw(path.c_str(), chars, 0), 0);
    EXPECT_EQ(ReadBytes(path).size(), 0u);
    EXPECT_EQ(CVolumeReader::ReadRaw(path.c_str(), floatsBack, 1), 0);
    EXPECT_EQ(CVolumeReader::ReadRaw(dir.File("missing").c_str(), intsBack, 1), 0);
    EXPECT_EQ(CVolumeReader::WriteRaw(dir.File("no/such/dir").c_str(), shorts, 3), 0);
}

}  // namespace
