// Fuzzes the track reader: opening and header parsing, counting by scanning, progress, and every
// track through both the separated and the raw forms of reading.
#include <cstdint>
#include <vector>

#include "FuzzFiles.h"
#include "trackio/TrackIO.h"

namespace {

// Reads every track the way a careful caller does: refuse a point count the file cannot hold,
// then size the buffers for it.
void ReadAllTracks(const char* path, bool separated) {
    CTrackReader reader;
    TRACK_HEADER header;
    if (!reader.Open(path, &header)) return;
    reader.GetNumberOfTracks();
    const size_t scalars = header.scalar_count > 0 ? size_t(header.scalar_count) : 0;
    const size_t properties = header.property_count > 0 ? size_t(header.property_count) : 0;
    std::vector<float> points, point_scalars, track_properties;
    int n;
    for (int track = 0; reader.GetNextPointCount(&n); ++track) {
        reader.GetProgress();
        if (!reader.CanReadTrackBody(n)) break;
        const size_t count = size_t(n);
        bool read;
        if (separated) {
            points.resize(3 * count + 1);
            point_scalars.resize(scalars * count + 1);
            track_properties.resize(properties + 1);
            // Every other track skips scalars and properties without a buffer.
            const bool skip = track % 2 == 1;
            read = reader.GetNextTrackData(n, points.data(), skip ? nullptr : point_scalars.data(),
                                           skip ? nullptr : track_properties.data());
        } else {
            points.resize((3 + scalars) * count + properties + 1);
            read = reader.GetNextRawData(n, points.data());
        }
        if (!read) break;
    }
    reader.GetProgress();
    reader.GetLastErrorMessage();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string path = WriteScratch("input.trk", data, size);
    TRACK_HEADER header;
    CTrackReader::GetHeader(path.c_str(), &header);
    {
        CTrackReader reader;
        int dims[3];
        float voxel_size[3];
        if (reader.Open(path.c_str(), dims, voxel_size)) {
            int count;
            reader.GetNumberOfTracks(&count);
            reader.GetHeader(&header);
        }
    }
    ReadAllTracks(path.c_str(), true);
    ReadAllTracks(path.c_str(), false);
    return 0;
}
