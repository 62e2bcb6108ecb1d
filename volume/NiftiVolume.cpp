#include "volume/NiftiVolume.h"

#include <zlib.h>

#include <unistd.h>
#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>

#include "utils/ByteOrder.h"
#include "utils/CheckedMath.h"
#include "utils/File.h"
#include "utils/Memory.h"

extern "C" {
#include <nifti2_io.h>
}

namespace fibrejoin {

namespace {

// Values read and converted at a time (at most 512 KiB of raw bytes, 256 KiB as floats): small
// beside any image worth reading in chunks.
constexpr size_t kChunkValues = size_t(1) << 16;
// Deflate never expands data more than about 1032 times, so a compressed file of n bytes cannot
// hold more than this many times n bytes: the bound that sizes a .gz read before inflating it.
constexpr int64_t kMaxInflation = 1032;

struct TypeInfo {
    int code;
    VoxelType type;
    int width;
};
constexpr TypeInfo kTypes[] = {
    {DT_UINT8, VoxelType::UInt8, 1},     {DT_INT8, VoxelType::Int8, 1},
    {DT_INT16, VoxelType::Int16, 2},     {DT_UINT16, VoxelType::UInt16, 2},
    {DT_INT32, VoxelType::Int32, 4},     {DT_UINT32, VoxelType::UInt32, 4},
    {DT_FLOAT32, VoxelType::Float32, 4}, {DT_FLOAT64, VoxelType::Float64, 8},
};

const TypeInfo* FindCode(int code) {
    for (const TypeInfo& info : kTypes)
        if (info.code == code) return &info;
    return nullptr;
}
const TypeInfo& FindType(VoxelType type) {
    for (const TypeInfo& info : kTypes)
        if (info.type == type) return info;
    return kTypes[0];
}

struct NiftiFree {
    void operator()(nifti_image* image) const { nifti_image_free(image); }
};
using UniqueNifti = std::unique_ptr<nifti_image, NiftiFree>;

struct MallocFree {
    void operator()(void* block) const { std::free(block); }
};

std::string Reason() {
    return std::strerror(errno);
}

// Where the values are and how to turn them into floats, every field checked against the file.
struct Layout {
    std::array<int64_t, 7> dims{};  // dimensions 1 to 7, 1 where unused
    int64_t count = 0;              // values in the file
    TypeInfo type{};
    bool swap = false;
    bool scaled = false;
    double slope = 1, intercept = 0;
    std::string dataPath;
    int64_t offset = 0;
    bool compressed = false;
};

// The data file, plain or gzip, read front to back.
class Source {
  public:
    ~Source() {
        if (gz_) gzclose(gz_);
    }
    bool Open(const Layout& layout, std::string& message) {
        path_ = layout.dataPath;
        if (layout.compressed) {
            gz_ = gzopen(path_.c_str(), "rb");
            if (!gz_) return Fail("cannot open: " + Reason(), message);
            gzbuffer(gz_, 1 << 17);
            if (gzseek(gz_, z_off_t(layout.offset), SEEK_SET) != z_off_t(layout.offset))
                return Fail("the data ends before its offset " + std::to_string(layout.offset),
                            message);
            return true;
        }
        file_ = OpenFile(path_, "rb");
        if (!file_) return Fail("cannot open: " + Reason(), message);
        if (!Seek(file_.get(), layout.offset)) return Fail("cannot seek: " + Reason(), message);
        return true;
    }
    // Reads exactly `bytes` bytes.
    bool Read(void* data, size_t bytes, std::string& message) {
        unsigned char* at = static_cast<unsigned char*>(data);
        while (bytes > 0) {
            const size_t step = std::min(bytes, kChunkValues * 8);
            if (gz_) {
                const int got = gzread(gz_, at, unsigned(step));
                if (got < 0 || size_t(got) != step) {
                    int code = 0;
                    const char* text = gzerror(gz_, &code);
                    return Fail(code != Z_OK && text && *text
                                    ? std::string("damaged compressed data: ") + text
                                    : std::string("the data ends early"),
                                message);
                }
            } else if (std::fread(at, 1, step, file_.get()) != step) {
                return Fail(std::ferror(file_.get()) ? "cannot read: " + Reason()
                                                     : std::string("the data ends early"),
                            message);
            }
            at += step;
            bytes -= step;
        }
        return true;
    }

