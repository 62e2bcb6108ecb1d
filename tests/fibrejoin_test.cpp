// Command-line tests: run the built fibrejoin binary and check its exit status, its messages on
// each stream, and the bytes of the file it writes.
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "track_files.h"
#include "trackio/TrackIO.h"

extern char** environ;

using namespace testing_files;

namespace {

struct RunResult {
    int status;
    std::string out;
    std::string err;
};

RunResult RunFibrejoin(const TempDir& dir, const std::vector<std::string>& args) {
    const std::string out_path = dir.File("stdout.txt"), err_path = dir.File("stderr.txt");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0644);
    posix_spawn_file_actions_addopen(&actions, 2, err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0644);
    std::vector<char*> argv = {const_cast<char*>(FIBREJOIN_BIN)};
    for (const std::string& arg : args)
        argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    pid_t pid;
    RunResult result{-1, "", ""};
    if (posix_spawn(&pid, FIBREJOIN_BIN, &actions, nullptr, argv.data(), environ) == 0) {
        int status = 0;
        waitpid(pid, &status, 0);
        result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    posix_spawn_file_actions_destroy(&actions);
    const Bytes out = ReadBytes(out_path), err = ReadBytes(err_path);
    result.out.assign(out.begin(), out.end());
    result.err.assign(err.begin(), err.end());
    return result;
}

bool Exists(const std::string& path) {
    return access(path.c_str(), F_OK) == 0;
}

// One track as the test describes it: points (x, y, z per point), scalars per point, properties.
struct Track {
    std::vector<float> points, scalars, properties;
    int Count() const { return int(points.size() / 3); }
    std::vector<float> Body(int scalar_count) const {
        std::vector<float> body;
        for (int i = 0; i < Count(); ++i) {
            body.insert(body.end(), points.begin() + 3 * i, points.begin() + 3 * i + 3);
            body.insert(body.end(), scalars.begin() + scalar_count * i,
                        scalars.begin() + scalar_count * (i + 1));
        }
        body.insert(body.end(), properties.begin(), properties.end());
        return body;
    }
};

struct TrackSet {
    HeaderFields fields;
    std::vector<Track> tracks;
    bool foreign = false;

    int ScalarCount() const { return int(fields.scalar_names.size()); }
    void Save(const std::string& path) const {
        FileImage image = MakeHeader(fields, foreign);
        for (const Track& track : tracks)
            image.AppendTrack(track.Count(), track.Body(ScalarCount()));
        image.Save(path);
    }
};

// A set of `track_count` tracks of 0 to `max_points` points, with values drawn from `seed`.
TrackSet MakeSet(unsigned seed, int track_count, std::vector<std::string> scalar_names,
                 std::vector<std::string> property_names, int max_points = 4) {
    std::mt19937 random(seed);
    std::uniform_real_distribution<float> value(-500.0f, 500.0f);
    TrackSet set;
    set.fields.scalar_names = std::move(scalar_names);
    set.fields.property_names = std::move(property_names);
    set.fields.track_count = track_count;
    for (int t = 0; t < track_count; ++t) {
        const size_t n = random() % unsigned(max_points + 1);
        Track track;
        track.points.resize(3 * n);
        track.scalars.resize(set.fields.scalar_names.size() * n);
        track.properties.resize(set.fields.property_names.size());
        for (std::vector<float>* values : {&track.points, &track.scalars, &track.properties}) {
            for (float& v : *values)
                v = value(random);
        }
        set.tracks.push_back(track);
    }
    return set;
}

// The file the merge must write for `inputs`, built from the rules of the merge.
Bytes ExpectedMerge(const std::vector<TrackSet>& inputs) {
    TrackSet merged;
    merged.fields = inputs[0].fields;
    for (const TrackSet& input : inputs) {
        if (input.fields.scalar_names.size() > merged.fields.scalar_names.size()) {
            merged.fields.scalar_names = input.fields.scalar_names;
        }
        if (input.fields.property_names.size() > merged.fields.property_names.size()) {
            merged.fields.property_names = input.fields.property_names;
        }
    }
    merged.fields.property_names.push_back("DataSetID");
    merged.fields.header_size = 1000;
    const size_t scalars = merged.fields.scalar_names.size();
    const size_t properties = merged.fields.property_names.size();
    for (size_t k = 0; k < inputs.size(); ++k) {
        for (Track track : inputs[k].tracks) {
            if (track.scalars.size() != scalars * track.Count()) {
                track.scalars.assign(scalars * track.Count(), 0.0f);
            }
            track.properties.resize(properties, 0.0f);
            track.properties.back() = float(k);
            merged.tracks.push_back(track);
        }
    }
    merged.fields.track_count = int(merged.tracks.size());
    FileImage image = MakeHeader(merged.fields);
    image.PutText(952, "LPS");  // the reader fills in the second orientation code
    for (const Track& track : merged.tracks) {
        image.AppendTrack(track.Count(), track.Body(int(scalars)));
    }
    return image.bytes;
}

const char kUsage[] = "Usage: fibrejoin INPUT_TRACK_FILE_1 INPUT_TRACK_FILE_2 ... OUTPUT_FILE \n";

TEST(Fibrejoin, UsageNeedsTwoInputsAndAnOutput) {
    TempDir dir;
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{}, {"a.trk"}, {"a.trk", dir.File("out.trk")}}) {
        const RunResult run = RunFibrejoin(dir, args);
        EXPECT_EQ(run.status, 1);
        EXPECT_EQ(run.out, kUsage);
        EXPECT_EQ(run.err, "");
    }
    EXPECT_FALSE(Exists(dir.File("out.trk")));
}

