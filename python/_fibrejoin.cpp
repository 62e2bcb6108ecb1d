// The extension module fibrejoin._fibrejoin: thin bindings over fibrecore, wrapped by the
// pure-Python layer in fibrejoin/__init__.py. Every call converts and checks its arguments while
// it holds the interpreter lock, runs the library with the lock released, and turns a reported
// failure into FibrejoinError carrying the library's message. Nothing here keeps state between
// calls; the library owns and closes every file it opens.
//
// Adding a binding: a function in the anonymous namespace taking C++ values (paths as
// std::filesystem::path, arrays as py::array_t), a `Release` block around the library call, and
// one m.def with its docstring in PYBIND11_MODULE below; re-export it from __init__.py and add
// its signature to _fibrejoin.pyi.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>
// Takes str, bytes and os.PathLike; a path with a zero byte inside is refused (TypeError).
#include <pybind11/stl/filesystem.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <initializer_list>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "merge/MergeCommand.h"
#include "tracking/WholeVolumeTracker.h"
#include "trackio/TrackFile.h"
#include "utils/CheckedMath.h"
#include "volume/NiftiVolume.h"

namespace py = pybind11;

namespace fibrejoin {
namespace {

// A failure the library reported, with its message; raised in Python as FibrejoinError.
class Error : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

using Release = py::gil_scoped_release;

// A stream in memory that collects what a library call prints.
class MessageStream {
  public:
    MessageStream() : stream_(open_memstream(&buffer_, &size_)) {
        if (!stream_) throw std::bad_alloc();
    }
    ~MessageStream() {
        if (stream_) std::fclose(stream_);
        std::free(buffer_);
    }
    MessageStream(const MessageStream&) = delete;
    MessageStream& operator=(const MessageStream&) = delete;

    FILE* get() const { return stream_; }
    // What was printed, without the line end that closes each message.
    std::string Text() {
        std::fflush(stream_);
        std::string text(buffer_ ? buffer_ : "", size_);
        while (!text.empty() && text.back() == '\n')
            text.pop_back();
        return text;
    }

