// Fuzzes the track reader: opening and header parsing, counting by scanning, progress, and every
// track through both the separated and the raw forms of reading and through the streaming
// reader of any track file format.
#include <algorithm>
#include <cstdint>
#include <vector>

#include "FuzzFiles.h"
#include "trackio/TrackFile.h"
#include "trackio/TrackIO.h"

namespace {

// Reads every track the way a careful caller does: refuse a point count the file cannot hold,
// then size the buffers for it.
void ReadAllTracks(const char* path, bool separated) {
    CTrackReader reader;
    TRACK_HEADER header;
    if (!reader.Open(path, &header)) return;
    reader.GetNumberOfTracks();
    const size_t scalars = size_t(std::max<short>(header.scalar_count, 0));
    const size_t properties = size_t(std::max<short>(header.property_count, 0));
    std::vector<float> points, values;
    int n;
    for (int track = 0; reader.GetNextPointCount(&n) && reader.CanReadTrackBody(n); ++track) {
        reader.GetProgress();
        points.resize((3 + scalars) * size_t(n) + properties + 1);
        values.resize(scalars * size_t(n) + properties + 1);
        float* extras = track % 2 ? nullptr : values.data();  // every other track skips them
        if (separated ? !reader.GetNextTrackData(n, points.data(), extras, extras)
                      : !reader.GetNextRawData(n, points.data()))
            break;
    }
    reader.GetLastErrorMessage();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string path = WriteScratch("input.trk", data, size);
    TRACK_HEADER header;
    CTrackReader::GetHeader(path.c_str(), &header);
    CTrackReader reader;
    int dims[3], count;
    float voxel_size[3];
    if (reader.Open(path.c_str(), dims, voxel_size)) reader.GetNumberOfTracks(&count);
    ReadAllTracks(path.c_str(), true);
    ReadAllTracks(path.c_str(), false);
    fibrejoin::TrackFileReader streaming;
    std::string message;
    fibrejoin::Track track;
    if (streaming.Open(path, message))
        while (streaming.next(track)) {
        }
    return 0;
}
