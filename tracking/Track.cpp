#include "tracking/Track.h"

#include "tracking/TrackPropagation.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <utility>

#include "math/MyMath.h"
#include "utils/CheckedMath.h"

namespace {

// Buffer sizes (in floats) beyond which a track ends.
constexpr std::size_t kVoxelWalkCap = 12002;
constexpr std::size_t kFixedStepCap = 15002;
// Room for the points of most whole tracks, so that the buffer rarely grows point by point.
constexpr std::size_t kTypicalTrackFloats = 3 * 512;
// The value of pi used for angles in degrees, ten decimals on purpose.
constexpr double kPi = 3.1415926535;

// Conversion toward zero, the same as a cast for every value that fits an int. NaN and values out
// of range give INT_MIN, which no grid bounds test accepts and no in-grid voxel index equals.
int truncate(float x) {
    if (x >= -2147483648.0f && x < 2147483648.0f) return static_cast<int>(x);
    return std::numeric_limits<int>::min();
}

float dot(const float* a, const float* b) {
    return a[0] * b[0] + a[1] * b[1] + a[2] * b[2];
}

void negate(float* d) {
    d[0] = -d[0];
    d[1] = -d[1];
    d[2] = -d[2];
}

// Eigenvectors have no meaningful sign: turn d to the side of reference.
void alignWith(const float* reference, float* d) {
    if (dot(reference, d) < 0) negate(d);
}

// Divides by the length in float, unless the length is exactly zero.
void normalize(float* d) {
    const float length = std::sqrt(dot(d, d));
    if (length == 0) return;
    d[0] /= length;
    d[1] /= length;
    d[2] /= length;
}

// The voxel grid with its voxel count. A grid is usable when every dimension is positive and six
// floats per voxel can be addressed.
struct Grid {
    int nx = 0, ny = 0, nz = 0;
    int64_t voxels = 0;
    bool usable = false;

    explicit Grid(const int* dims) {
        if (dims == nullptr || dims[0] < 1 || dims[1] < 1 || dims[2] < 1) return;
        nx = dims[0];
        ny = dims[1];
        nz = dims[2];
        const int64_t layer = int64_t{nx} * ny;
        usable = fibrejoin::CheckedMultiply(layer, int64_t{nz}, voxels) &&
                 voxels <= std::numeric_limits<int64_t>::max() / 6;
    }

    // (k * ny + j) * nx + i, or -1 where the exact value does not fit 64 bits (it would lie far
    // outside the grid anyway).
    int64_t Index(int i, int j, int k) const {
        int64_t index;
        if (!fibrejoin::CheckedMultiply(int64_t{k} * ny + j, int64_t{nx}, index) ||
            !fibrejoin::CheckedAdd(index, int64_t{i}, index))
            return -1;
        return index;
    }
    int64_t Index(const int* voxel) const { return Index(voxel[0], voxel[1], voxel[2]); }
    bool Contains(int64_t index) const { return index >= 0 && index < voxels; }
};

// The voxel of a position in mm.
void locate(const float* position, const float* voxelSize, int* voxel) {
    for (int a = 0; a < 3; ++a)
        voxel[a] = truncate(position[a] / voxelSize[a]);
}

// Decomposes the trilinear blend of the eight voxels from voxel, the one that contains position,
// one step up along each axis; 0, writing nothing, when any of them lies outside the grid.
int interpolateTensor(const Grid& grid, const float* voxelSize, const float* tensors,
                      const float* position, const int* voxel, float* eigenvalues,
                      float** eigenvectors) {
    const int i = voxel[0], j = voxel[1], k = voxel[2];
    if (!(0 <= i && int64_t{i} + 1 < grid.nx && 0 <= j && int64_t{j} + 1 < grid.ny && 0 <= k &&
          int64_t{k} + 1 < grid.nz))
        return 0;
    // Each voxel's sample stands at its lower corner.
    const float fx = (position[0] - static_cast<float>(i) * voxelSize[0]) / voxelSize[0];
    const float fy = (position[1] - static_cast<float>(j) * voxelSize[1]) / voxelSize[1];
    const float fz = (position[2] - static_cast<float>(k) * voxelSize[2]) / voxelSize[2];
    const float gx = 1 - fx, gy = 1 - fy, gz = 1 - fz;
    const float weights[8] = {gx * gy * gz, fx * gy * gz, gx * fy * gz, fx * fy * gz,
                              gx * gy * fz, fx * gy * fz, gx * fy * fz, fx * fy * fz};
    const int64_t row = grid.nx, layer = int64_t{grid.nx} * grid.ny;
    const int64_t offsets[8] = {0, 1, row, row + 1, layer, layer + 1, layer + row, layer + row + 1};
    const float* corner = tensors + 6 * grid.Index(i, j, k);
    float tensor[6] = {0, 0, 0, 0, 0, 0};
    for (int n = 0; n < 8; ++n) {
        const float* sample = corner + 6 * offsets[n];
        for (int c = 0; c < 6; ++c)
            tensor[c] += weights[n] * sample[c];
    }
    CMyMath::ComputeEigens(tensor, eigenvalues, eigenvectors);
    return 1;
}

// Where the voxel-walk propagators get the decomposition of a voxel's own tensor: Select(index)
// names the voxel (always one inside the grid), Current() gives its kEigenFloats floats.
//
// OnTheFlyEigens decomposes at once on every Select, as each propagator does by itself.
class OnTheFlyEigens {
  public:
    explicit OnTheFlyEigens(const float* tensors) : tensors_(tensors) {}
    void Select(int64_t index) { fibrejoin::DecomposeTensor(tensors_ + 6 * index, eigen_); }
    const float* Current() const { return eigen_; }
    // Room for a decomposition made elsewhere (the interpolated tensor of the fixed step).
    float* Values() { return eigen_; }
    float** Vectors() { return rows_; }