  private:
    char* buffer_ = nullptr;
    size_t size_ = 0;
    FILE* stream_;
};

void Merge(const std::vector<std::filesystem::path>& inputs, const std::filesystem::path& output) {
    if (inputs.size() < 2)
        throw py::value_error("inputs: at least two track files are needed, got " +
                              std::to_string(inputs.size()));
    std::vector<std::string> arguments{"fibrejoin"};
    for (const auto& input : inputs)
        arguments.push_back(input.string());
    arguments.push_back(output.string());
    std::vector<char*> argv;
    for (auto& argument : arguments)
        argv.push_back(argument.data());
    argv.push_back(nullptr);

    MessageStream messages;
    int status;
    {
        Release unlocked;
        status =
            RunMergeCommand(int(arguments.size()), argv.data(), messages.get(), messages.get());
    }
    if (status != 0) throw Error(messages.Text());
}

// ---- Arrays handed to numpy ----

// An array over the values of `values`, which the array then owns (a capsule frees them with it):
// no copy. strides in bytes; empty means C order.
template <typename Vector>
py::array Owned(Vector&& values, const std::vector<py::ssize_t>& shape,
                const std::vector<py::ssize_t>& strides = {}) {
    using T = typename Vector::value_type;
    auto owner = std::make_unique<Vector>(std::move(values));
    const T* data = owner->data();
    py::capsule capsule(owner.get(), [](void* p) { delete static_cast<Vector*>(p); });
    owner.release();
    return py::array_t<T>(shape, strides, data, capsule);
}

py::array Matrix(const Matrix4& matrix) {
    return Owned(std::vector<double>(matrix.begin(), matrix.end()), {4, 4});
}

// Names and codes from files may hold any bytes: undecodable ones survive a round trip through
// Python as surrogates.
py::str Text(const std::string& text) {
    PyObject* object =
        PyUnicode_DecodeUTF8(text.data(), py::ssize_t(text.size()), "surrogateescape");
    if (!object) throw py::error_already_set();
    return py::reinterpret_steal<py::str>(object);
}

std::string Bytes(const py::handle& value, const char* name) {
    if (!py::isinstance<py::str>(value))
        throw py::type_error(std::string("header: ") + name + " must be str values");
    PyObject* bytes = PyUnicode_AsEncodedString(value.ptr(), "utf-8", "surrogateescape");
    if (!bytes) throw py::error_already_set();
    return py::reinterpret_steal<py::bytes>(bytes);
}

// A 4x4 affine given as anything numpy takes; ValueError naming the argument otherwise.
Matrix4 AffineArgument(const py::handle& value, const std::string& name) {
    auto array = py::array_t<double, py::array::c_style | py::array::forcecast>::ensure(value);
    if (!array) {
        PyErr_Clear();
        throw py::type_error(name + ": a 4 x 4 array of numbers expected");
    }
    if (array.ndim() != 2 || array.shape(0) != 4 || array.shape(1) != 4)
        throw py::value_error(name + ": shape (4, 4) expected");
    Matrix4 matrix;
    for (int i = 0; i < 16; ++i) {
        matrix[i] = array.data()[i];
        if (!std::isfinite(matrix[i])) throw py::value_error(name + ": values must be finite");
    }
    return matrix;
}

// ---- Track files ----

// The mode a name stands for among choices; a ValueError naming the argument and the choices
// otherwise.
template <typename Mode>
Mode Choice(const std::string& name, std::initializer_list<std::pair<const char*, Mode>> choices,
            const std::string& argument) {
    std::string expected;
    size_t index = 0;
    for (const auto& choice : choices) {
        if (name == choice.first) return choice.second;
        if (index > 0) expected += index + 1 == choices.size() ? " or " : ", ";
        expected += "\"" + std::string(choice.first) + "\"";
        ++index;
    }
    throw py::value_error(argument + ": " + expected + " expected, got \"" + name + "\"");
}

const char* SpaceName(PointSpace space) {
    return space == PointSpace::World ? "world" : "voxelmm";
}

PointSpace SpaceArgument(const std::string& name, const std::string& argument) {
    return Choice<PointSpace>(
        name, {{"voxelmm", PointSpace::VoxelMm}, {"world", PointSpace::World}}, argument);
}

py::dict HeaderDict(const TrackFileHeader& header) {
    py::dict dict;
    dict["dims"] = py::make_tuple(header.dims[0], header.dims[1], header.dims[2]);
    dict["voxel_size"] =
        py::make_tuple(header.voxelSize[0], header.voxelSize[1], header.voxelSize[2]);
    dict["voxel_to_world"] = Matrix(header.voxelToWorld);
    dict["orientation"] = Text(header.orientation);
    py::list scalars, properties;
    for (const auto& name : header.scalarNames)
        scalars.append(Text(name));
    for (const auto& name : header.propertyNames)
        properties.append(Text(name));
    dict["scalar_names"] = scalars;
    dict["property_names"] = properties;
    dict["space"] = SpaceName(header.space);
    dict["format"] = header.format == TrackFormat::Tck ? "tck" : "trk";
    dict["foreign_byte_order"] = header.foreignByteOrder;
    dict["stored_track_count"] =
        header.storedTrackCount < 0 ? py::object(py::none()) : py::int_(header.storedTrackCount);
    return dict;
}

// The header a writer takes from a header dict; missing entries take the defaults of a grid of
// no extent with 1 mm voxels, an identity world matrix and points in world mm.
TrackFileHeader HeaderFromDict(const py::dict& dict, size_t scalarCount, size_t propertyCount) {
    TrackFileHeader header = MakeTrackFileHeader({0, 0, 0}, {1, 1, 1});
    header.space = PointSpace::World;
    try {
        if (dict.contains("dims")) header.dims = dict["dims"].cast<std::array<int, 3>>();
        if (dict.contains("voxel_size"))
            header.voxelSize = dict["voxel_size"].cast<std::array<float, 3>>();
        if (dict.contains("space"))
            header.space = SpaceArgument(dict["space"].cast<std::string>(), "header[\"space\"]");
    } catch (const py::cast_error&) {
        throw py::type_error(
            "header: dims must be three ints, voxel_size three numbers, "
            "space a str");
    }
    header.voxelToWorld = dict.contains("voxel_to_world")
                              ? AffineArgument(dict["voxel_to_world"], "header[\"voxel_to_world\"]")
                              : MakeTrackFileHeader(header.dims, header.voxelSize).voxelToWorld;
    for (auto [key, names, count] :
         {std::make_tuple("scalar_names", &header.scalarNames, scalarCount),
          std::make_tuple("property_names", &header.propertyNames, propertyCount)}) {
        names->assign(count, std::string());
        if (!dict.contains(key) || dict[key].is_none()) continue;
        const py::object given = dict[key];
        if (py::isinstance<py::str>(given) || !py::isinstance<py::sequence>(given))
            throw py::type_error(std::string("header: ") + key + " must be a list of str");
        const auto list = given.cast<py::sequence>();
        if (size_t(py::len(list)) != count)
            throw py::value_error(std::string("header: ") + key + " has " +
                                  std::to_string(py::len(list)) + " names for " +
                                  std::to_string(count) + " columns");
        for (size_t i = 0; i < count; ++i)
            (*names)[i] = Bytes(list[i], key);
    }
    return header;
}

// points (N, 3), offsets (T + 1), scalars (N, S), properties (T, P) over a TrackSet's vectors.
py::tuple TrackArrays(TrackSet&& tracks, size_t scalarCount, size_t propertyCount) {
    const auto points = py::ssize_t(tracks.points.size() / 3);
    const auto count = py::ssize_t(tracks.TrackCount());
    const auto s = py::ssize_t(scalarCount), p = py::ssize_t(propertyCount);
    return py::make_tuple(Owned(std::move(tracks.points), {points, 3}),
                          Owned(std::move(tracks.offsets), {count + 1}),
                          Owned(std::move(tracks.scalars), {points, s}),
                          Owned(std::move(tracks.properties), {count, p}));
}

py::tuple Load(const std::filesystem::path& path) {
    TrackFileHeader header;
    TrackSet tracks;
    std::string message;
    bool ok;
    {
        Release unlocked;
        ok = LoadTracks(path.string(), header, tracks, message);
    }
    if (!ok) throw Error(message);
    const size_t s = header.scalarNames.size(), p = header.propertyNames.size();
    return py::make_tuple(HeaderDict(header), TrackArrays(std::move(tracks), s, p));
}

using FloatArray = py::array_t<float, py::array::c_style>;
using IndexArray = py::array_t<int64_t, py::array::c_style>;

// Writes the arrays as they are (no copy of the values); the offsets are checked on a copy, so
// that no value another thread changes while the lock is released can lead outside the arrays.
void Save(const std::filesystem::path& path, const FloatArray& points, const IndexArray& offsets,
          const FloatArray& scalars, const FloatArray& properties, const py::dict& headerDict,
          bool replace) {
    if (points.ndim() != 2 || points.shape(1) != 3)
        throw py::value_error("points: shape (N, 3) expected");
    if (offsets.ndim() != 1 || offsets.shape(0) < 1)
        throw py::value_error("offsets: shape (T + 1,) expected");
    const auto n = points.shape(0), t = offsets.shape(0) - 1;
    if (scalars.ndim() != 2 || scalars.shape(0) != n)
        throw py::value_error("scalars: shape (N, S) expected");
    if (properties.ndim() != 2 || properties.shape(0) != t)
        throw py::value_error("properties: shape (T, P) expected");
    const std::vector<int64_t> starts(offsets.data(), offsets.data() + offsets.shape(0));
    bool consistent = starts.front() == 0 && starts.back() == n;
    for (py::ssize_t i = 0; consistent && i < t; ++i)
        consistent = starts[i] <= starts[i + 1] && FitsInt(starts[i + 1] - starts[i]);
    if (!consistent)
        throw py::value_error(
            "offsets: must rise from 0 to the point count, each track's count "
            "fitting an int");
    const size_t s = size_t(scalars.shape(1)), p = size_t(properties.shape(1));
    const TrackFileHeader header = HeaderFromDict(headerDict, s, p);
    const float *pointData = points.data(), *scalarData = scalars.data(),
                *propertyData = properties.data();
    std::string message;
    bool ok;
    {
        Release unlocked;
        TrackFileWriter writer;
        ok = writer.Open(path.string(), header, replace, message);
        for (py::ssize_t i = 0; ok && i < t; ++i) {
            const int64_t first = starts[i];
            const int count = int(starts[i + 1] - first);
            writer.write(pointData + 3 * first, count, s ? scalarData + s * first : nullptr,
                         p ? propertyData + p * i : nullptr);
        }
        if (ok) ok = writer.Close(message);
    }
    if (!ok) throw Error(message);
}

// A file read a chunk of tracks at a time, for iter_tracks. One thread at a time: a call while
// another thread reads raises instead of waiting.
class ChunkReader {
  public:
    explicit ChunkReader(const std::filesystem::path& path) {
        std::string message;
        bool ok;
        {
            Release unlocked;
            ok = reader_.Open(path.string(), message);
        }
        if (!ok) throw Error(message);
    }

