#include "trackio/TrackIO.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <tuple>
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

// Saves `image` to kPath and opens it.
bool OpenImage(CTrackReader& reader, const FileImage& image, TRACK_HEADER* header = nullptr) {
    image.Save(kPath);
    return reader.Open(kPath.c_str(), header);
}

// Reads the next track in separated form (or as a raw block); its body in file order.
std::vector<float> ReadTrack(CTrackReader& reader, int scalar_count, int property_count,
                             bool raw = false) {
    int n;
    if (!reader.GetNextPointCount(&n)) return {-1};
    Track track{std::vector<float>(3 * n), std::vector<float>(size_t(scalar_count) * n),
                std::vector<float>(property_count)};
    std::vector<float> block((3 + scalar_count) * n + property_count);
    if (raw) return reader.GetNextRawData(n, block.data()) ? block : std::vector<float>{-2};
    if (!reader.GetNextTrackData(n, track.points.data(), track.scalars.data(),
                                 track.properties.data()))
        return {-2};
    return track.Body();
}

// Record layouts the writer and the reader must both get right: scalars and properties, neither,
// a track longer than one internal run of points, points wider than any internal buffer.
struct Layout {
    const char* name;
    HeaderFields fields;
    std::vector<Track> tracks;
};

std::vector<Layout> Layouts() {
    Track long_track{{}, {}, {42, 43}}, wide{{1, 2, 3, 4, 5, 6}, std::vector<float>(10000), {}};
    for (int i = 0; i < 1500; ++i) {
        long_track.points.insert(long_track.points.end(), {float(i), i + 0.5f, -float(i)});
        long_track.scalars.insert(long_track.scalars.end(), {1, 2, 3, float(i)});
    }
    for (size_t i = 0; i < wide.scalars.size(); ++i)
        wide.scalars[i] = float(i);
    HeaderFields many;
    many.scalar_names.assign(5000, "s");
    return {{"scalars and properties", {{"fa", "md"}, {"p0", "p1", "p2"}}, {kTracks, kTracks + 3}},
            {"neither", {}, {{{1, 2, 3, 4, 5, 6}, {}, {}}, {}, {{7, 8, 9}, {}, {}}}},
            {"long",
             {{"a", "b", "c", "d"}, {"p", "q"}},
             {long_track, {{1, 2, 3}, {4, 5, 6, 7}, {8, 9}}}},
            {"many scalars", many, {wide}}};
}

TEST(TrackIO, EveryLayoutWrittenAndReadInBothByteOrdersAndBothForms) {
    for (const Layout& layout : Layouts()) {
        const int scalars = int(layout.fields.scalar_names.size());
        const int properties = int(layout.fields.property_names.size());
        HeaderFields written = layout.fields;
        written.track_count = int32_t(layout.tracks.size());
        const Bytes expected = TrackFile{written, layout.tracks}.Image().bytes;
        for (bool foreign : {false, true}) {
            for (bool raw : {false, true}) {
                SCOPED_TRACE(std::string(layout.name) + (foreign ? " foreign" : " native") +
                             (raw ? " raw" : " separated"));
                // The writer takes a header in either order (or marked by a size of 0) and sets
                // the version; it writes the exact bytes.
                HeaderFields given = layout.fields;
                given.version = 77;
                given.header_size = foreign || raw ? 1000 : 0;
                TRACK_HEADER header;
                std::memcpy(&header, MakeHeader(given, foreign).bytes.data(), 1000);
                CTrackWriter writer;
                ASSERT_TRUE(writer.Initialize(kPath.c_str(), header));
                for (Track track : layout.tracks) {
                    std::vector<float> block = track.Body();
                    ASSERT_TRUE(raw ? writer.WriteNextTrack(track.Count(), block.data())
                                    : writer.WriteNextTrack(track.Count(), track.points.data(),
                                                            track.scalars.data(),
                                                            track.properties.data()));
                }
                ASSERT_TRUE(writer.Close());
                EXPECT_EQ(FirstDifference(ReadBytes(kPath), expected), "");

                // The reader returns the native header (the second orientation code filled in)
                // and every track, then the end.
                CTrackReader reader;
                ASSERT_TRUE(
                    OpenImage(reader, TrackFile{written, layout.tracks, foreign}.Image(), &header));
                written.secondary_orientation = "LPS";
                EXPECT_EQ(0, std::memcmp(&header, MakeHeader(written).bytes.data(), 1000));
                written.secondary_orientation = "";
                for (const Track& track : layout.tracks)
                    EXPECT_EQ(ReadTrack(reader, scalars, properties, raw), track.Body());
                EXPECT_EQ(ReadTrack(reader, scalars, properties, raw), std::vector<float>{-1});
                EXPECT_STREQ(reader.GetLastErrorMessage(), "Can not read from file");
            }
        }
    }
}

