#include "trackio/TrackFile.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <filesystem>

#include "track_files.h"

namespace {

using namespace fibrejoin;
using testing_files::ExpectIn;
using testing_files::TempDir;

// An oblique grid with a flipped axis: voxel axes turned about 20 degrees, mostly about z, the
// first one pointing left, sizes about 2, 1.5 and 3 mm, and a translation.
TrackFileHeader ObliqueHeader() {
    TrackFileHeader header = MakeTrackFileHeader({40, 50, 30}, {2.0f, 1.5f, 3.0f});
    const double c = std::cos(20 * M_PI / 180), s = std::sin(20 * M_PI / 180);
    header.voxelToWorld = {-2 * c, -1.5 * s, 0.3,  30,   //
                           -2 * s, 1.5 * c,  -0.2, -12,  //
                           0.1,    0.2,      3,    7.5,  //
                           0,      0,        0,    1};
    return header;
}

std::vector<Track> SomeTracks(size_t scalars, size_t properties) {
    std::vector<Track> tracks(3);
    for (size_t t = 0; t < tracks.size(); ++t) {
        const size_t n = t == 1 ? 0 : 4 + t;  // an empty track in the middle
        for (size_t i = 0; i < n; ++i) {
            tracks[t].points.insert(tracks[t].points.end(),
                                    {1.0f + i, 20.5f - 0.25f * t, 3.0f * i + t});
            for (size_t k = 0; k < scalars; ++k)
                tracks[t].scalars.push_back(float(100 * t + 10 * i + k));
        }
        for (size_t k = 0; k < properties; ++k)
            tracks[t].properties.push_back(float(t + k) / 4);
    }
    return tracks;
}

void Write(const std::string& path, const TrackFileHeader& header,
           const std::vector<Track>& tracks) {
    TrackFileWriter writer;
    std::string message;
    ASSERT_TRUE(writer.Open(path, header, false, message)) << message;
    for (const Track& track : tracks)
        ASSERT_TRUE(writer.write(track));
    ASSERT_TRUE(writer.Close(message)) << message;
}

std::vector<Track> ReadAll(const std::string& path, TrackFileHeader& header) {
    TrackFileReader reader;
    std::string message;
    EXPECT_TRUE(reader.Open(path, message)) << message;
    header = reader.header();
    std::vector<Track> tracks;
    Track track;
    while (reader.next(track))
        tracks.push_back(track);
    EXPECT_TRUE(reader.ok()) << reader.message();
    EXPECT_EQ(reader.bytePosition(), reader.fileSize());
    return tracks;
}

// What a track carries, for comparing tracks whole.
auto Values(const Track& track) {
    return std::tie(track.points, track.scalars, track.properties);
}

// .trk with scalars and properties, stored in voxel mm; .tck with world points that go back to
// voxel mm as written. Both keep the grid, and the whole-file form saves the same bytes again.
TEST(TrackFile, RoundTripsKeepPointsValuesAndGrid) {
    TempDir dir;
    for (const bool tck : {false, true}) {
        SCOPED_TRACE(tck ? "tck" : "trk");
        const std::string path = dir.File(tck ? "a.tck" : "a.trk");
        TrackFileHeader header = ObliqueHeader();
        if (!tck) header.scalarNames = {"fa", "md"}, header.propertyNames = {"DataSetID"};
        const std::vector<Track> tracks = tck ? SomeTracks(0, 0) : SomeTracks(2, 1);
        Write(path, header, tracks);

        TrackFileHeader read;
        std::vector<Track> back = ReadAll(path, read);
        EXPECT_EQ(std::tie(read.space, read.storedTrackCount, read.orientation, read.dims,
                           read.voxelSize, read.scalarNames, read.propertyNames),
                  std::make_tuple(tck ? PointSpace::World : PointSpace::VoxelMm, int64_t{3},
                                  std::string("LAS"), header.dims, header.voxelSize,
                                  header.scalarNames, header.propertyNames));
        for (int i = 0; i < 16; ++i)  // a .trk file holds the matrix in floats
            EXPECT_NEAR(read.voxelToWorld[i], header.voxelToWorld[i], tck ? 0 : 1e-5) << i;
        Matrix4 toVoxelMm;
        std::string message;
        ASSERT_TRUE(SpaceTransform(read, read.space, PointSpace::VoxelMm, toVoxelMm, message));
        ASSERT_EQ(back.size(), tracks.size());
        for (size_t t = 0; t < tracks.size(); ++t) {
            TransformPoints(toVoxelMm, back[t].points.data(), back[t].PointCount());
            ASSERT_EQ(back[t].points.size(), tracks[t].points.size());
            for (size_t i = 0; i < back[t].points.size(); ++i)
                EXPECT_NEAR(back[t].points[i], tracks[t].points[i], tck ? 1e-4 : 0) << t;
            EXPECT_EQ(std::tie(back[t].scalars, back[t].properties),
                      std::tie(tracks[t].scalars, tracks[t].properties));
        }

        TrackSet set;
        ASSERT_TRUE(LoadTracks(path, read, set, message)) << message;
        EXPECT_EQ(set.offsets, (std::vector<int64_t>{0, 4, 4, 10}));
        const std::string again = dir.File(tck ? "b.tck" : "b.trk");
        ASSERT_TRUE(SaveTracks(again, read, set, false, message)) << message;
        EXPECT_EQ(testing_files::ReadBytes(again), testing_files::ReadBytes(path));
    }
}

TEST(TrackFile, DamagedFilesSayWhereReadingStopped) {
    TempDir dir;
    testing_files::HeaderFields fields;
    fields.scalar_names = {"fa"};
    // Foreign byte order: two whole tracks, then one cut inside its body.
    testing_files::FileImage trk = testing_files::MakeHeader(fields, true);
    trk.AppendTrack({{1, 2, 3, 4, 5, 6}, {0.5f, 0.25f}, {}});
    trk.AppendTrack({{7, 8, 9}, {0.75f}, {}});
    trk.AppendTrack(3, {1, 2, 3, 4});
    trk.Save(dir.File("cut.trk"));
    TrackFileReader reader;
    std::string message;
    ASSERT_TRUE(reader.Open(dir.File("cut.trk"), message)) << message;
    EXPECT_TRUE(reader.header().foreignByteOrder);
    Track track;
    ASSERT_TRUE(reader.next(track));
    EXPECT_EQ(Values(track), Values(Track{{1, 2, 3, 4, 5, 6}, {0.5f, 0.25f}, {}}));
    ASSERT_TRUE(reader.next(track));
    EXPECT_FALSE(reader.next(track));
    EXPECT_EQ(std::make_tuple(reader.ok(), reader.tracksRead()),
              std::make_tuple(false, int64_t{2}));
    ExpectIn(reader.message(), "track 2, byte offset 1056");
    EXPECT_FALSE(reader.next(track));  // and stays stopped

    // A hostile point count is refused before anything is sized by it.
    testing_files::FileImage huge = testing_files::MakeHeader({});
    huge.AppendTrack(INT32_MAX, {1, 2, 3});
    huge.Save(dir.File("huge.trk"));
    ASSERT_TRUE(reader.Open(dir.File("huge.trk"), message)) << message;
    EXPECT_FALSE(reader.next(track));
    ExpectIn(reader.message(), "track 0, byte offset 1000");

    // A .tck file cut inside its second track.
    Write(dir.File("a.tck"), ObliqueHeader(), SomeTracks(0, 0));
    testing_files::Bytes bytes = testing_files::ReadBytes(dir.File("a.tck"));
    const std::string text(bytes.begin(), bytes.end());
    const size_t data = std::stoul(text.substr(text.find("file: . ") + 8));
    bytes.resize(data + 4 * 12 + 12 + 12 + 6);  // 4 points, end, second (empty) track, half a point
    testing_files::WriteBytes(dir.File("cut.tck"), bytes);
    ASSERT_TRUE(reader.Open(dir.File("cut.tck"), message)) << message;
    ASSERT_TRUE(reader.next(track));
    ASSERT_TRUE(reader.next(track));
    EXPECT_FALSE(reader.next(track));
    ExpectIn(reader.message(), "track 2, byte offset " + std::to_string(data + 72));

    // Not track files at all.
    testing_files::WriteBytes(dir.File("text.tck"), {'h', 'i', '\n'});
    EXPECT_FALSE(reader.Open(dir.File("text.tck"), message));
    EXPECT_FALSE(reader.Open(dir.File("missing.trk"), message));
    ExpectIn(message, "missing.trk");
    EXPECT_FALSE(reader.Open(dir.File("tracks.txt"), message));
}

// In a child process whose files may not grow past 4 KiB, writes tracks that need more; the
// exit status tells what the child found.
int WriteBeyondFileLimit(const std::string& path) {
    const pid_t child = fork();
    if (child == 0) {
        signal(SIGXFSZ, SIG_IGN);
        const rlimit limit{4096, 4096};
        setrlimit(RLIMIT_FSIZE, &limit);
        TrackFileWriter writer;
        std::string message;
        if (!writer.Open(path, ObliqueHeader(), false, message)) _exit(2);
        Track track;
        track.points.assign(3 * 100, 1.0f);
        for (int i = 0; i < 50; ++i)
            writer.write(track);
        const bool closed = writer.Close(message);
        _exit(closed ? 3 : message.find(path) == std::string::npos ? 4 : 0);
    }
    int status = -1;
    waitpid(child, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(TrackFile, FailedWriteLeavesNothingAndExistingOutputNeedsReplace) {
    for (const char* name : {"full.trk", "full.tck"}) {
        TempDir dir;
        EXPECT_EQ(WriteBeyondFileLimit(dir.File(name)), 0) << name;
        EXPECT_TRUE(std::filesystem::is_empty(dir.File(""))) << name;
    }

    TempDir dir;
    TrackFileWriter writer;
    std::string message;
    TrackFileHeader withScalars = ObliqueHeader(), flat = ObliqueHeader();
    withScalars.scalarNames = {"fa"};
    EXPECT_FALSE(writer.Open(dir.File("c.tck"), withScalars, false, message));
    ExpectIn(message, "scalars");
    flat.voxelSize[2] = 0;
    EXPECT_FALSE(writer.Open(dir.File("c.trk"), flat, false, message));
    ExpectIn(message, "voxel size");
    EXPECT_TRUE(std::filesystem::is_empty(dir.File("")));

    const std::string path = dir.File("out.trk");
    testing_files::WriteBytes(path, {'o', 'l', 'd'});
    EXPECT_FALSE(writer.Open(path, ObliqueHeader(), false, message));
    ExpectIn(message, "exists");
    EXPECT_EQ(testing_files::ReadBytes(path).size(), 3u);
    // Abandoned without Close: the old file stays, no temporary file is left.
    ASSERT_TRUE(writer.Open(path, ObliqueHeader(), true, message)) << message;
    EXPECT_TRUE(writer.write(SomeTracks(0, 0)[0]));
    EXPECT_FALSE(writer.write(SomeTracks(1, 0)[0]));  // scalars the header does not name
    EXPECT_FALSE(writer.Close(message));
    ExpectIn(message, "scalars");
    EXPECT_EQ(testing_files::ReadBytes(path).size(), 3u);
    ASSERT_TRUE(writer.Open(path, ObliqueHeader(), true, message)) << message;
    EXPECT_TRUE(writer.Close(message)) << message;
    EXPECT_EQ(testing_files::ReadBytes(path).size(), 1000u);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.File("")), {}), 1);
}

}  // namespace
