// Track files by format: .trk (the toolkit's own 1000-byte-header format, read and written through
// CTrackReader and CTrackWriter) and .tck (a text header, then float32 point triplets in world
// millimetres), behind one header type, one streaming reader and one checked writer.
//
// TrackFileReader owns its open file and delivers one track at a time into a Track the caller
// owns, so that memory does not grow with the file. TrackFileWriter owns its output, which is
// written under a temporary name and only replaces the destination when Close succeeds.
// LoadTracks/SaveTracks move a whole file in or out of a TrackSet (all points in one array plus
// per-track offsets). Every failure returns false with a message naming the file and the reason.
//
// Point spaces: VoxelMm is the toolkit's track space, millimetres from the corner of the grid
// (voxel i spans [i * size, (i + 1) * size), its centre is at (i + 0.5) * size); World is the
// millimetre space of header.voxelToWorld, which maps voxel indices (voxel centres) to world mm:
//     world = voxelToWorld * (p / voxelSize - 0.5)
#ifndef FIBREJOIN_TRACKIO_TRACKFILE_H
#define FIBREJOIN_TRACKIO_TRACKFILE_H

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "utils/File.h"

namespace fibrejoin {

enum class TrackFormat { Trk, Tck };

// The format named by the extension of path (".trk" or ".tck", any case); false with a message
// for any other.
bool FormatFromPath(const std::string& path, TrackFormat& format, std::string& message);

enum class PointSpace { VoxelMm, World };

using Matrix4 = std::array<double, 16>;  // 4x4, row-major

struct TrackFileHeader {
    std::array<int, 3> dims{};
    std::array<float, 3> voxelSize{};
    // Voxel indices (centres) to world mm. From a .trk file: its matrix field when set (with
    // the axes reordered to those of its orientation code where the two differ), else the voxel
    // sizes on the diagonal; from a .tck file: the grid it carries, else identity.
    Matrix4 voxelToWorld{};
    // Axis directions, such as "LPS" or "RAS": as stored in a .trk file, derived from the
    // matrix otherwise. Writers always store the code that matches voxelToWorld.
    std::string orientation;
    std::vector<std::string> scalarNames, propertyNames;  // one per value, possibly empty
    bool foreignByteOrder = false;
    int64_t storedTrackCount = -1;  // the count the file states; -1 when it states none
    // Space of the points a reader delivers (.trk: VoxelMm, .tck: World) and a writer takes.
    PointSpace space = PointSpace::VoxelMm;
    TrackFormat format = TrackFormat::Trk;
};

// A header for tracks on a grid: voxelToWorld is the voxel sizes on the diagonal unless given.
TrackFileHeader MakeTrackFileHeader(const std::array<int, 3>& dims,
                                    const std::array<float, 3>& voxelSize);

// The orientation code of a voxel-to-world matrix: for each voxel axis in turn, the world axis it
// follows most closely among those not yet taken ("R"/"L", "A"/"P", "S"/"I"). Empty when an axis
// of the matrix is zero.
std::string OrientationFromMatrix(const Matrix4& voxelToWorld);

// The affine (4x4, row-major) taking points in space `from` to space `to` for the header's grid;
// false with a message when voxel sizes or the matrix cannot be inverted.
bool SpaceTransform(const TrackFileHeader& header, PointSpace from, PointSpace to, Matrix4& affine,
                    std::string& message);
// Applies an affine to pointCount x, y, z triplets in place (computed in double).
void TransformPoints(const Matrix4& affine, float* points, size_t pointCount);

struct Track {
    std::vector<float> points;      // x, y, z per point
    std::vector<float> scalars;     // scalarNames.size() per point
    std::vector<float> properties;  // propertyNames.size()
    size_t PointCount() const { return points.size() / 3; }
};

// Many tracks in a few arrays, laid out as in array-sequence containers: track t has the points
// offsets[t] to offsets[t + 1] - 1 (in points, not floats).
struct TrackSet {
    std::vector<float> points;
    std::vector<int64_t> offsets{0};
    std::vector<float> scalars;     // S per point
    std::vector<float> properties;  // P per track
    size_t TrackCount() const { return offsets.empty() ? 0 : offsets.size() - 1; }
    void Append(const Track& track);
};

class TrackFileReader {
  public:
    TrackFileReader();
    ~TrackFileReader();
    TrackFileReader(const TrackFileReader&) = delete;
    TrackFileReader& operator=(const TrackFileReader&) = delete;

