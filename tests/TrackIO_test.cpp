#include "trackio/TrackIO.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <vector>

#include "track_files.h"

using namespace testing_files;

namespace {

const char kNotOpen[] = "I/O not initialized. Call 'Open' or 'Initialize' first";
const TempDir kDir;
const std::string kPath = kDir.File("t.trk");

// Two scalars and three properties: a 2-point track, a 0-point track and a 1-point track, with
// every value distinct.
const Track kTracks[3] = {
    {{1, 2, 3, 4, 5, 6}, {10, 11, 12, 13}, {100, 101, 102}},
    {{}, {}, {200, 201, 202}},
    {{7.5f, -8.25f, 9}, {14, 15}, {300, 301, 302}},
};

FileImage SampleImage(bool foreign, int track_count = 0) {
    FileImage image = MakeHeader({{"fa", "md"}, {"p0", "p1", "p2"}, track_count}, foreign);
    for (const Track& track : kTracks)
        image.AppendTrack(track);
    return image;
}

// Saves `image` to kPath and opens it.
bool OpenImage(CTrackReader& reader, const FileImage& image, TRACK_HEADER* header = nullptr) {
    image.Save(kPath);
    return reader.Open(kPath.c_str(), header);
}

// Reads the next track in separated form; its body in file order.
std::vector<float> ReadSeparated(CTrackReader& reader, int scalar_count, int property_count) {
    int n;
    if (!reader.GetNextPointCount(&n)) return {-1};
    Track track{std::vector<float>(3 * n), std::vector<float>(size_t(scalar_count) * n),
                std::vector<float>(property_count)};
    if (!reader.GetNextTrackData(n, track.points.data(), track.scalars.data(),
                                 track.properties.data()))
        return {-2};
    return track.Body();
}

TEST(TrackReader, BothByteOrdersThroughBothForms) {
    FileImage native = SampleImage(false, 3);
    native.PutText(952, "LPS");  // an empty second orientation code takes the first
    for (bool foreign : {false, true}) {
        SCOPED_TRACE(foreign ? "foreign" : "native");
        CTrackReader reader;
        TRACK_HEADER header;
        ASSERT_TRUE(OpenImage(reader, SampleImage(foreign, 3), &header));
        EXPECT_EQ(0, std::memcmp(&header, native.bytes.data(), 1000));
        EXPECT_EQ(ReadSeparated(reader, 2, 3), kTracks[0].Body());
        EXPECT_EQ(ReadSeparated(reader, 2, 3), kTracks[1].Body());
        int n;
        std::vector<float> block(8);
        ASSERT_TRUE(reader.GetNextPointCount(&n) && reader.GetNextRawData(n, block.data()));
        EXPECT_EQ(block, kTracks[2].Body());
        EXPECT_FALSE(reader.GetNextPointCount(&n));
        EXPECT_STREQ(reader.GetLastErrorMessage(), "Can not read from file");
    }
}

TEST(TrackReader, SkipsWithoutBuffersAndReadsWidePoints) {
    FileImage image = MakeHeader({{"a", "b", "c", "d"}, {"p", "q"}});
    // 1500 points: more than one internal run of points.
    std::vector<float> body, expected_points;
    for (int i = 0; i < 1500; ++i) {
        const float point[7] = {float(i), i + 0.5f, -float(i), 9, 9, 9, 9};
        body.insert(body.end(), point, point + 7);
        expected_points.insert(expected_points.end(), point, point + 3);
    }
    body.insert(body.end(), {42, 43});
    image.AppendTrack(1500, body);
    image.AppendTrack(1, {1, 2, 3, 0, 0, 0, 0, 44, 45});
    CTrackReader reader;
    ASSERT_TRUE(OpenImage(reader, image));
    int n;
    std::vector<float> points(4500), properties(2);
    ASSERT_TRUE(reader.GetNextPointCount(&n) &&
                reader.GetNextTrackData(n, points.data(), nullptr, nullptr));
    EXPECT_EQ(points, expected_points);
    ASSERT_TRUE(reader.GetNextPointCount(&n) &&
                reader.GetNextTrackData(n, points.data(), nullptr, properties.data()));
    EXPECT_EQ(properties, std::vector<float>({44, 45}));

    // Points wider than any internal buffer (5000 scalars each) survive a round trip.
    TRACK_HEADER wide;
    wide.scalar_count = 5000;
    std::vector<float> scalars(10000), read_back(10000);
    for (size_t i = 0; i < scalars.size(); ++i)
        scalars[i] = float(i);
    CTrackWriter writer;
    ASSERT_TRUE(writer.Initialize(kPath.c_str(), wide) &&
                writer.WriteNextTrack(2, expected_points.data(), scalars.data(), nullptr) &&
                writer.Close());
    ASSERT_TRUE(reader.Open(kPath.c_str(), nullptr) && reader.GetNextPointCount(&n) &&
                reader.GetNextTrackData(n, points.data(), read_back.data(), nullptr));
    EXPECT_TRUE(std::equal(points.begin(), points.begin() + 6, expected_points.begin()));
    EXPECT_EQ(read_back, scalars);
}

TEST(TrackReader, HeaderVariants) {
    CTrackReader reader;
    TRACK_HEADER header;

    // header_size 0 is native order and stays 0 in memory; empty orientation and zero axis
    // vectors get their defaults, axis elements 3 and 5 keep their values.
    FileImage image = MakeHeader({{}, {}, 0, 0});
    image.PutInt32(948, 0);
    image.PutFloat(956, 0.0f);
    image.PutFloat(968, 7.0f);
    image.PutFloat(976, 8.0f);
    ASSERT_TRUE(OpenImage(reader, image, &header));
    EXPECT_TRUE(header.header_size == 0 && header.dimension[1] == 20);
    EXPECT_STREQ(header.orientation_code, "LPS");
    EXPECT_STREQ(header.secondary_orientation_code, "LPS");
    EXPECT_EQ(std::vector<float>(header.axis_vectors, header.axis_vectors + 6),
              std::vector<float>({1, 0, 0, 7, 1, 8}));

    // Headerless: "TRACK" with a non-zero sixth byte; int32 dimensions keep their low 16 bits,
    // the first track starts at byte 24.
    FileImage headerless;
    for (int32_t value : {0x10007, 5, 6})
        headerless.AppendInt32(value);
    headerless.AppendFloats({0.5f, 0.75f, 2.0f});
    std::memcpy(headerless.bytes.data(), "TRACKX", 6);
    headerless.AppendTrack(2, {1, 2, 3, 4, 5, 6});
    headerless.bytes.resize(1000, 0);  // zero-point records up to 1000 bytes
    headerless.Save(kPath);
    int dims[3];
    float voxel[3];
    ASSERT_TRUE(reader.Open(kPath.c_str(), dims, voxel) && reader.GetHeader(&header));
    EXPECT_TRUE(dims[0] == short(0x5254) && dims[1] == short(0x584B) && voxel[1] == 0.75f);
    EXPECT_TRUE(header.scalar_count == 0 && header.property_count == 0 && header.track_count == 0 &&
                header.secondary_orientation_code[0] == 0);
    EXPECT_EQ(ReadSeparated(reader, 0, 0), std::vector<float>({1, 2, 3, 4, 5, 6}));
    EXPECT_EQ(reader.GetNumberOfTracks(), 1 + (1000 - 24 - 28) / 4);
    headerless.PutInt32(0, 0x10007);
    ASSERT_TRUE(OpenImage(reader, headerless, &header));
    EXPECT_EQ(header.dimension[0], 7);

    // Shorter than 1000 bytes: never readable; the destination gets the bytes that were read
    // over the reader's previous header, and the file is closed.
    headerless.bytes.resize(999);
    EXPECT_FALSE(OpenImage(reader, headerless, &header));
    EXPECT_STREQ(reader.GetLastErrorMessage(), "Not a compatible track file");
    EXPECT_TRUE(header.magic[0] == 7 && header.voxel_size[1] == 0.75f);
    int n;
    EXPECT_FALSE(reader.GetNextPointCount(&n));

    // A missing file leaves the destination untouched.
    header.track_count = 99;
    const std::string missing = kDir.File("missing.trk");
    EXPECT_FALSE(CTrackReader::GetHeader(missing.c_str(), &header));
    EXPECT_EQ(header.track_count, 99);
    EXPECT_FALSE(reader.Open(missing.c_str(), &header));
    EXPECT_STREQ(reader.GetLastErrorMessage(), "Can not open file");
}

TEST(TrackReader, TruncatedAndHostileRecords) {
    CTrackReader reader;
    int n;
    float buffer[16];

    // A body cut short fails; a point count cut short is the end.
    FileImage image = MakeHeader({{}, {"p"}});
    image.AppendTrack(2, {1, 2, 3, 4, 5, 6, 7});
    image.AppendTrack(2, {1, 2, 3, 4});
    ASSERT_TRUE(OpenImage(reader, image) && reader.GetNextPointCount(&n) &&
                reader.CanReadTrackBody(n));
    // The error kind is that of the last operation.
    EXPECT_FALSE(reader.GetNextRawData(-1, buffer));
    EXPECT_STREQ(reader.GetLastErrorMessage(), "Can not read from file");
    ASSERT_TRUE(reader.GetNextRawData(n, buffer));
    EXPECT_STREQ(reader.GetLastErrorMessage(), "No error");
    ASSERT_TRUE(reader.GetNextPointCount(&n));
    EXPECT_FALSE(reader.CanReadTrackBody(n) ||
                 reader.GetNextTrackData(n, buffer, nullptr, buffer + 6));
    EXPECT_STREQ(reader.GetLastErrorMessage(), "Can not read from file");
    // Also when the properties are skipped rather than read.
    ASSERT_TRUE(reader.Open(kPath.c_str(), nullptr) && reader.GetNextPointCount(&n) &&
                reader.GetNextRawData(n, buffer) && reader.GetNextPointCount(&n));
    EXPECT_FALSE(reader.GetNextTrackData(n, buffer, nullptr, nullptr));
    image.bytes.resize(image.bytes.size() - 16 - 2);
    ASSERT_TRUE(OpenImage(reader, image) && reader.GetNextPointCount(&n) &&
                reader.GetNextRawData(n, buffer));
    EXPECT_FALSE(reader.GetNextPointCount(&n));

    // Negative and oversized counts never reach the caller's buffer; a negative one ends a scan.
    image = MakeHeader({});
    image.AppendTrack(-1, {1, 2, 3});
    image.AppendTrack(INT_MAX, {1, 2, 3});
    ASSERT_TRUE(OpenImage(reader, image) && reader.GetNextPointCount(&n));
    EXPECT_FALSE(reader.CanReadTrackBody(n) ||
                 reader.GetNextTrackData(n, buffer, nullptr, nullptr));
    reader.Open(kPath.c_str(), nullptr);
    EXPECT_EQ(reader.GetNumberOfTracks(), 0);

    // Negative counts in a header make no record layout.
    image = MakeHeader({});
    image.PutInt16(36, -4);
    image.AppendTrack(1, {1, 2, 3});
    ASSERT_TRUE(OpenImage(reader, image) && reader.GetNextPointCount(&n));
    EXPECT_FALSE(reader.GetNextTrackData(n, buffer, buffer, buffer));
    EXPECT_STREQ(reader.GetLastErrorMessage(), "Can not read from file");
    EXPECT_FALSE(reader.CanReadTrackBody(n) || reader.GetNextRawData(n, buffer));
}

TEST(TrackReader, CountingAndProgress) {
    // Nothing works before a file is open.
    CTrackReader reader;
    CTrackWriter writer;
    TRACK_HEADER header;
    float body[9] = {};
    int count = -1, n;
    EXPECT_TRUE(reader.Close());
    EXPECT_STREQ(reader.GetLastErrorMessage(), "No error");
    EXPECT_FALSE(reader.GetNumberOfTracks(&count) || reader.GetHeader(&header) ||
                 reader.GetNextPointCount(&n) || reader.GetNextRawData(0, body) ||
                 writer.WriteNextTrack(0, body) || writer.WriteDataBlock(body, 4) ||
                 writer.UpdateHeader(header));
    EXPECT_STREQ(reader.GetLastErrorMessage(), kNotOpen);
    EXPECT_STREQ(writer.GetLastErrorMessage(), kNotOpen);
    EXPECT_STREQ(CTrackIO::error_message[CloseFailed], "Can not close file");
    EXPECT_EQ(count + reader.GetProgress(), 0);

    // The header's count is taken as it is. A negative point count is refused, also where the
    // properties would make the body's size positive.
    FileImage image = MakeHeader({{"s"}, {"p", "q", "r", "t"}, 5});
    image.AppendFloats({1});
    ASSERT_TRUE(OpenImage(reader, image));
    EXPECT_FALSE(reader.GetNextRawData(-1, body));
    EXPECT_EQ(reader.GetNumberOfTracks(), 5);
    EXPECT_STREQ(reader.GetLastErrorMessage(), "No error");

    // Count 0: scanned once, remembered, and the reading position is kept.
    image = MakeHeader({{"s"}, {"p"}});
    image.AppendTrack(1, {1, 2, 3, 4, 5});
    image.AppendTrack(0, {6});
    image.AppendTrack(2, {1, 2, 3, 4, 5, 6, 7, 8, 9});
    image.bytes.resize(2000, 0);  // the padding reads as records of no points and property 0
    ASSERT_TRUE(OpenImage(reader, image));
    EXPECT_EQ(reader.GetProgress(), 50);
    ASSERT_TRUE(reader.GetNextPointCount(&n));
    EXPECT_FALSE(reader.GetNextRawData(-1, nullptr));  // an earlier failure does not stop a count
    ASSERT_TRUE(reader.GetNumberOfTracks(&count));
    EXPECT_EQ(count, 3 + (2000 - 1000 - 72) / 8);
    ASSERT_TRUE(reader.GetHeader(&header));
    EXPECT_EQ(header.track_count, count);
    ASSERT_TRUE(reader.GetNextTrackData(n, body, body + 3, body + 4));
    EXPECT_TRUE(body[3] == 4 && body[4] == 5);
    while (reader.GetNextPointCount(&n))
        ASSERT_TRUE(reader.GetNextRawData(n, body));
    EXPECT_EQ(reader.GetProgress(), 100);
}

TEST(TrackWriter, WritesTheExactBytes) {
    const FileImage expected = SampleImage(false, 3);
    // Separated and raw forms; the given header in either byte order or with either size mark.
    for (int variant = 0; variant < 4; ++variant) {
        SCOPED_TRACE(variant);
        FileImage given = SampleImage(variant == 1);
        if (variant == 2) given.PutInt32(996, 0);
        given.PutInt32(992, 77);  // the writer sets version 2
        TRACK_HEADER header;
        std::memcpy(&header, given.bytes.data(), 1000);
        CTrackWriter writer;
        ASSERT_TRUE(writer.Initialize(kPath.c_str(), header));
        for (Track track : kTracks) {
            std::vector<float> block = track.Body();
            ASSERT_TRUE(variant == 3
                            ? writer.WriteNextTrack(track.Count(), block.data())
                            : writer.WriteNextTrack(track.Count(), track.points.data(),
                                                    track.scalars.data(), track.properties.data()));
        }
        ASSERT_TRUE(writer.Close());
        EXPECT_EQ(FirstDifference(ReadBytes(kPath), expected.bytes), "");
        EXPECT_FALSE(writer.Close());
        EXPECT_STREQ(writer.GetLastErrorMessage(), kNotOpen);
    }
}

TEST(TrackWriter, HeaderCountsAndLifecycle) {
    const std::string second = kDir.File("second.trk");
    short dims[3] = {4, 5, 6};
    int wide_dims[3] = {65536 + 5, 2, 3};
    float voxel[3] = {1, 2, 3}, aux[3] = {7, 8, 9}, point[3] = {1, 2, 3}, scalar = 9;

    // Headers from dimensions (int ones keep their low 16 bits); a zero-point track is four
    // bytes; a second Initialize finishes the first file with its count.
    {
        CTrackWriter writer;
        ASSERT_TRUE(writer.Initialize(kPath.c_str(), dims, voxel, nullptr, 0) &&
                    writer.WriteNextTrack(0, point) &&
                    writer.WriteNextTrack(0, point, nullptr, nullptr) &&
                    writer.Initialize(second.c_str(), wide_dims, voxel, aux, 1) &&
                    writer.WriteNextTrack(1, point, &scalar, nullptr));
    }
    FileImage expected = MakeHeader({{}, {}, 2, 1000, {4, 5, 6}, {1, 2, 3}});
    expected.bytes.resize(1008, 0);  // two zero-point tracks; zeros for no aux vector
    EXPECT_EQ(FirstDifference(ReadBytes(kPath), expected.bytes), "");
    // Destroyed without Close: the header of Initialize stays, with its count of 0.
    expected = MakeHeader({{""}, {}, 0, 1000, {5, 2, 3}, {1, 2, 3}});
    for (int i = 0; i < 3; ++i)
        expected.PutFloat(24 + 4 * i, aux[i]);
    expected.AppendTrack(1, {1, 2, 3, 9});
    EXPECT_EQ(FirstDifference(ReadBytes(second), expected.bytes), "");

    // UpdateHeader on an open writer: the count continues from the given one.
    TRACK_HEADER header;
    {
        CTrackWriter writer;
        ASSERT_TRUE(writer.Initialize(kPath.c_str(), header));
        header.track_count = 10;
        header.version = 5;
        ASSERT_TRUE(writer.UpdateHeader(header) &&
                    writer.WriteNextTrack(1, point, nullptr, nullptr) && writer.Close());
    }
    Bytes bytes = ReadBytes(kPath);
    EXPECT_TRUE(Int32At(bytes, 988) == 11 && Int32At(bytes, 992) == 5 &&
                Int32At(bytes, 996) == 1000);

    // Refused records write nothing and count nothing.
    TRACK_HEADER shaped;
    shaped.scalar_count = 1;
    shaped.property_count = 1;
    CTrackWriter writer;
    ASSERT_TRUE(writer.Initialize(kPath.c_str(), shaped));
    float values[8] = {};
    EXPECT_FALSE(writer.WriteNextTrack(-1, values, values, values) ||
                 writer.WriteNextTrack(-1, values) ||
                 writer.WriteNextTrack(1, values, nullptr, values) ||
                 writer.WriteNextTrack(INT_MAX, values));
    EXPECT_STREQ(writer.GetLastErrorMessage(), "Can not write to file");
    EXPECT_TRUE(writer.WriteDataBlock(values, 8));
    EXPECT_FALSE(writer.WriteDataBlock(values, 0));
    ASSERT_TRUE(writer.Close());
    bytes = ReadBytes(kPath);
    EXPECT_TRUE(bytes.size() == 1008u && Int32At(bytes, 988) == 0);
    EXPECT_FALSE(writer.Initialize(kDir.File("no/such/dir.trk").c_str(), header));
    EXPECT_STREQ(writer.GetLastErrorMessage(), kNotOpen);
}

TEST(TrackWriter, UpdateHeaderOfAFileByName) {
    TRACK_HEADER replacement;
    replacement.dimension[0] = 64;
    replacement.scalar_count = 1;
    replacement.track_count = 1;
    std::strcpy(replacement.scalar_names[0], "new");
    for (bool foreign : {false, true}) {
        SCOPED_TRACE(foreign ? "foreign" : "native");
        FileImage image = MakeHeader({{"s"}, {}}, foreign);
        image.AppendTrack(1, {1, 2, 3, 4});
        image.Save(kPath);
        ASSERT_TRUE(CTrackWriter::UpdateHeader(kPath.c_str(), replacement));
        // Written in the file's own byte order, the records untouched.
        EXPECT_EQ(Int32At(ReadBytes(kPath), 996), foreign ? int32_t(0xE8030000) : 1000);
        CTrackReader reader;
        TRACK_HEADER header;
        ASSERT_TRUE(reader.Open(kPath.c_str(), &header));
        EXPECT_TRUE(header.dimension[0] == 64 && header.track_count == 1);
        EXPECT_STREQ(header.scalar_names[0], "new");
        EXPECT_EQ(ReadSeparated(reader, 1, 0), std::vector<float>({1, 2, 3, 4}));
    }
    WriteBytes(kPath, Bytes(999, 0));
    EXPECT_FALSE(CTrackWriter::UpdateHeader(kPath.c_str(), replacement));
    EXPECT_EQ(ReadBytes(kPath), Bytes(999, 0));
    EXPECT_FALSE(CTrackWriter::UpdateHeader(kDir.File("missing").c_str(), replacement));
}

}  // namespace
