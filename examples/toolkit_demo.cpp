// toolkit_demo FOLDER: every module of the toolkit in one run, on a synthetic brain-like field.
//
//  1. Builds a 40 x 40 x 16 grid of 2 mm voxels holding a curved fibre bundle (half a turn of a
//     helix: a half ring in the xy-plane that rises along z) as diffusion tensors, and its mask.
//  2. Writes the mask as an Analyze volume (mask.hdr/.img) and the six tensor components as one
//     raw volume in the voxel-interleaved layout (tensors.raw), then reads both back.
//  3. Tracks from the centre of every mask voxel with each of the four methods and writes one
//     track file per method.
//  4. Merges the four files with fibrejoin, so that each track's DataSetID names its method.
//  5. Summarises the merged file (tracks and mean length per DataSetID) and draws it as an SVG
//     picture, the tracks projected on the three planes, one colour per DataSetID.
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "merge/MergeCommand.h"
#include "tracking/Track.h"
#include "trackio/TrackIO.h"
#include "volume/AnalyzeVolume.h"
#include "volume/VolumeReader.h"

namespace {

int kDims[3] = {40, 40, 16};
float kVoxelSize[3] = {2.0f, 2.0f, 2.0f};
constexpr int kMethods = 4;
const char* const kMethodNames[kMethods] = {"FACT", "fixed step", "Runge-Kutta", "tensorline"};
const char* const kMethodFiles[kMethods] = {"fact.trk", "fixed_step.trk", "runge_kutta.trk",
                                            "tensorline.trk"};
const char* const kColours[kMethods] = {"#1f77b4", "#e6550d", "#31a354", "#9e3ab4"};

// The bundle: voxels whose centre lies between 14 and 30 mm from the axis x = 40 mm, y = 20 mm,
// on the side y >= 20, and within 4 mm of a height that rises from 6 to 26 mm over the half turn.
// Inside it the principal direction runs along the helix.
struct Field {
    std::vector<float> tensors;  // xx, xy, xz, yy, yz, zz per voxel
    std::vector<short> mask;
    int mask_voxels = 0;
};

Field MakeField() {
    const double kPi = 3.14159265358979;
    const double rise = 20.0 / kPi;  // mm of height per radian
    const int nvox = kDims[0] * kDims[1] * kDims[2];
    Field field;
    field.tensors.resize(6 * size_t(nvox));
    field.mask.resize(nvox);
    const double major = 1.7e-3, minor = 0.3e-3;  // mm^2/s; FA about 0.8
    for (int k = 0; k < kDims[2]; ++k) {
        for (int j = 0; j < kDims[1]; ++j) {
            for (int i = 0; i < kDims[0]; ++i) {
                const int v = (k * kDims[1] + j) * kDims[0] + i;
                const double dx = (i + 0.5) * kVoxelSize[0] - 40.0;
                const double dy = (j + 0.5) * kVoxelSize[1] - 20.0;
                const double z = (k + 0.5) * kVoxelSize[2];
                const double r = std::sqrt(dx * dx + dy * dy);
                const double angle = std::atan2(dy, dx);
                const bool inside =
                    dy >= 0 && r >= 14 && r <= 30 && std::fabs(z - (6 + rise * angle)) <= 4;
                float* t = &field.tensors[6 * size_t(v)];
                if (!inside) {
                    t[0] = t[3] = t[5] = 0.7e-3f;  // isotropic, and masked out
                    continue;
                }
                field.mask[v] = 1;
                ++field.mask_voxels;
                // The tangent of the helix through this voxel.
                double e[3] = {-dy, dx, rise};
                const double length = std::sqrt(e[0] * e[0] + e[1] * e[1] + e[2] * e[2]);
                for (double& c : e)
                    c /= length;
                const int pairs[6][2] = {{0, 0}, {0, 1}, {0, 2}, {1, 1}, {1, 2}, {2, 2}};
                for (int c = 0; c < 6; ++c) {
                    const int a = pairs[c][0], b = pairs[c][1];
                    t[c] = float((a == b ? minor : 0) + (major - minor) * e[a] * e[b]);
                }
            }
        }
    }
    return field;
}

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

struct MethodTracks {
    int count = 0;
    double total_length = 0;
    std::vector<std::vector<float>> drawn;  // the tracks the picture shows
};

// Reads the merged file and sorts its tracks by DataSetID.
bool Summarise(const std::string& path, MethodTracks (&methods)[kMethods]) {
    CTrackReader reader;
    TRACK_HEADER header;
    if (!reader.Open(path.c_str(), &header)) return false;
    const int id_slot = header.property_count - 1;  // fibrejoin appends DataSetID last
    if (id_slot < 0 || std::strcmp(header.property_names[id_slot], "DataSetID") != 0) return false;
    std::vector<float> points, properties(header.property_count);
    int n;
    while (reader.GetNextPointCount(&n)) {
        if (!reader.CanReadTrackBody(n)) return false;
        points.resize(3 * size_t(n));
        if (!reader.GetNextTrackData(n, points.data(), nullptr, properties.data())) return false;
        const int id = int(properties[id_slot]);
        if (id < 0 || id >= kMethods) return false;
        MethodTracks& method = methods[id];
        // One track in ten is drawn, which keeps the picture light and still shows the bundle.
        if (method.count % 10 == 0) method.drawn.push_back(points);
        ++method.count;
        method.total_length += CTrack::GetLength(points.data(), n);
    }
    return true;
}

// The tracks projected on the xy-, xz- and yz-planes, side by side, with a legend.
bool DrawSvg(const std::string& path, const MethodTracks (&methods)[kMethods]) {
    FILE* svg = std::fopen(path.c_str(), "w");
    if (!svg) return false;
    const double scale = 4.0, margin = 20.0;  // pixels per mm, pixels
    const double extent[3] = {kDims[0] * kVoxelSize[0], kDims[1] * kVoxelSize[1],
                              kDims[2] * kVoxelSize[2]};
    struct Panel {
        const char* title;
        int u, v;  // the axes drawn across and down
        double left, top;
    };
    const double panel_top = margin + 20;
    const Panel panels[3] = {
        {"top view (x, y)", 0, 1, margin, panel_top},
        {"front view (x, z)", 0, 2, 2 * margin + scale * extent[0], panel_top},
        {"side view (y, z)", 1, 2, 2 * margin + scale * extent[0],
         panel_top + scale * extent[2] + 2 * margin + 20},
    };
    const double width = 3 * margin + scale * (extent[0] + extent[1]) + 160;
    const double height = panel_top + scale * extent[1] + margin;
    std::fprintf(svg,
                 "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"%.0f\" height=\"%.0f\" "
                 "font-family=\"sans-serif\" font-size=\"12\">\n"
                 "<rect width=\"100%%\" height=\"100%%\" fill=\"white\"/>\n"
                 "<text x=\"%.0f\" y=\"%.0f\" font-size=\"14\">Merged tracks of the synthetic "
                 "bundle, one colour per DataSetID (1 in 10 tracks drawn)</text>\n",
                 width, height, margin, margin);
    for (const Panel& panel : panels) {
        const double w = scale * extent[panel.u], h = scale * extent[panel.v];
        std::fprintf(svg,
                     "<text x=\"%.0f\" y=\"%.0f\">%s</text>\n"
                     "<rect x=\"%.0f\" y=\"%.0f\" width=\"%.0f\" height=\"%.0f\" fill=\"none\" "
                     "stroke=\"#999\"/>\n",
                     panel.left, panel.top - 4, panel.title, panel.left, panel.top, w, h);
        // The methods take turns, track by track, so that none hides the others; the vertical
        // axis points up.
        std::fprintf(svg, "<g fill=\"none\" stroke-width=\"0.7\" stroke-opacity=\"0.6\">\n");
        for (size_t n = 0;; ++n) {
            bool drawn = false;
            for (int id = 0; id < kMethods; ++id) {
                if (n >= methods[id].drawn.size()) continue;
                const std::vector<float>& track = methods[id].drawn[n];
                std::fprintf(svg, "<polyline stroke=\"%s\" points=\"", kColours[id]);
                for (size_t p = 0; p + 2 < track.size(); p += 3) {
                    std::fprintf(svg, "%.1f,%.1f ", panel.left + scale * track[p + panel.u],
                                 panel.top + h - scale * track[p + panel.v]);
                }
                std::fprintf(svg, "\"/>\n");
                drawn = true;
            }
            if (!drawn) break;
        }
        std::fprintf(svg, "</g>\n");
    }
    const double legend_left = 3 * margin + scale * (extent[0] + extent[1]) - 10;
    for (int id = 0; id < kMethods; ++id) {
        const double y = panel_top + 20 * id + 10;
        std::fprintf(svg,
                     "<line x1=\"%.0f\" y1=\"%.0f\" x2=\"%.0f\" y2=\"%.0f\" stroke=\"%s\" "
                     "stroke-width=\"3\"/>\n<text x=\"%.0f\" y=\"%.0f\">%d: %s</text>\n",
                     legend_left, y, legend_left + 20, y, kColours[id], legend_left + 26, y + 4, id,
                     kMethodNames[id]);
    }
    std::fprintf(svg, "</svg>\n");
    return std::fclose(svg) == 0;
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

    MethodTracks methods[kMethods];
    if (!Summarise(merged, methods)) {
        std::fprintf(stderr, "could not read %s back\n", merged.c_str());
        return 1;
    }
    std::printf("\n%s, tracks per DataSetID (the method that grew them):\n", merged.c_str());
    std::printf("  %-10s%-14s%8s%18s\n", "DataSetID", "method", "tracks", "mean length (mm)");
    for (int id = 0; id < kMethods; ++id) {
        const MethodTracks& method = methods[id];
        std::printf("  %-10d%-14s%8d%18.1f\n", id, kMethodNames[id], method.count,
                    method.count ? method.total_length / method.count : 0.0);
    }

    const std::string picture = folder + "/all_methods.svg";
    if (!DrawSvg(picture, methods)) {
        std::fprintf(stderr, "could not write %s\n", picture.c_str());
        return 1;
    }
    std::printf(
        "\nThe tracks projected on three planes, coloured by DataSetID (open it in a "
        "browser):\n  %s\n",
        picture.c_str());
    return 0;
}