  private:
    const float* tensors_;
    float eigen_[fibrejoin::kEigenFloats] = {0, 0, 0, 1, 0, 0, 0, 1, 0, 0, 0, 1};
    float* rows_[3] = {eigen_ + 3, eigen_ + 6, eigen_ + 9};
};

// TableEigens reads a voxel of the table from it, and decomposes any other voxel only when its
// decomposition is read: a track that ends in a voxel outside the mask never reads it.
class TableEigens {
  public:
    TableEigens(const fibrejoin::VoxelEigenTable& table, const float* tensors)
        : table_(table), tensors_(tensors) {}
    void Select(int64_t index) {
        current_ = table_.Find(index);
        pending_ = index;
    }
    const float* Current() {
        if (current_ == nullptr) {
            fibrejoin::DecomposeTensor(tensors_ + 6 * pending_, fallback_);
            current_ = fallback_;
        }
        return current_;
    }

  private:
    const fibrejoin::VoxelEigenTable& table_;
    const float* tensors_;
    float fallback_[fibrejoin::kEigenFloats] = {0, 0, 0, 1, 0, 0, 0, 1, 0, 0, 0, 1};
    const float* current_ = fallback_;
    int64_t pending_ = 0;
};

// The rules every propagator shares, and the state of one call: the grid and its arrays, the
// step, the angle limit, the source of the current decomposition, the previous direction and the
// output.
//
// Points of a backward half belong in front of the buffer's content, latest first. They are
// appended in the order visited while the track grows (so the length cap sees the same count)
// and moved in front, in reverse, when the call ends.
template <typename Source>
class Propagation {
  public:
    Propagation(Source& source, int* dims, float* voxelSize, float* tensors, short* mask,
                float stepFactor, float cosAngle, float* angleScale, std::vector<float>& track,
                int directionFlag, std::size_t lengthCap)
        : source_(source),
          grid_(dims),
          tensors_(tensors),
          mask_(mask),
          angleScale_(angleScale),
          cosAngle_(cosAngle),
          maxAngle_(std::acos(static_cast<double>(cosAngle))),
          track_(track),
          entrySize_(track.size()),
          backward_(directionFlag != 0),
          lengthCap_(lengthCap) {
        usable_ = grid_.usable && voxelSize != nullptr && tensors != nullptr && mask != nullptr;
        if (!usable_) return;
        for (int a = 0; a < 3; ++a)
            voxelSize_[a] = voxelSize[a];
        step_ = stepFactor * std::min(voxelSize_[2], std::min(voxelSize_[1], voxelSize_[0]));
        for (int a = 0; a < 3; ++a)
            walkIncrement_[a] = step_ / voxelSize_[a];
    }

    ~Propagation() {
        if (!backward_) return;
        // Only a failed allocation can leave part of a point behind.
        track_.resize(entrySize_ + (track_.size() - entrySize_) / 3 * 3);
        const auto added = track_.begin() + static_cast<std::ptrdiff_t>(entrySize_);
        std::reverse(added, track_.end());
        for (auto point = added; point != track_.end(); point += 3)
            std::swap(point[0], point[2]);
        std::rotate(track_.begin(), added, track_.end());
    }

    Propagation(const Propagation&) = delete;
    Propagation& operator=(const Propagation&) = delete;

    // Whether the arrays and the grid can be tracked in, following eigenvector column.
    bool Usable(int column) const { return usable_ && column >= 0 && column <= 2; }

    const Grid& grid() const { return grid_; }
    float step() const { return step_; }
    const float* voxelSize() const { return voxelSize_; }