    // Opens path (format by extension) and reads its header; a reader can open files in turn.
    bool Open(const std::string& path, std::string& message);
    const TrackFileHeader& header() const { return header_; }
    // The next track, points in header().space. false at the end of the file, and on damage:
    // then ok() is false and message() names the damaged track (its index from 0 and the byte
    // offset where it starts) and what is wrong with it.
    bool next(Track& track);
    // The same, appending the track to tracks; a .trk body is read straight into their arrays.
    bool next(TrackSet& tracks);
    bool ok() const { return message_.empty(); }
    const std::string& message() const { return message_; }
    int64_t bytePosition() const;
    int64_t fileSize() const { return fileSize_; }
    int64_t tracksRead() const { return tracksRead_; }

  private:
    class TrkSource;
    bool OpenTck(std::string& message);
    bool NextTrk(Track& track);
    bool NextTrkInto(TrackSet& tracks);
    bool TrkPointCount(int& count);
    bool NextTck(Track& track);
    bool FillTck();
    bool Stop(const std::string& reason);

    std::string path_;
    TrackFileHeader header_;
    std::string message_;
    int64_t fileSize_ = 0;
    int64_t tracksRead_ = 0;
    int64_t trackStart_ = 0;  // byte offset of the track being read
    int64_t nextStart_ = 0;   // .trk: byte offset of the next track
    bool finished_ = true;
    std::unique_ptr<TrkSource> trk_;
    // .tck: the file, a window of its bytes and where that window starts in the file.
    UniqueFile tck_;
    std::vector<unsigned char> window_;
    size_t windowUsed_ = 0, windowEnd_ = 0;
    int64_t windowStart_ = 0;
    bool bigEndian_ = false;
    Track scratch_;  // a .tck track on its way into a TrackSet
};

class TrackFileWriter {
  public:
    TrackFileWriter();
    ~TrackFileWriter();  // without a successful Close nothing is left behind
    TrackFileWriter(const TrackFileWriter&) = delete;
    TrackFileWriter& operator=(const TrackFileWriter&) = delete;

    // Starts the output at path (format by extension; header.format is not consulted). Points
    // given to write are in header.space. An existing path is refused unless replace is true.
    // .tck files carry no scalars or properties: a header naming some is refused for them.
    bool Open(const std::string& path, const TrackFileHeader& header, bool replace,
              std::string& message);
    // One track: pointCount points, scalars (S per point) and properties (P) as the header
    // names them (null when there are none). false once anything failed; Close says why.
    bool write(const Track& track);
    bool write(const float* points, int pointCount, const float* scalars, const float* properties);
    // Completes the file (track count in its header) and moves it to its destination. On any
    // failure, here or earlier, neither the destination nor a temporary file remains.
    bool Close(std::string& message);
    // Abandons the output: neither the destination nor a temporary file remains.
    void Discard();
    // Why a write failed, naming the file; empty while none did.
    const std::string& failure() const { return failure_; }
    int64_t tracksWritten() const { return tracksWritten_; }

  private:
    class TrkSink;
    bool Fail(const std::string& reason);
    bool WriteTck();

    OutputFile output_;
    std::unique_ptr<TrkSink> trk_;
    TrackFormat format_ = TrackFormat::Trk;
    std::string path_;
    std::string failure_;
    bool open_ = false;
    size_t scalarCount_ = 0, propertyCount_ = 0;
    Matrix4 toFile_{};  // header.space to the file's space
    bool transform_ = false;
    std::vector<float> buffer_;
    int64_t tracksWritten_ = 0;
    int64_t countOffset_ = 0;  // .tck: where the count's digits start
};

// Reads a whole file into tracks (points in header.space).
bool LoadTracks(const std::string& path, TrackFileHeader& header, TrackSet& tracks,
                std::string& message);
// Writes tracks (points in header.space) to path, format by extension.
bool SaveTracks(const std::string& path, const TrackFileHeader& header, const TrackSet& tracks,
                bool replace, std::string& message);

}  // namespace fibrejoin

#endif  // FIBREJOIN_TRACKIO_TRACKFILE_H
