// track_summary FILE: prints what a track file holds, using the track I/O library. The grid,
// the voxel size, the scalar and property names, the number of tracks (counted by scanning when
// the header does not say), and how many tracks carry each "DataSetID" value when the file has
// that property (as fibrejoin writes it).
#include <cstdio>
#include <cstring>
#include <map>
#include <vector>

#include "trackio/TrackIO.h"

namespace {

void PrintNames(const char* label, short count, const char (*names)[20]) {
    std::printf("%-12s%d", label, count);
    for (int i = 0; i < count && i < 10; ++i)
        std::printf("%s%.20s", i ? ", " : "  (", names[i]);
    std::printf("%s\n", count > 0 ? ")" : "");
}

int DataSetIdSlot(const TRACK_HEADER& header) {
    for (int i = 0; i < header.property_count && i < 10; ++i) {
        if (std::strncmp(header.property_names[i], "DataSetID", 20) == 0) return i;
    }
    return -1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: track_summary FILE\n");
        return 1;
    }
    CTrackReader reader;
    TRACK_HEADER header;
    if (!reader.Open(argv[1], &header)) {
        std::fprintf(stderr, "%s: %s\n", argv[1], reader.GetLastErrorMessage());
        return 1;
    }
    std::printf("%-12s%s\n", "file", argv[1]);
    std::printf("%-12s%d x %d x %d\n", "grid", header.dimension[0], header.dimension[1],
                header.dimension[2]);
    std::printf("%-12s%g x %g x %g mm\n", "voxel size", header.voxel_size[0], header.voxel_size[1],
                header.voxel_size[2]);
    PrintNames("scalars", header.scalar_count, header.scalar_names);
    PrintNames("properties", header.property_count, header.property_names);
    const bool scanned = header.track_count == 0;
    std::printf("%-12s%d%s\n", "tracks", reader.GetNumberOfTracks(),
                scanned ? "  (counted by scanning: the header does not say)" : "");

    const int slot = DataSetIdSlot(header);
    if (slot < 0) return 0;
    std::map<float, int> tracks_per_id;
    std::vector<float> points, properties(header.property_count);
    int n;
    while (reader.GetNextPointCount(&n)) {
        if (!reader.CanReadTrackBody(n)) break;
        points.resize(3 * size_t(n));
        if (!reader.GetNextTrackData(n, points.data(), nullptr, properties.data())) break;
        ++tracks_per_id[properties[slot]];
    }
    std::printf("tracks per DataSetID\n");
    for (const auto& id : tracks_per_id)
        std::printf("  %-10g%d\n", id.first, id.second);
    return 0;
}