    // Voxel-unit position of a seed in mm, its voxel and that voxel's index.
    int64_t Locate(const float* seed, float* p, int* voxel) const {
        for (int a = 0; a < 3; ++a) {
            p[a] = seed[a] / voxelSize_[a];
            voxel[a] = truncate(p[a]);
        }
        return grid_.Index(voxel);
    }

    void Decompose(int64_t index) {
        if (grid_.Contains(index)) source_.Select(index);
    }

    bool Interpolate(const float* position, const int* voxel) {
        return interpolateTensor(grid_, voxelSize_, tensors_, position, voxel, source_.Values(),
                                 source_.Vectors()) != 0;
    }

    void Column(int column, float* d) {
        const float* vectors = source_.Current() + 3;
        for (int r = 0; r < 3; ++r)
            d[r] = vectors[3 * r + column];
    }

    bool Enterable(int64_t index) const { return grid_.Contains(index) && mask_[index] >= 1; }

    // The loop test of the voxel-walk propagators: p inside the grid, its voxel in the mask.
    bool Inside(const float* p, int64_t index) const {
        return Enterable(index) && p[0] >= 0 && p[1] >= 0 && p[2] >= 0 &&
               p[0] < static_cast<float>(grid_.nx) && p[1] < static_cast<float>(grid_.ny) &&
               p[2] < static_cast<float>(grid_.nz);
    }

    // The first direction: reversed for a backward half, and its own predecessor.
    void Start(float* d) {
        if (backward_) negate(d);
        Follow(d);
    }
    void Follow(const float* d) {
        for (int a = 0; a < 3; ++a)
            previous_[a] = d[a];
    }
    void AlignWithPrevious(float* d) const { alignWith(previous_, d); }

    // Sign alignment with the previous direction, then the angle test in the voxel index; false
    // when the turn is too sharp. Without a map the threshold is the cosine itself, with one it
    // is the cosine of the voxel's share of the angle.
    bool Turn(float* d, int64_t index) const {
        AlignWithPrevious(d);
        const float cosine = dot(previous_, d);
        const double threshold =
            angleScale_ == nullptr ? static_cast<double>(cosAngle_)
                                   : std::cos(static_cast<double>(angleScale_[index]) * maxAngle_);
        return !(threshold > cosine);
    }

    // Stores a point in mm (the first point of a backward half is the seed and is skipped);
    // false when the buffer has grown beyond the length cap.
    bool Store(float x, float y, float z, bool first) {
        if (!(backward_ && first)) {
            track_.push_back(x);
            track_.push_back(y);
            track_.push_back(z);
        }
        return track_.size() <= lengthCap_;
    }
    bool StoreVoxelUnits(const float* p, bool first) {
        return Store(p[0] * voxelSize_[0], p[1] * voxelSize_[1], p[2] * voxelSize_[2], first);
    }

    // Steps p along d until it leaves voxel, which then becomes the new voxel. False, with p and
    // voxel where they stand, when the walk cannot leave: a step that moves no coordinate would
    // repeat forever. A non-finite step is refused up front; from a finite p it would end the
    // track at the next position test anyway, and refusing it keeps every walk finite, so that
    // the unchanged-position test is exact.
    bool Walk(float* p, const float* d, int* voxel) const {
        const float delta[3] = {walkIncrement_[0] * d[0], walkIncrement_[1] * d[1],
                                walkIncrement_[2] * d[2]};
        if (!(std::isfinite(delta[0]) && std::isfinite(delta[1]) && std::isfinite(delta[2])))
            return false;
        for (;;) {
            const float x = p[0] + delta[0], y = p[1] + delta[1], z = p[2] + delta[2];
            if (x == p[0] && y == p[1] && z == p[2]) return false;
            p[0] = x;
            p[1] = y;
            p[2] = z;
            const int i = truncate(x), j = truncate(y), k = truncate(z);
            if (i != voxel[0] || j != voxel[1] || k != voxel[2]) {
                voxel[0] = i;
                voxel[1] = j;
                voxel[2] = k;
                return true;
            }
        }
    }

    // The tensorline direction from the previous one: the tensor applied to it, normalised and
    // blended half and half with it, then blended half and half with the principal eigenvector.
    void TensorLineDirection(float* d) {
        const float* in = previous_;
        const float* eigenvalues = source_.Current();
        const float* e = eigenvalues + 3;  // e[3 * r + m]: row r of eigenvector m
        float scaled[3];
        for (int m = 0; m < 3; ++m)
            scaled[m] = (in[0] * e[m] + in[1] * e[3 + m] + in[2] * e[6 + m]) * eigenvalues[m];
        float applied[3];
        for (int r = 0; r < 3; ++r)
            applied[r] = e[3 * r] * scaled[0] + e[3 * r + 1] * scaled[1] + e[3 * r + 2] * scaled[2];
        normalize(applied);
        alignWith(in, applied);
        float blend[3];
        for (int a = 0; a < 3; ++a)
            blend[a] = 0.5f * in[a] + 0.5f * applied[a];
        normalize(blend);
        float principal[3];
        Column(0, principal);
        alignWith(principal, blend);
        for (int a = 0; a < 3; ++a)
            d[a] = 0.5f * principal[a] + 0.5f * blend[a];
        normalize(d);
    }

