// NIfTI reading and writing: files written by nibabel (an independent writer) for every data type,
// both byte orders, the three world-matrix cases, Analyze pairs and tensor images; round trips
// through both extensions that nibabel reads back; scaling and refusals on patched headers.
#include "volume/NiftiVolume.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "track_files.h"

using namespace fibrejoin;
using testing_files::Bytes;

namespace {

// The images both sides know: value n (x fastest) of a type is (n % 97 - shift) * scale.
const struct {
    const char* name;
    VoxelType type;
    double scale, shift;
} kTypes[] = {
    {"uint8", VoxelType::UInt8, 1, 0},         {"int8", VoxelType::Int8, 1, 48},
    {"int16", VoxelType::Int16, 300, 48},      {"uint16", VoxelType::UInt16, 600, 0},
    {"int32", VoxelType::Int32, 2e7, 48},      {"uint32", VoxelType::UInt32, 4e7, 0},
    {"float32", VoxelType::Float32, 0.25, 48}, {"float64", VoxelType::Float64, 0.125, 48}};
constexpr double kAffine[16] = {0, -2, 0, 10, -1.5, 0, 0, -20, 0, 0, 2.5, 30, 0, 0, 0, 1};

const char kScript[] = R"(
import sys, numpy as np, nibabel as nib
mode, out = sys.argv[1], sys.argv[2]
shape = (3, 4, 5, 2)
base = (np.arange(np.prod(shape)) % 97).reshape(shape, order='F').astype(np.float64)
A = np.array([[0, -2, 0, 10], [-1.5, 0, 0, -20], [0, 0, 2.5, 30], [0, 0, 0, 1.]])
types = {'uint8': (1, 0), 'int8': (1, 48), 'int16': (300, 48), 'uint16': (600, 0),
         'int32': (20000000, 48), 'uint32': (40000000, 0), 'float32': (.25, 48), 'float64': (.125, 48)}
def save(img, name, dtype=None):
    if dtype is not None: img.set_data_dtype(dtype)
    nib.save(img, out + '/' + name)
if mode == 'check':
    for name in sys.argv[3:]:
        img = nib.load(out + '/' + name)
        want = (base - 48) * .25
        if 'float' not in name: want = np.round(want)
        if 'uint8' in name: want = np.clip(want, 0, 255)
        # A float quaternion holds this rotation to about 1e-3.
        assert np.allclose(img.get_sform(), A) and np.allclose(img.get_qform(), A, atol=1e-3), name
        assert np.allclose(img.get_fdata(), want), name
    sys.exit(0)
for name, (scale, shift) in types.items():
    for order in '<>':
        data = ((base - shift) * scale).astype(np.dtype(name).newbyteorder(order))
        save(nib.Nifti1Image(data, A, nib.Nifti1Header(endianness=order)), name + order + '.nii',
             data.dtype)
save(nib.Nifti1Image(base.astype(np.int16), A), 'gz.nii.gz')
save(nib.AnalyzeImage(base.astype(np.int16), np.diag([1.5, 2, 2.5, 1])), 'analyze.hdr')
for case in 'sform', 'qform', 'neither':
    img = nib.Nifti1Image(base.astype(np.float32), None)
    img.set_qform(A if case != 'sform' else 2 * A, code=int(case != 'sform'))
    img.set_sform(A if case == 'sform' else 3 * A, code=int(case == 'sform'))
    save(img, case + '.nii')
with open(out + '/neither.nii', 'r+b') as f:
    f.seek(252); f.write(bytes(4))  # qform_code and sform_code: neither is set
# Tensors: xx = 1 + i, xy = j / 10, xz = .2, yy = 2 + k, yz = -.3, zz = 3 in the voxel axes.
i, j, k = np.meshgrid(*[np.arange(n) for n in shape[:3]], indexing='ij')
D = np.zeros(shape[:3] + (3, 3))
for (a, b), v in {(0, 0): 1 + i, (1, 1): 2 + k, (2, 2): 3, (0, 1): j / 10., (0, 2): .2, (1, 2): -.3}.items():
    D[..., a, b] = D[..., b, a] = v
c, s = np.cos(.5), np.sin(.5)
W = np.array([[c, -s, 0, 1], [s, c, 0, 2], [0, 0, -1, 3], [0, 0, 0, 1]]) @ np.diag([1.5, 2, 2.5, 1])
R = W[:3, :3] / np.linalg.norm(W[:3, :3], axis=0)
orders = {'upper': [(0, 0), (0, 1), (0, 2), (1, 1), (1, 2), (2, 2)],
          'lower': [(0, 0), (0, 1), (1, 1), (0, 2), (1, 2), (2, 2)],
          'diagonal': [(0, 0), (1, 1), (2, 2), (0, 1), (0, 2), (1, 2)]}
for order, pairs in orders.items():
    for frame, T in ('voxel', D), ('world', R @ D @ R.T):
        data = np.stack([T[..., a, b] for a, b in pairs], axis=-1).astype(np.float32)
        if order == 'lower': data = data[..., np.newaxis, :]
        save(nib.Nifti1Image(data, W), 'tensor_%s_%s.nii.gz' % (order, frame))
)";

