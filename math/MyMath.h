// Numerical routines of the toolkit.
//
// CMyMath holds no data: every operation is a static member that forwards to a free function
// template instantiated per element type. Callers own every buffer passed in; temporary storage
// lives inside one call and is released before it returns.
#ifndef FIBREJOIN_MATH_MYMATH_H
#define FIBREJOIN_MATH_MYMATH_H

#include <cstdint>

// ==== Eigen decomposition, linear systems and singular value decomposition: free functions ====

// Eigenvalues and eigenvectors of the symmetric n x n matrix a by cyclic plane rotations (at most
// 20 sweeps). Reads the diagonal and the strict upper triangle of a and destroys the latter.
// Writes the eigenvalues to w in decreasing order and eigenvector j to column j of v, negated
// where needed so that at least half of its components are >= 0. Always returns 1.
template <typename T>
int vtkJacobiN(T** a, int n, T* w, T** v);

// LU factorisation of the n x n matrix a in place, with implicit row scaling and partial
// pivoting: index[j] receives the row exchanged with row j, scale is n elements of work storage.
// Among rows of equal scaled magnitude the one of highest index becomes the pivot.
// Returns 0, after printing a message on standard output, when a row is zero or a pivot is at
// most 1e-12 in magnitude (an absolute bound).
int LUFactorLinearSystem(double** a, int* index, int n, double* scale);

// Solves the system factored by LUFactorLinearSystem in place: x holds the right-hand side on
// entry and the solution on return. Nothing is checked.
void LUSolveLinearSystem(double** a, int* index, double* x, int n);

// Inverts a into inverse, leaving a in factored form; index and column are n elements of work
// storage. Returns 0, with inverse untouched, when a cannot be factored.
int invertMatrix(double** a, double** inverse, int n, int* index, double* column);

// Singular value decomposition a = U diag(w) V^T of an m x n matrix. All three arrays are
// one-based: rows 1 .. m of a with elements 1 .. n, w[1 .. n] and v[1 .. n][1 .. n]. a is
// overwritten by U and v receives V itself. The singular values are left unsorted.
template <typename T>
void singularValueDecomposition(T** a, int m, int n, T* w, T** v);

// Moore-Penrose pseudo-inverse of the zero-based m x n input into the n x m output. Only
// singular values that are exactly zero are dropped.
template <typename T>
void pseudoInverse(T** output, const T* const* input, int m, int n);
template <typename T>
void pseudoInverse4x4(T output[4][4], const T input[4][4]);
template <typename T>
void pseudoInverse2(T output[3][3], const T input[3][3]);

// ==== Smoothing, histograms, geometry and small routines: free functions ====

// Moving weighted average of the n samples of signal, in place. weights holds w values (all 1
// when null); weight k applies to the neighbour at offset k - w / 2. Near the ends only the part
// of the window inside the signal takes part, divided by the sum of the weights used (a
// non-positive sum leaves the sample as it was). Integer results are truncated toward zero and
// saturate at the type's range, NaN giving 0. An even or non-positive w, or n < 1, leaves the
// signal unchanged.
template <typename T>
void linearSmooth(T* signal, int n, int w, const double* weights);

// Gaussian smoothing of a volume of dim[0] x dim[1] x dim[2] voxels with c components each (x
// fastest, the components of a voxel adjacent) into the separate output, with a normalised cubic
// kernel of edge size. Voxels within size / 2 of a face are copied unchanged, and so is the whole
// volume when size is even or below 1. Only sigma squared enters, so a negative sigma acts as its
// magnitude; a sigma of zero gives the unit impulse, which reproduces the input, and a NaN sigma
// gives NaN (0 for integer types). Integer results are truncated toward zero, so a constant
// volume can come back one lower where the rounded weights sum to just below 1.
template <typename T>
void smoothVolume(const T* input, const int* dim, int c, int size, double sigma, T* output);