// Saves the inputs, merges them and compares the output with the file the rules call for.
void ExpectMerged(const TempDir& dir, const std::vector<TrackSet>& inputs) {
    std::vector<std::string> args;
    for (size_t k = 0; k < inputs.size(); ++k) {
        args.push_back(dir.File("in" + std::to_string(k) + ".trk"));
        inputs[k].Save(args.back());
    }
    args.push_back(dir.File("out.trk"));
    const RunResult run = RunFibrejoin(dir, args);
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out + run.err, "");
    EXPECT_EQ(FirstDifference(ReadBytes(args.back()), ExpectedMerge(inputs)), "");
}

TEST(Fibrejoin, MergesTracksAndTagsTheirInput) {
    TempDir dir;
    // 3 and 4 tracks (some of zero points), the second in the other byte order.
    std::vector<TrackSet> inputs = {MakeSet(0, 3, {"fa"}, {"len", "w"}),
                                    MakeSet(1, 4, {"md"}, {"x", "y"})};
    inputs[1].foreign = true;
    ExpectMerged(dir, inputs);

    // 2 and 3 scalars: the second input's names and scalars, zeros for the first input's;
    // properties by position, the missing ones 0.
    ExpectMerged(
        dir, {MakeSet(0, 2, {"a", "b"}, {"p", "q", "r"}), MakeSet(1, 3, {"x", "y", "z"}, {"p"})});

    // More than ten scalars is legal: only the ten name slots are taken over.
    const std::vector<std::string> many(12, "s");
    ExpectMerged(dir, {MakeSet(0, 2, many, {}), MakeSet(1, 2, many, {})});
}

TEST(Fibrejoin, GridMustMatchTheFirstInput) {
    TempDir dir;
    const std::string a = dir.File("a.trk"), b = dir.File("b.trk"), out = dir.File("out.trk");
    const std::string mismatch =
        "Input tracks have unmatched dimension and/or voxel_size from " + b + "\n";
    TrackSet first = MakeSet(0, 1, {}, {}), second = MakeSet(1, 1, {}, {});
    first.fields.voxel[0] = 1.0f;
    first.Save(a);

    second.fields.voxel[0] = 1.000005f;
    second.Save(b);
    EXPECT_EQ(RunFibrejoin(dir, {a, b, out}).status, 0);
    std::remove(out.c_str());

    second.fields.voxel[0] = 1.0001f;
    second.Save(b);
    RunResult run = RunFibrejoin(dir, {a, b, out});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err, mismatch);
    EXPECT_FALSE(Exists(out));

    second.fields.voxel[0] = 1.0f;
    second.fields.dims[2] = 31;
    second.Save(b);
    run = RunFibrejoin(dir, {a, b, out});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, mismatch);

    // A missing second input counts as the default header, whose grid is all zero.
    std::remove(b.c_str());
    run = RunFibrejoin(dir, {a, b, out});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, mismatch);
    EXPECT_FALSE(Exists(out));

    // With an all-zero first grid it passes and the copy pass stops at it.
    for (int i = 0; i < 3; ++i)
        first.fields.dims[i] = 0, first.fields.voxel[i] = 0;
    first.Save(a);
    run = RunFibrejoin(dir, {a, b, out});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err, "Can not open track file " + b + "\n");
    const Bytes written = ReadBytes(out);
    EXPECT_EQ(Int32At(written, 988), 0);
    EXPECT_EQ(written.size(), 1000 + 8 + 12 * size_t(first.tracks[0].Count()));  // tagged

    // A first input that cannot be opened.
    run = RunFibrejoin(dir, {dir.File("missing.trk"), a, out});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out, "Can not open track file " + dir.File("missing.trk") + "\n");
    EXPECT_EQ(run.err, "");
}