// A qform holds its rotation as a float quaternion, good to about 1e-3 for some matrices.
void ExpectMatrix(const std::array<double, 16>& actual, const double* expected,
                  const std::string& what, double tolerance = 1e-5) {
    for (int i = 0; i < 16; ++i)
        EXPECT_NEAR(actual[size_t(i)], expected[i], tolerance) << what << " element " << i;
}

// Runs the script in `mode` with its output in `dir`; false when there is no python3 with nibabel
// or the script failed.
bool RunScript(const testing_files::TempDir& dir, const std::string& mode,
               const std::string& arguments = "") {
    testing_files::WriteBytes(dir.File("make.py"), Bytes(kScript, kScript + sizeof kScript - 1));
    const std::string python = testing_files::PythonWithNibabel();
    return !python.empty() && std::system((python + " " + dir.File("make.py") + " " + mode + " " +
                                           dir.File("") + " " + arguments)
                                              .c_str()) == 0;
}

class NiftiTest : public ::testing::Test {
  protected:
    // nibabel's images are written once for the suite.
    static void SetUpTestSuite() {
        references = new testing_files::TempDir;
        haveReferences = RunScript(*references, "make");
    }
    static void TearDownTestSuite() { delete references; }
    Image Read(const std::string& path) {
        Image image;
        std::string message;
        EXPECT_TRUE(ReadImage(path, image, message)) << message;
        return image;
    }
    std::string Reference(const std::string& name) const { return references->File(name); }
    Image ReadReference(const std::string& name) { return Read(Reference(name)); }

    static inline testing_files::TempDir* references = nullptr;
    static inline bool haveReferences = false;
    testing_files::TempDir dir;
};

TEST_F(NiftiTest, ReadsEveryDataTypeByteOrderAndMatrixCaseNibabelWrites) {
    if (!haveReferences) GTEST_SKIP() << "python3 with nibabel is not available";
    for (const auto& t : kTypes) {
        for (const char* order : {"<", ">"}) {
            const std::string name = std::string(t.name) + order + ".nii";
            const Image image = ReadReference(name);
            ASSERT_EQ(std::tie(image.storedType, image.dims),
                      std::make_tuple(t.type, std::array<int64_t, 4>{3, 4, 5, 2}))
                << name;
            for (int64_t n = 0; n < 120; ++n)
                ASSERT_EQ(image.voxels[size_t(n)], float((double(n % 97) - t.shift) * t.scale))
                    << name << " " << n;
            ExpectMatrix(image.voxelToWorld, kAffine, name);
        }
    }
    // The same grid compressed, and as an Analyze pair named by its image file.
    EXPECT_EQ(ReadReference("gz.nii.gz").voxels, ReadReference("uint8<.nii").voxels);
    EXPECT_EQ(ReadReference("analyze.img").voxels, ReadReference("gz.nii.gz").voxels);
    const double diagonal[16] = {1.5, 0, 0, 0, 0, 2, 0, 0, 0, 0, 2.5, 0, 0, 0, 0, 1};
    ExpectMatrix(ReadReference("analyze.hdr").voxelToWorld, diagonal, "analyze");
    // sform when its code is set, else qform, else the voxel sizes.
    ExpectMatrix(ReadReference("sform.nii").voxelToWorld, kAffine, "sform");
    ExpectMatrix(ReadReference("qform.nii").voxelToWorld, kAffine, "qform", 1e-3);
    ExpectMatrix(ReadReference("neither.nii").voxelToWorld, diagonal, "neither");
    EXPECT_EQ(ReadReference("neither.nii").voxelSize, (std::array<float, 3>{1.5f, 2, 2.5f}));
}

