// toolkit_demo FOLDER: every module of the toolkit in one run, on a synthetic brain-like field.
//
//  1. Builds a 40 x 40 x 16 grid of 2 mm voxels holding a curved fibre bundle (half a turn of a
//     helix: a half ring in the xy-plane that rises along z) as diffusion tensors, and its mask.
//  2. Writes the mask as an Analyze volume (mask.hdr/.img) and the six tensor components as one
//     raw volume in the voxel-interleaved layout (tensors.raw), then reads both back.
//  3. Tracks from the centre of every mask voxel with each of the four methods and writes one
//     track file per method.
//  4. Merges the four files with fibrejoin, so that each track's DataSetID names its method.
//  5. Summarises the merged file (tracks and mean length per DataSetID) and draws it with the
//     picture module, the tracks projected on three planes, one colour per DataSetID.
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "examples/helix_field.h"
#include "merge/MergeCommand.h"
#include "tracking/Track.h"
#include "trackio/TrackIO.h"
#include "trackio/TrackPicture.h"
#include "trackio/TrackSummary.h"
#include "volume/AnalyzeVolume.h"
#include "volume/VolumeReader.h"

namespace {

using helix_field::Field;
using helix_field::kDims;
using helix_field::kVoxelSize;
using helix_field::MakeField;

constexpr int kMethods = 4;
const char* const kMethodNames[kMethods] = {"FACT", "fixed step", "Runge-Kutta", "tensorline"};
const char* const kMethodFiles[kMethods] = {"fact.trk", "fixed_step.trk", "runge_kutta.trk",
                                            "tensorline.trk"};

// Writes the field with the volume I/O and reads it back through the readers; false when what
// comes back differs from what was written.
bool RoundTripThroughVolumeFiles(const std::string& folder, Field& field) {
    const int nvox = kDims[0] * kDims[1] * kDims[2];
    const std::string mask_path = folder + "/mask.img", tensor_path = folder + "/tensors.raw";
    if (!CAnalyzeVolume::WriteVolume(mask_path.c_str(), kDims, kVoxelSize,
                                     reinterpret_cast<unsigned char*>(field.mask.data()), 4) ||
        !CVolumeReader::WriteRaw(tensor_path.c_str(), field.tensors.data(), 6 * int64_t(nvox))) {
        return false;
    }
    std::printf("wrote %s/mask.hdr and .img (Analyze, 16-bit) and %s (6 floats per voxel)\n",
                folder.c_str(), tensor_path.c_str());

    std::vector<short> mask(nvox);
    if (!CAnalyzeVolume::ReadAsShort(mask_path.c_str(), mask.data(), 0, 0)) return false;
    std::vector<float> tensors(6 * size_t(nvox));
    CVolumeReader reader;
    if (!reader.Open(tensor_path.c_str(), kDims, 1, 6, 4, 1, 1, 0)) return false;
    for (int k = 0; k < kDims[2]; ++k) {
        for (int j = 0; j < kDims[1]; ++j) {
            for (int i = 0; i < kDims[0]; ++i) {
                const int v = (k * kDims[1] + j) * kDims[0] + i;
                if (!reader.Read(&tensors[6 * size_t(v)], i, j, k)) return false;
            }
        }
    }
    reader.Close();
    const bool same = mask == field.mask && tensors == field.tensors;
    std::printf("read back the mask (ReadAsShort) and the tensors (one read per voxel): %s\n",
                same ? "identical" : "DIFFERENT");
    field.mask.swap(mask);
    field.tensors.swap(tensors);
    return same;
}

// Tracks from the centre of every mask voxel with one method; returns the tracks written.
int TrackAllSeeds(Field& field, int method, const std::string& path) {
    TRACK_HEADER header;
    for (int a = 0; a < 3; ++a) {
        header.dimension[a] = short(kDims[a]);
        header.voxel_size[a] = kVoxelSize[a];
    }
    CTrackWriter writer;
    if (!writer.Initialize(path.c_str(), header)) return -1;
    for (int k = 0; k < kDims[2]; ++k) {
        for (int j = 0; j < kDims[1]; ++j) {
            for (int i = 0; i < kDims[0]; ++i) {
                if (field.mask[(k * kDims[1] + j) * kDims[0] + i] < 1) continue;
                int seed[3] = {i, j, k};
                float* points = nullptr;
                int count = 0;
                if (CTrack::GetTrack(kDims, kVoxelSize, field.tensors.data(), field.mask.data(),
                                     seed, method, 0.5f, 45.0f, nullptr, points, count, 0)) {
                    writer.WriteNextTrack(count, points, nullptr, nullptr);
                    delete[] points;
                }
            }
        }
    }
    writer.GetHeader(&header);
    return writer.Close() ? header.track_count : -1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: toolkit_demo FOLDER\n");
        return 1;
    }
    const std::string folder = argv[1];
    std::printf(
        "A synthetic fibre bundle, half a turn of a helix, in a %d x %d x %d grid of %g mm "
        "voxels\n",
        kDims[0], kDims[1], kDims[2], kVoxelSize[0]);
    Field field = MakeField();
    std::printf("mask: %d voxels\n\n", field.mask_voxels);
    if (!RoundTripThroughVolumeFiles(folder, field)) {
        std::fprintf(stderr, "the volume files did not read back as written\n");
        return 1;
    }

