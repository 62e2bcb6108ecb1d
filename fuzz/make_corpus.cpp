// Writes the seed corpus of every fuzz target: small valid files of each kind, so that fuzzing
// starts from inputs that reach deep into the readers.
//   make_corpus FOLDER   (FOLDER/<target>_fuzz/<seed> for every target; normally fuzz/corpus)
#include <sys/stat.h>

#include <algorithm>
#include <string>
#include <vector>

#include "../tests/track_files.h"
#include "volume/AnalyzeVolume.h"

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

// A raw volume for the volume reader target: the 12-byte geometry prefix (which the file also
// holds) and elements numbered in file order after it.
Bytes RawVolume(int16_t x, int16_t y, int16_t z, int8_t mosaic, int8_t frames, int8_t width,
                bool interleaved, uint16_t offset, int elements) {
    FileImage image;
    for (int16_t dim : {x, y, z})
        image.PutInt16(image.bytes.size(), dim);
    image.bytes.insert(image.bytes.end(),
                       {uint8_t(mosaic), uint8_t(frames), uint8_t(width), uint8_t(interleaved),
                        uint8_t(offset & 0xFF), uint8_t(offset >> 8)});
    image.bytes.resize(std::max<size_t>(image.bytes.size(), offset), 0);
    for (int e = 0; e < elements; ++e) {
        for (int b = 0; b < width; ++b)
            image.bytes.push_back(uint8_t(b == 0 ? e : 0));
    }
    return image.bytes;
}

// An Analyze pair for the Analyze target: the header file followed by the image file, as the
// volume writer makes them; 24 voxels whose values count up from 1.
Bytes AnalyzePair(const TempDir& dir, int dataType, int width) {
    int sizes[3] = {4, 3, 2};
    float voxel[3] = {1.0f, 1.5f, 2.0f};
    Bytes image(24 * size_t(width), 0);
    for (int v = 0; v < 24; ++v)
        image[v * width] = uint8_t(v + 1);
    if (dataType == 16) {
        for (int v = 0; v < 24; ++v) {
            const float value = v + 1.5f;
            std::memcpy(&image[v * width], &value, 4);
        }
    }
    const std::string path = dir.File("pair");
    CAnalyzeVolume::WriteVolume(path.c_str(), sizes, voxel, image.data(), dataType);
    Bytes pair = ReadBytes(path + ".hdr");
    const Bytes written = ReadBytes(path + ".img");
    pair.insert(pair.end(), written.begin(), written.end());
    return pair;
}

// A 16-bit pair written on a machine of the other byte order.
Bytes ForeignAnalyzePair() {
    FileImage image(true);
    image.bytes.assign(348, 0);
    image.PutInt32(0, 348);
    image.PutInt32(32, 16384);
    image.bytes[38] = 'r';
    const int16_t dims[5] = {3, 4, 3, 2, 1};  // dimCount, the three sizes, volumeCount
    for (int i = 0; i < 5; ++i)
        image.PutInt16(40 + 2 * i, dims[i]);
    image.PutInt16(70, 4);
    image.PutInt16(72, 16);
    image.PutFloat(80, 1.0f);
    image.PutFloat(84, 1.5f);
    image.PutFloat(88, 2.0f);
    for (int v = 0; v < 24; ++v)
        image.PutInt16(348 + 2 * v, int16_t(300 * v - 1000));
    return image.bytes;
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

    // dims, mosaic, frames, element width, interleaved, data offset, elements
    seeds.Add("volume_reader_fuzz", "frames", RawVolume(3, 2, 2, 1, 2, 2, false, 12, 24));
    seeds.Add("volume_reader_fuzz", "mosaic", RawVolume(2, 2, 3, 2, 2, 2, false, 12, 32));
    seeds.Add("volume_reader_fuzz", "interleaved", RawVolume(2, 2, 2, 1, 3, 4, true, 12, 24));
    seeds.Add("volume_reader_fuzz", "no_offset", RawVolume(2, 2, 1, 1, 1, 1, false, 0, 4));

    const TempDir dir;
    const int codes[][2] = {{2, 1}, {4, 2}, {8, 4}, {16, 4}, {64, 8}, {128, 3}};
    for (const auto& code : codes)
        seeds.Add("analyze_fuzz", "code" + std::to_string(code[0]),
                  AnalyzePair(dir, code[0], code[1]));
    seeds.Add("analyze_fuzz", "foreign_code4", ForeignAnalyzePair());
    return 0;
}