TEST_F(NiftiTest, TensorOrdersAndFramesGiveVoxelAxisTensors) {
    if (!haveReferences) GTEST_SKIP() << "python3 with nibabel is not available";
    const std::pair<const char*, TensorOrder> orders[] = {{"upper", TensorOrder::Upper},
                                                          {"lower", TensorOrder::Lower},
                                                          {"diagonal", TensorOrder::DiagonalFirst}};
    for (const auto& [name, order] : orders) {
        for (const auto& [frameName, frame] :
             {std::make_pair("voxel", TensorFrame::Voxel), {"world", TensorFrame::World}}) {
            const std::string file = "tensor_" + std::string(name) + "_" + frameName + ".nii.gz";
            TensorImage image;
            std::string message;
            ASSERT_TRUE(ReadTensorImage(Reference(file), order, frame, image, message)) << message;
            ASSERT_EQ(
                std::tie(image.dims, image.voxelSize),
                std::make_tuple(std::array<int, 3>{3, 4, 5}, std::array<float, 3>{1.5f, 2, 2.5f}));
            for (int k = 0, v = 0; k < 5; ++k)
                for (int j = 0; j < 4; ++j)
                    for (int i = 0; i < 3; ++i, ++v) {
                        const float want[6] = {1.0f + i, j / 10.0f, 0.2f, 2.0f + k, -0.3f, 3};
                        for (int e = 0; e < 6; ++e)
                            ASSERT_NEAR(image.tensors[size_t(6 * v + e)], want[e], 1e-5)
                                << file << " voxel " << v << " element " << e;
                    }
        }
    }
}

// Written in three types through both extensions, nibabel finds the same matrix in sform and
// qform, and the same values: floats as they are, integers rounded to nearest (ties to even)
// and clamped.
TEST_F(NiftiTest, WritesBothExtensionsThatNibabelReadsBack) {
    if (!haveReferences) GTEST_SKIP() << "python3 with nibabel is not available";
    Image image;
    image.dims = {3, 4, 5, 2};
    std::copy(std::begin(kAffine), std::end(kAffine), image.voxelToWorld.begin());
    for (int64_t n = 0; n < 120; ++n)
        image.voxels.push_back(float((n % 97 - 48) * 0.25));
    std::string names, message;
    for (const char* extension : {".nii", ".nii.gz"})
        for (const auto& [typeName, type] : {std::make_pair("float32", VoxelType::Float32),
                                             {"int16", VoxelType::Int16},
                                             {"uint8", VoxelType::UInt8}}) {
            names += std::string(" out_") + typeName + extension;
            ASSERT_TRUE(
                WriteImage(dir.File(names.substr(names.rfind(' ') + 1)), image, type, message))
                << message;
        }
    EXPECT_TRUE(RunScript(dir, "check", names));
}

// More values than the reader converts at a time, in a type narrower than float: the tensors
// are gathered from several chunks, each volume's value landing in its voxel's slot.
TEST_F(NiftiTest, ReadsATensorImageLargerThanOneChunk) {
    Image image;
    image.dims = {64, 64, 48, 6};
    image.voxelSize = {2, 2, 2};
    const int64_t voxels = image.VoxelsPerVolume();
    for (int64_t n = 0; n < 6 * voxels; ++n)
        image.voxels.push_back(float(n / voxels * 40 + n % 7));
    std::string message;
    ASSERT_TRUE(WriteImage(dir.File("tensor.nii.gz"), image, VoxelType::UInt8, message));
    TensorImage tensors;
    ASSERT_TRUE(ReadTensorImage(dir.File("tensor.nii.gz"), TensorOrder::DiagonalFirst,
                                TensorFrame::Voxel, tensors, message))
        << message;
    ASSERT_EQ(tensors.tensors.size(), size_t(6 * voxels));
    const int slot[6] = {0, 3, 5, 1, 2, 4};  // where each stored volume goes
    for (int64_t v = 0; v < voxels; v += 997)
        for (int e = 0; e < 6; ++e)
            ASSERT_EQ(tensors.tensors[size_t(6 * v + slot[e])],
                      float(e * 40 + (e * voxels + v) % 7))
                << v << " " << e;
}

