// Writes the seed corpus of every fuzz target: small valid files of each kind, so that fuzzing
// starts from inputs that reach deep into the readers.
//   make_corpus FOLDER   (FOLDER/<target>_fuzz/<seed> for every target; normally fuzz/corpus)
#include <sys/stat.h>

#include <string>
#include <vector>

#include "../tests/track_files.h"

using namespace testing_files;

namespace {

// Two scalars and three properties; a 2-point, a 0-point and a 1-point track.
Bytes TrackFile(bool foreign, int track_count) {
    HeaderFields fields;
    fields.scalar_names = {"fa", "md"};
    fields.property_names = {"p0", "p1", "p2"};
    fields.track_count = track_count;
    FileImage image = MakeHeader(fields, foreign);
    image.AppendTrack(2, {1, 2, 3, 10, 11, 4, 5, 6, 12, 13, 100, 101, 102});
    image.AppendTrack(0, {200, 201, 202});
    image.AppendTrack(1, {7.5f, -8.25f, 9, 14, 15, 300, 301, 302});
    return image.bytes;
}

// No scalars and no properties, on the same grid.
Bytes PlainTrackFile() {
    FileImage image = MakeHeader(HeaderFields());
    image.AppendTrack(3, {1, 1, 1, 2, 2, 2, 3, 3, 3});
    image.AppendTrack(1, {4, 5, 6});
    return image.bytes;
}

// The older layout: three int32 dimensions, three float voxel sizes, then bare records.
Bytes HeaderlessTrackFile() {
    FileImage image;
    for (int32_t dim : {10, 20, 30})
        image.AppendInt32(dim);
    image.AppendFloats({1.0f, 1.0f, 2.5f});
    image.AppendTrack(2, {1, 2, 3, 4, 5, 6});
    return image.bytes;
}

// The merge target's input: a 2-byte little-endian length of the first file, then both files.
Bytes MergeInput(const Bytes& first, const Bytes& second) {
    Bytes input = {uint8_t(first.size() & 0xFF), uint8_t(first.size() >> 8)};
    input.insert(input.end(), first.begin(), first.end());
    input.insert(input.end(), second.begin(), second.end());
    return input;
}

struct Seeds {
    std::string root;
    void Add(const std::string& target, const std::string& name, const Bytes& bytes) const {
        const std::string folder = root + "/" + target;
        mkdir(folder.c_str(), 0755);
        WriteBytes(folder + "/" + name, bytes);
    }
};

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: make_corpus FOLDER\n");
        return 1;
    }
    const Seeds seeds{argv[1]};
    mkdir(seeds.root.c_str(), 0755);

    const Bytes native = TrackFile(false, 0), foreign = TrackFile(true, 3);
    const Bytes plain = PlainTrackFile(), headerless = HeaderlessTrackFile();
    seeds.Add("track_reader_fuzz", "native", native);
    seeds.Add("track_reader_fuzz", "foreign", foreign);
    seeds.Add("track_reader_fuzz", "plain", plain);
    seeds.Add("track_reader_fuzz", "headerless", headerless);

    seeds.Add("merge_fuzz", "native_foreign", MergeInput(native, foreign));
    seeds.Add("merge_fuzz", "plain_native", MergeInput(plain, native));
    seeds.Add("merge_fuzz", "native_headerless", MergeInput(native, headerless));
    return 0;
}