  private:
    Source& source_;
    Grid grid_;
    float* tensors_;
    short* mask_;
    float* angleScale_;
    float cosAngle_;
    double maxAngle_;
    std::vector<float>& track_;
    std::size_t entrySize_;
    bool backward_;
    std::size_t lengthCap_;
    bool usable_ = false;
    float voxelSize_[3] = {1, 1, 1};
    float step_ = 0;
    float walkIncrement_[3] = {0, 0, 0};
    float previous_[3] = {0, 0, 0};
};

// FACT and tensorline: one point per voxel entered, the direction chosen by choose(first, d).
template <typename Source, typename Choose>
void walkVoxels(Propagation<Source>& run, const float* seed, Choose choose) {
    float p[3];
    int voxel[3];
    int64_t index = run.Locate(seed, p, voxel);
    run.Decompose(index);
    for (bool first = true;; first = false) {
        if (!run.Inside(p, index)) return;
        float d[3];
        choose(first, d);
        if (!run.Turn(d, index)) return;
        if (!run.StoreVoxelUnits(p, first)) return;
        if (!run.Walk(p, d, voxel)) return;
        index = run.grid().Index(voxel);
        run.Follow(d);
        run.Decompose(index);
    }
}

template <typename Source>
void trackFACT(Source& source, int* dims, float* voxelSize, float* tensors, short* mask,
               float* seed, float stepFactor, float cosAngle, float* angleScale,
               std::vector<float>& track, int directionFlag, int eigenIndex) {
    Propagation<Source> run(source, dims, voxelSize, tensors, mask, stepFactor, cosAngle,
                            angleScale, track, directionFlag, kVoxelWalkCap);
    if (!run.Usable(eigenIndex) || seed == nullptr) return;
    walkVoxels(run, seed, [&run, eigenIndex](bool first, float* d) {
        run.Column(eigenIndex, d);
        if (first) run.Start(d);
    });
}

template <typename Source>
void trackTensorLine(Source& source, int* dims, float* voxelSize, float* tensors, short* mask,
                     float* seed, float stepFactor, float cosAngle, float* angleScale,
                     std::vector<float>& track, int directionFlag, int /*eigenIndex*/) {
    Propagation<Source> run(source, dims, voxelSize, tensors, mask, stepFactor, cosAngle,
                            angleScale, track, directionFlag, kVoxelWalkCap);
    if (!run.Usable(0) || seed == nullptr) return;
    walkVoxels(run, seed, [&run](bool first, float* d) {
        if (first) {
            run.Column(0, d);
            run.Start(d);
        } else {
            run.TensorLineDirection(d);
        }
    });
}

template <typename Source>
void trackRungeKutta2(Source& source, int* dims, float* voxelSize, float* tensors, short* mask,
                      float* seed, float stepFactor, float cosAngle, float* angleScale,
                      std::vector<float>& track, int directionFlag, int eigenIndex) {
    Propagation<Source> run(source, dims, voxelSize, tensors, mask, stepFactor, cosAngle,
                            angleScale, track, directionFlag, kVoxelWalkCap);
    if (!run.Usable(eigenIndex) || seed == nullptr) return;
    const Grid& grid = run.grid();
    const float* edges = run.voxelSize();
    float p[3];
    int voxel[3];
    int64_t index = run.Locate(seed, p, voxel);
    run.Decompose(index);
    // The direction of the last displacement, pointing back; the turn aligns it.
    float candidate[3] = {0, 0, 0};
    for (bool first = true;; first = false) {
        if (!run.Inside(p, index)) return;
        if (first) {
            run.Column(eigenIndex, candidate);
            run.Start(candidate);
        }
        if (!run.Turn(candidate, index)) return;
        if (!run.StoreVoxelUnits(p, first)) return;
        run.Follow(candidate);
        // First stage along the eigenvector of the current voxel, with no test of where it ends
        // except that the voxel exists.
        float d[3];
        run.Column(eigenIndex, d);
        run.AlignWithPrevious(d);
        float q[3] = {p[0], p[1], p[2]};
        int stage[3] = {voxel[0], voxel[1], voxel[2]};
        if (!run.Walk(q, d, stage)) return;
        const int64_t stageIndex = grid.Index(stage);
        if (!grid.Contains(stageIndex)) return;
        run.Decompose(stageIndex);
        float d1[3];
        run.Column(eigenIndex, d1);
        alignWith(d, d1);
        // Second stage from there along its eigenvector; the new point is halfway to its end.
        float r[3] = {q[0], q[1], q[2]};
        if (!run.Walk(r, d1, stage)) return;
        float next[3];
        for (int a = 0; a < 3; ++a)
            next[a] = ((q[a] - p[a]) * 0.5f + (r[a] - q[a]) * 0.5f) + p[a];
        for (int a = 0; a < 3; ++a)
            candidate[a] = p[a] * edges[a] - next[a] * edges[a];
        normalize(candidate);
        for (int a = 0; a < 3; ++a) {
            p[a] = next[a];
            voxel[a] = truncate(p[a]);
        }
        index = grid.Index(voxel);
        run.Decompose(index);
    }
}

// One half with the decompositions of the table's voxels read from it; the fixed step as CTrack.
void trackHalfWithTable(const fibrejoin::VoxelEigenTable& table, int* dims, float* voxelSize,
                        float* tensors, short* mask, float* seed, int method, float stepFactor,
                        float cosAngle, float* angleScale, std::vector<float>& track,
                        int directionFlag, int eigenIndex) {
    TableEigens source(table, tensors);
    switch (method) {
        case 0:
            trackFACT(source, dims, voxelSize, tensors, mask, seed, stepFactor, cosAngle,
                      angleScale, track, directionFlag, eigenIndex);
            break;
        case 1:
            CTrack::GetTrackFixedStep(dims, voxelSize, tensors, mask, seed, stepFactor, cosAngle,
                                      angleScale, track, directionFlag, eigenIndex);
            break;
        case 2:
            trackRungeKutta2(source, dims, voxelSize, tensors, mask, seed, stepFactor, cosAngle,
                             angleScale, track, directionFlag, eigenIndex);
            break;
        case 3:
            trackTensorLine(source, dims, voxelSize, tensors, mask, seed, stepFactor, cosAngle,
                            angleScale, track, directionFlag, eigenIndex);
            break;
        default:
            break;
    }
}

}  // namespace

