#include "merge/MergeCommand.h"

#include <sys/stat.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <vector>

#include "trackio/TrackIO.h"

namespace {

constexpr int kNameSlots = 10;
constexpr int kNameSize = 20;

// Prints the literal, then the file name (if any), then a line end, and flushes.
void Report(FILE* stream, const char* text, const char* file_name = "") {
    std::fprintf(stream, "%s%s\n", text, file_name);
    std::fflush(stream);
}

// Negative counts describe no record layout, and ten properties leave no name slot for the tag.
bool HasSupportedCounts(const TRACK_HEADER& h) {
    return h.scalar_count >= 0 && h.property_count >= 0 && h.property_count < kNameSlots;
}

// Copies a name as text: up to its first zero byte (at most 19 characters), then a zero byte;
// the rest of the destination slot keeps what it held.
void CopyName(char* destination, const char* source) {
    const size_t length = strnlen(source, kNameSize - 1);
    std::memcpy(destination, source, length);
    destination[length] = '\0';
}

// Takes over a name table when `count` is larger than the merged one (only ten slots exist).
void TakeWiderNames(short& merged_count, char (*merged_names)[kNameSize], short count,
                    const char (*names)[kNameSize]) {
    if (count <= merged_count) return;
    merged_count = count;
    for (int slot = 0; slot < count && slot < kNameSlots; ++slot) {
        CopyName(merged_names[slot], names[slot]);
    }
}

bool MatchesGrid(const TRACK_HEADER& h, const int* dims, const float* voxel_size) {
    for (int i = 0; i < 3; ++i) {
        if (h.dimension[i] != dims[i]) return false;
    }
    for (int i = 0; i < 3; ++i) {
        const float difference = std::fabs(h.voxel_size[i] - voxel_size[i]);
        if (static_cast<double>(difference) > 0.00001) return false;
    }
    return true;
}

// True when `output` exists and is one of the inputs (also through another path or a link).
bool IsOneOfTheInputs(const char* output, char* const* inputs, int count) {
    struct stat out_status, in_status;
    if (stat(output, &out_status) != 0) return false;
    for (int i = 0; i < count; ++i) {
        if (stat(inputs[i], &in_status) == 0 && in_status.st_dev == out_status.st_dev &&
            in_status.st_ino == out_status.st_ino) {
            return true;
        }
    }
    return false;
}

enum class CopyResult { Copied, OpenFailed, ReadFailed };

// Appends every track of one input to the output. A track is read as one raw block into a buffer
// laid out like the output record: the input's own properties land in the first slots, the slots
// it lacks stay 0 and the last one gets the tag.
CopyResult CopyTracks(const char* path, float tag, const TRACK_HEADER& merged, CTrackWriter& writer,
                      std::vector<float>& record) {
    CTrackReader reader;
    TRACK_HEADER input;
    if (!reader.Open(path, &input)) return CopyResult::OpenFailed;
    // The file may have changed since it was checked; a layout wider than the merged one would
    // not fit the output record.
    if (!HasSupportedCounts(input) || input.scalar_count > merged.scalar_count ||
        input.property_count >= merged.property_count) {
        return CopyResult::OpenFailed;
    }

    const size_t merged_stride = 3 + size_t(merged.scalar_count);
    const size_t input_stride = 3 + size_t(input.scalar_count);
    // An input with fewer scalars than the merged count contributes all-zero scalars.
    const bool zero_scalars = merged.scalar_count > 0 && input.scalar_count != merged.scalar_count;
    int n;
    while (reader.GetNextPointCount(&n)) {
        if (!reader.CanReadTrackBody(n)) return CopyResult::ReadFailed;
        const size_t points = size_t(n);
        const size_t input_values = input_stride * points + size_t(input.property_count);
        const size_t output_values = merged_stride * points + size_t(merged.property_count);
        record.resize(std::max(input_values, output_values));
        float* block = record.data();
        if (!reader.GetNextRawData(n, block)) return CopyResult::ReadFailed;

        float* properties = block + merged_stride * points;
        if (zero_scalars) {
            // Spread the points to the wider stride, last first so nothing is overwritten early.
            float input_properties[kNameSlots];
            std::memcpy(input_properties, block + input_stride * points,
                        size_t(input.property_count) * sizeof(float));
            for (size_t i = points; i-- > 0;) {
                float* point = block + merged_stride * i;
                std::memmove(point, block + input_stride * i, 3 * sizeof(float));
                std::fill(point + 3, point + merged_stride, 0.0f);
            }
            std::memcpy(properties, input_properties, size_t(input.property_count) * sizeof(float));
        }
        std::fill(properties + input.property_count, properties + merged.property_count, 0.0f);
        properties[merged.property_count - 1] = tag;
        writer.WriteNextTrack(n, block);  // a failed write only leaves the track uncounted
    }
    return CopyResult::Copied;
}

}  // namespace

int RunMergeCommand(int argc, char** argv) {
    return RunMergeCommand(argc, argv, stdout, stderr);
}

int RunMergeCommand(int argc, char** argv, FILE* out, FILE* err) {
    if (argc < 4) {
        Report(out, "Usage: fibrejoin INPUT_TRACK_FILE_1 INPUT_TRACK_FILE_2 ... OUTPUT_FILE ");
        return 1;
    }
    const int first_input = 1;
    const int last_input = argc - 2;
    const char* output = argv[argc - 1];
    const char* const count_message = "Unsupported scalar_count and/or property_count from ";

    int dims[3];
    float voxel_size[3];
    {
        CTrackReader reader;
        if (!reader.Open(argv[first_input], dims, voxel_size)) {
            Report(out, "Can not open track file ", argv[first_input]);
            return 1;
        }
    }

    TRACK_HEADER merged;
    CTrackReader::GetHeader(argv[first_input], &merged);
    if (!HasSupportedCounts(merged)) {
        Report(err, count_message, argv[first_input]);
        return 1;
    }
    for (int i = first_input + 1; i <= last_input; ++i) {
        TRACK_HEADER input;
        CTrackReader::GetHeader(argv[i], &input);
        if (!HasSupportedCounts(input)) {
            Report(err, count_message, argv[i]);
            return 1;
        }
        TakeWiderNames(merged.property_count, merged.property_names, input.property_count,
                       input.property_names);
        TakeWiderNames(merged.scalar_count, merged.scalar_names, input.scalar_count,
                       input.scalar_names);
        if (!MatchesGrid(input, dims, voxel_size)) {
            Report(err, "Input tracks have unmatched dimension and/or voxel_size from ", argv[i]);
            return 1;
        }
    }

    merged.property_count += 1;
    std::memcpy(merged.property_names[merged.property_count - 1], "DataSetID", 10);
    merged.track_count = 0;

    CTrackWriter writer;
    if (IsOneOfTheInputs(output, argv + first_input, last_input - first_input + 1) ||
        !writer.Initialize(output, merged)) {
        Report(out, "Can not write track file ", output);
        return 1;
    }

    std::vector<float> record;
    for (int i = first_input; i <= last_input; ++i) {
        const float tag = static_cast<float>(i - first_input);
        switch (CopyTracks(argv[i], tag, merged, writer, record)) {
            case CopyResult::Copied:
                break;
            case CopyResult::OpenFailed:
                Report(err, "Can not open track file ", argv[i]);
                return 1;
            case CopyResult::ReadFailed:
                Report(out, "Can not read track data from ", argv[i]);
                return 1;
        }
    }
    writer.Close();
    return 0;
}
