#include "trackio/TrackIO.h"

#include "utils/ByteOrder.h"
#include "utils/CheckedMath.h"
#include "utils/File.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <vector>

namespace {

using fibrejoin::Seek;

// Reads and writes go through a buffer this large, so records of a few kilobytes cost no
// system call each.
constexpr size_t kStreamBufferSize = size_t(1) << 18;

// Interleaving points with their scalars goes through a stack buffer of this many floats.
constexpr size_t kChunkValues = 4096;

// Converts every numeric field of a header between the two byte orders (its own inverse).
void ReverseHeaderByteOrder(TRACK_HEADER& h) {
    ReverseBytes(h.dimension);
    ReverseBytes(h.voxel_size);
    ReverseBytes(h.aux_vector);
    ReverseBytes(h.scalar_count);
    ReverseBytes(h.property_count);
    ReverseBytes(h.aux_matrix);
    ReverseBytes(h.axis_vectors);
    ReverseBytes(h.track_count);
    ReverseBytes(h.version);
    ReverseBytes(h.header_size);
}

// A header is in native order when its header_size reads 1000 or 0.
bool IsForeignOrder(const TRACK_HEADER& h) {
    return h.header_size != 1000 && h.header_size != 0;
}

// Number of floats in a body of n points, or -1 when it is negative or needs more than 32 bits.
int64_t BodyValueCount(int n, short scalar_count, short property_count) {
    const int64_t values = (3 + int64_t(scalar_count)) * n + property_count;
    return values >= 0 && fibrejoin::FitsInt(values) ? values : -1;
}

// Space for a run of points in file order: on the stack, or on the heap for a point wider than
// the stack buffer (thousands of scalars).
struct PointRunBuffer {
    explicit PointRunBuffer(size_t stride)
        : heap(stride > kChunkValues ? stride : 0),
          data(heap.empty() ? stack : heap.data()),
          points_per_run(std::max<size_t>(1, kChunkValues / stride)) {}
    float stack[kChunkValues];
    std::vector<float> heap;
    float* data;
    size_t points_per_run;
};

// No values need no buffer: an empty track may come without one.
bool ReadValues(FILE* file, float* destination, size_t count) {
    return count == 0 || std::fread(destination, sizeof(float), count, file) == count;
}

bool WriteValues(FILE* file, const float* source, size_t count) {
    return fibrejoin::WriteAll(file, source, count * sizeof(float));
}

}  // namespace

TRACK_HEADER::TRACK_HEADER() {
    std::memset(this, 0, sizeof(*this));
    std::memcpy(magic, "TRACK", 6);
    std::memcpy(orientation_code, "LPS", 4);
    axis_vectors[0] = 1.0f;
    axis_vectors[4] = 1.0f;
    version = 2;
    header_size = 1000;
}

// ---------------------------------------------------------------------------------------------
// CTrackIO

const char* const CTrackIO::error_message[7] = {
    "No error",
    "Can not open file",
    "Can not close file",
    "Can not read from file",
    "Can not write to file",
    "Not a compatible track file",
    "I/O not initialized. Call 'Open' or 'Initialize' first",
};

CTrackIO::CTrackIO() : file(nullptr), error(NoError) {}

CTrackIO::~CTrackIO() {
    CTrackIO::Close();
}

bool CTrackIO::Close() {
    if (!file) return true;
    const bool closed = std::fclose(file) == 0;
    file = nullptr;
    if (!closed) error = CloseFailed;
    return closed;
}

bool CTrackIO::GetHeader(TRACK_HEADER* out) {
    if (!HasOpenFile()) return false;
    *out = header;
    return true;
}

bool CTrackIO::HasOpenFile() {
    if (!file) error = NotInitialized;
    return file != nullptr;
}

const char* CTrackIO::GetLastErrorMessage() const {
    return error_message[error];
}

FILE* CTrackIO::OpenStream(const char* path, const char* mode) {
    FILE* stream = std::fopen(path, mode);
    if (!stream) return nullptr;
    if (!stream_buffer) stream_buffer.reset(new char[kStreamBufferSize]);
    std::setvbuf(stream, stream_buffer.get(), _IOFBF, kStreamBufferSize);
    return stream;
}

// ---------------------------------------------------------------------------------------------
// CTrackReader