int CTrack::InterpolateVoxel(int* dims, float* voxelSize, float* tensors, float* position,
                             float* eigenvalues, float** eigenvectors) {
    const Grid grid(dims);
    if (!grid.usable || voxelSize == nullptr || tensors == nullptr || position == nullptr ||
        eigenvalues == nullptr || eigenvectors == nullptr)
        return 0;
    int voxel[3];
    locate(position, voxelSize, voxel);
    return interpolateTensor(grid, voxelSize, tensors, position, voxel, eigenvalues, eigenvectors);
}

void CTrack::GetTrackFACT(int* dims, float* voxelSize, float* tensors, short* mask, float* seed,
                          float stepFactor, float cosAngle, float* angleScale,
                          std::vector<float>& track, int directionFlag, int eigenIndex) {
    OnTheFlyEigens source(tensors);
    trackFACT(source, dims, voxelSize, tensors, mask, seed, stepFactor, cosAngle, angleScale, track,
              directionFlag, eigenIndex);
}

void CTrack::GetTrackTensorLine(int* dims, float* voxelSize, float* tensors, short* mask,
                                float* seed, float stepFactor, float cosAngle, float* angleScale,
                                std::vector<float>& track, int directionFlag, int eigenIndex) {
    OnTheFlyEigens source(tensors);
    trackTensorLine(source, dims, voxelSize, tensors, mask, seed, stepFactor, cosAngle, angleScale,
                    track, directionFlag, eigenIndex);
}

void CTrack::GetTrackFixedStep(int* dims, float* voxelSize, float* tensors, short* mask,
                               float* seed, float stepFactor, float cosAngle, float* angleScale,
                               std::vector<float>& track, int directionFlag, int eigenIndex) {
    OnTheFlyEigens source(tensors);
    Propagation<OnTheFlyEigens> run(source, dims, voxelSize, tensors, mask, stepFactor, cosAngle,
                                    angleScale, track, directionFlag, kFixedStepCap);
    if (!run.Usable(eigenIndex) || seed == nullptr) return;
    const Grid& grid = run.grid();
    const float* edges = run.voxelSize();
    const float h = run.step();
    float position[3] = {seed[0], seed[1], seed[2]};
    int voxel[3];
    int64_t index = 0;
    // The voxel of the position; false unless it is in the grid (up to the top layer along z,
    // tested at the start of each step) and in the mask.
    auto enter = [&]() {
        locate(position, edges, voxel);
        index = grid.Index(voxel);
        return run.Enterable(index) && voxel[0] >= 0 && voxel[1] >= 0 && voxel[2] >= 0 &&
               voxel[0] < grid.nx && voxel[1] < grid.ny;
    };
    if (!enter()) return;
    for (bool first = true;; first = false) {
        if (!(voxel[2] < grid.nz) || !run.Interpolate(position, voxel)) return;
        float d[3];
        run.Column(eigenIndex, d);
        // The first direction is taken as it comes, without alignment or angle test.
        if (first) {
            run.Start(d);
        } else if (!run.Turn(d, index)) {
            return;
        }
        if (!run.Store(position[0], position[1], position[2], first)) return;
        for (int a = 0; a < 3; ++a)
            position[a] = d[a] * h + position[a];
        run.Follow(d);
        if (!enter()) return;
    }
}

