// Track files: a 1000-byte header followed by track records (streamlines of 3-D points, each
// point with the same number of scalars, each track with the same number of properties).
//
// TRACK_HEADER is the header byte for byte. CTrackIO is the common base of the sequential reader
// CTrackReader and the writer CTrackWriter: each object owns its open stream and its in-memory
// header (always in native byte order) and keeps the kind of its last error. Track buffers are
// always owned by the caller; no operation throws.
#ifndef FIBREJOIN_TRACKIO_TRACKIO_H
#define FIBREJOIN_TRACKIO_TRACKIO_H

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>

// The file header. Constructing one gives the default header: all bytes zero except the magic
// "TRACK", orientation "LPS", axis vectors (1,0,0) and (0,1,0), version 2 and header_size 1000.
struct TRACK_HEADER {
    char magic[6];
    short dimension[3];
    float voxel_size[3];
    float aux_vector[3];
    short scalar_count;
    char scalar_names[10][20];
    short property_count;
    char property_names[10][20];
    float aux_matrix[16];
    char reserved[444];
    char orientation_code[4];
    char secondary_orientation_code[4];
    float axis_vectors[6];
    char extra_bytes[8];
    int track_count;
    int version;
    int header_size;  // 1000; read in the other byte order it marks a foreign-order file

    TRACK_HEADER();
};

static_assert(sizeof(TRACK_HEADER) == 1000, "the header is 1000 bytes");
static_assert(offsetof(TRACK_HEADER, dimension) == 6, "header layout");
static_assert(offsetof(TRACK_HEADER, voxel_size) == 12, "header layout");
static_assert(offsetof(TRACK_HEADER, aux_vector) == 24, "header layout");
static_assert(offsetof(TRACK_HEADER, scalar_count) == 36, "header layout");
static_assert(offsetof(TRACK_HEADER, scalar_names) == 38, "header layout");
static_assert(offsetof(TRACK_HEADER, property_count) == 238, "header layout");
static_assert(offsetof(TRACK_HEADER, property_names) == 240, "header layout");
static_assert(offsetof(TRACK_HEADER, aux_matrix) == 440, "header layout");
static_assert(offsetof(TRACK_HEADER, reserved) == 504, "header layout");
static_assert(offsetof(TRACK_HEADER, orientation_code) == 948, "header layout");
static_assert(offsetof(TRACK_HEADER, secondary_orientation_code) == 952, "header layout");
static_assert(offsetof(TRACK_HEADER, axis_vectors) == 956, "header layout");
static_assert(offsetof(TRACK_HEADER, extra_bytes) == 980, "header layout");
static_assert(offsetof(TRACK_HEADER, track_count) == 988, "header layout");
static_assert(offsetof(TRACK_HEADER, version) == 992, "header layout");
static_assert(offsetof(TRACK_HEADER, header_size) == 996, "header layout");

enum TrackIOError : int {
    NoError = 0,
    OpenFailed = 1,
    CloseFailed = 2,
    ReadFailed = 3,
    WriteFailed = 4,
    NotCompatible = 5,
    NotInitialized = 6,
};

class CTrackIO {
  public:
    // Message texts, indexed by TrackIOError.
    static const char* const error_message[7];

    CTrackIO();
    virtual ~CTrackIO();
    CTrackIO(const CTrackIO&) = delete;
    CTrackIO& operator=(const CTrackIO&) = delete;

    // Closes the open stream, if any; true when there was none or it closed cleanly.
    virtual bool Close();
    // Copies the in-memory header; fails with NotInitialized when no file is open.
    bool GetHeader(TRACK_HEADER* out);
    const char* GetLastErrorMessage() const;

  protected:
    // True when a file is open; otherwise sets NotInitialized.
    bool HasOpenFile();
    // Opens `path` with a large stream buffer; nullptr when fopen fails.
    FILE* OpenStream(const char* path, const char* mode);

    TRACK_HEADER header;
    FILE* file;
    TrackIOError error;

  private:
    std::unique_ptr<char[]> stream_buffer;  // lives as long as the object, so it outlives `file`
};

class CTrackReader : public CTrackIO {
  public:
    CTrackReader();

    // Opens a headed file (either byte order) or a headerless one and positions it at the first
    // track. `out`, when given, receives the header, also after a header that was cut short.
    bool Open(const char* path, TRACK_HEADER* out);
    // As above; fills dims and voxel_size from the header whatever the result.
    bool Open(const char* path, int* dims, float* voxel_size);
    // Reads only the header of `path`; `out` is filled exactly when Open would fill it.
    static bool GetHeader(const char* path, TRACK_HEADER* out);
    using CTrackIO::GetHeader;

    bool GetNextPointCount(int* n);
    // Reads a body in separated form; `scalars` and `properties` may be null to skip them.
    bool GetNextTrackData(int n, float* points, float* scalars, float* properties);
    // Reads a body in file order: (3 + scalar_count) * n + property_count floats. A negative n
    // is refused (ReadFailed) even where the properties would make the count positive, as the
    // writer refuses it.
    bool GetNextRawData(int n, float* block);

    // True when n is not negative and a body of n points fits in what remains of the open file;
    // lets a caller refuse a hostile point count before it allocates buffers for it.
    bool CanReadTrackBody(int n);

    // Uses the header's count, or counts the records by scanning (and remembers the result).
    bool GetNumberOfTracks(int* count);
    int GetNumberOfTracks();
    // Percentage of the file read so far, 0 to 100.
    int GetProgress();

  protected:
    bool swap_bytes;
    bool headerless;
    int64_t file_size;

  private:
    int64_t FirstTrackOffset() const { return headerless ? 24 : 1000; }
};

class CTrackWriter : public CTrackIO {
  public:
    CTrackWriter();

    // Creates `path` and writes `hdr` (converted to native order if it is foreign), with
    // version 2 and header_size 1000. A file still open is finished by Close first.
    bool Initialize(const char* path, TRACK_HEADER hdr);
    // Builds the header from the default one; aux may be null (zeros).
    bool Initialize(const char* path, short* dims, float* voxel_size, float* aux,
                    short scalar_count);
    // As above; each dimension keeps its low 16 bits.
    bool Initialize(const char* path, int* dims, float* voxel_size, float* aux, short scalar_count);

    bool WriteNextTrack(int n, float* points, float* scalars, float* properties);
    bool WriteNextTrack(int n, float* block);
    // Appends raw bytes; counts no track.
    bool WriteDataBlock(void* data, int size);

    // Rewrites the header with the number of tracks written, then closes the file.
    bool Close() override;

    // Replaces the header of the open file; the track count continues from hdr's.
    bool UpdateHeader(TRACK_HEADER hdr);
    // Replaces the first 1000 bytes of an existing file, written in that file's byte order.
    static bool UpdateHeader(const char* path, TRACK_HEADER hdr);

  private:
    bool WriteHeaderInPlace();
};

#endif  // FIBREJOIN_TRACKIO_TRACKIO_H