CTrackReader::CTrackReader() : swap_bytes(false), headerless(false), file_size(0) {}

bool CTrackReader::Open(const char* path, TRACK_HEADER* out) {
    Close();
    error = NoError;
    headerless = false;

    file = OpenStream(path, "rb");
    if (!file) {
        error = OpenFailed;
        return false;
    }
    file_size = fibrejoin::FileSize(file);

    // A short read leaves the bytes it got over the header that was there before.
    if (std::fread(&header, 1, sizeof(header), file) != sizeof(header)) error = NotCompatible;

    if (header.orientation_code[0] == 0) std::memcpy(header.orientation_code, "LPS", 4);
    if (header.secondary_orientation_code[0] == 0) {
        std::strncpy(header.secondary_orientation_code, header.orientation_code,
                     sizeof(header.secondary_orientation_code));
    }

    if (error == NoError && std::memcmp(header.magic, "TRACK", 6) != 0) {
        // Headerless file: three int32 dimensions and three float voxel sizes, then tracks.
        header = TRACK_HEADER();
        int dims[3] = {0, 0, 0};
        if (!Seek(file, 0) || std::fread(dims, sizeof(int), 3, file) != 3 ||
            std::fread(header.voxel_size, sizeof(float), 3, file) != 3) {
            error = NotCompatible;
        }
        for (int i = 0; i < 3; ++i)
            header.dimension[i] = static_cast<short>(dims[i] & 0xFFFF);
        header.scalar_count = 0;
        header.property_count = 0;
        swap_bytes = false;
        headerless = true;
    } else {
        swap_bytes = IsForeignOrder(header);
        if (swap_bytes) {
            ReverseHeaderByteOrder(header);
            header.header_size = 1000;
        }
    }

    if (header.axis_vectors[0] == 0.0f && header.axis_vectors[1] == 0.0f &&
        header.axis_vectors[2] == 0.0f) {
        header.axis_vectors[0] = 1.0f;
        header.axis_vectors[4] = 1.0f;
    }

    if (out) *out = header;
    if (error != NoError) {
        Close();
        return false;
    }
    return true;
}

bool CTrackReader::Open(const char* path, int* dims, float* voxel_size) {
    const bool opened = Open(path, static_cast<TRACK_HEADER*>(nullptr));
    for (int i = 0; i < 3; ++i) {
        dims[i] = header.dimension[i];
        voxel_size[i] = header.voxel_size[i];
    }
    return opened;
}

bool CTrackReader::GetHeader(const char* path, TRACK_HEADER* out) {
    CTrackReader reader;
    const bool opened = reader.Open(path, out);
    reader.Close();
    return opened;
}

bool CTrackReader::GetNextPointCount(int* n) {
    if (!HasOpenFile()) return false;
    error = std::fread(n, sizeof(int), 1, file) == 1 ? NoError : ReadFailed;
    if (swap_bytes) ReverseBytes(*n);
    return error == NoError;
}

bool CTrackReader::GetNextTrackData(int n, float* points, float* scalars, float* properties) {
    if (!HasOpenFile()) return false;
    error = NoError;
    const int scalar_count = header.scalar_count;
    const int property_count = header.property_count;
    if (scalar_count == 0 && property_count == 0) return GetNextRawData(n, points);
    if (scalar_count < 0 || property_count < 0) {
        error = ReadFailed;
        return false;
    }

    const size_t point_count = n > 0 ? size_t(n) : 0;
    const size_t stride = 3 + size_t(scalar_count);
    if (scalar_count == 0) {
        if (!ReadValues(file, points, 3 * point_count)) error = ReadFailed;
    } else {
        // Read whole runs of points and split each into coordinates and scalars.
        PointRunBuffer run(stride);
        for (size_t first = 0; first < point_count; first += run.points_per_run) {
            const size_t count = std::min(run.points_per_run, point_count - first);
            if (!ReadValues(file, run.data, count * stride)) {
                error = ReadFailed;
                break;
            }
            for (size_t i = 0; i < count; ++i) {
                const float* point = run.data + i * stride;
                std::memcpy(points + 3 * (first + i), point, 3 * sizeof(float));
                if (scalars) {
                    std::memcpy(scalars + scalar_count * (first + i), point + 3,
                                scalar_count * sizeof(float));
                }
            }
        }
    }
    if (error == NoError && swap_bytes) {
        ReverseEach<4>(points, 3 * point_count);
        if (scalars) ReverseEach<4>(scalars, point_count * scalar_count);
    }

    if (property_count != 0) {
        if (properties) {
            if (!ReadValues(file, properties, property_count)) {
                error = ReadFailed;
                return false;
            }
        } else if (!Seek(file, 4 * int64_t(property_count), SEEK_CUR)) {
            error = ReadFailed;
        }
    }
    if (error != NoError) return false;
    if (swap_bytes && properties) ReverseEach<4>(properties, property_count);
    return true;
}

