#include "trackio/TrackIO.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <vector>

#include "track_files.h"

using namespace testing_files;

namespace {

// A small file with two scalars and three properties: a 2-point track, a 0-point track and a
// 1-point track, with every value distinct.
struct SampleFile {
    HeaderFields fields;
    std::vector<int> counts = {2, 0, 1};
    std::vector<std::vector<float>> bodies = {
        {1, 2, 3, 10, 11, 4, 5, 6, 12, 13, 100, 101, 102},
        {200, 201, 202},
        {7.5f, -8.25f, 9, 14, 15, 300, 301, 302},
    };
    SampleFile() {
        fields.scalar_names = {"fa", "md"};
        fields.property_names = {"p0", "p1", "p2"};
    }
    FileImage Image(bool foreign) const {
        FileImage image = MakeHeader(fields, foreign);
        for (size_t t = 0; t < counts.size(); ++t)
            image.AppendTrack(counts[t], bodies[t]);
        return image;
    }
};

TEST(TrackHeader, DefaultHeaderAndErrorTable) {
    const TRACK_HEADER header;
    HeaderFields zero_grid;
    for (int i = 0; i < 3; ++i)
        zero_grid.dims[i] = 0, zero_grid.voxel[i] = 0;
    const FileImage expected = MakeHeader(zero_grid);
    Bytes actual(1000);
    std::memcpy(actual.data(), &header, 1000);
    EXPECT_EQ(actual, expected.bytes);

    CTrackReader reader;
    EXPECT_STREQ(reader.GetLastErrorMessage(), "No error");
    EXPECT_TRUE(reader.Close());
    EXPECT_STREQ(reader.GetLastErrorMessage(), "No error");
    TRACK_HEADER out;
    EXPECT_FALSE(reader.GetHeader(&out));
    EXPECT_STREQ(reader.GetLastErrorMessage(),
                 "I/O not initialized. Call 'Open' or 'Initialize' first");
    int n;
    EXPECT_FALSE(reader.GetNextPointCount(&n));
    EXPECT_STREQ(CTrackIO::error_message[CloseFailed], "Can not close file");
}

TEST(TrackReader, NativeAndForeignOrderDeliverTheSameTracks) {
    TempDir dir;
    const SampleFile sample;
    for (bool foreign : {false, true}) {
        SCOPED_TRACE(foreign ? "foreign" : "native");
        const std::string path = dir.File(foreign ? "foreign.trk" : "native.trk");
        sample.Image(foreign).Save(path);

        CTrackReader reader;
        TRACK_HEADER header;
        ASSERT_TRUE(reader.Open(path.c_str(), &header));
        EXPECT_EQ(header.header_size, 1000);
        EXPECT_EQ(header.dimension[2], 30);
        EXPECT_EQ(header.voxel_size[2], 2.5f);
        EXPECT_EQ(header.scalar_count, 2);
        EXPECT_EQ(header.property_count, 3);
        EXPECT_STREQ(header.property_names[2], "p2");
        EXPECT_EQ(header.version, 2);
        EXPECT_STREQ(header.secondary_orientation_code, "LPS");

        // Separated form for the first two tracks, raw block for the last.
        for (size_t t = 0; t < 2; ++t) {
            const int count = sample.counts[t];
            int n = -1;
            ASSERT_TRUE(reader.GetNextPointCount(&n));
            ASSERT_EQ(n, count);
            std::vector<float> points(3 * n), scalars(2 * n), properties(3);
            ASSERT_TRUE(
                reader.GetNextTrackData(n, points.data(), scalars.data(), properties.data()));
            std::vector<float> body;
            for (int i = 0; i < n; ++i) {
                body.insert(body.end(), points.begin() + 3 * i, points.begin() + 3 * i + 3);
                body.insert(body.end(), scalars.begin() + 2 * i, scalars.begin() + 2 * i + 2);
            }
            body.insert(body.end(), properties.begin(), properties.end());
            EXPECT_EQ(body, sample.bodies[t]);
        }
        int n;
        ASSERT_TRUE(reader.GetNextPointCount(&n));
        std::vector<float> block(sample.bodies[2].size());
        ASSERT_TRUE(reader.GetNextRawData(n, block.data()));
        EXPECT_EQ(block, sample.bodies[2]);

        EXPECT_FALSE(reader.GetNextPointCount(&n));
        EXPECT_STREQ(reader.GetLastErrorMessage(), "Can not read from file");
    }
}

TEST(TrackReader, SkipsScalarsAndPropertiesWithoutBuffers) {
    TempDir dir;
    HeaderFields fields;
    fields.scalar_names = {"a", "b", "c", "d"};
    fields.property_names = {"p"};
    FileImage image = MakeHeader(fields);
    // 1500 points: more than one internal run of points.
    std::vector<float> body, expected_points;
    for (int i = 0; i < 1500; ++i) {
        const float point[7] = {float(i), i + 0.5f, -float(i), 9, 9, 9, 9};
        body.insert(body.end(), point, point + 7);
        expected_points.insert(expected_points.end(), point, point + 3);
    }
    body.push_back(42);
    image.AppendTrack(1500, body);
    image.AppendTrack(1, {1, 2, 3, 0, 0, 0, 0, 43});
    image.Save(dir.File("t.trk"));

    CTrackReader reader;
    ASSERT_TRUE(reader.Open(dir.File("t.trk").c_str(), nullptr));
    int n;
    ASSERT_TRUE(reader.GetNextPointCount(&n));
    std::vector<float> points(3 * n);
    ASSERT_TRUE(reader.GetNextTrackData(n, points.data(), nullptr, nullptr));
    EXPECT_EQ(points, expected_points);
    ASSERT_TRUE(reader.GetNextPointCount(&n));
    float property = 0;
    ASSERT_TRUE(reader.GetNextTrackData(n, points.data(), nullptr, &property));
    EXPECT_EQ(property, 43);

    // Points wider than any internal buffer (5000 scalars each) survive a round trip.
    TRACK_HEADER wide;
    wide.scalar_count = 5000;
    std::vector<float> wide_points = {1, 2, 3, 4, 5, 6}, scalars(10000), read_back(10000);
    for (size_t i = 0; i < scalars.size(); ++i)
        scalars[i] = float(i);
    CTrackWriter writer;
    ASSERT_TRUE(writer.Initialize(dir.File("wide.trk").c_str(), wide));
    ASSERT_TRUE(writer.WriteNextTrack(2, wide_points.data(), scalars.data(), nullptr));
    ASSERT_TRUE(writer.Close());
    ASSERT_TRUE(reader.Open(dir.File("wide.trk").c_str(), nullptr));
    ASSERT_TRUE(reader.GetNextPointCount(&n));
    ASSERT_TRUE(reader.GetNextTrackData(n, points.data(), read_back.data(), nullptr));
    EXPECT_EQ(std::vector<float>(points.begin(), points.begin() + 6), wide_points);
    EXPECT_EQ(read_back, scalars);
}

TEST(TrackReader, HeaderVariants) {
    TempDir dir;
    const std::string path = dir.File("t.trk");
    CTrackReader reader;
    TRACK_HEADER header;

    // header_size 0 is native order and stays 0 in memory; empty orientation and zero axis
    // vectors get their defaults, axis elements 3 and 5 keep their values.
    HeaderFields fields;
    fields.header_size = 0;
    FileImage image = MakeHeader(fields);
    image.PutInt32(948, 0);
    image.PutFloat(956, 0.0f);
    image.PutFloat(968, 7.0f);
    image.PutFloat(976, 8.0f);
    image.Save(path);
    ASSERT_TRUE(reader.Open(path.c_str(), &header));
    EXPECT_EQ(header.header_size, 0);
    EXPECT_EQ(header.dimension[1], 20);
    EXPECT_STREQ(header.orientation_code, "LPS");
    EXPECT_STREQ(header.secondary_orientation_code, "LPS");
    const float axes[6] = {1, 0, 0, 7, 1, 8};
    for (int i = 0; i < 6; ++i)
        EXPECT_EQ(header.axis_vectors[i], axes[i]) << i;

    // Headerless: "TRACK" with a non-zero sixth byte; int32 dimensions keep their low 16 bits,
    // the first track starts at byte 24.
    FileImage headerless;
    headerless.AppendInt32(0x10007);
    headerless.AppendInt32(5);
    headerless.AppendInt32(6);
    headerless.AppendFloats({0.5f, 0.75f, 2.0f});
    std::memcpy(headerless.bytes.data(), "TRACKX", 6);
    headerless.AppendTrack(2, {1, 2, 3, 4, 5, 6});
    headerless.bytes.resize(1000, 0);  // zero-point records up to 1000 bytes
    headerless.Save(path);
    ASSERT_TRUE(reader.Open(path.c_str(), &header));
    EXPECT_EQ(header.dimension[0], short(0x5254));  // low bits of "TRAC"
    EXPECT_EQ(header.dimension[1], short(0x584B));  // "KX"
    EXPECT_EQ(header.voxel_size[1], 0.75f);
    EXPECT_EQ(header.scalar_count, 0);
    EXPECT_EQ(header.property_count, 0);
    EXPECT_EQ(header.track_count, 0);
    EXPECT_EQ(header.secondary_orientation_code[0], 0);
    int n;
    ASSERT_TRUE(reader.GetNextPointCount(&n));
    EXPECT_EQ(n, 2);
    EXPECT_EQ(reader.GetNumberOfTracks(), 1 + (1000 - 24 - 28) / 4);

    headerless.PutInt32(0, 0x10007);
    headerless.Save(path);
    ASSERT_TRUE(reader.Open(path.c_str(), &header));
    EXPECT_EQ(header.dimension[0], 7);

    // Shorter than 1000 bytes: never readable, even with a headerless preamble; the destination
    // gets the bytes that were read over the reader's previous header.
    headerless.bytes.resize(999);
    headerless.Save(path);
    EXPECT_FALSE(reader.Open(path.c_str(), &header));
    EXPECT_STREQ(reader.GetLastErrorMessage(), "Not a compatible track file");
    EXPECT_EQ(header.magic[0], 7);
    EXPECT_EQ(header.voxel_size[1], 0.75f);
    EXPECT_FALSE(reader.GetNextPointCount(&n));  // the file was closed

    // A missing file leaves the destination untouched.
    TRACK_HEADER untouched;
    untouched.track_count = 99;
    EXPECT_FALSE(CTrackReader::GetHeader(dir.File("missing.trk").c_str(), &untouched));
    EXPECT_EQ(untouched.track_count, 99);
    EXPECT_FALSE(reader.Open(dir.File("missing.trk").c_str(), &header));
    EXPECT_STREQ(reader.GetLastErrorMessage(), "Can not open file");
}

TEST(TrackReader, TruncatedAndHostileRecords) {
    TempDir dir;
    const std::string path = dir.File("t.trk");
    HeaderFields fields;
    fields.property_names = {"p"};
    CTrackReader reader;
    int n;
    float buffer[16];

    // A body cut short fails; a point count cut short is the end.
    FileImage image = MakeHeader(fields);
    image.AppendTrack(2, {1, 2, 3, 4, 5, 6, 7});
    image.AppendTrack(2, {1, 2, 3, 4});
    image.Save(path);
    ASSERT_TRUE(reader.Open(path.c_str(), nullptr));
    ASSERT_TRUE(reader.GetNextPointCount(&n));
    EXPECT_TRUE(reader.CanReadTrackBody(n));
    ASSERT_TRUE(reader.GetNextTrackData(n, buffer, nullptr, buffer + 6));
    ASSERT_TRUE(reader.GetNextPointCount(&n));
    EXPECT_FALSE(reader.CanReadTrackBody(n));
    EXPECT_FALSE(reader.GetNextTrackData(n, buffer, nullptr, buffer + 6));
    EXPECT_STREQ(reader.GetLastErrorMessage(), "Can not read from file");

    image.bytes.resize(image.bytes.size() - 16 - 2);
    image.Save(path);
    ASSERT_TRUE(reader.Open(path.c_str(), nullptr));
    ASSERT_TRUE(reader.GetNextPointCount(&n));
    ASSERT_TRUE(reader.GetNextRawData(n, buffer));
    EXPECT_FALSE(reader.GetNextPointCount(&n));

    // Negative and oversized counts never reach the caller's buffer.
    fields.property_names.clear();
    image = MakeHeader(fields);
    image.AppendTrack(-1, {1, 2, 3});
    image.AppendTrack(INT_MAX, {1, 2, 3});
    image.Save(path);
    ASSERT_TRUE(reader.Open(path.c_str(), nullptr));
    ASSERT_TRUE(reader.GetNextPointCount(&n));
    EXPECT_FALSE(reader.CanReadTrackBody(n));
    EXPECT_FALSE(reader.GetNextTrackData(n, buffer, nullptr, nullptr));
    reader.Open(path.c_str(), nullptr);
    EXPECT_EQ(reader.GetNumberOfTracks(), 0);  // the negative count ends the scan

    // Negative counts in a header make no record layout.
    image = MakeHeader(fields);
    image.PutInt16(36, -4);
    image.AppendTrack(1, {1, 2, 3});
    image.Save(path);
    ASSERT_TRUE(reader.Open(path.c_str(), nullptr));
    ASSERT_TRUE(reader.GetNextPointCount(&n));
    EXPECT_FALSE(reader.CanReadTrackBody(n));
    EXPECT_FALSE(reader.GetNextTrackData(n, buffer, buffer, buffer));
    EXPECT_FALSE(reader.GetNextRawData(n, buffer));
}

TEST(TrackReader, CountingAndProgress) {
    TempDir dir;
    const std::string path = dir.File("t.trk");
    CTrackReader reader;
    int count = -1;
    EXPECT_FALSE(reader.GetNumberOfTracks(&count));
    EXPECT_EQ(count, 0);
    EXPECT_EQ(reader.GetProgress(), 0);

    // The header's count is taken as it is.
    HeaderFields fields;
    fields.track_count = 5;
    fields.scalar_names = {"s"};
    FileImage image = MakeHeader(fields);
    image.Save(path);
    ASSERT_TRUE(reader.Open(path.c_str(), nullptr));
    EXPECT_EQ(reader.GetNumberOfTracks(), 5);

    // Count 0: scanned once, remembered, and the reading position is kept.
    image.PutInt32(988, 0);
    image.AppendTrack(1, {1, 2, 3, 4});
    image.AppendTrack(0, {});
    image.AppendTrack(2, {1, 2, 3, 4, 5, 6, 7, 8});
    image.bytes.resize(2000, 0);  // padding reads as zero-point records
    image.Save(path);
    ASSERT_TRUE(reader.Open(path.c_str(), nullptr));
    EXPECT_EQ(reader.GetProgress(), 50);
    int n;
    ASSERT_TRUE(reader.GetNextPointCount(&n));
    ASSERT_TRUE(reader.GetNumberOfTracks(&count));
    EXPECT_EQ(count, 3 + (2000 - 1000 - 60) / 4);
    TRACK_HEADER header;
    ASSERT_TRUE(reader.GetHeader(&header));
    EXPECT_EQ(header.track_count, count);
    float body[8];
    ASSERT_TRUE(reader.GetNextTrackData(n, body, body + 3, nullptr));
    EXPECT_EQ(body[3], 4);
    while (reader.GetNextPointCount(&n))
        ASSERT_TRUE(reader.GetNextRawData(n, body));
    EXPECT_EQ(reader.GetProgress(), 100);
}

// Writes `count` tracks of the sample layout through the separated form.
void WriteSampleTracks(CTrackWriter& writer, const SampleFile& sample) {
    for (size_t t = 0; t < sample.counts.size(); ++t) {
        const int n = sample.counts[t];
        std::vector<float> points, scalars;
        for (int i = 0; i < n; ++i) {
            const float* point = &sample.bodies[t][5 * i];
            points.insert(points.end(), point, point + 3);
            scalars.insert(scalars.end(), point + 3, point + 5);
        }
        std::vector<float> properties(sample.bodies[t].end() - 3, sample.bodies[t].end());
        ASSERT_TRUE(writer.WriteNextTrack(n, points.data(), scalars.data(), properties.data()));
    }
}

TEST(TrackWriter, WritesTheExactBytes) {
    TempDir dir;
    const std::string path = dir.File("out.trk");
    const SampleFile sample;
    FileImage expected = sample.Image(false);
    expected.PutInt32(988, 3);

    // The given header arrives in either byte order and with either size mark.
    for (int variant = 0; variant < 3; ++variant) {
        SCOPED_TRACE(variant);
        TRACK_HEADER header;
        FileImage given = MakeHeader(sample.fields, variant == 1);
        if (variant == 2) given.PutInt32(996, 0);
        given.PutInt32(992, 77);  // the writer sets version 2
        std::memcpy(&header, given.bytes.data(), 1000);
        CTrackWriter writer;
        ASSERT_TRUE(writer.Initialize(path.c_str(), header));
        WriteSampleTracks(writer, sample);
        ASSERT_TRUE(writer.Close());
        EXPECT_EQ(ReadBytes(path), expected.bytes);
    }

    // The raw form writes the same records.
    CTrackWriter writer;
    TRACK_HEADER header;
    std::memcpy(&header, expected.bytes.data(), 1000);
    ASSERT_TRUE(writer.Initialize(path.c_str(), header));
    for (size_t t = 0; t < sample.counts.size(); ++t) {
        std::vector<float> block = sample.bodies[t];
        ASSERT_TRUE(writer.WriteNextTrack(sample.counts[t], block.data()));
    }
    ASSERT_TRUE(writer.Close());
    EXPECT_EQ(ReadBytes(path), expected.bytes);
    EXPECT_FALSE(writer.Close());
    EXPECT_STREQ(writer.GetLastErrorMessage(),
                 "I/O not initialized. Call 'Open' or 'Initialize' first");
}

TEST(TrackWriter, HeaderCountsAndLifecycle) {
    TempDir dir;
    const std::string first = dir.File("first.trk"), second = dir.File("second.trk");
    short dims[3] = {4, 5, 6};
    float voxel[3] = {1, 2, 3};

    // Dimension-based headers; a zero-point track is four bytes; a second Initialize finishes
    // the first file with its count.
    {
        CTrackWriter writer;
        ASSERT_TRUE(writer.Initialize(first.c_str(), dims, voxel, nullptr, 0));
        float none = 0;
        ASSERT_TRUE(writer.WriteNextTrack(0, &none));
        ASSERT_TRUE(writer.WriteNextTrack(0, &none, nullptr, nullptr));
        int wide_dims[3] = {65536 + 5, 2, 3};
        float aux[3] = {7, 8, 9};
        ASSERT_TRUE(writer.Initialize(second.c_str(), wide_dims, voxel, aux, 1));
        ASSERT_TRUE(writer.Close());
    }
    HeaderFields fields;
    fields.dims[0] = 4, fields.dims[1] = 5, fields.dims[2] = 6;
    fields.voxel[0] = 1, fields.voxel[1] = 2, fields.voxel[2] = 3;
    fields.track_count = 2;
    FileImage expected = MakeHeader(fields);
    expected.AppendInt32(0);
    expected.AppendInt32(0);
    EXPECT_EQ(ReadBytes(first), expected.bytes);  // zeros for the absent aux vector

    fields.dims[0] = 5, fields.dims[1] = 2, fields.dims[2] = 3;
    fields.track_count = 0;
    fields.scalar_names = {""};
    expected = MakeHeader(fields);
    for (int i = 0; i < 3; ++i)
        expected.PutFloat(24 + 4 * i, 7.0f + i);
    EXPECT_EQ(ReadBytes(second), expected.bytes);

    // Destroying a writer without Close keeps the header of Initialize (its count of 7).
    TRACK_HEADER header;
    header.track_count = 7;
    {
        CTrackWriter writer;
        ASSERT_TRUE(writer.Initialize(first.c_str(), header));
        float point[3] = {1, 2, 3};
        ASSERT_TRUE(writer.WriteNextTrack(1, point, nullptr, nullptr));
    }
    Bytes bytes = ReadBytes(first);
    EXPECT_EQ(bytes.size(), 1000u + 16);
    EXPECT_EQ(Int32At(bytes, 988), 7);

    // UpdateHeader on an open writer: the count continues from the given one.
    {
        CTrackWriter writer;
        EXPECT_FALSE(writer.UpdateHeader(header));
        ASSERT_TRUE(writer.Initialize(first.c_str(), header));
        header.track_count = 10;
        header.version = 5;
        ASSERT_TRUE(writer.UpdateHeader(header));
        float point[3] = {1, 2, 3};
        ASSERT_TRUE(writer.WriteNextTrack(1, point, nullptr, nullptr));
        ASSERT_TRUE(writer.WriteNextTrack(1, point, nullptr, nullptr));
        ASSERT_TRUE(writer.Close());
    }
    bytes = ReadBytes(first);
    EXPECT_EQ(Int32At(bytes, 988), 12);
    EXPECT_EQ(Int32At(bytes, 992), 5);

    // Refused records write nothing and count nothing.
    {
        TRACK_HEADER shaped;
        shaped.scalar_count = 1;
        shaped.property_count = 1;
        CTrackWriter writer;
        ASSERT_TRUE(writer.Initialize(first.c_str(), shaped));
        float values[8] = {};
        EXPECT_FALSE(writer.WriteNextTrack(-1, values, values, values));
        EXPECT_FALSE(writer.WriteNextTrack(-1, values));
        EXPECT_FALSE(writer.WriteNextTrack(1, values, nullptr, values));
        EXPECT_FALSE(writer.WriteNextTrack(INT_MAX, values));
        EXPECT_STREQ(writer.GetLastErrorMessage(), "Can not write to file");
        EXPECT_TRUE(writer.WriteDataBlock(values, 8));
        EXPECT_FALSE(writer.WriteDataBlock(values, 0));
        ASSERT_TRUE(writer.Close());
        EXPECT_FALSE(writer.WriteDataBlock(values, 8));
    }
    bytes = ReadBytes(first);
    EXPECT_EQ(bytes.size(), 1008u);
    EXPECT_EQ(Int32At(bytes, 988), 0);

    CTrackWriter writer;
    EXPECT_FALSE(writer.Initialize(dir.File("no/such/dir.trk").c_str(), header));
    EXPECT_STREQ(writer.GetLastErrorMessage(),
                 "I/O not initialized. Call 'Open' or 'Initialize' first");
}

TEST(TrackWriter, UpdateHeaderOfAFileByName) {
    TempDir dir;
    const std::string path = dir.File("t.trk");
    HeaderFields fields;
    fields.scalar_names = {"s"};
    TRACK_HEADER replacement;
    replacement.dimension[0] = 64;
    replacement.scalar_count = 1;
    replacement.track_count = 1;
    std::strcpy(replacement.scalar_names[0], "new");

    for (bool foreign : {false, true}) {
        SCOPED_TRACE(foreign ? "foreign" : "native");
        FileImage image = MakeHeader(fields, foreign);
        image.AppendTrack(1, {1, 2, 3, 4});
        image.Save(path);
        ASSERT_TRUE(CTrackWriter::UpdateHeader(path.c_str(), replacement));

        Bytes bytes = ReadBytes(path);
        EXPECT_EQ(bytes.size(), 1020u);
        if (foreign) {
            EXPECT_EQ(Int32At(bytes, 996), int32_t(0xE8030000));
        } else {
            EXPECT_EQ(0, std::memcmp(bytes.data(), &replacement, 1000));
        }
        CTrackReader reader;
        TRACK_HEADER header;
        ASSERT_TRUE(reader.Open(path.c_str(), &header));
        EXPECT_EQ(header.dimension[0], 64);
        EXPECT_STREQ(header.scalar_names[0], "new");
        int n;
        float body[4];
        ASSERT_TRUE(reader.GetNextPointCount(&n));
        ASSERT_TRUE(reader.GetNextRawData(n, body));
        EXPECT_EQ(body[3], 4);
    }
    WriteBytes(path, Bytes(999, 0));
    EXPECT_FALSE(CTrackWriter::UpdateHeader(path.c_str(), replacement));
    EXPECT_EQ(ReadBytes(path), Bytes(999, 0));
    EXPECT_FALSE(CTrackWriter::UpdateHeader(dir.File("missing").c_str(), replacement));
}

}  // namespace
