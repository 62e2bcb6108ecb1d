#include "volume/VolumeReader.h"

#include <gtest/gtest.h>

#include "track_files.h"

using namespace testing_files;

namespace {

// Every element of the test files holds its own coordinates, so a value read shows where it was
// read from.
int32_t Code(int x, int y, int z, int t) {
    return 1000 * t + 100 * z + 10 * y + x + 1;
}
constexpr int32_t kUntouched = -99;

struct Geometry {
    int dims[3];
    int mosaic, frames, interleaved;
    int64_t offset;
};

// The file of a geometry, each element where its layout puts it: voxels in x-fastest order
// with their frames side by side, or frames one after the other, each frame either plain or one
// image of m x m tiles (slice z in tile row z / m, column z % m; a plain frame is a mosaic of
// one tile). Padding, data past the slices and the `offset` bytes before the data are 0xEE.
Bytes LayOut(const Geometry& g) {
    const int nx = g.dims[0], ny = g.dims[1], nz = g.dims[2], m = std::max(g.mosaic, 1);
    const int frameVoxels = nx * ny * (m >= 2 ? m * m : nz);  // also for interleaved data
    FileImage file;
    file.bytes.assign(size_t(g.offset + 4 * g.frames * frameVoxels), 0xEE);
    for (int t = 0; t < g.frames; ++t)
        for (int z = 0; z < nz && (m == 1 || g.interleaved || z < m * m); ++z)
            for (int y = 0; y < ny; ++y)
                for (int x = 0; x < nx; ++x) {
                    const int voxel = (z * ny + y) * nx + x;
                    const int tiled = ((z / m) * ny + y) * (m * nx) + (z % m) * nx + x;
                    file.PutInt32(g.offset + 4 * (g.interleaved ? voxel * g.frames + t
                                                                : t * frameVoxels + tiled),
                                  Code(x, y, z, t));
                }
    return file.bytes;
}

bool Open(CVolumeReader& reader, const std::string& path, const Geometry& g, int inMemory) {
    return reader.Open(path.c_str(), g.dims, g.mosaic, g.frames, 4, g.interleaved, inMemory,
                       g.offset);
}

TEST(VolumeReader, EveryLayoutDeliversEachElementFromItsPlaceInBothModes) {
    TempDir dir;
    const std::string path = dir.File("volume.raw");
    const Geometry geometries[] = {
        {{3, 2, 4}, 1, 2, 0, 0}, {{3, 2, 4}, 0, 2, 0, 13}, {{3, 2, 1}, 1, 1, 0, 0},
        {{3, 2, 3}, 2, 2, 0, 5}, {{3, 2, 2}, 2, 3, 1, 7},  {{1, 3, 2}, 1, 2, 1, 0},
    };
    for (const Geometry& g : geometries) {
        WriteBytes(path, LayOut(g));
        for (int inMemory : {0, 1}) {
            SCOPED_TRACE(std::to_string(&g - geometries) + (inMemory ? " in memory" : " file"));
            CVolumeReader reader;
            ASSERT_TRUE(Open(reader, path, g, inMemory));
            std::vector<std::vector<int32_t>> frames(g.frames);
            for (int z = 0; z < g.dims[2]; ++z)
                for (int y = 0; y < g.dims[1]; ++y)
                    for (int x = 0; x < g.dims[0]; ++x) {
                        // The voxel's frames through both voxel forms, then through both
                        // element forms.
                        const int xyz[3] = {x, y, z}, n = g.frames;
                        std::vector<int32_t> read(4 * n), expected;
                        for (int i = 0; i < 4 * n; ++i)
                            expected.push_back(Code(x, y, z, i % n));
                        ASSERT_TRUE(reader.Read(&read[0], x, y, z) && reader.Read(&read[n], xyz));
                        for (int t = 0; t < n; ++t) {
                            ASSERT_TRUE(reader.Read(&read[2 * n + t], x, y, z, t) &&
                                        reader.Read(&read[3 * n + t], xyz, t));
                            frames[t].push_back(expected[t]);
                        }
                        EXPECT_EQ(read, expected);
                    }
            for (int t = 0; t < g.frames; ++t) {
                std::vector<int32_t> frame(frames[t].size(), kUntouched);
                ASSERT_TRUE(reader.Read(frame.data(), t));
                EXPECT_EQ(frame, frames[t]);
            }
        }
    }
}

TEST(VolumeReader, ReadsNeedAVolumeAndStopAtTheEndOfTheData) {
    TempDir dir;
    const Geometry g = {{3, 2, 2}, 1, 2, 0, 10}, mosaic = {{2, 1, 5}, 2, 1, 0, 3},
                   interleaved = {{3, 1, 2}, 1, 2, 1, 0};
    const std::string exact = dir.File("exact.raw"), shorter = dir.File("short.raw"),
                      mosaicPath = dir.File("mosaic.raw"), other = dir.File("interleaved.raw");
    Bytes bytes = LayOut(interleaved);
    bytes.insert(bytes.end(), {0xAB, 0xCD});
    WriteBytes(mosaicPath, LayOut(mosaic));
    WriteBytes(other, bytes);
    bytes = LayOut(g);
    const int64_t end = int64_t(bytes.size());
    WriteBytes(exact, bytes);
    WriteBytes(shorter, Bytes(bytes.begin(), bytes.end() - 1));
    CVolumeReader reader;
    for (int inMemory : {0, 1}) {
        SCOPED_TRACE(inMemory);
        // Never opened, or closed; then opened on a file one byte short: nothing to read.
        int32_t value = kUntouched;
        EXPECT_FALSE(reader.Read(&value, 0, 0, 0, 0) || reader.Read(&value, 0, 0, 0));
        EXPECT_FALSE(Open(reader, shorter, g, inMemory));
        EXPECT_FALSE(reader.Read(&value, 0) || reader.ReadData(&value, 10, 4));
        EXPECT_EQ(value, kUntouched);
        ASSERT_TRUE(Open(reader, exact, g, inMemory));
        // Through ReadData the prefix is in the file, but not among the loaded frames.
        EXPECT_EQ(reader.ReadData(&value, 0, 4), inMemory ? 0 : 1);
        EXPECT_EQ(reader.ReadData(&value, end - 4, 4), 1);
        EXPECT_EQ(value, Code(2, 1, 1, 1));
        EXPECT_EQ(reader.ReadData(&value, end - 3, 4), 0);

        // Slice 4 of a 2 x 2 mosaic lies past the one frame of the file: slices 0 to 3 are
        // read. Frame 2 of a voxel-interleaved file of two frames takes frame 0 of the next
        // voxel, up to the last voxel, whose element lies past the data; the file ends in two
        // bytes of it, which file mode delivers, as a read of that element would, and memory
        // mode has not loaded. A frame, a slice or an element far past the last lies beyond the
        // data.
        std::vector<int32_t> frame(10, kUntouched), expected(10, kUntouched);
        ASSERT_TRUE(Open(reader, mosaicPath, mosaic, inMemory));
        EXPECT_FALSE(reader.Read(frame.data(), 0, 0, 0, 1000) || reader.Read(frame.data(), 1000) ||
                     reader.Read(frame.data(), 0, 0, 1000));
        EXPECT_FALSE(reader.Read(frame.data(), 0));
        for (int i = 0; i < 8; ++i)
            expected[i] = Code(i % 2, 0, i / 2, 0);
        EXPECT_EQ(frame, expected);
        ASSERT_TRUE(Open(reader, other, interleaved, inMemory));
        frame.assign(6, kUntouched);
        EXPECT_FALSE(reader.Read(frame.data(), 2));
        for (int v = 1; v < 6; ++v)
            expected[v - 1] = Code(v % 3, 0, v / 3, 0);
        expected[5] = inMemory ? kUntouched : int32_t(0xFFFFCDAB);
        expected.resize(6);
        EXPECT_EQ(frame, expected);
        EXPECT_TRUE(reader.Close());
    }
    EXPECT_FALSE(reader.Open(dir.File("missing.raw").c_str(), 1, 1, 1, 1, 1, 1, 0, 0));

    // Geometries that no file can satisfy fail, also in memory mode, without allocating for
    // them; the data may end exactly at the end of the file.
    const int huge[3] = {65536, 65536, 1}, big[3] = {1 << 30, 1, 1}, one[3] = {1, 1, 1};
    EXPECT_FALSE(reader.Open(exact.c_str(), huge, 1, 1, 1, 0, 1, 0));
    EXPECT_FALSE(reader.Open(exact.c_str(), one, 46341, 1, 1, 0, 1, 0));
    EXPECT_FALSE(reader.Open(exact.c_str(), big, 1, INT32_MAX, INT32_MAX, 0, 1, 0));
    EXPECT_FALSE(reader.Open(exact.c_str(), one, 1, -1, 4, 0, 1, 0));
    EXPECT_FALSE(reader.Open(exact.c_str(), one, 1, 1, 0, 0, 1, 0));
    // Negative sizes fail, also two whose product is positive.
    const int negative[3] = {-3, 2, 2}, twoNegative[3] = {-1, -1, 1};
    EXPECT_FALSE(reader.Open(exact.c_str(), negative, 1, 1, 4, 0, 1, 0) ||
                 reader.Open(exact.c_str(), twoNegative, 1, 1, 4, 0, 1, 0) ||
                 reader.Open(exact.c_str(), one, 1, 1, 4, 0, 1, -1) ||
                 reader.Open(exact.c_str(), big, 1, 1 << 20, 8, 0, 1, 0));
    EXPECT_TRUE(reader.Open(exact.c_str(), one, 1, 1, 4, 0, 1, end - 4));

    // Element positions: indices within 32 bits (also through a mosaic), byte positions within
    // 64 bits, negative ones included.
    ASSERT_TRUE(reader.Open(exact.c_str(), 2, 2, 3, 2, 2, 2, 0, 0));
    EXPECT_EQ(reader.GetOffset(0, 0, 2000000000, 0), -1);
    for (int layout : {0, 1}) {
        ASSERT_TRUE(reader.Open(exact.c_str(), 1, 1, 1, 1, 1, 2, layout, 0));
        EXPECT_EQ(reader.GetOffset(INT32_MAX, 0, 0, 0), int64_t(INT32_MAX) * 2);
        EXPECT_EQ(reader.GetOffset(INT32_MIN, 0, 0, 0), int64_t(INT32_MIN) * 2);
        EXPECT_EQ(reader.GetOffset(INT32_MAX, 1, 0, 0), -1);
        EXPECT_EQ(reader.GetOffset(INT32_MAX, 0, 0, 1), layout ? -1 : int64_t(INT32_MAX) * 2 + 2);
        int32_t element;
        EXPECT_FALSE(reader.Read(&element, 0, 0, 0, -1)) << "a negative position";
    }
    // An empty grid reads as an empty frame; no frames read as an empty voxel.
    int32_t value = kUntouched;
    ASSERT_TRUE(reader.Open(exact.c_str(), 2, 0, 3, 1, 1, 2, 0, 0) && reader.Read(&value, 0));
    ASSERT_TRUE(reader.Open(exact.c_str(), 2, 2, 3, 2, 0, 2, 1, 0) && reader.Read(&value, 1, 1, 1));
    EXPECT_EQ(value, kUntouched);
}

TEST(VolumeReader, RawFilesMoveTheWidthOfTheirElements) {
    TempDir dir;
    const std::string path = dir.File("raw"), missing = dir.File("missing");
    const char* p = path.c_str();
    const float floats[2] = {1.5f, -2.0f};
    const short shorts[2] = {1, -300};
    const unsigned char chars[3] = {1, 254, 3};
    float floatsBack[3] = {0, 0, 9};
    short shortsBack[2] = {};
    // Each write is read back (the sums count the successes). A read longer than the file
    // succeeds and leaves the rest; one byte written or read is a success.
    EXPECT_EQ(CVolumeReader::WriteRaw(p, floats, 2) + CVolumeReader::ReadRaw(p, floatsBack, 3), 2);
    EXPECT_EQ(floatsBack[1] * floatsBack[2], -18.0f);
    EXPECT_EQ(CVolumeReader::WriteRaw(p, shorts, 2) + CVolumeReader::ReadRaw(p, shortsBack, 2), 2);
    EXPECT_EQ(ReadBytes(path).size(), 4u);
    EXPECT_EQ(shortsBack[1], -300);
    EXPECT_EQ(CVolumeReader::WriteRaw(p, chars, 1) + CVolumeReader::ReadRaw(p, shortsBack, 1), 2);
    EXPECT_EQ(CVolumeReader::WriteRaw(p, chars, 3), 1);
    EXPECT_EQ(ReadBytes(path), Bytes({1, 254, 3}));

    // The positioned reader: a range, a range cut by the end, then nothing left to read.
    unsigned char bytes[4] = {7, 7, 7, 7};
    testing::internal::CaptureStdout();
    EXPECT_EQ(CVolumeReader::ReadRaw(p, bytes, 2, 1) + CVolumeReader::ReadRaw(p, bytes + 2, 2, 2),
              2);
    EXPECT_EQ(Bytes(bytes, bytes + 4), Bytes({254, 3, 3, 7}));
    EXPECT_EQ(CVolumeReader::ReadRaw(p, bytes, 1, 3), 0);
    EXPECT_EQ(CVolumeReader::ReadRaw(p, bytes, 1, -1), 0);
    EXPECT_EQ(CVolumeReader::ReadRaw(missing.c_str(), bytes, 1, 0), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), " failed  failed ");

    // Nothing to move (the file is still truncated): the result is 0, and so is reading it.
    EXPECT_EQ(CVolumeReader::WriteRaw(p, chars, 0), 0);
    EXPECT_EQ(CVolumeReader::ReadRaw(p, floatsBack, 1), 0);
    EXPECT_EQ(CVolumeReader::ReadRaw(missing.c_str(), shortsBack, 1), 0);
    EXPECT_EQ(CVolumeReader::WriteRaw(dir.File("no/dir").c_str(), shorts, 2), 0);
}

}  // namespace
