#include "volume/VolumeReader.h"

#include <gtest/gtest.h>

#include <tuple>

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

// Frame after frame (with and without an offset), one slice, mosaic frames (the last with a
// slice past its four tiles), voxel-interleaved frames.
const Geometry kGeometries[] = {
    {{3, 2, 4}, 1, 2, 0, 0}, {{3, 2, 4}, 0, 2, 0, 13}, {{3, 2, 1}, 1, 1, 0, 0},
    {{3, 2, 3}, 2, 2, 0, 5}, {{3, 2, 2}, 2, 3, 1, 7},  {{1, 3, 2}, 1, 2, 1, 0},
    {{2, 1, 5}, 2, 1, 0, 3},
};

// Every form reads each element from where its layout puts it, in both modes. A frame read
// delivers what reading its elements one by one delivers, up to and including the first that
// fails, wherever the data ends: the file is cut at every length from the end of the data the
// geometry asks for to one frame beyond it, and every frame up to one past the last is read.
TEST(VolumeReader, EveryLayoutAndEveryCutReadsAsElementByElement) {
    TempDir dir;
    const std::string path = dir.File("volume.raw");
    for (const Geometry& g : kGeometries) {
        Bytes bytes = LayOut(g);
        const size_t end = bytes.size(), frameBytes = (end - size_t(g.offset)) / size_t(g.frames);
        for (size_t i = 0; i < frameBytes; ++i)
            bytes.push_back(uint8_t(7 * i + 1));
        const int nx = g.dims[0], ny = g.dims[1], voxels = nx * ny * g.dims[2], n = g.frames;
        for (size_t length = end; length <= bytes.size(); ++length) {
            WriteBytes(path, Bytes(bytes.begin(), bytes.begin() + length));
            for (int inMemory = 0; inMemory <= (length == end); ++inMemory) {
                SCOPED_TRACE(std::to_string(&g - kGeometries) + " cut at " +
                             std::to_string(length) + (inMemory ? " in memory" : ""));
                CVolumeReader reader;
                ASSERT_TRUE(Open(reader, path, g, inMemory));
                for (int t = 0; t <= n; ++t) {
                    std::vector<int32_t> elements(voxels, kUntouched), frame(elements);
                    bool whole = true;
                    for (int i = 0; i < voxels && whole; ++i) {
                        const int xyz[3] = {i % nx, i / nx % ny, i / nx / ny};
                        whole = reader.Read(&elements[i], xyz[0], xyz[1], xyz[2], t);
                        if (!whole || t > 0 || length > end) continue;
                        // The voxel's frames through both voxel forms and the second element
                        // form.
                        std::vector<int32_t> read(3 * n), expected;
                        for (int k = 0; k < 3 * n; ++k)
                            expected.push_back(Code(xyz[0], xyz[1], xyz[2], k % n));
                        EXPECT_TRUE(reader.Read(&read[0], xyz[0], xyz[1], xyz[2]) &&
                                    reader.Read(&read[n], xyz));
                        for (int f = 0; f < n; ++f)
                            EXPECT_TRUE(reader.Read(&read[2 * n + f], xyz, f));
                        EXPECT_EQ(read, expected);
                    }
                    EXPECT_EQ(std::make_tuple(reader.Read(frame.data(), t), frame),
                              std::make_tuple(whole, elements))
                        << "frame " << t;
                }
            }
        }
    }
}

TEST(VolumeReader, ReadsNeedAVolumeAndGeometriesMustFitTheFile) {
    TempDir dir;
    const Geometry g = {{3, 2, 2}, 1, 2, 0, 10};
    const std::string exact = dir.File("exact.raw"), shorter = dir.File("short.raw");
    const Bytes bytes = LayOut(g);
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
        // A frame, a slice or an element far past the last lies beyond the data.
        EXPECT_FALSE(reader.Read(&value, 0, 0, 0, 1000) || reader.Read(&value, 1000) ||
                     reader.Read(&value, 0, 0, 1000));
        EXPECT_TRUE(reader.Close());
    }
    EXPECT_FALSE(reader.Open(dir.File("missing.raw").c_str(), 1, 1, 1, 1, 1, 1, 0, 0));
    // A reader that goes releases its stream, also one left attached by a failed Open.
    const auto descriptors = [] {
        return std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {});
    };
    const auto open = descriptors();
    for (const std::string& file : {exact, shorter})
        EXPECT_TRUE(CVolumeReader().Open(file.c_str(), g.dims, 1, 2, 4, 0, 0, 10) ==
                    (file == exact));
    EXPECT_EQ(descriptors(), open);

    // Geometries that no file can satisfy fail, also in memory mode, without allocating for
    // them: sizes beyond 32 bits (also through a mosaic), a total beyond 64 bits, negative sizes
    // (also two whose product is positive), counts or an offset, an element size below 1.
    struct Refused {
        int dims[3], mosaic, frames, elementSize;
        int64_t offset;
    };
    const Refused refused[] = {
        {{65536, 65536, 1}, 1, 1, 1, 0},
        {{1, 1, 1}, 46341, 1, 1, 0},
        {{1 << 30, 1, 1}, 1, INT32_MAX, INT32_MAX, 0},
        {{1 << 30, 1, 1}, 1, 1 << 20, 8, 0},
        {{-3, 2, 2}, 1, 1, 4, 0},
        {{-1, -1, 1}, 1, 1, 4, 0},
        {{1, 1, -1}, 1, 1, 4, 0},
        {{1, 1, 1}, 1, -1, 4, 0},
        {{1, 1, 1}, 1, 1, 0, 0},
        {{1, 1, 1}, 1, 1, 4, -1},
    };
    for (const Refused& r : refused)
        EXPECT_FALSE(
            reader.Open(exact.c_str(), r.dims, r.mosaic, r.frames, r.elementSize, 0, 1, r.offset))
            << &r - refused;
    // The data may end exactly at the end of the file.
    const int one[3] = {1, 1, 1};
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
    // Each write is read back (braces keep the order). A read longer than the file succeeds and
    // leaves the rest; one byte written or read is a success.
    using Results = std::tuple<int, int>;
    EXPECT_EQ(
        (Results{CVolumeReader::WriteRaw(p, floats, 2), CVolumeReader::ReadRaw(p, floatsBack, 3)}),
        Results(1, 1));
    EXPECT_EQ(std::vector<float>(floatsBack, floatsBack + 3), (std::vector<float>{1.5f, -2, 9}));
    EXPECT_EQ(
        (Results{CVolumeReader::WriteRaw(p, shorts, 2), CVolumeReader::ReadRaw(p, shortsBack, 2)}),
        Results(1, 1));
    EXPECT_EQ(ReadBytes(path).size(), 4u);
    EXPECT_EQ(shortsBack[1], -300);
    EXPECT_EQ(
        (Results{CVolumeReader::WriteRaw(p, chars, 1), CVolumeReader::ReadRaw(p, shortsBack, 1)}),
        Results(1, 1));
    EXPECT_EQ(CVolumeReader::WriteRaw(p, chars, 3), 1);
    EXPECT_EQ(ReadBytes(path), Bytes({1, 254, 3}));

    // The positioned reader: a range, a range cut by the end, then nothing left to read.
    unsigned char bytes[4] = {7, 7, 7, 7};
    testing::internal::CaptureStdout();
    EXPECT_EQ((Results{CVolumeReader::ReadRaw(p, bytes, 2, 1),
                       CVolumeReader::ReadRaw(p, bytes + 2, 2, 2)}),
              Results(1, 1));
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