    std::printf(
        "\nTracking from the centre of every mask voxel (step 0.5 voxel, 45 degrees; a seed "
        "whose track has fewer than three points gives none):\n");
    std::vector<std::string> arguments = {"fibrejoin"};
    for (int method = 0; method < kMethods; ++method) {
        const std::string path = folder + "/" + kMethodFiles[method];
        const int written = TrackAllSeeds(field, method, path);
        if (written < 0) {
            std::fprintf(stderr, "could not write %s\n", path.c_str());
            return 1;
        }
        std::printf("  method %d %-12s %5d tracks -> %s\n", method, kMethodNames[method], written,
                    path.c_str());
        arguments.push_back(path);
    }

    const std::string merged = folder + "/all_methods.trk";
    arguments.push_back(merged);
    std::printf("\n$");
    for (const std::string& argument : arguments)
        std::printf(" %s", argument.c_str());
    std::printf("\n");
    std::vector<char*> argv_merge;
    for (std::string& argument : arguments)
        argv_merge.push_back(&argument[0]);
    if (RunMergeCommand(int(argv_merge.size()), argv_merge.data()) != 0) return 1;

    fibrejoin::TrackSummary summary;
    std::string message;
    if (!fibrejoin::SummariseTrackFile(merged, summary, message) || !summary.complete) {
        std::fprintf(stderr, "could not read %s back: %s\n", merged.c_str(),
                     (message + summary.damage).c_str());
        return 1;
    }
    std::printf("\n%s, tracks per DataSetID (the method that grew them):\n", merged.c_str());
    std::printf("  %-10s%-14s%8s%18s\n", "DataSetID", "method", "tracks", "mean length (mm)");
    for (const fibrejoin::SourceFigures& source : summary.sources) {
        const int id = int(source.id);
        std::printf("  %-10d%-14s%8lld%18.1f\n", id,
                    id >= 0 && id < kMethods ? kMethodNames[id] : "?",
                    static_cast<long long>(source.tracks), source.MeanLengthMm());
    }

    const std::string picture = folder + "/all_methods.svg";
    fibrejoin::PictureOptions options;
    options.colour = fibrejoin::PictureColour::Source;
    options.title =
        "The synthetic bundle tracked by four methods (DataSetID 0 FACT, 1 fixed step, "
        "2 Runge-Kutta, 3 tensorline)";
    options.replace = true;
    if (!fibrejoin::WriteTrackPicture(summary, picture, options, message)) {
        std::fprintf(stderr, "%s\n", message.c_str());
        return 1;
    }
    std::printf(
        "\nThe tracks projected on three planes, coloured by DataSetID (open it in a "
        "browser):\n  %s\n",
        picture.c_str());
    return 0;
}
