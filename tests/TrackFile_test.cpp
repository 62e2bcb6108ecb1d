#include "trackio/TrackFile.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <sstream>

#include "track_files.h"

namespace {

using namespace fibrejoin;
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

// world = M * (p / voxelSize - 0.5), written out here rather than taken from the library.
std::array<double, 3> ToWorld(const TrackFileHeader& h, const float* p) {
    std::array<double, 3> w{};
    for (int r = 0; r < 3; ++r) {
        w[r] = h.voxelToWorld[4 * r + 3];
        for (int c = 0; c < 3; ++c)
            w[r] += h.voxelToWorld[4 * r + c] * (p[c] / h.voxelSize[c] - 0.5);
    }
    return w;
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

TEST(TrackFile, TrkRoundTripKeepsPointsValuesAndGrid) {
    TempDir dir;
    TrackFileHeader header = ObliqueHeader();
    header.scalarNames = {"fa", "md"};
    header.propertyNames = {"DataSetID"};
    const std::vector<Track> tracks = SomeTracks(2, 1);
    Write(dir.File("a.trk"), header, tracks);

    TrackFileHeader read;
    const std::vector<Track> back = ReadAll(dir.File("a.trk"), read);
    ASSERT_EQ(back.size(), tracks.size());
    for (size_t t = 0; t < tracks.size(); ++t) {
        EXPECT_EQ(back[t].points, tracks[t].points);
        EXPECT_EQ(back[t].scalars, tracks[t].scalars);
        EXPECT_EQ(back[t].properties, tracks[t].properties);
    }
    EXPECT_EQ(read.space, PointSpace::VoxelMm);
    EXPECT_EQ(read.storedTrackCount, 3);
    EXPECT_EQ(read.orientation, "LAS");
    EXPECT_EQ(read.dims, header.dims);
    EXPECT_EQ(read.scalarNames, header.scalarNames);
    EXPECT_EQ(read.propertyNames, header.propertyNames);
    for (int i = 0; i < 16; ++i)
        EXPECT_FLOAT_EQ(float(read.voxelToWorld[i]), float(header.voxelToWorld[i])) << i;

    // Whole-file form, and the same bytes again when saved from it.
    TrackSet set;
    std::string message;
    ASSERT_TRUE(LoadTracks(dir.File("a.trk"), read, set, message)) << message;
    EXPECT_EQ(set.offsets, (std::vector<int64_t>{0, 4, 4, 10}));
    ASSERT_TRUE(SaveTracks(dir.File("b.trk"), read, set, false, message)) << message;
    EXPECT_EQ(testing_files::ReadBytes(dir.File("b.trk")),
              testing_files::ReadBytes(dir.File("a.trk")));
}

TEST(TrackFile, TckStoresWorldPointsAndKeepsTheGrid) {
    TempDir dir;
    const TrackFileHeader header = ObliqueHeader();
    const std::vector<Track> tracks = SomeTracks(0, 0);
    Write(dir.File("a.tck"), header, tracks);

    TrackFileHeader read;
    const std::vector<Track> back = ReadAll(dir.File("a.tck"), read);
    ASSERT_EQ(back.size(), tracks.size());
    EXPECT_EQ(read.space, PointSpace::World);
    EXPECT_EQ(read.storedTrackCount, 3);
    EXPECT_EQ(read.orientation, "LAS");
    EXPECT_EQ(read.voxelToWorld, header.voxelToWorld);
    EXPECT_EQ(read.voxelSize, header.voxelSize);
    Matrix4 toVoxelMm;
    std::string message;
    ASSERT_TRUE(SpaceTransform(read, PointSpace::World, PointSpace::VoxelMm, toVoxelMm, message));
    for (size_t t = 0; t < tracks.size(); ++t) {
        ASSERT_EQ(back[t].PointCount(), tracks[t].PointCount());
        Track voxelMm = back[t];
        TransformPoints(toVoxelMm, voxelMm.points.data(), voxelMm.PointCount());
        for (size_t i = 0; i < back[t].PointCount(); ++i) {
            const std::array<double, 3> w = ToWorld(header, &tracks[t].points[3 * i]);
            for (int c = 0; c < 3; ++c) {
                EXPECT_NEAR(back[t].points[3 * i + c], w[c], 1e-4);
                EXPECT_NEAR(voxelMm.points[3 * i + c], tracks[t].points[3 * i + c], 1e-4);
            }
        }
    }

    // World points saved with their world header are stored as they are.
    TrackSet set;
    ASSERT_TRUE(LoadTracks(dir.File("a.tck"), read, set, message)) << message;
    ASSERT_TRUE(SaveTracks(dir.File("b.tck"), read, set, false, message)) << message;
    EXPECT_EQ(testing_files::ReadBytes(dir.File("b.tck")),
              testing_files::ReadBytes(dir.File("a.tck")));
}

// A python3 with nibabel, or "" (the first on PATH may lack it where the system one has it).
std::string PythonWithNibabel() {
    for (const char* python : {"python3", "/usr/bin/python3"}) {
        const std::string command = std::string(python) + " -c 'import nibabel' >/dev/null 2>&1";
        if (std::system(command.c_str()) == 0) return python;
    }
    return "";
}

// Points of every track of every file as nibabel loads them (RAS mm), one list per track.
std::vector<std::vector<std::vector<double>>> NibabelPoints(const std::string& python,
                                                            const std::vector<std::string>& paths) {
    std::string command = python +
                          " -c \"import sys, warnings, nibabel as nib\n"
                          "warnings.simplefilter('ignore')\n"
                          "for f in sys.argv[1:]:\n"
                          "    print('F')\n"
                          "    for s in nib.streamlines.load(f).streamlines:\n"
                          "        print('T ' + ' '.join(repr(float(v)) for v in s.ravel()))\n\"";
    for (const std::string& path : paths)
        command += " " + path;
    std::vector<std::vector<std::vector<double>>> files;
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe) return files;
    std::string output;
    char chunk[4096];
    for (size_t got; (got = fread(chunk, 1, sizeof(chunk), pipe)) > 0;)
        output.append(chunk, got);
    EXPECT_EQ(pclose(pipe), 0) << output;
    std::istringstream lines(output);
    for (std::string line; std::getline(lines, line);) {
        if (line == "F") {
            files.emplace_back();
            continue;
        }
        std::istringstream values(line.substr(1));
        files.back().emplace_back();
        for (double v; values >> v;)
            files.back().back().push_back(v);
    }
    return files;
}

TEST(TrackFile, NibabelReadsBothFormatsAtTheSameWorldPoints) {
    const std::string python = PythonWithNibabel();
    if (python.empty()) GTEST_SKIP() << "python3 with nibabel not found";
    TempDir dir;
    const TrackFileHeader header = ObliqueHeader();
    const std::vector<Track> tracks = SomeTracks(0, 0);
    Write(dir.File("a.trk"), header, tracks);
    Write(dir.File("a.tck"), header, tracks);
    // Files of other writers may store points along other axes than the matrix's ("LAS");
    // their world points are those nibabel finds too.
    std::vector<std::string> paths = {dir.File("a.trk"), dir.File("a.tck")};
    for (const char* code : {"LPS", "ASL", "SRP"}) {
        testing_files::Bytes bytes = testing_files::ReadBytes(dir.File("a.trk"));
        std::memcpy(&bytes[948], code, 4);
        paths.push_back(dir.File(std::string(code) + ".trk"));
        testing_files::WriteBytes(paths.back(), bytes);
    }
    const auto loaded = NibabelPoints(python, paths);
    ASSERT_EQ(loaded.size(), paths.size());
    for (size_t f = 0; f < paths.size(); ++f) {
        SCOPED_TRACE(paths[f]);
        TrackFileHeader read;
        std::vector<Track> ours = ReadAll(paths[f], read);
        Matrix4 toWorld;
        std::string message;
        ASSERT_TRUE(SpaceTransform(read, read.space, PointSpace::World, toWorld, message));
        // nibabel passes over tracks without points.
        ASSERT_EQ(loaded[f].size(), 2u);
        for (size_t t : {0, 1}) {
            const Track& track = tracks[2 * t];
            ASSERT_EQ(loaded[f][t].size(), track.points.size());
            TransformPoints(toWorld, ours[2 * t].points.data(), ours[2 * t].PointCount());
            for (size_t i = 0; i < track.points.size(); ++i) {
                if (f < 2) {
                    const std::array<double, 3> w = ToWorld(header, &track.points[i - i % 3]);
                    EXPECT_NEAR(loaded[f][t][i], w[i % 3], 1e-3) << t << " " << i;
                }
                EXPECT_NEAR(loaded[f][t][i], ours[2 * t].points[i], 1e-3) << t << " " << i;
            }
        }
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
    EXPECT_EQ(track.points, (std::vector<float>{1, 2, 3, 4, 5, 6}));
    EXPECT_EQ(track.scalars, (std::vector<float>{0.5f, 0.25f}));
    ASSERT_TRUE(reader.next(track));
    EXPECT_FALSE(reader.next(track));
    EXPECT_FALSE(reader.ok());
    EXPECT_EQ(reader.tracksRead(), 2);
    EXPECT_NE(reader.message().find("track 2, byte offset 1056"), std::string::npos)
        << reader.message();
    EXPECT_FALSE(reader.next(track));  // and stays stopped

    // A hostile point count is refused before anything is sized by it.
    testing_files::FileImage huge = testing_files::MakeHeader({});
    huge.AppendTrack(INT32_MAX, {1, 2, 3});
    huge.Save(dir.File("huge.trk"));
    ASSERT_TRUE(reader.Open(dir.File("huge.trk"), message)) << message;
    EXPECT_FALSE(reader.next(track));
    EXPECT_NE(reader.message().find("track 0, byte offset 1000"), std::string::npos)
        << reader.message();

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
    EXPECT_NE(reader.message().find("track 2, byte offset " + std::to_string(data + 72)),
              std::string::npos)
        << reader.message();

    // Not track files at all.
    testing_files::WriteBytes(dir.File("text.tck"), {'h', 'i', '\n'});
    EXPECT_FALSE(reader.Open(dir.File("text.tck"), message));
    EXPECT_FALSE(reader.Open(dir.File("missing.trk"), message));
    EXPECT_NE(message.find("missing.trk"), std::string::npos);
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
    EXPECT_NE(message.find("scalars"), std::string::npos) << message;
    flat.voxelSize[2] = 0;
    EXPECT_FALSE(writer.Open(dir.File("c.trk"), flat, false, message));
    EXPECT_NE(message.find("voxel size"), std::string::npos) << message;
    EXPECT_TRUE(std::filesystem::is_empty(dir.File("")));

    const std::string path = dir.File("out.trk");
    testing_files::WriteBytes(path, {'o', 'l', 'd'});
    EXPECT_FALSE(writer.Open(path, ObliqueHeader(), false, message));
    EXPECT_NE(message.find("exists"), std::string::npos) << message;
    EXPECT_EQ(testing_files::ReadBytes(path).size(), 3u);
    // Abandoned without Close: the old file stays, no temporary file is left.
    ASSERT_TRUE(writer.Open(path, ObliqueHeader(), true, message)) << message;
    EXPECT_TRUE(writer.write(SomeTracks(0, 0)[0]));
    EXPECT_FALSE(writer.write(SomeTracks(1, 0)[0]));  // scalars the header does not name
    EXPECT_FALSE(writer.Close(message));
    EXPECT_NE(message.find("scalars"), std::string::npos) << message;
    EXPECT_EQ(testing_files::ReadBytes(path).size(), 3u);
    ASSERT_TRUE(writer.Open(path, ObliqueHeader(), true, message)) << message;
    EXPECT_TRUE(writer.Close(message)) << message;
    EXPECT_EQ(testing_files::ReadBytes(path).size(), 1000u);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.File("")), {}), 1);
}

}  // namespace