    py::dict Header() const { return HeaderDict(reader_.header()); }

    // Up to `count` tracks as (points, offsets, scalars, properties); None at the end.
    py::object Read(int64_t count) {
        if (count < 1)
            throw py::value_error("chunk: at least one track, got " + std::to_string(count));
        std::unique_lock<std::mutex> lock(mutex_, std::try_to_lock);
        if (!lock.owns_lock())
            throw py::value_error("the track reader is in use by another thread");
        TrackSet tracks;
        bool ok = true;
        {
            Release unlocked;
            while (int64_t(tracks.TrackCount()) < count && reader_.next(tracks)) {
            }
            ok = reader_.ok();
        }
        if (!ok) throw Error(reader_.message());
        if (tracks.TrackCount() == 0) return py::none();
        const auto& header = reader_.header();
        return TrackArrays(std::move(tracks), header.scalarNames.size(),
                           header.propertyNames.size());
    }

  private:
    TrackFileReader reader_;
    std::mutex mutex_;
};

py::array SpaceTransformArray(const py::dict& headerDict, const std::string& from,
                              const std::string& to) {
    py::dict grid;  // the names do not matter here
    for (const char* key : {"dims", "voxel_size", "voxel_to_world", "space"})
        if (headerDict.contains(key)) grid[key] = headerDict[key];
    const TrackFileHeader header = HeaderFromDict(grid, 0, 0);
    Matrix4 affine;
    std::string message;
    if (!SpaceTransform(header, SpaceArgument(from, "source"), SpaceArgument(to, "target"), affine,
                        message))
        throw Error(message);
    return Matrix(affine);
}

// ---- Images ----

// The NIfTI library's message level is process-wide; calls are taken one at a time.
std::mutex niftiMutex;

// (x, y, z[, volumes]) over x-fastest values: a Fortran-ordered array, as nibabel returns.
py::array ImageArray(LargeVector<float>&& voxels, const std::array<int64_t, 4>& dims, int extra,
                     int64_t extraSize) {
    std::vector<py::ssize_t> shape, strides;
    py::ssize_t stride = sizeof(float);
    if (extra) {  // values of one voxel side by side
        shape.push_back(extraSize);
        strides.push_back(stride);
        stride *= extraSize;
    }
    for (int i = 0; i < 4; ++i) {
        if (i == 3 && (extra || dims[3] == 1)) break;
        shape.insert(shape.end() - extra, dims[i]);
        strides.insert(strides.end() - extra, stride);
        stride *= dims[i];
    }
    return Owned(std::move(voxels), shape, strides);
}

py::tuple ReadImageArray(const std::filesystem::path& path) {
    Image image;
    std::string message;
    bool ok;
    {
        Release unlocked;
        std::lock_guard<std::mutex> lock(niftiMutex);
        ok = ReadImage(path.string(), image, message);
    }
    if (!ok) throw Error(message);
    return py::make_tuple(ImageArray(std::move(image.voxels), image.dims, 0, 0),
                          Matrix(image.voxelToWorld));
}

// voxels: float32 in Fortran order, 3-D or 4-D (the Python layer converts).
void WriteImageArray(const std::filesystem::path& path,
                     const py::array_t<float, py::array::f_style>& voxels, const py::handle& affine,
                     const std::string& typeName) {
    if (voxels.ndim() < 3 || voxels.ndim() > 4)
        throw py::value_error("array: 3 or 4 dimensions expected");
    const VoxelType type = Choice<VoxelType>(
        typeName,
        {{"float32", VoxelType::Float32}, {"int16", VoxelType::Int16}, {"uint8", VoxelType::UInt8}},
        "dtype");
    Image image;
    for (int i = 0; i < 4; ++i)
        image.dims[i] = i < voxels.ndim() ? voxels.shape(i) : 1;
    image.voxelToWorld = AffineArgument(affine, "affine");
    for (int i = 0; i < 3; ++i)
        image.voxelSize[i] = float(std::hypot(image.voxelToWorld[i], image.voxelToWorld[4 + i],
                                              image.voxelToWorld[8 + i]));
    image.voxels.assign(voxels.data(), voxels.data() + voxels.size());
    std::string message;
    bool ok;
    {
        Release unlocked;
        std::lock_guard<std::mutex> lock(niftiMutex);
        ok = WriteImage(path.string(), image, type, message);
    }
    if (!ok) throw Error(message);
}

py::tuple ReadTensors(const std::filesystem::path& path, const std::string& orderName,
                      const std::string& frameName) {
    const TensorOrder order = Choice<TensorOrder>(orderName,
                                                  {{"upper", TensorOrder::Upper},
                                                   {"lower", TensorOrder::Lower},
                                                   {"diagonal_first", TensorOrder::DiagonalFirst}},
                                                  "order");
    const TensorFrame frame = Choice<TensorFrame>(
        frameName, {{"voxel", TensorFrame::Voxel}, {"world", TensorFrame::World}}, "frame");
    TensorImage image;
    std::string message;
    bool ok;
    {
        Release unlocked;
        std::lock_guard<std::mutex> lock(niftiMutex);
        ok = ReadTensorImage(path.string(), order, frame, image, message);
    }
    if (!ok) throw Error(message);
    const std::array<int64_t, 4> dims{image.dims[0], image.dims[1], image.dims[2], 1};
    return py::make_tuple(
        ImageArray(std::move(image.tensors), dims, 1, 6),
        py::make_tuple(image.voxelSize[0], image.voxelSize[1], image.voxelSize[2]),
        Matrix(image.voxelToWorld));
}

// ---- Tracking ----

using ShortArray = py::array_t<short, py::array::f_style>;

// tensors (X, Y, Z, 6) with the six values of a voxel side by side and x fastest over voxels;
// mask and seedMask (X, Y, Z) in Fortran order, seeds (K, 3) in mm from the grid corner. The
// Python layer brings the arguments into these layouts; they are checked again here.
py::tuple TrackTensors(const py::array_t<float, 0>& tensors, const std::array<float, 3>& voxelSize,
                       const std::optional<ShortArray>& mask, double faThreshold, bool useFa,
                       const std::optional<FloatArray>& seedList,
                       const std::optional<ShortArray>& seedMask, int seedsPerVoxel,
                       uint64_t rngSeed, const std::string& methodName, float stepFactor,
                       float angle, int eigenIndex, float minLength, float maxLength, int threads,
                       const py::object& affine) {
    if (tensors.ndim() != 4 || tensors.shape(3) != 6)
        throw py::value_error("tensors: shape (X, Y, Z, 6) expected");
    std::array<int, 3> dims;
    for (int i = 0; i < 3; ++i) {
        if (tensors.shape(i) < 1 || !FitsInt(tensors.shape(i)))
            throw py::value_error("tensors: every grid dimension from 1 to 2^31 - 1");
        dims[i] = int(tensors.shape(i));
    }
    {
        py::ssize_t stride = 6 * sizeof(float);
        bool layout = tensors.strides(3) == py::ssize_t(sizeof(float));
        for (int i = 0; i < 3; ++i, stride *= dims[i - 1])
            layout = layout && (dims[i] == 1 || tensors.strides(i) == stride);
        if (!layout) throw py::value_error("tensors: the six values of a voxel side by side");
    }
    for (float size : voxelSize)
        if (!(size > 0) || !std::isfinite(size))
            throw py::value_error("voxel_size: three positive sizes expected");
    const auto checkGrid = [&](const ShortArray& array, const char* name) {
        bool same = array.ndim() == 3;
        for (int i = 0; same && i < 3; ++i)
            same = array.shape(i) == dims[i];
        if (!same) throw py::value_error(std::string(name) + ": the grid of tensors expected");
    };
    if (mask) checkGrid(*mask, "mask");
    if (seedMask) checkGrid(*seedMask, "seeds");
    if (seedList && (seedList->ndim() != 2 || seedList->shape(1) != 3))
        throw py::value_error("seeds: shape (K, 3) expected");
    if (seedsPerVoxel < 1) throw py::value_error("seeds_per_voxel: at least 1");

    TrackingOptions options;
    options.method = Choice<TrackingMethod>(methodName,
                                            {{"fact", TrackingMethod::Fact},
                                             {"fixed_step", TrackingMethod::FixedStep},
                                             {"rk2", TrackingMethod::RungeKutta2},
                                             {"tensorline", TrackingMethod::TensorLine}},
                                            "method");
    options.stepFactor = stepFactor;
    options.maxAngleDegrees = angle;
    options.eigenIndex = eigenIndex;
    options.minLengthMm = minLength;
    options.maxLengthMm = maxLength;
    options.threads = threads;

    TrackFileHeader header = MakeTrackFileHeader(dims, voxelSize);
    if (!affine.is_none()) {
        header.voxelToWorld = AffineArgument(affine, "affine");
        header.orientation = OrientationFromMatrix(header.voxelToWorld);
    }

    std::vector<Seed> seeds;
    if (seedList) {
        const float* values = seedList->data();
        seeds.resize(size_t(seedList->shape(0)));
        for (auto& seed : seeds) {
            seed = {values[0], values[1], values[2]};
            values += 3;
        }
    }
    TrackSet tracks;
    TrackingProgress summary;
    std::string message;
    bool ok;
    {
        Release unlocked;
        const LargeVector<short> stopping =
            StoppingMask(dims, tensors.data(), useFa, float(faThreshold),
                         mask ? mask->data() : nullptr, threads);
        TensorField field;
        field.dims = dims;
        field.voxelSize = voxelSize;
        field.tensors = tensors.data();
        field.mask = stopping.data();
        const TrackSink sink = [&tracks](std::size_t, const float* points, int count) {
            tracks.points.insert(tracks.points.end(), points, points + 3 * size_t(count));
            tracks.offsets.push_back(tracks.offsets.back() + count);
            return true;
        };
        WholeVolumeTracker tracker;
        if (seedList) {
            ok = tracker.Run(field, seeds, options, sink, nullptr, summary, message);
        } else {
            const MaskSeeds fromMask(dims, voxelSize, seedMask ? seedMask->data() : stopping.data(),
                                     seedsPerVoxel, rngSeed);
            ok = tracker.Run(field, fromMask, 0, fromMask.size(), options, sink, nullptr, summary,
                             message);
        }
    }
    if (!ok) throw Error(message);
    return py::make_tuple(HeaderDict(header), TrackArrays(std::move(tracks), 0, 0));
}

}  // namespace
}  // namespace fibrejoin