void CTrack::GetTrackRungeKutta2(int* dims, float* voxelSize, float* tensors, short* mask,
                                 float* seed, float stepFactor, float cosAngle, float* angleScale,
                                 std::vector<float>& track, int directionFlag, int eigenIndex) {
    OnTheFlyEigens source(tensors);
    trackRungeKutta2(source, dims, voxelSize, tensors, mask, seed, stepFactor, cosAngle, angleScale,
                     track, directionFlag, eigenIndex);
}

void CTrack::GetTrackOneWay(int* dims, float* voxelSize, float* tensors, short* mask, float* seed,
                            int method, float stepFactor, float cosAngle, float* angleScale,
                            std::vector<float>& track, int directionFlag, int eigenIndex) {
    switch (method) {
        case 0:
            GetTrackFACT(dims, voxelSize, tensors, mask, seed, stepFactor, cosAngle, angleScale,
                         track, directionFlag, eigenIndex);
            break;
        case 1:
            GetTrackFixedStep(dims, voxelSize, tensors, mask, seed, stepFactor, cosAngle,
                              angleScale, track, directionFlag, eigenIndex);
            break;
        case 2:
            GetTrackRungeKutta2(dims, voxelSize, tensors, mask, seed, stepFactor, cosAngle,
                                angleScale, track, directionFlag, eigenIndex);
            break;
        case 3:
            GetTrackTensorLine(dims, voxelSize, tensors, mask, seed, stepFactor, cosAngle,
                               angleScale, track, directionFlag, eigenIndex);
            break;
        default:
            break;
    }
}

int CTrack::GetTrack(int* dims, float* voxelSize, float* tensors, short* mask, float* seed,
                     int method, float stepFactor, float maxAngle, float* angleScale,
                     float*& points, int& count, int eigenIndex) {
    std::vector<float> track;
    track.reserve(kTypicalTrackFloats);
    fibrejoin::TrackWithTable(nullptr, dims, voxelSize, tensors, mask, seed, method, stepFactor,
                              fibrejoin::CosineOfDegrees(maxAngle), angleScale, eigenIndex, track);
    // The length cap keeps the buffer to a few thousand points, far inside an int.
    count = static_cast<int>(track.size() / 3);
    if (count <= 2) return 0;
    float* result = new float[track.size()];
    std::copy(track.begin(), track.end(), result);
    points = result;
    return 1;
}

// ==== Decompositions computed ahead ====

void fibrejoin::DecomposeTensor(const float* tensor, float* eigen) {
    float* rows[3] = {eigen + 3, eigen + 6, eigen + 9};
    CMyMath::ComputeEigens(tensor, eigen, rows);
}

float fibrejoin::CosineOfDegrees(float degrees) {
    return static_cast<float>(std::cos(static_cast<double>(degrees) * kPi / 180.0));
}

bool fibrejoin::VoxelEigenTable::Select(const short* mask, int64_t voxels) {
    voxels_ = voxels;
    bits_.assign(static_cast<std::size_t>((voxels + 63) / 64), 0);
    before_.assign(bits_.size(), 0);
    uint64_t selected = 0;
    for (std::size_t word = 0; word < bits_.size(); ++word) {
        before_[word] = static_cast<uint32_t>(selected);
        const int64_t first = static_cast<int64_t>(word) * 64;
        const int64_t last = std::min(voxels, first + 64);
        uint64_t bits = 0;
        for (int64_t v = first; v < last; ++v)
            if (mask[v] >= 1) bits |= uint64_t{1} << (v - first);
        bits_[word] = bits;
        selected += static_cast<uint64_t>(__builtin_popcountll(bits));
        if (selected > std::numeric_limits<uint32_t>::max()) {
            *this = VoxelEigenTable();
            return false;
        }
    }
    selected_ = static_cast<std::size_t>(selected);
    eigens_.assign(selected_ * kEigenFloats, 0.0f);
    return true;
}

void fibrejoin::VoxelEigenTable::Decompose(const float* tensors, std::size_t first,
                                           std::size_t last) {
    for (std::size_t word = first; word < last && word < bits_.size(); ++word) {
        float* eigen = eigens_.data() + std::size_t{before_[word]} * kEigenFloats;
        for (uint64_t bits = bits_[word]; bits != 0; bits &= bits - 1) {
            const std::size_t v = word * 64 + static_cast<std::size_t>(__builtin_ctzll(bits));
            DecomposeTensor(tensors + 6 * v, eigen);
            eigen += kEigenFloats;
        }
    }
}

