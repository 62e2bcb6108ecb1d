// Writes the two small track files the demo merges: left.trk (two scalars per point, one
// property per track) and right.trk (no scalars, no properties, and a header that leaves the
// track count unknown), on the same 64 x 64 x 40 grid of 2 x 2 x 2.5 mm voxels.
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "trackio/TrackIO.h"

namespace {

// A gently curving streamline of n points starting at (x0, y0, z0).
std::vector<float> Streamline(int n, float x0, float y0, float z0) {
    std::vector<float> points;
    for (int i = 0; i < n; ++i) {
        points.push_back(x0 + 1.5f * i);
        points.push_back(y0 + 4.0f * std::sin(0.2f * i));
        points.push_back(z0 + 0.5f * i);
    }
    return points;
}

bool WriteLeft(const std::string& path) {
    TRACK_HEADER header;
    header.dimension[0] = 64, header.dimension[1] = 64, header.dimension[2] = 40;
    header.voxel_size[0] = 2.0f, header.voxel_size[1] = 2.0f, header.voxel_size[2] = 2.5f;
    header.scalar_count = 2;
    std::strcpy(header.scalar_names[0], "fa");
    std::strcpy(header.scalar_names[1], "md");
    header.property_count = 1;
    std::strcpy(header.property_names[0], "length");

    CTrackWriter writer;
    if (!writer.Initialize(path.c_str(), header)) return false;
    for (int t = 0; t < 5; ++t) {
        const int n = 8 + 3 * t;
        std::vector<float> points = Streamline(n, 10.0f + t, 30.0f, 20.0f);
        std::vector<float> scalars;
        for (int i = 0; i < n; ++i) {
            scalars.push_back(0.4f + 0.01f * i);  // fractional anisotropy
            scalars.push_back(0.0008f);           // mean diffusivity, mm^2/s
        }
        float length = 1.5f * (n - 1);
        if (!writer.WriteNextTrack(n, points.data(), scalars.data(), &length)) return false;
    }
    return writer.Close();
}

bool WriteRight(const std::string& path) {
    short dims[3] = {64, 64, 40};
    float voxel_size[3] = {2.0f, 2.0f, 2.5f};
    CTrackWriter writer;
    if (!writer.Initialize(path.c_str(), dims, voxel_size, nullptr, 0)) return false;
    for (int t = 0; t < 3; ++t) {
        std::vector<float> points = Streamline(12, 40.0f, 50.0f + 2 * t, 30.0f);
        if (!writer.WriteNextTrack(12, points.data(), nullptr, nullptr)) return false;
    }
    if (!writer.Close()) return false;
    // Some tools write 0 for "count unknown"; readers then count by scanning.
    TRACK_HEADER header;
    if (!CTrackReader::GetHeader(path.c_str(), &header)) return false;
    header.track_count = 0;
    return CTrackWriter::UpdateHeader(path.c_str(), header);
}

}  // namespace

int main(int argc, char** argv) {
    const std::string directory = argc > 1 ? argv[1] : ".";
    if (!WriteLeft(directory + "/left.trk") || !WriteRight(directory + "/right.trk")) {
        std::fprintf(stderr, "make_example_tracks: can not write into %s\n", directory.c_str());
        return 1;
    }
    return 0;
}