PYBIND11_MODULE(_fibrejoin, m) {
    m.doc() = "Bindings over the fibrejoin library; use the fibrejoin package instead.";

    auto& error = py::register_exception<fibrejoin::Error>(m, "FibrejoinError", PyExc_RuntimeError);
    error.doc() = "A failure the library reported; the message names the file and the reason.";

    m.def("merge", &fibrejoin::Merge, py::arg("inputs"), py::arg("output"), R"(
Merges track files that share one volume grid into one .trk file.

The tracks of every input are copied in order, each tagged with a per-track property
"DataSetID" holding the zero-based position of its input. Paths are str or os.PathLike.
Raises FibrejoinError with the command's message when the merge fails (an output
left by a failure while copying keeps the tracks written so far and says 0 tracks),
ValueError for fewer than two inputs.)");
    m.def("load", &fibrejoin::Load, py::arg("path"), R"(
Reads a whole .trk or .tck file: (header dict, (points, offsets, scalars, properties)).
The arrays own the values the library read; nothing is copied.)");

    m.def("save", &fibrejoin::Save, py::arg("path"), py::arg("points"), py::arg("offsets"),
          py::arg("scalars"), py::arg("properties"), py::arg("header"), py::arg("replace"), R"(
Writes tracks to a .trk or .tck file (by extension) from arrays in the layouts load returns.
The file is written under a temporary name and renamed into place when complete; an existing
file is refused unless replace is true.)");

    py::class_<fibrejoin::ChunkReader>(m, "TrackReader", R"(
A track file read a chunk of tracks at a time; one thread at a time.)")
        .def(py::init<const std::filesystem::path&>(), py::arg("path"), "Opens a track file.")
        .def_property_readonly("header", &fibrejoin::ChunkReader::Header, "The header dict.")
        .def("read", &fibrejoin::ChunkReader::Read, py::arg("count"), R"(
Up to count tracks as (points, offsets, scalars, properties), None at the end of the file.)");

    m.def("space_transform", &fibrejoin::SpaceTransformArray, py::arg("header"), py::arg("source"),
          py::arg("target"), R"(
The 4 x 4 affine taking points from one space ("voxelmm" or "world") to another for the grid
of a header dict.)");

    m.def("read_image", &fibrejoin::ReadImageArray, py::arg("path"), R"(
Reads a NIfTI image or Analyze pair: (float32 array (X, Y, Z[, T]) in Fortran order, affine).)");

    m.def("write_image", &fibrejoin::WriteImageArray, py::arg("path"), py::arg("array"),
          py::arg("affine"), py::arg("dtype"), R"(
Writes a float32 Fortran-ordered array (X, Y, Z[, T]) as NIfTI-1 stored as dtype.)");

    m.def("read_tensor_image", &fibrejoin::ReadTensors, py::arg("path"), py::arg("order"),
          py::arg("frame"), R"(
Reads a tensor image: (tensors (X, Y, Z, 6), voxel sizes, affine).)");

    m.def("track", &fibrejoin::TrackTensors, py::arg("tensors"), py::arg("voxel_size"),
          py::arg("mask"), py::arg("fa_threshold"), py::arg("use_fa"), py::arg("seed_list"),
          py::arg("seed_mask"), py::arg("seeds_per_voxel"), py::arg("rng_seed"), py::arg("method"),
          py::arg("step_factor"), py::arg("angle"), py::arg("eigen_index"), py::arg("min_length"),
          py::arg("max_length"), py::arg("threads"), py::arg("affine"), R"(
Whole-volume tracking over arrays in the driver's layouts, without the interpreter lock:
(header dict, (points, offsets, scalars, properties)).)");
}
