// Internal to the tracking module: the propagators of CTrack with the eigen decompositions of
// chosen voxels computed ahead of time.
//
// FACT, Runge-Kutta and tensorline decompose the tensor of every voxel a track enters. A
// whole-volume run enters each mask voxel many times, so VoxelEigenTable keeps one decomposition
// per chosen voxel, and TrackWithTable runs the same propagation code as CTrack reading the table
// for those voxels (and decomposing any other voxel on the fly). A decomposition is stored exactly
// as the propagators compute it, so the tracks are bit for bit those of CTrack::GetTrack. The
// table owns its decompositions; the grid arrays stay the caller's and are only read.
#ifndef FIBREJOIN_TRACKING_TRACKPROPAGATION_H
#define FIBREJOIN_TRACKING_TRACKPROPAGATION_H

#include <cstddef>
#include <cstdint>
#include <vector>

#include "utils/Memory.h"

namespace fibrejoin {

// One voxel's decomposition as the propagators read it: the three eigenvalues in decreasing order,
// then the rows of the eigenvector matrix (eigenvector m is column m).
constexpr int kEigenFloats = 12;

// The decomposition of one six-component tensor into eigen (kEigenFloats floats), exactly the one
// the propagators make when they enter a voxel.
void DecomposeTensor(const float* tensor, float* eigen);

// Decompositions of the voxels of a mask (value >= 1), found by voxel index. The selection is one
// bit per voxel with a running count per 64 voxels, so the table costs little beyond the
// decompositions themselves.
class VoxelEigenTable {
  public:
    // Selects the voxels with mask value >= 1 among voxels; nothing is decomposed yet. False when
    // the decompositions could not be addressed (more than 2^32 - 1 voxels selected).
    bool Select(const short* mask, int64_t voxels);
    // Words of 64 voxels, the unit of Decompose.
    std::size_t WordCount() const { return bits_.size(); }
    std::size_t size() const { return selected_; }
    // Decomposes the selected voxels of words [first, last); distinct ranges may be filled
    // concurrently.
    void Decompose(const float* tensors, std::size_t first, std::size_t last);

    // The decomposition of voxel index, or null when it is not selected (or outside the grid).
    const float* Find(int64_t index) const {
        if (index < 0 || index >= voxels_) return nullptr;
        const std::size_t word = static_cast<std::size_t>(index) >> 6;
        const uint64_t bit = uint64_t{1} << (index & 63);
        if ((bits_[word] & bit) == 0) return nullptr;
        const std::size_t slot = before_[word] + BitCount(bits_[word] & (bit - 1));
        return eigens_.data() + slot * kEigenFloats;
    }

    // Set bits of x, inline: without a popcount instruction in the baseline, the builtin is a
    // library call that costs a tenth of a FACT run.
    static std::size_t BitCount(uint64_t x) {
        x = x - ((x >> 1) & 0x5555555555555555ull);
        x = (x & 0x3333333333333333ull) + ((x >> 2) & 0x3333333333333333ull);
        x = (x + (x >> 4)) & 0x0F0F0F0F0F0F0F0Full;
        return static_cast<std::size_t>((x * 0x0101010101010101ull) >> 56);
    }

  private:
    int64_t voxels_ = 0;
    std::size_t selected_ = 0;
    std::vector<uint64_t> bits_;
    std::vector<uint32_t> before_;  // selected voxels in the words before
    LargeVector<float> eigens_;
};

// CTrack::GetTrack from a seed in mm into track (emptied first), without the copy into a new[]
// array: the backward half, then the forward half, cosAngle being the cosine GetTrack derives from
// its angle in degrees. With a table, FACT, Runge-Kutta and tensorline read the decompositions of
// the table's voxels from it; the fixed step and a null table decompose as CTrack does.
void TrackWithTable(const VoxelEigenTable* table, int* dims, float* voxelSize, float* tensors,
                    short* mask, float* seed, int method, float stepFactor, float cosAngle,
                    float* angleScale, int eigenIndex, std::vector<float>& track);

// The cosine of an angle in degrees as CTrack::GetTrack computes it.
float CosineOfDegrees(float degrees);

}  // namespace fibrejoin

#endif  // FIBREJOIN_TRACKING_TRACKPROPAGATION_H
