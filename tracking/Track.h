// Fibre tracking through a volume of diffusion tensors, and the geometry of finished tracks.
//
// CTrack holds no data: every operation is a static member and no call keeps state for the next.
// The grid (dimensions nx, ny, nz and voxel size in mm), the tensor volume (six floats xx, xy, xz,
// yy, yz, zz per voxel, x fastest), the mask (a voxel may be entered when its value is >= 1) and
// the optional per-voxel angle-scale map are owned by the caller and only read. A propagator grows
// one half of a track from a seed and adds its points (x, y, z in mm) to the caller's vector;
// GetTrack joins a backward and a forward half and returns a new[] array that the caller releases
// with delete[]. Bad arguments (null arrays, non-positive dimensions, NaN seeds, an eigenvector
// column outside 0..2) end a track with nothing added; no operation reads outside the arrays.
#ifndef FIBREJOIN_TRACKING_TRACK_H
#define FIBREJOIN_TRACKING_TRACK_H

#include <vector>

class CTrack {
  public:
    CTrack() {}
    virtual ~CTrack() {}

    // ==== Tensor field sampling ====

    // Decomposes the trilinear blend of the eight voxels around position (mm), each voxel's sample
    // standing at its lower corner. Returns 0, writing nothing, when the position has no complete
    // neighbourhood inside the grid (in particular in the last voxel layer along any axis).
    static int InterpolateVoxel(int* dims, float* voxelSize, float* tensors, float* position,
                                float* eigenvalues, float** eigenvectors);

    // ==== Propagators: one half of a track from a seed ====
    //
    // All four take the same arguments: the step is stepFactor times the smallest voxel edge,
    // cosAngle the cosine of the largest turn allowed between consecutive directions (each
    // voxel's angle scaled by angleScale when that map is given), eigenIndex the eigenvector
    // column to follow. directionFlag 0 appends the points, starting with the seed; any other
    // value grows the opposite way and puts the points in front of what the buffer held, farthest
    // first and without the seed. A track ends at a voxel outside the grid or the mask, at a turn
    // beyond the angle, when the buffer exceeds 12002 floats (15002 for the fixed step), or, for
    // the three methods that walk voxel by voxel (all but the fixed step), when a step no longer
    // moves the position; the points stored until then stay. A fixed step of length 0 stores the
    // seed again at every step until the buffer is full.

    // One point per voxel entered, following that voxel's own eigenvector.
    static void GetTrackFACT(int* dims, float* voxelSize, float* tensors, short* mask, float* seed,
                             float stepFactor, float cosAngle, float* angleScale,
                             std::vector<float>& track, int directionFlag, int eigenIndex);
    // Constant steps along the eigenvector of the interpolated tensor, one point per step.
    static void GetTrackFixedStep(int* dims, float* voxelSize, float* tensors, short* mask,
                                  float* seed, float stepFactor, float cosAngle, float* angleScale,
                                  std::vector<float>& track, int directionFlag, int eigenIndex);
    // Midpoint rule on top of the voxel walk: two walks per point, the new point halfway.
    static void GetTrackRungeKutta2(int* dims, float* voxelSize, float* tensors, short* mask,
                                    float* seed, float stepFactor, float cosAngle,
                                    float* angleScale, std::vector<float>& track, int directionFlag,
                                    int eigenIndex);
    // Blend of the principal eigenvector and the tensor applied to the incoming direction;
    // eigenIndex is accepted and not used.
    static void GetTrackTensorLine(int* dims, float* voxelSize, float* tensors, short* mask,
                                   float* seed, float stepFactor, float cosAngle, float* angleScale,
                                   std::vector<float>& track, int directionFlag, int eigenIndex);

    // ==== Whole tracks ====

    // Runs the propagator of method 0 (FACT), 1 (fixed step), 2 (Runge-Kutta) or 3 (tensorline);
    // any other code leaves the buffer as it was.
    static void GetTrackOneWay(int* dims, float* voxelSize, float* tensors, short* mask,
                               float* seed, int method, float stepFactor, float cosAngle,
                               float* angleScale, std::vector<float>& track, int directionFlag,
                               int eigenIndex);
    // Backward then forward half from the seed (mm), maxAngle in degrees. count receives the
    // number of points; with at least three, points receives a new[] array of 3 * count floats
    // owned by the caller and the result is 1. Otherwise the result is 0 and points is untouched.
    static int GetTrack(int* dims, float* voxelSize, float* tensors, short* mask, float* seed,
                        int method, float stepFactor, float maxAngle, float* angleScale,
                        float*& points, int& count, int eigenIndex);
    // The same from the centre of voxel seedVoxel (i, j, k).
    static int GetTrack(int* dims, float* voxelSize, float* tensors, short* mask, int* seedVoxel,
                        int method, float stepFactor, float maxAngle, float* angleScale,
                        float*& points, int& count, int eigenIndex);

    // ==== Geometry of a finished track: count points x, y, z ====

    // 1 when a later point lies on the plane {coordinate axis = value} or beyond it as seen from
    // the first point. An axis outside 0..2 gives 0.
    static int IntersectWithPlane(float* points, int count, int axis, float value);
    // The same, or a later point closer to the plane than tolerance / 2.
    static int IntersectWithPlane(float* points, int count, int axis, float value, float tolerance);
    // 1 when a segment crosses the plane through planePoint with this normal (not normalised);
    // hit receives the crossing and segment, when not null, the index of its first point.
    static int IntersectWithPlane(float* points, int count, float* normal, float* planePoint,
                                  float* hit, int* segment);
    // 1 when the track crosses the disk (unit normal, centre, radius) within maxAngle degrees of
    // the normal line, in either direction; no angle condition from 90 degrees on.
    static int IntersectWithDisk(float* points, int count, float* normal, float* centre,
                                 float radius, float* hit, float maxAngle);
    static float GetLength(float* points, int count);
    // Sums of the discrete curvature, torsion and their product over the segments, or their
    // averages over count - 1 segments; torsion is returned as a magnitude. With fewer than three
    // points curvature and torsion are 0 and product is not written.
    static void GetCurvatureAndTorsion(float* points, int count, float& curvature, float& torsion,
                                       float& product, bool average);
    // Overall bending: the chords from the first point to the points at one and two thirds and on
    // to the last are made unit, and the cross products of consecutive chords are multiplied.
    // Positive for a U, negative for an S, 0 for a straight track or for up to three points, at
    // most 1 in magnitude. The last argument is not used.
    static float GetUFactor(float* points, int count, float unused);
};

#endif  // FIBREJOIN_TRACKING_TRACK_H