bool CTrackReader::GetNextRawData(int n, float* block) {
    if (!HasOpenFile()) return false;
    const int64_t values = BodyValueCount(n, header.scalar_count, header.property_count);
    if (n < 0 || values < 0 || !ReadValues(file, block, size_t(values))) {
        error = ReadFailed;
        return false;
    }
    error = NoError;
    if (swap_bytes) ReverseEach<4>(block, size_t(values));
    return true;
}

bool CTrackReader::CanReadTrackBody(int n) {
    if (!file || n < 0 || header.scalar_count < 0 || header.property_count < 0) return false;
    const int64_t bytes = 4 * ((3 + int64_t(header.scalar_count)) * n + header.property_count);
    const int64_t position = ftello(file);
    return position >= 0 && bytes <= file_size - position;
}

bool CTrackReader::GetNumberOfTracks(int* count) {
    *count = 0;
    if (!HasOpenFile()) return false;
    if (header.track_count != 0) {
        *count = header.track_count;
        error = NoError;
        return true;
    }

    const int64_t position = ftello(file);
    error = position >= 0 && Seek(file, FirstTrackOffset()) ? NoError : ReadFailed;
    int n;
    while (error == NoError && std::fread(&n, sizeof(int), 1, file) == 1) {
        if (swap_bytes) ReverseBytes(n);
        // A negative count (or a negative body from negative header counts) ends the scan,
        // since seeking by it would step backwards.
        if (n < 0 || (3 + int64_t(header.scalar_count)) * n + header.property_count < 0) break;
        const int64_t values = BodyValueCount(n, header.scalar_count, header.property_count);
        if (values < 0 || *count == INT_MAX) {
            error = ReadFailed;
            break;
        }
        ++*count;
        if (!Seek(file, 4 * values, SEEK_CUR)) error = ReadFailed;
    }
    if (!Seek(file, position)) error = ReadFailed;
    if (error != NoError) {
        *count = 0;
        return false;
    }
    header.track_count = *count;
    return true;
}

int CTrackReader::GetNumberOfTracks() {
    int count = 0;
    GetNumberOfTracks(&count);
    return count;
}

int CTrackReader::GetProgress() {
    if (!file || file_size <= 0) return 0;
    return static_cast<int>(ftello(file) * 100.0 / file_size);
}

// ---------------------------------------------------------------------------------------------
// CTrackWriter

CTrackWriter::CTrackWriter() {}

bool CTrackWriter::Initialize(const char* path, TRACK_HEADER hdr) {
    Close();
    CTrackIO::Close();  // a file whose header could not be rewritten is dropped as it stands
    file = OpenStream(path, "wb");
    if (!HasOpenFile()) return false;
    if (IsForeignOrder(hdr)) ReverseHeaderByteOrder(hdr);
    header = hdr;
    header.version = 2;
    header.header_size = 1000;
    const bool written = std::fwrite(&header, sizeof(header), 1, file) == 1;
    header.track_count = 0;
    error = written ? NoError : WriteFailed;
    return written;
}

bool CTrackWriter::Initialize(const char* path, short* dims, float* voxel_size, float* aux,
                              short scalar_count) {
    TRACK_HEADER hdr;
    for (int i = 0; i < 3; ++i) {
        hdr.dimension[i] = dims[i];
        hdr.voxel_size[i] = voxel_size[i];
        hdr.aux_vector[i] = aux ? aux[i] : 0.0f;
    }
    hdr.scalar_count = scalar_count;
    return Initialize(path, hdr);
}

bool CTrackWriter::Initialize(const char* path, int* dims, float* voxel_size, float* aux,
                              short scalar_count) {
    short low_bits[3];
    for (int i = 0; i < 3; ++i)
        low_bits[i] = static_cast<short>(dims[i] & 0xFFFF);
    return Initialize(path, low_bits, voxel_size, aux, scalar_count);
}

