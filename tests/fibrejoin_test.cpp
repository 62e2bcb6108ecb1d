// Command-line tests: run the built fibrejoin binary and check its exit status, its messages on
// each stream, and the bytes of the file it writes.
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "track_files.h"

using namespace testing_files;

namespace {

RunResult RunFibrejoin(const TempDir& dir, const std::vector<std::string>& args) {
    return RunProgram(dir, FIBREJOIN_BIN, args);
}

using TrackSet = TrackFile;

// As many tracks as the header's count, of 0 to `max_points` points, with values drawn from
// `seed`.
TrackSet MakeSet(unsigned seed, const HeaderFields& fields, int max_points = 4) {
    std::mt19937 random(seed);
    std::uniform_real_distribution<float> value(-500.0f, 500.0f);
    TrackSet set{fields, {}};
    for (int t = 0; t < fields.track_count; ++t) {
        const size_t n = random() % unsigned(max_points + 1);
        Track track{std::vector<float>(3 * n),
                    std::vector<float>(set.fields.scalar_names.size() * n),
                    std::vector<float>(set.fields.property_names.size())};
        for (std::vector<float>* values : {&track.points, &track.scalars, &track.properties})
            for (float& v : *values)
                v = value(random);
        set.tracks.push_back(track);
    }
    return set;
}

// The file the merge must write for `inputs`, built from the rules of the merge: the first
// input's header with each wider name table copied over it name by name (a name ends at its own
// zero byte, the rest of its slot is kept), "DataSetID" last, zero scalars for narrower inputs,
// properties by position.
Bytes ExpectedMerge(const std::vector<TrackSet>& inputs) {
    HeaderFields merged = inputs[0].fields;
    merged.track_count = 0;
    for (const TrackSet& input : inputs)
        merged.track_count += int32_t(input.tracks.size());
    merged.header_size = 1000;
    merged.secondary_orientation = "LPS";  // the reader fills in the second orientation code
    FileImage image = MakeHeader(merged);
    std::vector<std::string> scalar_names = merged.scalar_names;
    std::vector<std::string> property_names = merged.property_names;
    for (const TrackSet& input : inputs) {
        for (auto table : {std::make_pair(&scalar_names, &input.fields.scalar_names),
                           std::make_pair(&property_names, &input.fields.property_names)}) {
            if (table.second->size() <= table.first->size()) continue;
            *table.first = *table.second;
            const size_t at = table.first == &scalar_names ? 38 : 240;
            for (size_t i = 0; i < table.first->size() && i < 10; ++i)
                image.PutText(at + 20 * i, (*table.first)[i].substr(0, 19).c_str());
        }
    }
    property_names.push_back("DataSetID");
    image.PutInt16(36, int16_t(scalar_names.size()));
    image.PutInt16(238, int16_t(property_names.size()));
    image.PutText(240 + 20 * (property_names.size() - 1), "DataSetID");
    for (size_t k = 0; k < inputs.size(); ++k) {
        for (Track track : inputs[k].tracks) {
            if (track.scalars.size() != scalar_names.size() * track.Count())
                track.scalars.assign(scalar_names.size() * track.Count(), 0.0f);
            track.properties.resize(property_names.size(), 0.0f);
            track.properties.back() = float(k);
            image.AppendTrack(track);
        }
    }
    return image.bytes;
}

TEST(Fibrejoin, MergesToTheBytesTheRulesCallFor) {
    TempDir dir;
    std::mt19937 random(20261205);
    auto below = [&](int n) { return int(random() % unsigned(n)); };
    for (int round = 0; round < 25; ++round) {
        SCOPED_TRACE(round);
        std::vector<TrackSet> inputs;
        for (int k = 2 + below(3); k > 0; --k) {
            // Up to three scalars, up to four properties, either byte order or size mark, with
            // or without a count. In the first round one long name, then twelve short ones:
            // only ten are taken over, each cut at its own end.
            std::vector<std::string> scalar_names(round > 0 ? below(4) : inputs.empty() ? 1 : 12);
            for (std::string& name : scalar_names)
                name =
                    round == 0 && inputs.empty() ? "first_scalar" : "s" + std::to_string(below(99));
            inputs.push_back(MakeSet(
                random(), {scalar_names, std::vector<std::string>(below(5), "p"), below(12)}, 60));
            TrackSet& set = inputs.back();
            set.foreign = below(2);
            if (!set.foreign && below(4) == 0) set.fields.header_size = 0;
            if (below(3) == 0) set.fields.track_count = 0;
        }
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
}

// A wider name table taken over from a later input: names that fill their 20 bytes are cut to 19
// characters, and of twelve names ten are copied, leaving the property table after them alone.
TEST(Fibrejoin, TakesOverAWiderTableOfLongNames) {
    TempDir dir;
    const std::vector<TrackSet> inputs = {
        MakeSet(1, {{"s"}, {"p1", "p2", "p3"}, 2}),
        MakeSet(2, {std::vector<std::string>(12, std::string(20, 'w')), {"q"}, 2})};
    const std::string a = dir.File("a.trk"), b = dir.File("b.trk"), out = dir.File("out.trk");
    inputs[0].Save(a);
    inputs[1].Save(b);
    ASSERT_EQ(RunFibrejoin(dir, {a, b, out}).status, 0);
    EXPECT_EQ(FirstDifference(ReadBytes(out), ExpectedMerge(inputs)), "");
}

TEST(Fibrejoin, RefusalsAndTheirMessages) {
    TempDir dir;
    const std::string a = dir.File("a.trk"), b = dir.File("b.trk"), out = dir.File("out.trk");
    const std::string missing = dir.File("missing.trk");
    // Runs the command; output_count is the track count the output's header must hold, or -1
    // when no output may exist.
    auto expect = [&](const std::vector<std::string>& args, int status, const std::string& out_text,
                      const std::string& err_text, int output_count) {
        std::remove(out.c_str());
        const RunResult run = RunFibrejoin(dir, args);
        EXPECT_EQ(run.status, status);
        EXPECT_EQ(run.out, out_text);
        EXPECT_EQ(run.err, err_text);
        if (output_count < 0) {
            EXPECT_NE(access(out.c_str(), F_OK), 0);
        } else {
            EXPECT_EQ(Int32At(ReadBytes(out), 988), output_count);
        }
    };
    const std::string usage =
        "Usage: fibrejoin INPUT_TRACK_FILE_1 INPUT_TRACK_FILE_2 ... OUTPUT_FILE \n";
    for (const std::vector<std::string>& args : {std::vector<std::string>{}, {a}, {a, out}})
        expect(args, 1, usage, "", -1);

    TrackSet first = MakeSet(0, {{"s"}, {"p"}, 3}), second = MakeSet(1, {{"s"}, {"p"}, 3});
    first.Save(a);
    expect({missing, a, out}, 1, "Can not open track file " + missing + "\n", "", -1);

    // The grid: voxel sizes within 0.00001 pass; one further off, or another first or last
    // dimension, fails, and so does a missing input (the all-zero grid).
    const std::string mismatch =
        "Input tracks have unmatched dimension and/or voxel_size from " + b + "\n";
    for (int change = 0; change < 4; ++change) {
        TrackSet other = second;
        other.fields.voxel[0] = change == 0 ? 1.000005f : change == 1 ? 1.0001f : 1.0f;
        other.fields.dims[change == 3 ? 2 : 0] += change / 2;
        other.Save(b);
        expect({a, b, out}, change ? 1 : 0, "", change ? mismatch : "", change ? -1 : 6);
    }
    std::remove(b.c_str());
    expect({a, b, out}, 1, "", mismatch, -1);
    // With an all-zero first grid the check passes and the copy stops at the missing input,
    // leaving the first input's tracks and a count of 0.
    TrackSet zero_grid = first;
    for (int i = 0; i < 3; ++i)
        zero_grid.fields.dims[i] = 0, zero_grid.fields.voxel[i] = 0;
    zero_grid.Save(a);
    expect({a, b, out}, 1, "", "Can not open track file " + b + "\n", 0);
    EXPECT_EQ(ReadBytes(out).size(), first.Image().bytes.size() + 3 * 4);  // tagged
    first.Save(a);

    // Damaged records: a body cut short stops the merge; a point count cut short ends the input;
    // negative and huge counts are refused before anything is allocated for them.
    const std::string unreadable = "Can not read track data from " + b + "\n";
    for (int damage = 0; damage < 4; ++damage) {
        FileImage damaged = second.Image();
        if (damage == 1) damaged.AppendInt32(5);
        if (damage >= 2) damaged.AppendTrack(damage == 2 ? -1 : INT_MAX, {1, 2, 3, 4});
        if (damage <= 1) damaged.bytes.pop_back();
        damaged.Save(b);
        expect({a, b, out}, damage == 1 ? 0 : 1, damage == 1 ? "" : unreadable, "",
               damage == 1 ? 6 : 0);
    }

    // Counts that describe no record layout, or leave no slot for the tag, are refused for any
    // input before the output is created.
    for (int field : {36, 238, 238 + 1000}) {
        for (const std::string& target : {a, b}) {
            TrackFile bad = second;
            (field == 36 ? bad.fields.scalar_count : bad.fields.property_count) =
                field > 1000 ? 10 : -1;
            first.Save(target == a ? b : a);
            bad.Save(target);
            expect({a, b, out}, 1, "",
                   "Unsupported scalar_count and/or property_count from " + target + "\n", -1);
        }
    }

    // The output may not be an input, through any path; nor lie in a missing folder.
    second.Save(b);
    const Bytes original = ReadBytes(b);
    ASSERT_EQ(symlink(b.c_str(), dir.File("link.trk").c_str()), 0);
    ASSERT_EQ(link(b.c_str(), dir.File("hard.trk").c_str()), 0);
    for (const std::string& target : {a, b, dir.File("link.trk"), dir.File("hard.trk"),
                                      dir.File("./b.trk"), dir.File("no/such/dir.trk")}) {
        const RunResult run = RunFibrejoin(dir, {a, b, target});
        EXPECT_EQ(run.status, 1);
        EXPECT_EQ(run.out, "Can not write track file " + target + "\n");
        EXPECT_EQ(ReadBytes(b), original);
    }
}

}  // namespace