TEST(TrackReader, SkipsWhatItHasNoBuffersFor) {
    const Layout layout = Layouts()[2];
    CTrackReader reader;
    ASSERT_TRUE(OpenImage(reader, TrackFile{layout.fields, layout.tracks}.Image()));
    int n;
    std::vector<float> points(4500), properties(2);
    ASSERT_TRUE(reader.GetNextPointCount(&n) &&
                reader.GetNextTrackData(n, points.data(), nullptr, nullptr));
    EXPECT_EQ(points, layout.tracks[0].points);
    ASSERT_TRUE(reader.GetNextPointCount(&n) &&
                reader.GetNextTrackData(n, points.data(), nullptr, properties.data()));
    EXPECT_EQ(properties, layout.tracks[1].properties);
}

TEST(TrackReader, HeaderVariants) {
    CTrackReader reader;
    TRACK_HEADER header;

    // header_size 0 is native order and stays 0 in memory; empty orientation and zero axis
    // vectors get their defaults, axis elements 3 and 5 keep their values.
    HeaderFields fields{{}, {}, 0, 0};
    fields.orientation = "";
    const float axes[6] = {0, 0, 0, 7, 0, 8};
    std::copy_n(axes, 6, fields.axis_vectors);
    ASSERT_TRUE(OpenImage(reader, MakeHeader(fields), &header));
    EXPECT_EQ(std::make_tuple(header.header_size, header.dimension[1]),
              std::make_tuple(0, short(20)));
    EXPECT_STREQ(header.orientation_code, "LPS");
    EXPECT_STREQ(header.secondary_orientation_code, "LPS");
    EXPECT_EQ(std::vector<float>(header.axis_vectors, header.axis_vectors + 6),
              std::vector<float>({1, 0, 0, 7, 1, 8}));
    // One non-zero element keeps the first vector.
    fields.axis_vectors[1] = 0.5f;
    ASSERT_TRUE(OpenImage(reader, MakeHeader(fields), &header));
    EXPECT_EQ(
        std::make_tuple(header.axis_vectors[0], header.axis_vectors[1], header.axis_vectors[4]),
        std::make_tuple(0.0f, 0.5f, 0.0f));

    // Headerless: "TRACK" with a non-zero sixth byte; int32 dimensions keep their low 16 bits
    // (and write nothing beyond: the first voxel size has non-zero low bytes),
    // the first track starts at byte 24.
    FileImage headerless;
    for (int32_t value : {0x10007, 5, 6})
        headerless.AppendInt32(value);
    headerless.AppendFloats({0.1f, 0.75f, 2.0f});
    std::memcpy(headerless.bytes.data(), "TRACKX", 6);
    headerless.AppendTrack(2, {1, 2, 3, 4, 5, 6});
    headerless.bytes.resize(1000, 0);  // zero-point records up to 1000 bytes
    headerless.Save(kPath);
    int dims[3];
    float voxel[3];
    ASSERT_TRUE(reader.Open(kPath.c_str(), dims, voxel) && reader.GetHeader(&header));
    EXPECT_EQ(std::make_tuple(dims[0], dims[1], dims[2], voxel[0], voxel[1], voxel[2]),
              std::make_tuple(0x5254, 0x584B, 6, 0.1f, 0.75f, 2.0f));
    EXPECT_EQ(std::make_tuple(header.scalar_count, header.property_count, header.track_count,
                              header.secondary_orientation_code[0]),
              std::make_tuple(short(0), short(0), 0, '\0'));
    EXPECT_EQ(ReadTrack(reader, 0, 0), std::vector<float>({1, 2, 3, 4, 5, 6}));
    EXPECT_EQ(reader.GetNumberOfTracks(), 1 + (1000 - 24 - 28) / 4);
    headerless.PutInt32(0, 0x10007);
    ASSERT_TRUE(OpenImage(reader, headerless, &header));
    EXPECT_EQ(header.dimension[0], 7);

    // Shorter than 1000 bytes: never readable; the destination gets the bytes that were read
    // over the reader's previous header, and the file is closed.
    headerless.bytes.resize(999);
    EXPECT_FALSE(OpenImage(reader, headerless, &header));
    EXPECT_STREQ(reader.GetLastErrorMessage(), "Not a compatible track file");
    EXPECT_EQ(std::make_tuple(header.magic[0], header.voxel_size[1]), std::make_tuple('\7', 0.75f));
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

    // A body cut short fails, also among the scalars; a point count cut short is the end.
    FileImage image = MakeHeader({{"s"}, {"p"}});
    image.AppendTrack(2, {1, 2, 3, 4, 5, 6, 7, 8, 9});
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
    HeaderFields negative;
    negative.scalar_count = -4;
    image = MakeHeader(negative);
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
                 writer.UpdateHeader(header) || writer.Close());
    EXPECT_STREQ(reader.GetLastErrorMessage(), kNotOpen);
    EXPECT_STREQ(writer.GetLastErrorMessage(), kNotOpen);
    EXPECT_EQ(std::make_tuple(count, reader.GetProgress()), std::make_tuple(0, 0));

    // The header's count is taken as it is. A negative point count is refused, also where the
    // properties would make the body's size positive.
    FileImage image = MakeHeader({{"s"}, {"p", "q", "r", "t"}, 5});
    image.AppendFloats({1});
    ASSERT_TRUE(OpenImage(reader, image));
    EXPECT_FALSE(reader.GetNextRawData(-1, body));
    EXPECT_TRUE(reader.GetNumberOfTracks(&count));
    EXPECT_EQ(count, 5);
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
    EXPECT_EQ(std::make_tuple(body[3], body[4]), std::make_tuple(4.0f, 5.0f));
    while (reader.GetNextPointCount(&n))
        ASSERT_TRUE(reader.GetNextRawData(n, body));
    EXPECT_EQ(reader.GetProgress(), 100);
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

    // UpdateHeader on an open writer, between tracks, takes a header in either byte order (or
    // marked by a size of 0); the count continues from the given one.
    HeaderFields update{{}, {}, 10};
    update.version = 5;
    TRACK_HEADER header;
    for (bool foreign : {true, false}) {
        update.header_size = foreign ? 1000 : 0;
        std::memcpy(&header, MakeHeader(update, foreign).bytes.data(), 1000);
        CTrackWriter writer;
        ASSERT_TRUE(writer.Initialize(kPath.c_str(), TRACK_HEADER()) &&
                    writer.WriteNextTrack(1, point, nullptr, nullptr) &&
                    writer.UpdateHeader(header) &&
                    writer.WriteNextTrack(1, point, nullptr, nullptr) && writer.Close());
        HeaderFields written = update;
        written.track_count = 11;
        written.header_size = 1000;
        expected = MakeHeader(written);
        expected.AppendTrack(1, {1, 2, 3});
        expected.AppendTrack(1, {1, 2, 3});
        EXPECT_EQ(FirstDifference(ReadBytes(kPath), expected.bytes), "");
    }

    // A header made from nothing is the layout of an empty grid, version 2.
    const TRACK_HEADER fresh;
    const auto* freshBytes = reinterpret_cast<const uint8_t*>(&fresh);
    EXPECT_EQ(FirstDifference(Bytes(freshBytes, freshBytes + 1000),
                              MakeHeader({{}, {}, 0, 1000, {0, 0, 0}, {0, 0, 0}}).bytes),
              "");

    // Refused records write nothing and count nothing, a negative count of either kind included.
    TRACK_HEADER negative;
    negative.scalar_count = -1;
    CTrackWriter refusing;
    ASSERT_TRUE(refusing.Initialize(kPath.c_str(), negative));
    float some[8] = {};
    EXPECT_FALSE(refusing.WriteNextTrack(1, some, some, some));
    // The last error is that of the last call: a refused raw record after a good one, then a
    // header rewritten after it.
    ASSERT_TRUE(refusing.Initialize(kPath.c_str(), TRACK_HEADER()) &&
                refusing.WriteNextTrack(1, some));
    EXPECT_FALSE(refusing.WriteNextTrack(-1, some));
    EXPECT_STREQ(refusing.GetLastErrorMessage(), "Can not write to file");
    EXPECT_TRUE(refusing.UpdateHeader(TRACK_HEADER()));
    EXPECT_STREQ(refusing.GetLastErrorMessage(), "No error");
    ASSERT_TRUE(refusing.Close());
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
    EXPECT_TRUE(writer.WriteDataBlock(values, 7) && writer.WriteDataBlock(values, 1));
    EXPECT_FALSE(writer.WriteDataBlock(values, 0));
    ASSERT_TRUE(writer.Close());
    const Bytes bytes = ReadBytes(kPath);
    EXPECT_EQ(std::make_tuple(bytes.size(), Int32At(bytes, 988)), std::make_tuple(1008u, 0));
    EXPECT_FALSE(writer.Initialize(kDir.File("no/such/dir.trk").c_str(), header));
    EXPECT_STREQ(writer.GetLastErrorMessage(), kNotOpen);
}