bool CTrackWriter::WriteNextTrack(int n, float* points, float* scalars, float* properties) {
    if (!HasOpenFile()) return false;
    error = NoError;
    const int scalar_count = header.scalar_count;
    const int property_count = header.property_count;
    // Refuse before writing anything what cannot make a whole record.
    if (n < 0 || scalar_count < 0 || property_count < 0 ||
        (n > 0 && scalar_count != 0 && !scalars) || (property_count != 0 && !properties) ||
        header.track_count == INT_MAX) {
        error = WriteFailed;
        return false;
    }

    if (std::fwrite(&n, sizeof(int), 1, file) != 1) error = WriteFailed;
    const size_t point_count = size_t(n);
    const size_t stride = 3 + size_t(scalar_count);
    if (scalar_count == 0) {
        if (!WriteValues(file, points, 3 * point_count)) error = WriteFailed;
    } else {
        // Interleave whole runs of points with their scalars, then write each run at once.
        PointRunBuffer run(stride);
        for (size_t first = 0; first < point_count; first += run.points_per_run) {
            const size_t count = std::min(run.points_per_run, point_count - first);
            for (size_t i = 0; i < count; ++i) {
                float* point = run.data + i * stride;
                std::memcpy(point, points + 3 * (first + i), 3 * sizeof(float));
                std::memcpy(point + 3, scalars + scalar_count * (first + i),
                            scalar_count * sizeof(float));
            }
            if (!WriteValues(file, run.data, count * stride)) error = WriteFailed;
        }
    }

    if (property_count != 0 && !WriteValues(file, properties, property_count)) {
        error = WriteFailed;
        return false;
    }
    if (error != NoError) return false;
    ++header.track_count;
    return true;
}

bool CTrackWriter::WriteNextTrack(int n, float* block) {
    if (!HasOpenFile()) return false;
    const int64_t values = BodyValueCount(n, header.scalar_count, header.property_count);
    if (n < 0 || values < 0 || header.track_count == INT_MAX) {
        error = WriteFailed;
        return false;
    }
    error = NoError;
    if (std::fwrite(&n, sizeof(int), 1, file) != 1) error = WriteFailed;
    if (!WriteValues(file, block, size_t(values))) {
        error = WriteFailed;
        return false;
    }
    if (error != NoError) return false;
    ++header.track_count;
    return true;
}

bool CTrackWriter::WriteDataBlock(void* data, int size) {
    if (!file || size <= 0) return false;
    return std::fwrite(data, 1, size_t(size), file) == size_t(size);
}

bool CTrackWriter::WriteHeaderInPlace() {
    const int64_t position = ftello(file);
    bool written =
        position >= 0 && Seek(file, 0) && std::fwrite(&header, sizeof(header), 1, file) == 1;
    // Later records go where the stream was, also after a failed rewrite.
    written = position >= 0 && Seek(file, position) && written;
    error = written ? NoError : WriteFailed;
    return written;
}

bool CTrackWriter::Close() {
    if (!HasOpenFile()) return false;
    if (!WriteHeaderInPlace()) return false;
    return CTrackIO::Close();
}

bool CTrackWriter::UpdateHeader(TRACK_HEADER hdr) {
    if (!HasOpenFile()) return false;
    if (IsForeignOrder(hdr)) ReverseHeaderByteOrder(hdr);
    header = hdr;
    header.header_size = 1000;
    return WriteHeaderInPlace();
}

bool CTrackWriter::UpdateHeader(const char* path, TRACK_HEADER hdr) {
    fibrejoin::UniqueFile stream = fibrejoin::OpenFile(path, "r+b");
    if (!stream) return false;
    TRACK_HEADER existing;
    if (std::fread(&existing, sizeof(existing), 1, stream.get()) != 1) return false;
    hdr.header_size = 1000;
    if (IsForeignOrder(existing)) ReverseHeaderByteOrder(hdr);
    const bool written =
        Seek(stream.get(), 0) && std::fwrite(&hdr, sizeof(hdr), 1, stream.get()) == 1;
    // The bytes only reach the file when the stream is flushed on closing.
    const bool closed = fibrejoin::CloseFile(stream);
    return written && closed;
}
