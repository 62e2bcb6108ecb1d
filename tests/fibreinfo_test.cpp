// fibreinfo and the library under it: figures of files whose contents the test knows, in both
// formats and byte orders, a damaged file, a merge of three sources; the picture's form and size.
#include <sys/wait.h>

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <string>
#include <vector>

#include "track_files.h"
#include "trackio/TrackPicture.h"
#include "trackio/TrackSummary.h"

using namespace testing_files;

namespace {

RunResult Info(const TempDir& dir, const std::vector<std::string>& args) {
    return RunProgram(dir, FIBREINFO_BIN, args);
}

// Three tracks of lengths 5, 20 and 1 mm (7 points): min 1, median 5, mean 26 / 3, max 20.
std::vector<Track> KnownTracks() {
    return {{{0, 0, 0, 3, 4, 0}, {}, {}},
            {{0, 0, 0, 6, 8, 0, 6, 8, 10}, {}, {}},
            {{1, 1, 1, 1, 1, 2}, {}, {}}};
}

// A .trk file of these tracks stating `stored_count` tracks.
FileImage Trk(const std::vector<Track>& tracks = KnownTracks(), bool foreign = false,
              int32_t stored_count = 3) {
    TrackFile file{{}, tracks, foreign};
    file.fields.track_count = stored_count;
    return file.Image();
}

// A .tck file laid out by hand: text header, float32 triplets, NaN after each track, Inf at the
// end.
void SaveTck(const std::string& path, const std::vector<Track>& tracks, bool big_endian) {
    std::string text = "mrtrix tracks\ndatatype: Float32" + std::string(big_endian ? "BE" : "LE") +
                       "\ncount: " + std::to_string(tracks.size()) + "\nfile: . 100\nEND\n";
    FileImage image(big_endian);
    image.bytes.assign(100, ' ');
    std::copy(text.begin(), text.end(), image.bytes.begin());
    for (const Track& track : tracks) {
        image.AppendFloats(track.points);
        image.AppendFloats({NAN, NAN, NAN});
    }
    image.AppendFloats({INFINITY, INFINITY, INFINITY});
    image.Save(path);
}

void ExpectKnownFigures(const fibrejoin::TrackSummary& s) {
    EXPECT_EQ(std::make_tuple(s.complete, s.tracks, s.points, s.CountsAgree()),
              std::make_tuple(true, int64_t{3}, int64_t{7}, true))
        << s.damage;
    EXPECT_NEAR(s.minLengthMm, 1, 1e-6);
    EXPECT_NEAR(s.medianLengthMm, 5, 5 * fibrejoin::kMedianRelativeResolution);
    EXPECT_NEAR(s.meanLengthMm, 26.0 / 3, 1e-6);
    EXPECT_NEAR(s.maxLengthMm, 20, 1e-6);
}

TEST(TrackSummary, KnownFiguresInBothFormatsAndByteOrders) {
    TempDir dir;
    for (bool foreign : {false, true}) {
        SCOPED_TRACE(foreign ? "big-endian" : "little-endian");
        const std::string trk = dir.File("t.trk"), tck = dir.File("t.tck");
        Trk(KnownTracks(), foreign).Save(trk);
        SaveTck(tck, KnownTracks(), foreign);
        for (const std::string& path : {trk, tck}) {
            fibrejoin::TrackSummary summary;
            std::string message;
            ASSERT_TRUE(fibrejoin::SummariseTrackFile(path, summary, message)) << message;
            ExpectKnownFigures(summary);
            EXPECT_EQ(std::tie(summary.header.foreignByteOrder, summary.hasSources),
                      std::make_tuple(foreign, false));
        }
        // The command says the same, in words and in JSON.
        const RunResult words = Info(dir, {trk, tck});
        EXPECT_EQ(words.status, 0) << words.err;
        ExpectIn(words.out, "3 read; the header says the same");
        ExpectIn(words.out, "min 1.00, median 5.00, mean 8.67, max 20.00");
        ExpectIn(words.out, foreign ? "big-endian" : "little-endian");
        const RunResult json = Info(dir, {"--json", trk, tck});
        EXPECT_EQ(json.status, 0) << json.err;
        EXPECT_EQ(std::count(json.out.begin(), json.out.end(), '\n'), 2);
        for (const char* key : {"\"tracks\":3,", "\"points\":7,", "\"stored_track_count\":3,",
                                "\"counts_agree\":true", "\"format\":\"tck\"", "\"complete\":true"})
            ExpectIn(json.out, key);
    }
}

TEST(TrackSummary, StoredCountThatDiffersAndMedianOfAnEvenCount) {
    TempDir dir;
    std::vector<Track> tracks = KnownTracks();
    tracks.push_back({{0, 0, 0, 0, 0, 7}, {}, {}});  // lengths 1, 5, 7, 20: median 6
    Trk(tracks, false, 9).Save(dir.File("t.trk"));
    fibrejoin::TrackSummary summary;
    std::string message;
    ASSERT_TRUE(fibrejoin::SummariseTrackFile(dir.File("t.trk"), summary, message));
    EXPECT_FALSE(summary.CountsAgree());
    EXPECT_NEAR(summary.medianLengthMm, 6, 6 * fibrejoin::kMedianRelativeResolution);
    const RunResult run = Info(dir, {dir.File("t.trk")});
    ExpectIn(run.out, "the header says 9 (they DIFFER)");

    // The histogram: within its resolution over its range, clamped to the values seen.
    fibrejoin::LengthHistogram histogram;
    for (double value : {0.0, 0.002, 123.456, 9e5, 2e7})
        histogram.Add(value);
    EXPECT_NEAR(histogram.Median(), 123.456, 123.456 * fibrejoin::kMedianRelativeResolution);
    fibrejoin::LengthHistogram one;
    one.Add(3e7);
    EXPECT_EQ(one.Median(), 3e7);
}

TEST(TrackSummary, DamagedAndUnreadableFiles) {
    TempDir dir;
    // The third track claims 1000 points the file does not hold.
    std::vector<Track> tracks = KnownTracks();
    tracks.pop_back();
    FileImage image = Trk(tracks, false, 3);
    const size_t damaged_at = image.bytes.size();
    image.AppendTrack(1000, {1, 2, 3});
    image.Save(dir.File("damaged.trk"));

    fibrejoin::TrackSummary summary;
    std::string message;
    ASSERT_TRUE(fibrejoin::SummariseTrackFile(dir.File("damaged.trk"), summary, message));
    EXPECT_EQ(std::make_tuple(summary.complete, summary.tracks, summary.maxLengthMm),
              std::make_tuple(false, int64_t{2}, 20.0));
    ExpectIn(summary.damage, std::to_string(damaged_at));

    const RunResult words = Info(dir, {dir.File("damaged.trk")});
    EXPECT_EQ(words.status, 1);
    ExpectIn(words.out, "DAMAGED");
    ExpectIn(words.out, "2 read");
    ExpectIn(words.err, "damaged.trk");
    const RunResult json = Info(dir, {"--json", dir.File("damaged.trk")});
    EXPECT_EQ(json.status, 1);
    ExpectIn(json.out, "\"complete\":false,\"damage\":{");

    // A missing file: a message naming it, exit 1, and the next file is still reported.
    Trk().Save(dir.File("good.trk"));
    const RunResult missing = Info(dir, {"--json", dir.File("missing.trk"), dir.File("good.trk")});
    EXPECT_EQ(missing.status, 1);
    ExpectIn(missing.err, "missing.trk");
    ExpectIn(missing.out, "\"error\":");
    ExpectIn(missing.out, "\"tracks\":3,");
}

TEST(TrackSummary, UsageErrors) {
    TempDir dir;
    Trk().Save(dir.File("a.trk"));
    const std::string a = dir.File("a.trk"), svg = dir.File("a.svg");
    EXPECT_EQ(Info(dir, {}).status, 2);
    EXPECT_EQ(Info(dir, {"--picture", svg, a, a}).status, 2);
    EXPECT_EQ(Info(dir, {"--picture", svg, "--colour-by", "mood", a}).status, 2);
    EXPECT_EQ(Info(dir, {"--colour-by", "source", a}).status, 2);  // needs --picture
    EXPECT_EQ(Info(dir, {"--help"}).status, 0);
    // Colouring by source needs the DataSetID property.
    const RunResult no_source = Info(dir, {"--picture", svg, "--colour-by", "source", a});
    EXPECT_EQ(no_source.status, 1);
    ExpectIn(no_source.err, "DataSetID");
    EXPECT_EQ(Info(dir, {"--picture", svg, a}).status, 0);
    EXPECT_EQ(Info(dir, {"--picture", svg, a}).status, 1);  // exists: refused without --force
    EXPECT_EQ(Info(dir, {"--picture", svg, "--force", a}).status, 0);
}

bool HavePython() {
    return std::system("python3 -c 'import xml.etree.ElementTree' >/dev/null 2>&1") == 0;
}

// Parses the SVG with an XML parser and prints the text of every <text> element, one a line.
std::string SvgTexts(const TempDir& dir, const std::string& svg) {
    const RunResult run = RunProgram(dir, "python3",
                                     {"-c",
                                      "import sys, xml.etree.ElementTree as E\n"
                                      "for t in E.parse(sys.argv[1]).iter("
                                      "\"{http://www.w3.org/2000/svg}text\"): print(t.text)",
                                      svg});
    EXPECT_EQ(run.status, 0) << run.err;
    return run.out;
}

TEST(TrackPicture, MergedFileOfThreeSourcesHasALegendNamingEach) {
    TempDir dir;
    std::vector<std::string> args;
    for (int source = 0; source < 3; ++source) {
        std::vector<Track> tracks = KnownTracks();
        tracks.resize(size_t(source + 1));  // sources of 1, 2 and 3 tracks
        args.push_back(dir.File("s" + std::to_string(source) + ".trk"));
        Trk(tracks, source == 1, int32_t(tracks.size())).Save(args.back());
    }
    args.push_back(dir.File("merged.trk"));
    ASSERT_EQ(RunProgram(dir, FIBREJOIN_BIN, args).status, 0);

    const RunResult json = Info(dir, {"--json", dir.File("merged.trk")});
    EXPECT_EQ(json.status, 0);
    EXPECT_NE(json.out.find("\"sources\":[{\"id\":0,\"tracks\":1,\"mean_length_mm\":5},"
                            "{\"id\":1,\"tracks\":2,\"mean_length_mm\":12.5},"
                            "{\"id\":2,\"tracks\":3,\"mean_length_mm\":8.66666"),
              std::string::npos)
        << json.out;

    const std::string svg = dir.File("merged.svg");
    const RunResult run =
        Info(dir, {"--picture", svg, "--colour-by", "source", dir.File("merged.trk")});
    ASSERT_EQ(run.status, 0) << run.err;
    if (!HavePython()) GTEST_SKIP() << "python3 is missing: the SVG is not parsed";
    const std::string texts = SvgTexts(dir, svg);
    for (const char* line :
         {"DataSetID 0: 1 tracks", "DataSetID 1: 2 tracks", "DataSetID 2: 3 tracks",
          "6 of 6 tracks drawn", "R", "L", "A", "P", "S", "I", "x (mm)", "z (mm)"})
        ExpectIn(texts, line);
}

TEST(TrackPicture, StaysSmallWhateverTheInput) {
    // 5000 long zig-zag tracks spanning a huge box: every segment changes colour.
    TempDir dir;
    fibrejoin::TrackFileHeader header = fibrejoin::MakeTrackFileHeader({10, 10, 10}, {1, 1, 1});
    header.space = fibrejoin::PointSpace::World;
    fibrejoin::TrackSet set;
    for (int t = 0; t < 5000; ++t) {
        fibrejoin::Track track;
        for (int p = 0; p < 300; ++p) {
            const float s = float(p % 3);
            track.points.insert(track.points.end(), {-9999.123f + float(t) * 3.7f + 51 * s,
                                                     -8888.8f + 77 * float(p % 2), 7777.7f * s});
        }
        set.Append(track);
    }
    std::string message;
    ASSERT_TRUE(fibrejoin::SaveTracks(dir.File("big.tck"), header, set, false, message)) << message;
    const std::string svg = dir.File("big.svg");
    const RunResult run = Info(dir, {"--picture", svg, dir.File("big.tck")});
    ASSERT_EQ(run.status, 0) << run.err;
    const size_t size = ReadBytes(svg).size();
    EXPECT_LT(size, fibrejoin::kMaxPictureBytes);
    EXPECT_GT(size, fibrejoin::kMaxPictureBytes / 10);  // the tracks are there
    if (!HavePython()) GTEST_SKIP() << "python3 is missing: the SVG is not parsed";
    ExpectIn(SvgTexts(dir, svg), "1000 of 5000 tracks drawn");
}

}  // namespace