TEST(Fibrejoin, DamagedInputs) {
    TempDir dir;
    const std::string a = dir.File("a.trk"), b = dir.File("b.trk"), out = dir.File("out.trk");
    MakeSet(0, 3, {"s"}, {"p"}).Save(a);
    const TrackSet second = MakeSet(1, 3, {"s"}, {"p"});
    FileImage damaged = MakeHeader(second.fields);
    damaged.AppendTrack(second.tracks[2].Count(), second.tracks[2].Body(1));

    // A body cut short stops the merge; the output keeps its tracks and a count of 0.
    FileImage cut = damaged;
    cut.bytes.pop_back();
    cut.Save(b);
    RunResult run = RunFibrejoin(dir, {a, b, out});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out, "Can not read track data from " + b + "\n");
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(Int32At(ReadBytes(out), 988), 0);

    // A point count cut short simply ends that input.
    cut = damaged;
    cut.AppendInt32(5);
    cut.bytes.pop_back();
    cut.Save(b);
    run = RunFibrejoin(dir, {
                                a,
                                b,
                                out,
                            });
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(Int32At(ReadBytes(out), 988), 4);

    // Negative and huge point counts are refused before anything is allocated for them.
    for (int n : {-1, 0x7fffffff}) {
        cut = damaged;
        cut.AppendTrack(n, {1, 2, 3, 4});
        cut.Save(b);
        run = RunFibrejoin(dir, {a, b, out});
        EXPECT_EQ(run.status, 1) << n;
        EXPECT_EQ(run.out, "Can not read track data from " + b + "\n");
    }

    // Counts that describe no record layout, or leave no slot for the tag, are refused for
    // every input, the first included, before the output is created.
    std::remove(out.c_str());
    for (int field : {36, 238}) {
        for (int16_t value : {int16_t(-1), int16_t(10)}) {
            if (field == 36 && value == 10) continue;  // ten scalars are fine
            for (const std::string& target : {a, b}) {
                FileImage bad = MakeHeader(second.fields);
                bad.PutInt16(field, value);
                bad.Save(target);
                MakeSet(0, 1, {"s"}, {"p"}).Save(target == a ? b : a);
                run = RunFibrejoin(dir, {a, b, out});
                EXPECT_EQ(run.status, 1);
                EXPECT_EQ(run.out, "");
                EXPECT_EQ(run.err,
                          "Unsupported scalar_count and/or property_count from " + target + "\n");
                EXPECT_FALSE(Exists(out));
            }
        }
    }
}

TEST(Fibrejoin, RefusesToOverwriteAnInput) {
    TempDir dir;
    const std::string a = dir.File("a.trk"), b = dir.File("b.trk");
    MakeSet(0, 2, {}, {}).Save(a);
    MakeSet(1, 2, {}, {}).Save(b);
    const Bytes original = ReadBytes(b);
    ASSERT_EQ(symlink(b.c_str(), dir.File("link.trk").c_str()), 0);
    ASSERT_EQ(link(b.c_str(), dir.File("hard.trk").c_str()), 0);
    for (const std::string& out :
         {b, dir.File("link.trk"), dir.File("hard.trk"), dir.File("./b.trk")}) {
        const RunResult run = RunFibrejoin(dir, {a, b, out});
        EXPECT_EQ(run.status, 1);
        EXPECT_EQ(run.out, "Can not write track file " + out + "\n");
        EXPECT_EQ(ReadBytes(b), original);
    }
    const RunResult run = RunFibrejoin(dir, {a, b, dir.File("no/such/dir.trk")});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out, "Can not write track file " + dir.File("no/such/dir.trk") + "\n");
}

TEST(Fibrejoin, RandomisedRoundTrip) {
    TempDir dir;
    std::mt19937 random(20261205);
    auto below = [&](int n) { return int(random() % unsigned(n)); };
    for (int round = 0; round < 25; ++round) {
        SCOPED_TRACE(round);
        std::vector<TrackSet> inputs;
        for (int k = 2 + below(3); k > 0; --k) {
            std::vector<std::string> scalar_names(below(4));
            for (std::string& name : scalar_names)
                name = "s" + std::to_string(below(99));
            inputs.push_back(MakeSet(random(), below(12), scalar_names,
                                     std::vector<std::string>(below(5), "p"), 60));
            TrackSet& set = inputs.back();
            set.foreign = below(2);
            if (!set.foreign && below(4) == 0) set.fields.header_size = 0;
            if (below(3) == 0) set.fields.track_count = 0;  // count unknown
        }
        // Headers of either byte order or size mark, with or without a track count.
        ExpectMerged(dir, inputs);

        // The library reads the merged file back to the same tracks.
        CTrackReader reader;
        TRACK_HEADER header;
        ASSERT_TRUE(reader.Open(dir.File("out.trk").c_str(), &header));
        std::vector<float> expected_tags, tags;
        for (size_t k = 0; k < inputs.size(); ++k) {
            expected_tags.insert(expected_tags.end(), inputs[k].tracks.size(), float(k));
        }
        EXPECT_EQ(reader.GetNumberOfTracks(), int(expected_tags.size()));
        int n;
        std::vector<float> points, scalars, properties(header.property_count);
        while (reader.GetNextPointCount(&n)) {
            points.resize(3 * n);
            scalars.resize(size_t(header.scalar_count) * n);
            ASSERT_TRUE(
                reader.GetNextTrackData(n, points.data(), scalars.data(), properties.data()));
            tags.push_back(properties.back());
        }
        EXPECT_EQ(tags, expected_tags);
    }
}

}  // namespace