// Counts the n samples into nBins equal-width bins between their minimum and maximum, the
// maximum going to the last bin, and returns the width. range, when given, receives (minimum,
// maximum). NaN samples never become an extreme and are counted in bin 0, so the counts always
// sum to n (all-NaN input reports a NaN range and width). n <= 0 gives zero counts, range (0, 1)
// and the width 1 / (nBins - 1). nBins < 1 writes nothing and returns 0. `zeros` further samples
// of value 0 count as if they followed the n samples, so that a caller need not store them.
template <typename T>
double histogram(const T* samples, int64_t n, int64_t* counters, int nBins, double* range,
                 int64_t zeros = 0);

// Background threshold: the centre of the first strict valley of a smoothed fine histogram at or
// above its lowest 5 % of the samples (the centre of fine bin 0 when there is none). nBins fine
// bins span the range below the brightest 5 %; the fine bin count is kept between 2 and 2^24 so
// that the temporaries stay bounded. upper, when given, receives the centre of the coarse bin
// (1 % of the range) where the brightest 5 % begin. NaN samples and `zeros` count as in
// histogram.
template <typename T>
double getAutoThreshold(T* samples, int64_t n, int nBins, double* range, double* upper,
                        int64_t zeros = 0);

// Circle through three points: centre, unit normal of their plane and radius. Returns 0, with
// centre and radius untouched, for coincident or (nearly) collinear points, where the normal
// holds the unnormalised cross product of the two edge directions, and for bisectors that do not
// meet (a rounding case the collinearity bound already excludes; the normal is then unit).
template <typename T>
int threePointsToCircle(const T* p1, const T* p2, const T* p3, T* centre, T* normal, T* radius);

class CMyMath {
  public:
    CMyMath() {}
    virtual ~CMyMath() {}

    // ==== Eigen decomposition, linear systems and singular value decomposition ====

    static int MyJacobi(double** a, int n, double* w, double** v);
    static int MyJacobi(float** a, int n, float* w, float** v);
    // Eigen decomposition of the symmetric tensor given as xx, xy, xz, yy, yz, zz: eigenvalues in
    // decreasing order, eigenvector j in column j of the 3 x 3 matrix. Allocates nothing.
    static void ComputeEigens(const double* tensor, double* eigenvalues, double** eigenvectors);
    static void ComputeEigens(const float* tensor, float* eigenvalues, float** eigenvectors);
    // Sorts d into decreasing order, moving the columns of v along; of equal values the later
    // comes first.
    static void Eigsrt(float* d, float** v, int n);
    static void Eigsrt(double* d, double** v, int n);
    // Replaces each row by the signed unit vector along its largest component (the first of
    // equal ones); a zero component gives -1.
    static void ClosestOrth(const float in[3][3], float out[3][3]);
    static void ClosestOrth(const double in[3][3], double out[3][3]);

    // Inversion by LU factorisation, the input left unchanged. False when the matrix cannot be
    // factored; the output is then untouched.
    static bool InvertMatrix(double** inverse, const double* const* matrix, int n);
    static bool InvertMatrix4x4(double inverse[4][4], const double matrix[4][4]);
    static bool InvertMatrix(double inverse[3][3], const double matrix[3][3]);

    static void SingularValueDecomposition(double** a, int m, int n, double* w, double** v);
    static void SingularValueDecomposition(float** a, int m, int n, float* w, float** v);
    static void PseudoInverse(double** output, const double* const* input, int m, int n);
    static void PseudoInverse(float** output, const float* const* input, int m, int n);
    static void PseudoInverse4x4(double output[4][4], const double input[4][4]);
    static void PseudoInverse4x4(float output[4][4], const float input[4][4]);
    static void PseudoInverse(double output[3][3], const double input[3][3]);
    static void PseudoInverse(float output[3][3], const float input[3][3]);

    // ==== Smoothing, histograms, geometry and small routines ====