TEST(TrackWriter, UpdateHeaderOfAFileByName) {
    // The new header goes in the file's own byte order (its size mark whatever the given one
    // says); the records stay untouched.
    HeaderFields fields{{"new"}, {}, 1, 0, {64, 20, 30}};
    TRACK_HEADER replacement;
    std::memcpy(&replacement, MakeHeader(fields).bytes.data(), 1000);
    fields.header_size = 1000;
    for (bool foreign : {false, true}) {
        SCOPED_TRACE(foreign ? "foreign" : "native");
        TrackFile({{{"s"}, {}}, {{{1, 2, 3}, {4}, {}}}, foreign}).Save(kPath);
        ASSERT_TRUE(CTrackWriter::UpdateHeader(kPath.c_str(), replacement));
        const Bytes expected = TrackFile{fields, {{{1, 2, 3}, {4}, {}}}, foreign}.Image().bytes;
        EXPECT_EQ(FirstDifference(ReadBytes(kPath), expected), "");
    }
    WriteBytes(kPath, Bytes(999, 0));
    EXPECT_FALSE(CTrackWriter::UpdateHeader(kPath.c_str(), replacement));
    EXPECT_EQ(ReadBytes(kPath), Bytes(999, 0));
    EXPECT_FALSE(CTrackWriter::UpdateHeader(kDir.File("missing").c_str(), replacement));
}

}  // namespace