  private:
    bool Fail(const std::string& reason, std::string& message) const {
        message = path_ + ": " + reason;
        return false;
    }
    std::string path_;
    UniqueFile file_;
    gzFile gz_ = nullptr;
};

template <typename T>
void ConvertAs(const unsigned char* raw, float* out, size_t n) {
    for (size_t i = 0; i < n; ++i) {
        T value;
        std::memcpy(&value, raw + i * sizeof(T), sizeof(T));
        out[i] = float(value);
    }
}

// Converts n raw values (already in native byte order) into floats.
void Convert(VoxelType type, const unsigned char* raw, float* out, size_t n) {
    switch (type) {
        case VoxelType::UInt8:
            ConvertAs<uint8_t>(raw, out, n);
            break;
        case VoxelType::Int8:
            ConvertAs<int8_t>(raw, out, n);
            break;
        case VoxelType::Int16:
            ConvertAs<int16_t>(raw, out, n);
            break;
        case VoxelType::UInt16:
            ConvertAs<uint16_t>(raw, out, n);
            break;
        case VoxelType::Int32:
            ConvertAs<int32_t>(raw, out, n);
            break;
        case VoxelType::UInt32:
            ConvertAs<uint32_t>(raw, out, n);
            break;
        case VoxelType::Float32:
            ConvertAs<float>(raw, out, n);
            break;
        case VoxelType::Float64:
            ConvertAs<double>(raw, out, n);
            break;
    }
}

void Unswap(int width, void* raw, size_t n) {
    if (width == 2) ReverseEach<2>(raw, n);
    if (width == 4) ReverseEach<4>(raw, n);
    if (width == 8) ReverseEach<8>(raw, n);
}

// Reads every value in file order. place(first, n) says where values first .. first + n - 1 go
// as floats; done(first, n, values) is called once they are there, scaled.
template <class Place, class Done>
bool ReadValues(const Layout& layout, Place place, Done done, std::string& message) {
    Source source;
    if (!source.Open(layout, message)) return false;
    const size_t width = size_t(layout.type.width);
    const size_t chunkValues = kChunkValues;
    // float32 goes straight into its place; other types pass through one raw chunk.
    const bool direct = layout.type.type == VoxelType::Float32;
    std::vector<unsigned char> raw(direct ? 0 : chunkValues * width);
    for (int64_t first = 0; first < layout.count;) {
        const size_t n = size_t(std::min<int64_t>(layout.count - first, int64_t(chunkValues)));
        float* out = place(first, n);
        void* target = direct ? static_cast<void*>(out) : raw.data();
        if (!source.Read(target, n * width, message)) return false;
        if (layout.swap) Unswap(int(width), target, n);
        if (!direct) Convert(layout.type.type, raw.data(), out, n);
        if (layout.scaled) {
            for (size_t i = 0; i < n; ++i)
                out[i] = float(double(out[i]) * layout.slope + layout.intercept);
        }
        done(first, n, out);
        first += int64_t(n);
    }
    return true;
}

bool Fail(const std::string& path, const std::string& reason, std::string& message) {
    message = path + ": " + reason;
    return false;
}

// The NIfTI library overruns its stack on some NIfTI-2 headers with a wild dimension count and
// prints to stderr whatever its message level, so the few fields it trusts are checked here
// before it sees the header: the header size (either byte order), the dimensions and the data
// type. `path` names the header file.
bool CheckHeaderStart(const std::string& path, std::string& message) {
    union {
        nifti_1_header n1;
        nifti_2_header n2;
        unsigned char bytes[sizeof(nifti_2_header)];
    } start{};
    gzFile file = gzopen(path.c_str(), "rb");  // reads plain files as they are
    if (!file) return Fail(path, "cannot open: " + Reason(), message);
    const int got = gzread(file, start.bytes, unsigned(sizeof start.bytes));
    gzclose(file);
    int32_t size = start.n1.sizeof_hdr, swapped = size;
    ReverseBytes(swapped);
    const bool swap = swapped == 348 || swapped == 540;
    if (swap) size = swapped;
    if ((size != 348 && size != 540) || got < size)
        return Fail(path, "not a NIfTI or Analyze image", message);
    std::array<int64_t, 8> dim{};
    int16_t datatype = size == 348 ? start.n1.datatype : start.n2.datatype;
    for (size_t i = 0; i < 8; ++i) {
        if (size == 348) {
            int16_t value = start.n1.dim[i];
            if (swap) ReverseBytes(value);
            dim[i] = value;
        } else {
            int64_t value = start.n2.dim[i];
            if (swap) ReverseBytes(value);
            dim[i] = value;
        }
    }
    if (swap) ReverseBytes(datatype);
    if (dim[0] < 1 || dim[0] > 7) {
        return Fail(path, std::to_string(dim[0]) + " dimensions, an image has 1 to 7", message);
    }
    for (size_t i = 1; i <= size_t(dim[0]); ++i) {
        if (dim[i] < 1) {
            return Fail(path, "dimension " + std::to_string(i) + " is " + std::to_string(dim[i]),
                        message);
        }
    }
    if (!FindCode(datatype)) {
        return Fail(path,
                    std::string("data type ") + nifti_datatype_string(datatype) + " (" +
                        std::to_string(datatype) + ") cannot be read",
                    message);
    }
    return true;
}

// Reads and checks the header of `path`, filling the layout and the geometry of `image`.
bool ReadHeader(const std::string& path, Layout& layout, Image& image, std::string& message) {
    nifti_set_debug_level(0);
    // A pair may be named by its title or its image file; the library finds the header.
    std::unique_ptr<char, MallocFree> headerPath(nifti_findhdrname(path.c_str()));
    if (!headerPath) {
        if (access(path.c_str(), R_OK) != 0) return Fail(path, "cannot open: " + Reason(), message);
        return Fail(path, "not a NIfTI or Analyze image", message);
    }
    if (!CheckHeaderStart(headerPath.get(), message)) return false;
    const UniqueNifti header(nifti_image_read(path.c_str(), 0));
    if (!header) return Fail(path, "not a NIfTI or Analyze image", message);
    const nifti_image& h = *header;
    if (h.nifti_type == NIFTI_FTYPE_ASCII) return Fail(path, "ASCII NIfTI is not read", message);

    // Checked above, read again as the library saw them.
    const int64_t ndim = h.dim[0];
    if (ndim < 1 || ndim > 7) return Fail(path, "unusable dimensions", message);
    for (int i = 0; i < 7; ++i) {
        const int64_t size = i < ndim ? h.dim[i + 1] : 1;
        if (size < 1) return Fail(path, "unusable dimensions", message);
        layout.dims[size_t(i)] = size;
    }
    const TypeInfo* type = FindCode(h.datatype);
    if (!type) return Fail(path, "unusable data type", message);
    layout.type = *type;
    int64_t count = 0, bytes = 0, end = 0;
    const auto& d = layout.dims;
    if (!CheckedProduct(count, d[0], d[1], d[2], d[3], d[4], d[5], d[6]) ||
        (bytes = ByteCount(count, type->width)) < 0 || h.iname_offset < 0 ||
        !CheckedAdd(bytes, int64_t(h.iname_offset), end) ||
        count > int64_t(std::vector<float>().max_size())) {
        return Fail(path, "dimensions too large", message);
    }
    layout.count = count;
    layout.offset = h.iname_offset;
    layout.swap = h.byteorder != nifti_short_order();
    layout.scaled = h.scl_slope != 0 && std::isfinite(h.scl_slope);
    layout.slope = layout.scaled ? h.scl_slope : 1;
    layout.intercept = layout.scaled && std::isfinite(h.scl_inter) ? h.scl_inter : 0;
    if (!h.iname) return Fail(path, "no data file", message);
    layout.dataPath = h.iname;
    layout.compressed = nifti_is_gzfile(h.iname) != 0;

    // The data must fit in the file (when compressed: in what the file can inflate to), before
    // anything is allocated for it.
    const UniqueFile data = OpenFile(layout.dataPath, "rb");
    const int64_t fileSize = data ? FileSize(data.get()) : -1;
    if (fileSize < 0) return Fail(layout.dataPath, "cannot open: " + Reason(), message);
    int64_t room = fileSize;
    if (layout.compressed && !CheckedMultiply(fileSize, kMaxInflation, room))
        room = std::numeric_limits<int64_t>::max();
    if (end > room) {
        return Fail(layout.dataPath,
                    "the header describes " + std::to_string(bytes) + " bytes of data from byte " +
                        std::to_string(layout.offset) + ", more than the " +
                        (layout.compressed ? "compressed " : "") + "file of " +
                        std::to_string(fileSize) + " bytes holds",
                    message);
    }

    image.dims = {d[0], d[1], d[2], d[3] * d[4] * d[5] * d[6]};
    image.voxelSize = {float(std::fabs(h.dx)), float(std::fabs(h.dy)), float(std::fabs(h.dz))};
    image.storedType = type->type;
    image.voxelToWorld = {};
    const nifti_dmat44* matrix = h.sform_code > 0   ? &h.sto_xyz
                                 : h.qform_code > 0 ? &h.qto_xyz
                                                    : nullptr;
    for (int r = 0; r < 4; ++r)
        for (int c = 0; c < 4; ++c)
            image.voxelToWorld[size_t(4 * r + c)] = matrix ? matrix->m[r][c]
                                                    : r == c
                                                        ? (r < 3 ? image.voxelSize[size_t(r)] : 1)
                                                        : 0;
    return true;
}

// The element positions of the toolkit's order (xx, xy, xz, yy, yz, zz) for each stored volume.
std::array<int, 6> Slots(TensorOrder order) {
    switch (order) {
        case TensorOrder::Lower:
            return {0, 1, 3, 2, 4, 5};
        case TensorOrder::DiagonalFirst:
            return {0, 3, 5, 1, 2, 4};
        case TensorOrder::Upper:
            break;
    }
    return {0, 1, 2, 3, 4, 5};
}

// The rotation of a voxel-to-world matrix: its 3x3 part with the column lengths divided out,
// made orthonormal. false when a column is zero or not finite.
bool Rotation(const std::array<double, 16>& m, double r[3][3]) {
    nifti_dmat33 a;
    for (int c = 0; c < 3; ++c) {
        const double length =
            std::sqrt(m[size_t(c)] * m[size_t(c)] + m[size_t(4 + c)] * m[size_t(4 + c)] +
                      m[size_t(8 + c)] * m[size_t(8 + c)]);
        if (!(length > 0) || !std::isfinite(length)) return false;
        for (int row = 0; row < 3; ++row)
            a.m[row][c] = m[size_t(4 * row + c)] / length;
    }
    const nifti_dmat33 q = nifti_dmat33_polar(a);
    for (int row = 0; row < 3; ++row)
        for (int c = 0; c < 3; ++c) {
            if (!std::isfinite(q.m[row][c])) return false;
            r[row][c] = q.m[row][c];
        }
    return true;
}

// D <- R^T D R for one six-element tensor.
void ToVoxelAxes(const double r[3][3], float* t) {
    const double d[3][3] = {{t[0], t[1], t[2]}, {t[1], t[3], t[4]}, {t[2], t[4], t[5]}};
    double dr[3][3], out[3][3];
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j)
            dr[i][j] = d[i][0] * r[0][j] + d[i][1] * r[1][j] + d[i][2] * r[2][j];
    for (int i = 0; i < 3; ++i)
        for (int j = i; j < 3; ++j)
            out[i][j] = r[0][i] * dr[0][j] + r[1][i] * dr[1][j] + r[2][i] * dr[2][j];
    t[0] = float(out[0][0]);
    t[1] = float(out[0][1]);
    t[2] = float(out[0][2]);
    t[3] = float(out[1][1]);
    t[4] = float(out[1][2]);
    t[5] = float(out[2][2]);
}

template <typename T>
void StoreAs(const float* in, unsigned char* raw, size_t n) {
    for (size_t i = 0; i < n; ++i) {
        T value;
        if constexpr (std::is_same<T, float>::value) {
            value = in[i];
        } else {
            const float v = std::nearbyint(in[i]);
            value = std::isnan(v)                               ? T(0)
                    : v <= float(std::numeric_limits<T>::min()) ? std::numeric_limits<T>::min()
                    : v >= float(std::numeric_limits<T>::max()) ? std::numeric_limits<T>::max()
                                                                : T(v);
        }
        std::memcpy(raw + i * sizeof(T), &value, sizeof(T));
    }
}

bool EndsWith(const std::string& text, const std::string& end) {
    return text.size() > end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

}  // namespace

bool ReadImage(const std::string& path, Image& image, std::string& message) {
    Layout layout;
    Image result;
    if (!ReadHeader(path, layout, result, message)) return false;
    result.voxels.resize(size_t(layout.count));
    float* voxels = result.voxels.data();
    if (!ReadValues(
            layout, [voxels](int64_t first, size_t) { return voxels + first; },
            [](int64_t, size_t, const float*) {}, message)) {
        return false;
    }
    image = std::move(result);
    return true;
}

bool ReadTensorImage(const std::string& path, TensorOrder order, TensorFrame frame,
                     TensorImage& image, std::string& message) {
    Layout layout;
    Image geometry;
    if (!ReadHeader(path, layout, geometry, message)) return false;
    const auto& d = layout.dims;
    const int64_t volumes = geometry.dims[3];
    if (volumes != 6) {
        return Fail(path,
                    std::to_string(volumes) + (volumes == 1 ? " volume" : " volumes") +
                        ", a tensor image needs 6",
                    message);
    }
    if (d[3] != 6 && d[4] != 6) {
        return Fail(path, "the six tensor elements must lie along the fourth or fifth dimension",
                    message);
    }
    const int64_t voxels = geometry.VoxelsPerVolume();
    int64_t values = 0;
    if (!FitsInt(voxels) || !CheckedMultiply(voxels, int64_t(6), values) || !FitsInt(values))
        return Fail(path, "too many voxels for a tensor field", message);
    double rotation[3][3];
    if (frame == TensorFrame::World && !Rotation(geometry.voxelToWorld, rotation))
        return Fail(path, "the image matrix has no usable rotation", message);

    TensorImage result;
    result.dims = {int(d[0]), int(d[1]), int(d[2])};
    result.voxelSize = geometry.voxelSize;
    result.voxelToWorld = geometry.voxelToWorld;
    result.tensors.resize(size_t(values));
    const std::array<int, 6> slots = Slots(order);
    std::vector<float> chunk(std::min<size_t>(size_t(values), kChunkValues));
    float* tensors = result.tensors.data();
    float* scratch = chunk.data();
    // The file holds the volumes one after the other; each value goes to its voxel's slot.
    const auto scatter = [&](int64_t first, size_t n, const float* in) {
        int64_t volume = first / voxels, voxel = first % voxels;
        for (size_t i = 0; i < n; ++i) {
            tensors[6 * voxel + slots[size_t(volume)]] = in[i];
            if (++voxel == voxels) voxel = 0, ++volume;
        }
    };
    if (!ReadValues(
            layout, [scratch](int64_t, size_t) { return scratch; }, scatter, message)) {
        return false;
    }
    if (frame == TensorFrame::World) {
        for (int64_t v = 0; v < voxels; ++v)
            ToVoxelAxes(rotation, tensors + 6 * v);
    }
    image = std::move(result);
    return true;
}

bool WriteImage(const std::string& path, const Image& image, VoxelType type, std::string& message) {
    const bool compressed = EndsWith(path, ".nii.gz");
    if (!compressed && !EndsWith(path, ".nii"))
        return Fail(path, "the name must end in .nii or .nii.gz", message);
    if (type != VoxelType::Float32 && type != VoxelType::Int16 && type != VoxelType::UInt8)
        return Fail(path, "only float32, int16 and uint8 images are written", message);
    int64_t count = 0;
    for (int64_t size : image.dims) {
        if (size < 1 || size > std::numeric_limits<int16_t>::max())
            return Fail(path, "each dimension must lie between 1 and 32767", message);
    }
    if (!CheckedProduct(count, image.dims[0], image.dims[1], image.dims[2], image.dims[3]) ||
        count != int64_t(image.voxels.size())) {
        return Fail(path,
                    "the dimensions call for " + std::to_string(count) + " values, the image has " +
                        std::to_string(image.voxels.size()),
                    message);
    }
    const TypeInfo& info = FindType(type);

    // The header comes from the library; only the geometry is filled in here.
    const int64_t dims[8] = {image.dims[3] > 1 ? 4 : 3,
                             image.dims[0],
                             image.dims[1],
                             image.dims[2],
                             image.dims[3],
                             1,
                             1,
                             1};
    std::unique_ptr<nifti_1_header, MallocFree> made(nifti_make_new_n1_header(dims, info.code));
    if (!made) return Fail(path, "cannot make a header", message);
    nifti_1_header& header = *made;
    static_assert(sizeof header == 348, "a NIfTI-1 header is 348 bytes");
    nifti_dmat44 matrix{};
    const bool unset = std::all_of(image.voxelToWorld.begin(), image.voxelToWorld.end(),
                                   [](double v) { return v == 0; });
    for (int r = 0; r < 4; ++r)
        for (int c = 0; c < 4; ++c)
            matrix.m[r][c] = unset ? (r == c ? (r < 3 ? image.voxelSize[size_t(r)] : 1) : 0)
                                   : image.voxelToWorld[size_t(4 * r + c)];
    double qb, qc, qd, qx, qy, qz, dx, dy, dz, qfac;
    nifti_dmat44_to_quatern(matrix, &qb, &qc, &qd, &qx, &qy, &qz, &dx, &dy, &dz, &qfac);
    header.pixdim[0] = float(qfac);
    header.pixdim[1] = float(dx);
    header.pixdim[2] = float(dy);
    header.pixdim[3] = float(dz);
    header.quatern_b = float(qb);
    header.quatern_c = float(qc);
    header.quatern_d = float(qd);
    header.qoffset_x = float(qx);
    header.qoffset_y = float(qy);
    header.qoffset_z = float(qz);
    for (int c = 0; c < 4; ++c) {
        header.srow_x[c] = float(matrix.m[0][c]);
        header.srow_y[c] = float(matrix.m[1][c]);
        header.srow_z[c] = float(matrix.m[2][c]);
    }
    header.qform_code = NIFTI_XFORM_SCANNER_ANAT;
    header.sform_code = NIFTI_XFORM_SCANNER_ANAT;
    header.xyzt_units = NIFTI_UNITS_MM;
    header.scl_slope = 0;
    header.scl_inter = 0;
    header.vox_offset = 352;
    std::memcpy(header.magic, "n+1", 4);

    OutputFile output;
    if (!output.Open(path, true, message)) return false;
    gzFile gz = nullptr;
    if (compressed) {
        const int descriptor = dup(fileno(output.get()));
        gz = descriptor < 0 ? nullptr : gzdopen(descriptor, "wb6");
        if (!gz) {
            if (descriptor >= 0) close(descriptor);
            return Fail(path, "cannot start compressing", message);
        }
    }
    const auto write = [&](const void* data, size_t bytes) {
        if (!gz) return WriteAll(output.get(), data, bytes);
        return bytes == 0 || gzwrite(gz, data, unsigned(bytes)) == int(bytes);
    };
    const char extension[4] = {0, 0, 0, 0};
    bool ok = write(&header, sizeof header) && write(extension, sizeof extension);
    std::vector<unsigned char> raw(kChunkValues * size_t(info.width));
    const size_t chunkValues = kChunkValues;
    for (size_t first = 0; ok && first < image.voxels.size(); first += chunkValues) {
        const size_t n = std::min(chunkValues, image.voxels.size() - first);
        const float* in = image.voxels.data() + first;
        if (type == VoxelType::Float32) {
            ok = write(in, n * sizeof(float));
            continue;
        }
        if (type == VoxelType::Int16) StoreAs<int16_t>(in, raw.data(), n);
        if (type == VoxelType::UInt8) StoreAs<uint8_t>(in, raw.data(), n);
        ok = write(raw.data(), n * size_t(info.width));
    }
    if (gz && gzclose(gz) != Z_OK) ok = false;
    if (!ok) return Fail(path, "cannot write: " + Reason(), message);
    return output.Commit(message);
}

}  // namespace fibrejoin