    // Fills the caller's size^3 buffer with a normalised Gaussian, the first offset slowest. An
    // even or non-positive size leaves the buffer untouched; sigma as in smoothVolume.
    static void GaussianKernel(double*& kernel, int size, double sigma);
    static void GaussianKernel(float*& kernel, int size, float sigma);
    // Sum of window[t] * kernel[t] over size^3 elements, in the element type; 0 for size < 1.
    static double GaussianSmoothing(const double* window, const double* kernel, int size);
    static float GaussianSmoothing(const float* window, const float* kernel, int size);
    static void LinearSmooth(double* signal, int n, int w, const double* weights);
    static void LinearSmooth(float* signal, int n, int w, const double* weights);
    static void LinearSmooth(short* signal, int n, int w, const double* weights);
    static void LinearSmooth(int* signal, int n, int w, const double* weights);
    // smoothVolume with one component per voxel.
    static void SmoothVolume(const double* input, const int* dim, int size, double sigma,
                             double* output);
    static void SmoothVolume(const float* input, const int* dim, int size, double sigma,
                             float* output);
    static void SmoothVolume(const int* input, const int* dim, int size, double sigma, int* output);
    static void SmoothVolume(const short* input, const int* dim, int size, double sigma,
                             short* output);
    static void SmoothVolume(const unsigned char* input, const int* dim, int size, double sigma,
                             unsigned char* output);

    static double Histogram(const double* samples, int64_t n, int64_t* counters, int nBins,
                            double* range = nullptr);
    static double Histogram(const float* samples, int64_t n, int64_t* counters, int nBins,
                            double* range = nullptr);
    static double Histogram(const int* samples, int64_t n, int64_t* counters, int nBins,
                            double* range = nullptr);
    static double Histogram(const short* samples, int64_t n, int64_t* counters, int nBins,
                            double* range = nullptr);
    static double Histogram(const unsigned char* samples, int64_t n, int64_t* counters, int nBins,
                            double* range = nullptr);
    static double GetAutoThreshold(double* samples, int64_t n, int nBins, double* range = nullptr,
                                   double* upper = nullptr);
    static double GetAutoThreshold(float* samples, int64_t n, int nBins, double* range = nullptr,
                                   double* upper = nullptr);
    static double GetAutoThreshold(int* samples, int64_t n, int nBins, double* range = nullptr,
                                   double* upper = nullptr);
    static double GetAutoThreshold(short* samples, int64_t n, int nBins, double* range = nullptr,
                                   double* upper = nullptr);
    // Display (window, level) from the automatic threshold (50 fine bins) and the start of the
    // brightest 5 %; the window falls back to 40 % of the range when it would not be positive.
    static void AutoWindowLevel(const double* samples, int64_t n, double* windowLevel);
    static void AutoWindowLevel(const float* samples, int64_t n, double* windowLevel);
    static void AutoWindowLevel(const int* samples, int64_t n, double* windowLevel);
    static void AutoWindowLevel(const short* samples, int64_t n, double* windowLevel);

    static int ThreePointsToCircle(const double* const* points, double* centre, double* normal,
                                   double* radius);
    static int ThreePointsToCircle(const float* const* points, float* centre, float* normal,
                                   float* radius);
    static int ThreePointsToCircle(const double* p1, const double* p2, const double* p3,
                                   double* centre, double* normal, double* radius);
    static int ThreePointsToCircle(const float* p1, const float* p2, const float* p3, float* centre,
                                   float* normal, float* radius);
    // Polar angle from +z, azimuth in (-pi/2, 3pi/2) and radius; zero angles where undefined.
    static void Cart2Sphere(const double& x, const double& y, const double& z, double* polar,
                            double* azimuth, double* radius);
    // Rounds a positive value up to the next 1, 2 or 5 times a power of ten. Zero, negative,
    // infinite and NaN values are returned unchanged.
    static double RoundToGrid(double value);
    // Floor of the decimal logarithm; 0 for values that are not positive and finite.
    static int GetPower(double value);
    // Trapezoidal integral of n samples spaced dx apart; 0 for n < 2.
    static double TrapezoidalIntegrate(const double* samples, int n, double dx);
    static double TrapezoidalIntegrate(const float* samples, int n, double dx);
    // 4-connected scanline fill from the seed (x, y) of every cell that differs from both fill and
    // boundary, inside the inclusive window; grid[y][x] is a cell. Uses a bounded stack of 10000
    // segments in automatic storage: when it is full, the region may be left partly unfilled. A
    // fill value outside the char range, which a written cell could never equal, fills nothing.
    static void FloodFill(char** grid, int x, int y, int xMin, int yMin, int xMax, int yMax,
                          int fill, int boundary);
};

#endif  // FIBREJOIN_MATH_MYMATH_H