void fibrejoin::TrackWithTable(const VoxelEigenTable* table, int* dims, float* voxelSize,
                               float* tensors, short* mask, float* seed, int method,
                               float stepFactor, float cosAngle, float* angleScale, int eigenIndex,
                               std::vector<float>& track) {
    track.clear();
    for (int directionFlag : {1, 0}) {
        if (table == nullptr)
            CTrack::GetTrackOneWay(dims, voxelSize, tensors, mask, seed, method, stepFactor,
                                   cosAngle, angleScale, track, directionFlag, eigenIndex);
        else
            trackHalfWithTable(*table, dims, voxelSize, tensors, mask, seed, method, stepFactor,
                               cosAngle, angleScale, track, directionFlag, eigenIndex);
    }
}

int CTrack::GetTrack(int* dims, float* voxelSize, float* tensors, short* mask, int* seedVoxel,
                     int method, float stepFactor, float maxAngle, float* angleScale,
                     float*& points, int& count, int eigenIndex) {
    if (seedVoxel == nullptr || voxelSize == nullptr) {
        count = 0;
        return 0;
    }
    float seed[3];
    for (int a = 0; a < 3; ++a)
        seed[a] = static_cast<float>((static_cast<double>(seedVoxel[a]) + 0.5) *
                                     static_cast<double>(voxelSize[a]));
    return GetTrack(dims, voxelSize, tensors, mask, seed, method, stepFactor, maxAngle, angleScale,
                    points, count, eigenIndex);
}

// ==== Geometry ====
namespace {

const float* pointAt(const float* points, int64_t m) {
    return points + 3 * m;
}

void difference(const float* a, const float* b, float* out) {
    out[0] = a[0] - b[0];
    out[1] = a[1] - b[1];
    out[2] = a[2] - b[2];
}

void cross(const float* a, const float* b, float* out) {
    out[0] = a[1] * b[2] - a[2] * b[1];
    out[1] = a[2] * b[0] - a[0] * b[2];
    out[2] = a[0] * b[1] - a[1] * b[0];
}

// Distance between two points: the squared distance in float, its root in double.
double distance(const float* a, const float* b) {
    float d[3];
    difference(a, b, d);
    return std::sqrt(static_cast<double>(dot(d, d)));
}

// The axis-plane visit: from the last point back to the second, 1 at the first point on the
// plane or across it from the first point, or (with a tolerance) closer than half of it.
int crossesAxisPlane(const float* points, int count, int axis, float value, bool useTolerance,
                     float tolerance) {
    if (points == nullptr || count <= 1 || axis < 0 || axis > 2) return 0;
    const float first = points[axis] - value;
    for (int64_t m = int64_t{count} - 1; m >= 1; --m) {
        const float offset = pointAt(points, m)[axis] - value;
        if (offset * first <= 0) return 1;
        if (useTolerance && std::fabs(offset) < 0.5 * static_cast<double>(tolerance)) return 1;
    }
    return 0;
}

struct Frame {
    double tangent[3], binormal[3], normal[3], length;
};

void crossDouble(const double* a, const double* b, double* out) {
    out[0] = a[1] * b[2] - a[2] * b[1];
    out[1] = a[2] * b[0] - a[0] * b[2];
    out[2] = a[0] * b[1] - a[1] * b[0];
}

}  // namespace

int CTrack::IntersectWithPlane(float* points, int count, int axis, float value) {
    return crossesAxisPlane(points, count, axis, value, false, 0);
}

int CTrack::IntersectWithPlane(float* points, int count, int axis, float value, float tolerance) {
    return crossesAxisPlane(points, count, axis, value, true, tolerance);
}

int CTrack::IntersectWithPlane(float* points, int count, float* normal, float* planePoint,
                               float* hit, int* segment) {
    if (points == nullptr || normal == nullptr || planePoint == nullptr || hit == nullptr ||
        count < 2)
        return 0;
    const float planeOffset = dot(normal, planePoint);
    for (int s = 0; s + 1 < count; ++s) {
        const float* a = pointAt(points, s);
        const float* b = pointAt(points, int64_t{s} + 1);
        float along[3];
        difference(a, b, along);
        const float den = dot(normal, along);
        const float num = planeOffset - dot(normal, b);
        // Parallel, nearly parallel or lying in the plane.
        if (static_cast<float>(std::fabs(num) * 1e-6) >= std::fabs(den)) continue;
        // t = 0 is b, t = 1 is a.
        const float t = num / den;
        for (int c = 0; c < 3; ++c)
            hit[c] = along[c] * t + b[c];
        if (t >= 0 && t <= 1) {
            if (segment != nullptr) *segment = s;
            return 1;
        }
    }
    return 0;
}

