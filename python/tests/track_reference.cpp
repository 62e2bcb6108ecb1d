// The tracks the C++ driver makes from a tensor image, written to a .trk file, for comparing the
// Python binding with it (tests and bench). Prints the seconds the tracking run took.
//     track_reference TENSORS.nii OUT.trk METHOD(0-3) FA_THRESHOLD THREADS
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "tracking/WholeVolumeTracker.h"
#include "trackio/TrackFile.h"
#include "volume/NiftiVolume.h"

using namespace fibrejoin;

int main(int argc, char** argv) {
    if (argc != 6) {
        std::fprintf(stderr, "usage: %s TENSORS OUT.trk METHOD FA THREADS\n", argv[0]);
        return 2;
    }
    TensorImage image;
    std::string message;
    if (!ReadTensorImage(argv[1], TensorOrder::Upper, TensorFrame::Voxel, image, message)) {
        std::fprintf(stderr, "%s\n", message.c_str());
        return 1;
    }
    TrackingOptions options;
    options.method = TrackingMethod(std::atoi(argv[3]));
    options.threads = std::atoi(argv[5]);
    const auto start = std::chrono::steady_clock::now();
    const LargeVector<short> mask =
        StoppingMask(image.dims, image.tensors.data(), true, float(std::atof(argv[4])), nullptr);
    TensorField field;
    field.dims = image.dims;
    field.voxelSize = image.voxelSize;
    field.tensors = image.tensors.data();
    field.mask = mask.data();
    const MaskSeeds seeds(image.dims, image.voxelSize, mask.data(), 1, 0);
    TrackSet tracks;
    const TrackSink sink = [&tracks](std::size_t, const float* points, int count) {
        tracks.points.insert(tracks.points.end(), points, points + 3 * count);
        tracks.offsets.push_back(tracks.offsets.back() + count);
        return true;
    };
    TrackingProgress summary;
    if (!WholeVolumeTracker().Run(field, seeds, 0, seeds.size(), options, sink, nullptr, summary,
                                  message)) {
        std::fprintf(stderr, "%s\n", message.c_str());
        return 1;
    }
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (!SaveTracks(argv[2], MakeTrackFileHeader(image.dims, image.voxelSize), tracks, true,
                    message)) {
        std::fprintf(stderr, "%s\n", message.c_str());
        return 1;
    }
    std::printf("%.6f\n", seconds);
    return 0;
}
