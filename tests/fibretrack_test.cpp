// Command-line tests of fibretrack: the built binary on a small oblique tensor image, checked
// through the track-file layer and the merge command.
#include <sys/wait.h>

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <tuple>
#include <vector>

#include "track_files.h"
#include "trackio/TrackFile.h"
#include "volume/NiftiVolume.h"

using namespace testing_files;
using namespace fibrejoin;

namespace {

// Runs a shell command line with fibretrack's path in $T and fibrejoin's in $J.
RunResult Shell(const TempDir& dir, const std::string& line) {
    const std::string err = dir.File("stderr.txt");
    const std::string command = "T='" FIBRETRACK_BIN "' J='" FIBREJOIN_BIN "'; cd '" +
                                dir.File("") + "' && { " + line + " ; } 2>" + err;
    const int status = std::system(command.c_str());
    const Bytes bytes = ReadBytes(err);
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, "",
            std::string(bytes.begin(), bytes.end())};
}

// A 12 x 10 x 8 grid of 2 x 2 x 2.5 mm voxels, rotated 30 degrees about z with x flipped and
// shifted, whose fibres turn slowly with y; six volumes in the toolkit's order.
Image TensorImageOnObliqueGrid() {
    Image image;
    image.dims = {12, 10, 8, 6};
    image.voxelSize = {2, 2, 2.5f};
    const double c = std::cos(0.5236), s = std::sin(0.5236);
    image.voxelToWorld = {-2 * c, -2 * s, 0, 10, -2 * s, 2 * c, 0, -20, 0, 0, 2.5, 5, 0, 0, 0, 1};
    const int64_t voxels = image.VoxelsPerVolume();
    image.voxels.resize(size_t(6 * voxels));
    for (int64_t v = 0; v < voxels; ++v) {
        const double angle = 0.15 * double((v / 12) % 10);
        const double e[3] = {std::cos(angle) * 0.98, std::sin(angle) * 0.98, 0.2};
        const int pairs[6][2] = {{0, 0}, {0, 1}, {0, 2}, {1, 1}, {1, 2}, {2, 2}};
        for (int k = 0; k < 6; ++k) {
            const int a = pairs[k][0], b = pairs[k][1];
            image.voxels[size_t(k * voxels + v)] = float((a == b ? 0.3 : 0) + 1.4 * e[a] * e[b]);
        }
    }
    return image;
}

class FibretrackTest : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string message;
        ASSERT_TRUE(WriteImage(dir.File("tensor.nii.gz"), TensorImageOnObliqueGrid(),
                               VoxelType::Float32, message))
            << message;
        Image mask = TensorImageOnObliqueGrid();
        mask.dims[3] = 1;
        mask.voxels.assign(size_t(mask.VoxelsPerVolume()), 1.0f);
        ASSERT_TRUE(WriteImage(dir.File("mask.nii"), mask, VoxelType::UInt8, message)) << message;
        mask.dims[0] = 11;
        mask.voxels.resize(size_t(mask.VoxelsPerVolume()));
        ASSERT_TRUE(WriteImage(dir.File("small.nii"), mask, VoxelType::UInt8, message));
    }
    TrackSet Load(const std::string& name, TrackFileHeader& header) {
        TrackSet tracks;
        std::string message;
        EXPECT_TRUE(LoadTracks(dir.File(name), header, tracks, message)) << message;
        return tracks;
    }
    bool Exists(const std::string& name) { return std::filesystem::exists(dir.File(name)); }
    // Files of the folder other than the inputs and the captured messages.
    std::vector<std::string> Outputs() {
        std::vector<std::string> names;
        for (const auto& entry : std::filesystem::directory_iterator(dir.File(""))) {
            const std::string name = entry.path().filename();
            if (name.rfind(".nii") == std::string::npos && name != "stderr.txt")
                names.push_back(name);
        }
        return names;
    }

    TempDir dir;
};

TEST_F(FibretrackTest, OutputDoesNotDependOnThreadsAndShardsMergeIntoTheWholeRun) {
    const std::string common = "$T -q --seeds-per-voxel 3 --rng-seed 7 tensor.nii.gz ";
    ASSERT_EQ(Shell(dir, common + "one.trk --threads 1").status, 0);
    ASSERT_EQ(Shell(dir, common + "two.trk --threads 2").status, 0);
    EXPECT_EQ(ReadBytes(dir.File("one.trk")), ReadBytes(dir.File("two.trk")));
    for (int k = 0; k < 3; ++k) {
        const std::string shard = std::to_string(k);
        ASSERT_EQ(Shell(dir, common + "--shard " + shard + "/3 part" + shard + ".trk").status, 0);
    }
    ASSERT_EQ(Shell(dir, "$J part0.trk part1.trk part2.trk merged.trk").status, 0);

    TrackFileHeader wholeHeader, mergedHeader;
    const TrackSet whole = Load("one.trk", wholeHeader), merged = Load("merged.trk", mergedHeader);
    ASSERT_GT(whole.TrackCount(), 500u);
    EXPECT_EQ(merged.offsets, whole.offsets);
    EXPECT_EQ(merged.points, whole.points);
    ASSERT_EQ(mergedHeader.propertyNames, std::vector<std::string>{"DataSetID"});
    // Each shard's tracks carry its number, in order and in contiguous blocks.
    EXPECT_EQ(merged.properties.front(), 0.0f);
    EXPECT_EQ(merged.properties.back(), 2.0f);
    EXPECT_TRUE(std::is_sorted(merged.properties.begin(), merged.properties.end()));

    // Another jitter seed gives other seeds.
    ASSERT_EQ(Shell(dir, "$T -q --seeds-per-voxel 3 --rng-seed 8 tensor.nii.gz other.trk").status,
              0);
    EXPECT_NE(ReadBytes(dir.File("other.trk")), ReadBytes(dir.File("one.trk")));
}