int CTrack::IntersectWithDisk(float* points, int count, float* normal, float* centre, float radius,
                              float* hit, float maxAngle) {
    int s = 0;
    if (!IntersectWithPlane(points, count, normal, centre, hit, &s)) return 0;
    float offset[3];
    difference(centre, hit, offset);
    if (radius * radius < dot(offset, offset)) return 0;
    if (!(maxAngle < 90)) return 1;
    float direction[3];
    difference(pointAt(points, int64_t{s} + 1), pointAt(points, s), direction);
    normalize(direction);
    double cosine = static_cast<double>(dot(direction, normal));
    cosine = cosine > 1 ? 1 : std::max(-1.0, cosine);
    const float angle = static_cast<float>(std::acos(cosine) * 180.0 / kPi);
    if (maxAngle >= angle) return 1;
    return maxAngle > 180 - angle ? 1 : 0;
}

float CTrack::GetLength(float* points, int count) {
    if (points == nullptr || count <= 1) return 0;
    double length = 0;
    for (int64_t m = 0; m + 1 < count; ++m)
        length += distance(pointAt(points, m), pointAt(points, m + 1));
    return static_cast<float>(length);
}

void CTrack::GetCurvatureAndTorsion(float* points, int count, float& curvature, float& torsion,
                                    float& product, bool average) {
    if (points == nullptr || count <= 2) {
        curvature = 0;
        torsion = 0;
        return;
    }
    const int64_t n = count;
    std::unique_ptr<Frame[]> frames(new Frame[static_cast<std::size_t>(n)]);
    for (int64_t i = 0; i + 1 < n; ++i) {
        const float* a = pointAt(points, i);
        const float* b = pointAt(points, i + 1);
        Frame& frame = frames[i];
        frame.length = distance(a, b);
        for (int c = 0; c < 3; ++c)
            frame.tangent[c] = static_cast<double>(b[c] - a[c]) / frame.length;
    }
    // The last point repeats the last tangent: its curvature and torsion terms are zero.
    for (int c = 0; c < 3; ++c) {
        frames[n - 1].tangent[c] = frames[n - 2].tangent[c];
        frames[n - 1].binormal[c] = 0;
    }
    std::unique_ptr<double[]> curvatures(new double[static_cast<std::size_t>(n)]);
    for (int64_t i = 0; i + 1 < n; ++i) {
        Frame& frame = frames[i];
        const double* next = frames[i + 1].tangent;
        double turn[3];
        for (int c = 0; c < 3; ++c)
            turn[c] = next[c] - frame.tangent[c];
        curvatures[i] =
            std::sqrt(turn[0] * turn[0] + turn[1] * turn[1] + turn[2] * turn[2]) / frame.length;
        crossDouble(frame.tangent, next, frame.binormal);
        crossDouble(frame.binormal, frame.tangent, frame.normal);
    }
    double curvatureSum = 0, torsionSum = 0, productSum = 0;
    for (int64_t i = 0; i + 1 < n; ++i) {
        const Frame& frame = frames[i];
        const double* nextBinormal = frames[i + 1].binormal;
        double change[3];
        for (int c = 0; c < 3; ++c)
            change[c] = nextBinormal[c] - frame.binormal[c];
        const double tau = -(change[0] * frame.normal[0] + change[1] * frame.normal[1] +
                             change[2] * frame.normal[2]) /
                           frame.length;
        curvatureSum += curvatures[i];
        torsionSum += tau;
        productSum += curvatures[i] * tau;
    }
    if (average) {
        const double segments = static_cast<double>(n - 1);
        curvatureSum /= segments;
        torsionSum /= segments;
        productSum /= segments;
    }
    curvature = static_cast<float>(curvatureSum);
    torsion = std::fabs(static_cast<float>(torsionSum));
    product = static_cast<float>(productSum);
}

float CTrack::GetUFactor(float* points, int count, float /*unused*/) {
    if (points == nullptr || count <= 3) return 0;
    const int64_t n = count;
    const float* first = pointAt(points, 0);
    const float* a = pointAt(points, n / 3);
    const float* b = pointAt(points, 2 * n / 3);
    const float* last = pointAt(points, n - 1);
    float chords[3][3];
    difference(a, first, chords[0]);
    difference(b, a, chords[1]);
    difference(last, b, chords[2]);
    for (float* chord : chords)
        normalize(chord);
    float firstBend[3], secondBend[3];
    cross(chords[0], chords[1], firstBend);
    cross(chords[1], chords[2], secondBend);
    return dot(firstBend, secondBend);
}
