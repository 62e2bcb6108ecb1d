#include "trackio/TrackFile.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstring>
#include <limits>
#include <locale>
#include <sstream>

#include "trackio/TrackIO.h"
#include "utils/ByteOrder.h"
#include "utils/CheckedMath.h"
#include "utils/Memory.h"

namespace fibrejoin {

namespace {

// A .tck header longer than this is taken for damage rather than read into memory.
constexpr size_t kMaxTckHeader = size_t(1) << 20;
// .tck points are read through a window of this many bytes (a whole number of triplets).
constexpr size_t kTckWindow = size_t(12) << 14;
// Width of the count field in a .tck header: room for any int64, so it is rewritten in place.
constexpr size_t kCountWidth = 20;

std::string Reason() {
    return errno ? std::strerror(errno) : "unknown error";
}

Matrix4 Identity() {
    Matrix4 m{};
    m[0] = m[5] = m[10] = m[15] = 1.0;
    return m;
}

Matrix4 Diagonal(const std::array<float, 3>& voxelSize) {
    Matrix4 m = Identity();
    for (int i = 0; i < 3; ++i)
        m[5 * i] = voxelSize[i];
    return m;
}

// The matrix the header stands for: voxelToWorld, or the voxel sizes alone when it is unset.
Matrix4 EffectiveMatrix(const TrackFileHeader& header) {
    return header.voxelToWorld[15] != 0.0 ? header.voxelToWorld : Diagonal(header.voxelSize);
}

Matrix4 Multiply(const Matrix4& a, const Matrix4& b) {
    Matrix4 c{};
    for (int r = 0; r < 4; ++r)
        for (int k = 0; k < 4; ++k)
            for (int j = 0; j < 4; ++j)
                c[4 * r + j] += a[4 * r + k] * b[4 * k + j];
    return c;
}

// Inverse of an affine matrix (last row 0 0 0 1); false when its linear part is singular.
bool InvertAffine(const Matrix4& m, Matrix4& inverse) {
    auto at = [&m](int r, int c) { return m[4 * r + c]; };
    const double det = at(0, 0) * (at(1, 1) * at(2, 2) - at(1, 2) * at(2, 1)) -
                       at(0, 1) * (at(1, 0) * at(2, 2) - at(1, 2) * at(2, 0)) +
                       at(0, 2) * (at(1, 0) * at(2, 1) - at(1, 1) * at(2, 0));
    if (!std::isfinite(det) || det == 0.0) return false;
    inverse = Identity();
    for (int r = 0; r < 3; ++r) {
        for (int c = 0; c < 3; ++c) {
            // Cofactor of (c, r), the cyclic form keeps the signs.
            const int r1 = (c + 1) % 3, r2 = (c + 2) % 3, c1 = (r + 1) % 3, c2 = (r + 2) % 3;
            inverse[4 * r + c] = (at(r1, c1) * at(r2, c2) - at(r1, c2) * at(r2, c1)) / det;
        }
    }
    for (int r = 0; r < 3; ++r)
        inverse[4 * r + 3] = -(inverse[4 * r] * at(0, 3) + inverse[4 * r + 1] * at(1, 3) +
                               inverse[4 * r + 2] * at(2, 3));
    return true;
}

bool IsIdentity(const Matrix4& m) {
    return m == Identity();
}

std::string Lower(std::string text) {
    for (char& c : text)
        c = char(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

// Numbers in text, separated by blanks, read in the classic locale whatever the process uses.
std::vector<double> ParseNumbers(const std::string& text) {
    std::istringstream in(text);
    in.imbue(std::locale::classic());
    std::vector<double> values;
    double value;
    while (in >> value)
        values.push_back(value);
    if (!in.eof()) values.clear();
    return values;
}

std::string FormatNumbers(const double* values, size_t count) {
    std::ostringstream out;
    out.imbue(std::locale::classic());
    out.precision(17);
    for (size_t i = 0; i < count; ++i)
        out << (i ? " " : "") << values[i];
    return out.str();
}

std::string Trim(const std::string& text) {
    const size_t first = text.find_first_not_of(" \t\r");
    if (first == std::string::npos) return "";
    return text.substr(first, text.find_last_not_of(" \t\r") - first + 1);
}

// The voxel-axis change between two orientation codes (such as "LPS" and "LAS") on a grid of
// dims: maps voxel indices along the axes of `from` to those along the axes of `to`, flipping an
// axis across the grid. Identity when either code does not name three distinct axes.
Matrix4 AxisChange(const std::string& from, const std::string& to, const std::array<int, 3>& dims) {
    const auto axis = [](char letter) {
        switch (std::toupper(static_cast<unsigned char>(letter))) {
            case 'L':
                return -1;
            case 'R':
                return 1;
            case 'P':
                return -2;
            case 'A':
                return 2;
            case 'I':
                return -3;
            case 'S':
                return 3;
        }
        return 0;
    };
    Matrix4 change = Identity();
    if (from.size() != 3 || to.size() != 3) return change;
    int source[3], target[3];
    for (int i = 0; i < 3; ++i) {
        source[i] = axis(from[i]);
        target[i] = axis(to[i]);
    }
    Matrix4 result{};
    result[15] = 1.0;
    for (int i = 0; i < 3; ++i) {
        int found = 0;
        for (int j = 0; j < 3; ++j) {
            if (source[i] == 0 || std::abs(source[i]) != std::abs(target[j])) continue;
            const double sign = source[i] == target[j] ? 1.0 : -1.0;
            result[4 * i + j] = sign;
            result[4 * i + 3] = sign < 0 ? dims[i] - 1.0 : 0.0;
            ++found;
        }
        if (found != 1) return change;
    }
    return result;
}

// A name slot of a .trk header: up to 20 bytes, ended by a zero byte when shorter.
std::string SlotText(const char* slot, size_t size) {
    return std::string(slot, strnlen(slot, size));
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Headers and spaces

bool FormatFromPath(const std::string& path, TrackFormat& format, std::string& message) {
    const size_t dot = path.find_last_of('.');
    const std::string extension = dot == std::string::npos ? "" : Lower(path.substr(dot));
    if (extension == ".trk" && path.find('/', dot) == std::string::npos) {
        format = TrackFormat::Trk;
        return true;
    }
    if (extension == ".tck" && path.find('/', dot) == std::string::npos) {
        format = TrackFormat::Tck;
        return true;
    }
    message = path + ": unknown track file format (the name must end in .trk or .tck)";
    return false;
}

TrackFileHeader MakeTrackFileHeader(const std::array<int, 3>& dims,
                                    const std::array<float, 3>& voxelSize) {
    TrackFileHeader header;
    header.dims = dims;
    header.voxelSize = voxelSize;
    header.voxelToWorld = Diagonal(voxelSize);
    header.orientation = "RAS";
    return header;
}

std::string OrientationFromMatrix(const Matrix4& m) {
    std::string code;
    bool taken[3] = {false, false, false};
    for (int column = 0; column < 3; ++column) {
        int best = -1;
        for (int row = 0; row < 3; ++row) {
            const double value = std::fabs(m[4 * row + column]);
            if (!taken[row] && value > 0.0 && (best < 0 || value > std::fabs(m[4 * best + column])))
                best = row;
        }
        if (best < 0) return "";
        taken[best] = true;
        code += (m[4 * best + column] > 0.0 ? "RAS" : "LPI")[best];
    }
    return code;
}

bool SpaceTransform(const TrackFileHeader& header, PointSpace from, PointSpace to, Matrix4& affine,
                    std::string& message) {
    affine = Identity();
    if (from == to) return true;
    // VoxelMm to World: world = M * (p / voxelSize - 0.5).
    Matrix4 toVoxels = Identity();
    for (int i = 0; i < 3; ++i) {
        const double size = header.voxelSize[i];
        if (!(size > 0.0) || !std::isfinite(size)) {
            message = "voxel size " + std::to_string(size) + " cannot map points between spaces";
            return false;
        }
        toVoxels[5 * i] = 1.0 / size;
        toVoxels[4 * i + 3] = -0.5;
    }
    const Matrix4 toWorld = Multiply(EffectiveMatrix(header), toVoxels);
    if (from == PointSpace::VoxelMm) {
        affine = toWorld;
        // Still checked, so that the two directions refuse the same matrices.
        Matrix4 unused;
        if (InvertAffine(toWorld, unused)) return true;
    } else if (InvertAffine(toWorld, affine)) {
        return true;
    }
    message = "the voxel-to-world matrix is singular";
    return false;
}

void TransformPoints(const Matrix4& a, float* points, size_t pointCount) {
    for (size_t i = 0; i < pointCount; ++i) {
        float* p = points + 3 * i;
        const double x = p[0], y = p[1], z = p[2];
        for (int r = 0; r < 3; ++r)
            p[r] = float(a[4 * r] * x + a[4 * r + 1] * y + a[4 * r + 2] * z + a[4 * r + 3]);
    }
}

void TrackSet::Append(const Track& track) {
    if (offsets.empty()) offsets.push_back(0);
    points.insert(points.end(), track.points.begin(), track.points.end());
    offsets.push_back(offsets.back() + int64_t(track.PointCount()));
    scalars.insert(scalars.end(), track.scalars.begin(), track.scalars.end());
    properties.insert(properties.end(), track.properties.begin(), track.properties.end());
}

// ---------------------------------------------------------------------------------------------
// Reader

// The .trk reader with the state it keeps for derived classes: where the stream is, and how
// the file was recognised.
class TrackFileReader::TrkSource : public CTrackReader {
  public:
    int64_t Position() const { return file ? int64_t(ftello(file)) : 0; }
    int64_t Size() const { return file_size; }
    bool Foreign() const { return swap_bytes; }
    bool Headerless() const { return headerless; }
    TrackIOError Error() const { return error; }
};

TrackFileReader::TrackFileReader() = default;
TrackFileReader::~TrackFileReader() = default;

bool TrackFileReader::Stop(const std::string& reason) {
    message_ = path_ + ": stopped at track " + std::to_string(tracksRead_) + ", byte offset " +
               std::to_string(trackStart_) + ": " + reason;
    finished_ = true;
    return false;
}

int64_t TrackFileReader::bytePosition() const {
    if (trk_) return trk_->Position();
    return windowStart_ + int64_t(windowUsed_);
}

bool TrackFileReader::Open(const std::string& path, std::string& message) {
    trk_.reset();
    tck_.reset();
    window_.clear();
    window_.shrink_to_fit();
    windowUsed_ = windowEnd_ = 0;
    windowStart_ = 0;
    header_ = TrackFileHeader();
    message_.clear();
    tracksRead_ = 0;
    fileSize_ = 0;
    finished_ = true;
    path_ = path;
    if (!FormatFromPath(path, header_.format, message)) return false;
    if (header_.format == TrackFormat::Tck) return OpenTck(message);

    trk_.reset(new TrkSource);
    TRACK_HEADER trk;
    errno = 0;
    if (!trk_->Open(path.c_str(), &trk)) {
        message = path + (trk_->Error() == OpenFailed
                              ? ": cannot open: " + Reason()
                              : std::string(": not a track file (shorter than its header)"));
        trk_.reset();
        return false;
    }
    if (trk.scalar_count < 0 || trk.property_count < 0) {
        message = path + ": damaged header: negative scalar or property count";
        trk_.reset();
        return false;
    }
    fileSize_ = trk_->Size();
    header_.dims = {trk.dimension[0], trk.dimension[1], trk.dimension[2]};
    header_.voxelSize = {trk.voxel_size[0], trk.voxel_size[1], trk.voxel_size[2]};
    // Version 1 files had no matrix; their bytes there mean nothing.
    header_.orientation = SlotText(trk.orientation_code, sizeof(trk.orientation_code));
    if (trk.version != 1 && trk.aux_matrix[15] != 0.0f) {
        Matrix4 stored;
        std::copy(trk.aux_matrix, trk.aux_matrix + 16, stored.begin());
        // Points are stored along the axes the orientation code names; where that is not the
        // matrix's own axis order, common readers reorder the axes first, and so does this.
        header_.voxelToWorld = Multiply(
            stored, AxisChange(header_.orientation, OrientationFromMatrix(stored), header_.dims));
    } else {
        header_.voxelToWorld = Diagonal(header_.voxelSize);
    }
    for (int i = 0; i < trk.scalar_count; ++i)
        header_.scalarNames.push_back(i < 10 ? SlotText(trk.scalar_names[i], 20) : "");
    for (int i = 0; i < trk.property_count; ++i)
        header_.propertyNames.push_back(i < 10 ? SlotText(trk.property_names[i], 20) : "");
    header_.foreignByteOrder = trk_->Foreign();
    header_.storedTrackCount = trk.track_count > 0 ? trk.track_count : -1;
    header_.space = PointSpace::VoxelMm;
    nextStart_ = trk_->Position();
    finished_ = false;
    return true;
}

bool TrackFileReader::next(Track& track) {
    if (finished_) return false;
    trackStart_ = trk_ ? nextStart_ : bytePosition();
    return trk_ ? NextTrk(track) : NextTck(track);
}

bool TrackFileReader::next(TrackSet& tracks) {
    if (finished_) return false;
    trackStart_ = trk_ ? nextStart_ : bytePosition();
    if (trk_) return NextTrkInto(tracks);
    if (!NextTck(scratch_)) return false;
    tracks.Append(scratch_);
    return true;
}

// The next point count, checked against the rest of the file before anything is sized by it.
bool TrackFileReader::TrkPointCount(int& n) {
    if (!trk_->GetNextPointCount(&n)) {
        finished_ = true;
        if (trackStart_ >= fileSize_) return false;
        return Stop("the file ends inside a point count");
    }
    if (n < 0) return Stop("negative point count " + std::to_string(n));
    // Positions are counted here rather than asked of the stream: a tell per track is a system
    // call per track.
    const int64_t bytes =
        4 * ((3 + int64_t(header_.scalarNames.size())) * n + int64_t(header_.propertyNames.size()));
    if (bytes > fileSize_ - trackStart_ - 4)
        return Stop("a track of " + std::to_string(n) + " points runs past the end of the file");
    nextStart_ = trackStart_ + 4 + bytes;
    return true;
}

bool TrackFileReader::NextTrk(Track& track) {
    int n = 0;
    if (!TrkPointCount(n)) return false;
    const size_t points = size_t(n);
    track.points.resize(3 * points);
    track.scalars.resize(header_.scalarNames.size() * points);
    track.properties.resize(header_.propertyNames.size());
    if (!trk_->GetNextTrackData(n, track.points.data(), track.scalars.data(),
                                track.properties.data()))
        return Stop("cannot read the track's values");
    ++tracksRead_;
    return true;
}

bool TrackFileReader::NextTrkInto(TrackSet& tracks) {
    int n = 0;
    if (!TrkPointCount(n)) return false;
    const size_t points = size_t(n);
    const size_t pointsAt = tracks.points.size(), scalarsAt = tracks.scalars.size(),
                 propertiesAt = tracks.properties.size();
    tracks.points.resize(pointsAt + 3 * points);
    tracks.scalars.resize(scalarsAt + header_.scalarNames.size() * points);
    tracks.properties.resize(propertiesAt + header_.propertyNames.size());
    if (!trk_->GetNextTrackData(n, tracks.points.data() + pointsAt,
                                tracks.scalars.data() + scalarsAt,
                                tracks.properties.data() + propertiesAt)) {
        tracks.points.resize(pointsAt);
        tracks.scalars.resize(scalarsAt);
        tracks.properties.resize(propertiesAt);
        return Stop("cannot read the track's values");
    }
    if (tracks.offsets.empty()) tracks.offsets.push_back(0);
    tracks.offsets.push_back(tracks.offsets.back() + int64_t(points));
    ++tracksRead_;
    return true;
}

bool TrackFileReader::OpenTck(std::string& message) {
    errno = 0;
    tck_ = OpenFile(path_, "rb");
    if (!tck_) {
        message = path_ + ": cannot open: " + Reason();
        return false;
    }
    fileSize_ = FileSize(tck_.get());
    if (fileSize_ < 0) {
        message = path_ + ": not a regular file";
        return false;
    }
    const auto refuse = [&](const std::string& reason) {
        message = path_ + ": " + reason;
        tck_.reset();
        return false;
    };
    // The text header: "mrtrix tracks", then "key: value" lines up to "END".
    std::string line;
    size_t headerBytes = 0;
    bool first = true, ended = false;
    int64_t offset = -1;
    std::string datatype;
    std::vector<double> grid[3];
    for (int c; !ended && (c = std::fgetc(tck_.get())) != EOF;) {
        if (++headerBytes > kMaxTckHeader) return refuse("header longer than 1 MiB");
        if (c != '\n') {
            line += char(c);
            continue;
        }
        line = Trim(line);
        if (first) {
            if (line != "mrtrix tracks") return refuse("not a .tck file (no \"mrtrix tracks\")");
            first = false;
        } else if (line == "END") {
            ended = true;
        } else if (!line.empty()) {
            const size_t colon = line.find(':');
            if (colon == std::string::npos) return refuse("header line without a key: " + line);
            const std::string key = Trim(line.substr(0, colon));
            const std::string value = Trim(line.substr(colon + 1));
            if (key == "datatype") {
                datatype = value;
            } else if (key == "count") {
                const std::vector<double> count = ParseNumbers(value);
                if (count.size() == 1 && count[0] >= 0 && count[0] <= double(INT64_MAX / 2))
                    header_.storedTrackCount = int64_t(count[0]);
            } else if (key == "file") {
                const std::vector<double> at = ParseNumbers(value.substr(value.find('.') + 1));
                if (value.compare(0, 1, ".") != 0 || at.size() != 1 || !(at[0] >= 0) ||
                    at[0] > double(fileSize_))
                    return refuse("unsupported or damaged \"file\" entry: " + value);
                offset = int64_t(at[0]);
            } else if (key == "grid_dimensions") {
                grid[0] = ParseNumbers(value);
            } else if (key == "grid_voxel_sizes") {
                grid[1] = ParseNumbers(value);
            } else if (key == "grid_voxel_to_world") {
                grid[2] = ParseNumbers(value);
            }
        }
        line.clear();
    }
    if (!ended) return refuse("the header has no END line");
    if (offset < 0) return refuse("the header has no \"file\" entry");
    if (offset < int64_t(headerBytes)) return refuse("the points start inside the header");
    if (datatype == "Float32BE") {
        bigEndian_ = true;
    } else if (datatype == "Float32LE") {
        bigEndian_ = false;
    } else {
        return refuse("unsupported datatype \"" + datatype + "\" (Float32LE or Float32BE)");
    }
    header_.foreignByteOrder = bigEndian_;
    // The grid of the image the tracks were made on, when the file carries it.
    header_.voxelToWorld = Identity();
    header_.voxelSize = {1.0f, 1.0f, 1.0f};
    if (grid[0].size() == 3 && grid[1].size() == 3 && grid[2].size() == 16) {
        for (int i = 0; i < 3; ++i) {
            header_.dims[i] = FitsInt(int64_t(grid[0][i])) ? int(grid[0][i]) : 0;
            header_.voxelSize[i] = float(grid[1][i]);
        }
        std::copy(grid[2].begin(), grid[2].end(), header_.voxelToWorld.begin());
    }
    header_.orientation = OrientationFromMatrix(header_.voxelToWorld);
    header_.space = PointSpace::World;
    if (!Seek(tck_.get(), offset)) return refuse("cannot seek to the points: " + Reason());
    window_.resize(kTckWindow);
    windowStart_ = offset;
    finished_ = false;
    return true;
}

// Moves the unread bytes to the front of the window and reads behind them; true when a whole
// triplet is available.
bool TrackFileReader::FillTck() {
    const size_t left = windowEnd_ - windowUsed_;
    std::memmove(window_.data(), window_.data() + windowUsed_, left);
    windowStart_ += int64_t(windowUsed_);
    windowUsed_ = 0;
    windowEnd_ = left + std::fread(window_.data() + left, 1, window_.size() - left, tck_.get());
    return windowEnd_ >= 12;
}

bool TrackFileReader::NextTck(Track& track) {
    track.points.clear();
    track.scalars.clear();
    track.properties.clear();
    for (;;) {
        if (windowEnd_ - windowUsed_ < 12 && !FillTck()) {
            if (windowEnd_ != 0) return Stop("the file ends inside a point");
            if (!track.points.empty()) return Stop("the file ends inside a track");
            finished_ = true;  // ended after a whole track, without the end marker
            return false;
        }
        float xyz[3];
        std::memcpy(xyz, window_.data() + windowUsed_, 12);
        if (bigEndian_) ReverseEach<4>(xyz, 3);
        if (std::isinf(xyz[0]) && std::isinf(xyz[1]) && std::isinf(xyz[2])) {
            if (!track.points.empty()) return Stop("the end marker comes inside a track");
            windowUsed_ += 12;
            finished_ = true;
            return false;
        }
        windowUsed_ += 12;
        if (std::isnan(xyz[0]) && std::isnan(xyz[1]) && std::isnan(xyz[2])) {
            ++tracksRead_;
            return true;
        }
        track.points.insert(track.points.end(), xyz, xyz + 3);
    }
}

// ---------------------------------------------------------------------------------------------
// Writer

// CTrackWriter::Close seeks to the header before its last flush, and a seek that must flush
// records first drops them unreported when the disk is full; flushing here first catches that.
class TrackFileWriter::TrkSink : public CTrackWriter {
  public:
    bool Flush() { return file && std::fflush(file) == 0 && !std::ferror(file); }
};

TrackFileWriter::TrackFileWriter() = default;

TrackFileWriter::~TrackFileWriter() {
    Discard();
}

void TrackFileWriter::Discard() {
    open_ = false;
    trk_.reset();
    output_.Discard();
}

bool TrackFileWriter::Fail(const std::string& reason) {
    if (failure_.empty()) failure_ = path_ + ": " + reason;
    return false;
}

bool TrackFileWriter::Open(const std::string& path, const TrackFileHeader& header, bool replace,
                           std::string& message) {
    trk_.reset();
    output_.Discard();
    open_ = false;
    failure_.clear();
    tracksWritten_ = 0;
    path_ = path;
    if (!FormatFromPath(path, format_, message)) return false;
    const auto refuse = [&](const std::string& reason) {
        message = path + ": " + reason;
        trk_.reset();
        output_.Discard();
        return false;
    };
    for (float size : header.voxelSize)
        if (!(size > 0.0f) || !std::isfinite(size))
            return refuse("voxel size " + std::to_string(size) + " is not a positive size");
    const Matrix4 matrix = EffectiveMatrix(header);
    const std::string orientation = OrientationFromMatrix(matrix);
    if (orientation.empty()) return refuse("the voxel-to-world matrix has an axis of zeros");
    const PointSpace fileSpace =
        format_ == TrackFormat::Trk ? PointSpace::VoxelMm : PointSpace::World;
    std::string reason;
    if (!SpaceTransform(header, header.space, fileSpace, toFile_, reason)) return refuse(reason);
    transform_ = !IsIdentity(toFile_);
    scalarCount_ = header.scalarNames.size();
    propertyCount_ = header.propertyNames.size();

    TRACK_HEADER trk;
    if (format_ == TrackFormat::Trk) {
        for (int i = 0; i < 3; ++i) {
            if (header.dims[i] < 0 || header.dims[i] > SHRT_MAX)
                return refuse("grid dimension " + std::to_string(header.dims[i]) +
                              " does not fit a .trk header");
            trk.dimension[i] = short(header.dims[i]);
            trk.voxel_size[i] = header.voxelSize[i];
        }
        if (scalarCount_ > size_t(SHRT_MAX) || propertyCount_ > size_t(SHRT_MAX))
            return refuse("too many scalars or properties for a .trk file");
        trk.scalar_count = short(scalarCount_);
        trk.property_count = short(propertyCount_);
        for (auto [names, slots] : {std::make_pair(&header.scalarNames, trk.scalar_names),
                                    std::make_pair(&header.propertyNames, trk.property_names)}) {
            for (size_t i = 0; i < names->size() && i < 10; ++i) {
                if ((*names)[i].size() > 19)
                    return refuse("name \"" + (*names)[i] + "\" is longer than 19 characters");
                std::memcpy(slots[i], (*names)[i].c_str(), (*names)[i].size() + 1);
            }
        }
        // Common readers take this field for the voxel-to-RAS matrix (voxel centres) and the
        // orientation code for the axis order the points are stored in; both then agree.
        for (int i = 0; i < 16; ++i)
            trk.aux_matrix[i] = float(matrix[i]);
        std::memcpy(trk.orientation_code, orientation.c_str(), 4);
    } else if (scalarCount_ != 0 || propertyCount_ != 0) {
        return refuse(".tck files cannot store per-point scalars or per-track properties");
    }

    if (!output_.Open(path, replace, message)) return false;
    if (format_ == TrackFormat::Trk) {
        // CTrackWriter opens its file by name, so it writes the temporary file by its name;
        // OutputFile keeps the decision over the destination.
        trk_.reset(new TrkSink);
        errno = 0;
        if (!trk_->Initialize(output_.temporary().c_str(), trk))
            return refuse("cannot write the header: " + Reason());
    } else {
        std::string text = "mrtrix tracks\ncount: ";
        countOffset_ = int64_t(text.size());
        text += "0" + std::string(kCountWidth - 1, ' ') + "\ndatatype: Float32LE\n";
        const double dims[3] = {double(header.dims[0]), double(header.dims[1]),
                                double(header.dims[2])};
        const double sizes[3] = {header.voxelSize[0], header.voxelSize[1], header.voxelSize[2]};
        text += "grid_dimensions: " + FormatNumbers(dims, 3) + "\n";
        text += "grid_voxel_sizes: " + FormatNumbers(sizes, 3) + "\n";
        text += "grid_voxel_to_world: " + FormatNumbers(matrix.data(), 16) + "\n";
        text += "file: . ";
        // The offset counts its own digits.
        const std::string tail = "\nEND\n";
        size_t offset = text.size() + tail.size() + 1;
        while (std::to_string(offset).size() != offset - text.size() - tail.size())
            ++offset;
        text += std::to_string(offset) + tail;
        errno = 0;
        if (!WriteAll(output_.get(), text.data(), text.size()))
            return refuse("cannot write the header: " + Reason());
        buffer_.clear();
    }
    open_ = true;
    return true;
}

bool TrackFileWriter::write(const Track& track) {
    const size_t n = track.PointCount();
    if (track.points.size() != 3 * n || track.scalars.size() != scalarCount_ * n ||
        track.properties.size() != propertyCount_)
        return Fail("track " + std::to_string(tracksWritten_) +
                    " does not have the header's numbers of scalars and properties");
    if (!FitsInt(int64_t(n))) return Fail("track with more points than a file can hold");
    return write(track.points.data(), int(n), track.scalars.data(), track.properties.data());
}

bool TrackFileWriter::write(const float* points, int pointCount, const float* scalars,
                            const float* properties) {
    if (!open_) return Fail("no output is open");
    if (!failure_.empty()) return false;
    if (pointCount < 0 || (pointCount > 0 && !points) ||
        (pointCount > 0 && scalarCount_ > 0 && !scalars) || (propertyCount_ > 0 && !properties))
        return Fail("track " + std::to_string(tracksWritten_) + " lacks values the header names");
    const float* stored = points;
    if (transform_ || format_ == TrackFormat::Tck) {
        buffer_.assign(points, points + 3 * size_t(pointCount));
        if (transform_) TransformPoints(toFile_, buffer_.data(), size_t(pointCount));
        stored = buffer_.data();
    }
    errno = 0;
    if (format_ == TrackFormat::Tck) {
        if (!WriteTck()) return false;
    } else if (!trk_->WriteNextTrack(pointCount, const_cast<float*>(stored),
                                     const_cast<float*>(scalars), const_cast<float*>(properties))) {
        return Fail("cannot write track " + std::to_string(tracksWritten_) + ": " + Reason());
    }
    ++tracksWritten_;
    return true;
}

// buffer_ holds the track's points; the end marker goes behind them and all is one write.
bool TrackFileWriter::WriteTck() {
    buffer_.insert(buffer_.end(), 3, std::numeric_limits<float>::quiet_NaN());
    if (!WriteAll(output_.get(), buffer_.data(), buffer_.size() * sizeof(float)))
        return Fail("cannot write track " + std::to_string(tracksWritten_) + ": " + Reason());
    return true;
}

bool TrackFileWriter::Close(std::string& message) {
    const bool wasOpen = open_;
    open_ = false;
    if (!wasOpen && failure_.empty()) Fail("no output is open");
    if (failure_.empty()) {
        errno = 0;
        if (format_ == TrackFormat::Trk) {
            if (!trk_->Flush() || !trk_->Close()) Fail("cannot complete the file: " + Reason());
            trk_.reset();
        } else {
            const float end[3] = {std::numeric_limits<float>::infinity(),
                                  std::numeric_limits<float>::infinity(),
                                  std::numeric_limits<float>::infinity()};
            std::string count = std::to_string(tracksWritten_);
            count.resize(kCountWidth, ' ');
            if (!WriteAll(output_.get(), end, sizeof(end)) || !Seek(output_.get(), countOffset_) ||
                !WriteAll(output_.get(), count.data(), count.size()))
                Fail("cannot complete the file: " + Reason());
        }
    }
    if (!failure_.empty()) {
        message = failure_;
        trk_.reset();
        output_.Discard();
        return false;
    }
    return output_.Commit(message);
}

// ---------------------------------------------------------------------------------------------
// Whole files

bool LoadTracks(const std::string& path, TrackFileHeader& header, TrackSet& tracks,
                std::string& message) {
    tracks = TrackSet();
    TrackFileReader reader;
    if (!reader.Open(path, message)) return false;
    header = reader.header();
    // Room for every value the file can hold, so that the arrays are not moved while they grow:
    // a point takes 4 * (3 + S) bytes of the file, and .trk points are 12 bytes at least.
    const size_t scalars = header.scalarNames.size();
    const size_t mostPoints = size_t(reader.fileSize()) / (4 * (3 + scalars));
    ReserveLarge(tracks.points, 3 * mostPoints);
    ReserveLarge(tracks.scalars, scalars * mostPoints);
    while (reader.next(tracks)) {
    }
    if (!reader.ok()) {
        message = reader.message();
        return false;
    }
    return true;
}

bool SaveTracks(const std::string& path, const TrackFileHeader& header, const TrackSet& tracks,
                bool replace, std::string& message) {
    const size_t scalars = header.scalarNames.size(), properties = header.propertyNames.size();
    const size_t count = tracks.TrackCount();
    const size_t points = tracks.points.size() / 3;
    bool consistent =
        !tracks.offsets.empty() && tracks.offsets.front() == 0 &&
        tracks.offsets.back() == int64_t(points) && tracks.points.size() == 3 * points &&
        tracks.scalars.size() == scalars * points && tracks.properties.size() == properties * count;
    for (size_t t = 0; consistent && t < count; ++t)
        consistent = tracks.offsets[t] <= tracks.offsets[t + 1] &&
                     FitsInt(tracks.offsets[t + 1] - tracks.offsets[t]);
    if (!consistent) {
        message = path + ": the tracks' offsets and value counts do not match their arrays";
        return false;
    }
    TrackFileWriter writer;
    if (!writer.Open(path, header, replace, message)) return false;
    for (size_t t = 0; t < count; ++t) {
        const size_t first = size_t(tracks.offsets[t]);
        writer.write(
            tracks.points.data() + 3 * first, int(tracks.offsets[t + 1] - tracks.offsets[t]),
            tracks.scalars.data() + scalars * first, tracks.properties.data() + properties * t);
    }
    return writer.Close(message);
}

}  // namespace fibrejoin
