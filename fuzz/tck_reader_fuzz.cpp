// Fuzzes the .tck side of the track file reader: the text header (keys, offsets, grid) and the
// point triplets with their track and file end markers, each track read and mapped to voxel mm.
#include <cstdint>

#include "FuzzFiles.h"
#include "trackio/TrackFile.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string path = WriteScratch("input.tck", data, size);
    fibrejoin::TrackFileReader reader;
    std::string message;
    if (!reader.Open(path, message)) return 0;
    fibrejoin::Matrix4 toVoxelMm;
    const bool mapped =
        fibrejoin::SpaceTransform(reader.header(), fibrejoin::PointSpace::World,
                                  fibrejoin::PointSpace::VoxelMm, toVoxelMm, message);
    fibrejoin::Track track;
    while (reader.next(track))
        if (mapped) fibrejoin::TransformPoints(toVoxelMm, track.points.data(), track.PointCount());
    reader.bytePosition();
    return 0;
}