TEST_F(FibretrackTest, TrkAndTckPlaceTracksAtTheImagesWorldPositions) {
    ASSERT_EQ(Shell(dir, "$T -q --mask mask.nii tensor.nii.gz a.trk").status, 0);
    ASSERT_EQ(Shell(dir, "$T -q --mask mask.nii tensor.nii.gz a.tck").status, 0);
    TrackFileHeader trkHeader, tckHeader;
    const TrackSet trk = Load("a.trk", trkHeader), tck = Load("a.tck", tckHeader);
    const Image image = TensorImageOnObliqueGrid();
    for (int i = 0; i < 16; ++i)
        EXPECT_NEAR(trkHeader.voxelToWorld[i], image.voxelToWorld[i], 1e-5);
    EXPECT_EQ(trkHeader.orientation, "LAS");
    ASSERT_EQ(trk.offsets, tck.offsets);
    ASSERT_GT(trk.TrackCount(), 100u);
    // world = M (p / voxel size - 1/2), p being the track-space point in mm.
    for (size_t p = 0; p < trk.points.size() / 3; ++p) {
        double voxel[3];
        for (int a = 0; a < 3; ++a)
            voxel[a] = trk.points[3 * p + a] / image.voxelSize[a] - 0.5;
        for (int row = 0; row < 3; ++row) {
            const double* m = &image.voxelToWorld[4 * row];
            const double world = m[0] * voxel[0] + m[1] * voxel[1] + m[2] * voxel[2] + m[3];
            ASSERT_NEAR(tck.points[3 * p + row], world, 1e-4) << "point " << p;
        }
    }
}

TEST_F(FibretrackTest, RefusalsNameTheFileAndTheReason) {
    WriteBytes(dir.File("old.trk"), {1, 2, 3});
    const std::vector<std::tuple<std::string, int, std::string>> cases = {
        {"$T", 2, "TENSOR is required"},
        {"$T --method euler tensor.nii.gz a.trk", 2, "euler not in"},
        {"$T --shard 3/3 tensor.nii.gz a.trk", 2, "--shard 3/3"},
        {"$T --threads 0 tensor.nii.gz a.trk", 2, "--threads"},
        {"$T missing.nii.gz a.trk", 1, "missing.nii.gz"},
        {"$T mask.nii a.trk", 1, "mask.nii: 1 volume"},
        {"$T --mask small.nii tensor.nii.gz a.trk", 1, "small.nii: the mask grid (11x10x8)"},
        {"$T --seeds small.nii tensor.nii.gz a.trk", 1, "small.nii: the seed grid"},
        {"$T tensor.nii.gz nowhere/a.trk", 1, "the folder nowhere does not exist"},
        {"$T tensor.nii.gz a.vtk", 1, "a.vtk"},
        {"$T tensor.nii.gz old.trk", 1, "old.trk: exists already"},
    };
    for (const auto& [line, status, message] : cases) {
        const RunResult run = Shell(dir, line);
        EXPECT_EQ(run.status, status) << line;
        EXPECT_NE(run.err.find(message), std::string::npos) << line << "\n" << run.err;
    }
    EXPECT_EQ(Outputs(), std::vector<std::string>{"old.trk"});
    EXPECT_EQ(ReadBytes(dir.File("old.trk")), (Bytes{1, 2, 3}));
    EXPECT_EQ(Shell(dir, "$T --help >/dev/null").status, 0);
    EXPECT_EQ(Shell(dir, "$T --version | grep -q 'fibretrack [0-9]'").status, 0);
}

TEST_F(FibretrackTest, AFailedOrInterruptedRunLeavesTheOlderOutputAlone) {
    WriteBytes(dir.File("old.trk"), {1, 2, 3});
    // A file-size limit of 1 KiB stops the writes past the header.
    RunResult run = Shell(dir, "ulimit -f 2; $T -q -f --seeds-per-voxel 5 tensor.nii.gz old.trk");
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find("old.trk: cannot write"), std::string::npos) << run.err;
    EXPECT_EQ(Outputs(), std::vector<std::string>{"old.trk"});
    EXPECT_EQ(ReadBytes(dir.File("old.trk")), (Bytes{1, 2, 3}));

    // Interrupted once its temporary output exists, that is once the run is under way.
    run = Shell(dir,
                "$T -f --seeds-per-voxel 1000 tensor.nii.gz old.trk & i=0; "
                "while ! ls old.trk.tmp-* >/dev/null 2>&1 && [ $i -lt 400 ]; do "
                "sleep 0.05; i=$((i+1)); done; kill -INT $!; wait $!");
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find("old.trk: interrupted"), std::string::npos) << run.err;
    EXPECT_EQ(Outputs(), std::vector<std::string>{"old.trk"});
    EXPECT_EQ(ReadBytes(dir.File("old.trk")), (Bytes{1, 2, 3}));
}

}  // namespace