// A header field of a NIfTI-1 file, patched to make bad or scaled inputs.
template <class T>
void Patch(Bytes& bytes, size_t offset, T value) {
    std::memcpy(&bytes[offset], &value, sizeof value);
}

TEST_F(NiftiTest, AppliesSlopeAndInterceptOnlyWhenTheSlopeIsUsable) {
    Image image;
    image.dims = {2, 2, 1, 1};
    image.voxelSize = {1, 1, 1};
    image.voxels = {0, 1, -2, 100};
    std::string message;
    ASSERT_TRUE(WriteImage(dir.File("plain.nii"), image, VoxelType::Int16, message)) << message;
    const Bytes plain = testing_files::ReadBytes(dir.File("plain.nii"));
    const std::pair<float, float> cases[] = {{2, -3}, {0, 5}, {NAN, 5}, {0.5f, NAN}};
    for (const auto& [slope, intercept] : cases) {
        Bytes bytes = plain;
        Patch(bytes, 112, slope);
        Patch(bytes, 116, intercept);
        testing_files::WriteBytes(dir.File("scaled.nii"), bytes);
        LargeVector<float> want = image.voxels;
        if (slope != 0 && !std::isnan(slope))
            for (float& v : want)
                v = v * slope + (std::isnan(intercept) ? 0 : intercept);
        EXPECT_EQ(Read(dir.File("scaled.nii")).voxels, want) << slope << " " << intercept;
    }
}

TEST_F(NiftiTest, RefusesBadFilesWithAMessage) {
    Image image;
    image.dims = {4, 4, 4, 5};
    image.voxelSize = {1, 1, 1};
    image.voxels.assign(320, 1.0f);
    std::string message;
    ASSERT_TRUE(WriteImage(dir.File("good.nii"), image, VoxelType::Float32, message)) << message;
    const Bytes good = testing_files::ReadBytes(dir.File("good.nii"));
    const auto patched = [&](size_t offset, std::vector<int16_t> values) {
        Bytes bytes = good;
        for (size_t i = 0; i < values.size(); ++i)
            Patch(bytes, offset + 2 * i, values[i]);
        return bytes;
    };
    gzFile gz = gzopen(dir.File("good.nii.gz").c_str(), "wb");
    gzwrite(gz, good.data(), unsigned(good.size()));
    gzclose(gz);
    const Bytes gzipped = testing_files::ReadBytes(dir.File("good.nii.gz"));

    const struct {
        const char* name;
        Bytes bytes;
        const char* reason;
    } cases[] = {
        {"text.nii", Bytes(400, 'a'), "not a NIfTI or Analyze image"},
        {"complex.nii", patched(70, {32, 64}), "data type COMPLEX64 (32) cannot be read"},
        {"rgb.nii", patched(70, {128, 24}), "data type RGB24 (128) cannot be read"},
        {"overflow.nii", patched(40, {7, 32767, 32767, 32767, 32767, 32767, 32767, 32767}),
         "dimensions too large"},
        {"big.nii", patched(40, {3, 100, 100, 100}), "the header describes 4000000 bytes of data"},
        {"cut.nii", Bytes(good.begin(), good.end() - 4), "the header describes 1280 bytes"},
        {"cut.nii.gz", Bytes(gzipped.begin(), gzipped.begin() + gzipped.size() / 2), ""},
    };
    for (const auto& c : cases) {
        const std::string path = dir.File(c.name);
        testing_files::WriteBytes(path, c.bytes);
        ASSERT_FALSE(ReadImage(path, image, message)) << c.name;
        EXPECT_EQ(message.rfind(path + ": " + c.reason, 0), 0u) << message;
    }
    EXPECT_FALSE(ReadImage(dir.File("missing.nii"), image, message));
    EXPECT_EQ(message, dir.File("missing.nii") + ": cannot open: No such file or directory");
    TensorImage tensors;
    EXPECT_FALSE(ReadTensorImage(dir.File("good.nii"), TensorOrder::Upper, TensorFrame::World,
                                 tensors, message));
    EXPECT_EQ(message, dir.File("good.nii") + ": 5 volumes, a tensor image needs 6");
    EXPECT_FALSE(WriteImage(dir.File("out.img"), image, VoxelType::Float32, message));
    EXPECT_FALSE(WriteImage(dir.File("out.nii"), image, VoxelType::Float64, message));
}

}  // namespace
