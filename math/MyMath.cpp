#include "math/MyMath.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <iostream>
#include <limits>
#include <memory>
#include <type_traits>
#include <utility>

// ==== Eigen decomposition, linear systems and singular value decomposition ====

namespace {

// A caller's int size as an element count; negative sizes count as empty.
std::size_t countOf(int size) {
    return size > 0 ? static_cast<std::size_t>(size) : 0;
}

// An owned row-pointer matrix: one block of values and one array of row pointers into it.
template <typename T>
class RowMatrix {
  public:
    RowMatrix(std::size_t rows, std::size_t cols)
        : values_(new T[rows * cols]()), rows_(new T*[rows]) {
        for (std::size_t i = 0; i < rows; ++i)
            rows_[i] = values_.get() + i * cols;
    }
    T** rows() { return rows_.get(); }
    T* operator[](int row) { return rows_[row]; }

  private:
    std::unique_ptr<T[]> values_;
    std::unique_ptr<T*[]> rows_;
};

// Row pointers into a fixed N x N array, so that it can be passed where a row-pointer matrix is
// expected without copying.
template <int N, typename T>
std::array<T*, N> rowsOf(T (*matrix)[N]) {
    std::array<T*, N> rows;
    for (int i = 0; i < N; ++i)
        rows[i] = matrix[i];
    return rows;
}

// Selection sort of w into decreasing order, moving the columns of v along. Among equal values
// the later one is taken first.
template <typename T>
void sortEigenpairs(T* w, T** v, int n) {
    for (int j = 0; j < n - 1; ++j) {
        int k = j;
        T largest = w[j];
        for (int i = j + 1; i < n; ++i) {
            if (w[i] >= largest) {
                largest = w[i];
                k = i;
            }
        }
        if (k != j) {
            w[k] = w[j];
            w[j] = largest;
            for (int i = 0; i < n; ++i)
                std::swap(v[i][j], v[i][k]);
        }
    }
}

// Replaces (x, y) by their images under the plane rotation with sine s and tau = s / (1 + cos).
template <typename T>
inline void rotatePair(T& x, T& y, T s, T tau) {
    const T oldX = x;
    const T oldY = y;
    x = oldX - s * (oldY + oldX * tau);
    y = oldY + s * (oldX - oldY * tau);
}

// x + y == x evaluated in double: y is negligible beside x at the working precision of double,
// which for float operands is a stricter test than the float sum.
template <typename T>
inline bool negligibleBeside(T x, T y) {
    return static_cast<double>(x) + static_cast<double>(y) == static_cast<double>(x);
}

// The cyclic Jacobi sweeps on work vectors b and z of n elements each; n >= 1.
template <typename T>
void jacobiSweeps(T** a, int n, T* w, T** v, T* b, T* z) {
    for (int i = 0; i < n; ++i) {
        std::fill(v[i], v[i] + n, T(0));
        v[i][i] = T(1);
    }
    for (int i = 0; i < n; ++i) {
        b[i] = w[i] = a[i][i];
        z[i] = T(0);
    }
    const double pairFactor = static_cast<double>(static_cast<std::int64_t>(n) * n);
    for (int sweep = 0; sweep < 20; ++sweep) {
        T offDiagonal = T(0);
        for (int p = 0; p < n - 1; ++p) {
            for (int q = p + 1; q < n; ++q)
                offDiagonal += std::fabs(a[p][q]);
        }
        if (offDiagonal == T(0)) break;
        // The first sweeps skip small elements so that the large ones are removed first.
        const T tresh = sweep < 3 ? static_cast<T>(0.2 * offDiagonal / pairFactor) : T(0);

        for (int p = 0; p < n - 1; ++p) {
            for (int q = p + 1; q < n; ++q) {
                const T g = T(100) * std::fabs(a[p][q]);
                if (sweep > 3 && negligibleBeside(std::fabs(w[p]), g) &&
                    negligibleBeside(std::fabs(w[q]), g)) {
                    a[p][q] = T(0);
                    continue;
                }
                if (!(std::fabs(a[p][q]) > tresh)) continue;

                T h = w[q] - w[p];
                T t;
                if (negligibleBeside(std::fabs(h), g)) {
                    t = a[p][q] / h;
                } else {
                    const T theta = static_cast<T>(0.5 * h / a[p][q]);
                    const double thetaD = theta;
                    t = static_cast<T>(1.0 /
                                       (std::fabs(thetaD) + std::sqrt(1.0 + thetaD * thetaD)));
                    if (theta < T(0)) t = -t;
                }
                const double tD = t;
                const T c = static_cast<T>(1.0 / std::sqrt(1.0 + tD * tD));
                const T s = t * c;
                const T tau = static_cast<T>(s / (1.0 + c));
                h = t * a[p][q];
                z[p] -= h;
                z[q] += h;
                w[p] -= h;
                w[q] += h;
                a[p][q] = T(0);

                // Only the strict upper triangle is kept up to date.
                for (int j = 0; j < p; ++j)
                    rotatePair(a[j][p], a[j][q], s, tau);
                for (int j = p + 1; j < q; ++j)
                    rotatePair(a[p][j], a[j][q], s, tau);
                for (int j = q + 1; j < n; ++j)
                    rotatePair(a[p][j], a[q][j], s, tau);
                for (int j = 0; j < n; ++j)
                    rotatePair(v[j][p], v[j][q], s, tau);
            }
        }
        for (int i = 0; i < n; ++i) {
            b[i] += z[i];
            w[i] = b[i];
            z[i] = T(0);
        }
    }

    sortEigenpairs(w, v, n);

    // Give every eigenvector the sign under which at least half of its components are >= 0.
    const int half = (n >> 1) + (n & 1);
    for (int j = 0; j < n; ++j) {
        int nonNegative = 0;
        for (int i = 0; i < n; ++i) {
            if (v[i][j] >= T(0)) ++nonNegative;
        }
        if (nonNegative < half) {
            for (int i = 0; i < n; ++i)
                v[i][j] = -v[i][j];
        }
    }
}

// Work vectors of up to this many elements live on the stack.
constexpr int kLocalJacobiSize = 4;

template <typename T>
void computeEigens(const T* tensor, T* eigenvalues, T** eigenvectors) {
    T matrix[3][3] = {{tensor[0], tensor[1], tensor[2]},
                      {tensor[1], tensor[3], tensor[4]},
                      {tensor[2], tensor[4], tensor[5]}};
    T* rows[3] = {matrix[0], matrix[1], matrix[2]};
    vtkJacobiN(rows, 3, eigenvalues, eigenvectors);
}

template <typename T>
void closestOrth(const T in[3][3], T out[3][3]) {
    for (int r = 0; r < 3; ++r) {
        T largest = T(0);
        int index = 0;
        if (std::fabs(in[r][0]) > T(0)) largest = std::fabs(in[r][0]);
        if (std::fabs(in[r][1]) > largest) {
            largest = std::fabs(in[r][1]);
            index = 1;
        }
        if (std::fabs(in[r][2]) > largest) index = 2;
        out[r][0] = out[r][1] = out[r][2] = T(0);
        out[r][index] = in[r][index] > T(0) ? T(1) : T(-1);
    }
}

void printFactorFailure() {
    std::cout << "Unable to factor linear system";
}

// sqrt(p * p + q * q) without overflow or destructive underflow, in double.
template <typename T>
T hypotenuse(T p, T q) {
    const double absP = std::fabs(static_cast<double>(p));
    const double absQ = std::fabs(static_cast<double>(q));
    if (absP > absQ) {
        const double ratio = absQ / absP;
        return static_cast<T>(absP * std::sqrt(1.0 + ratio * ratio));
    }
    if (absQ == 0.0) return T(0);
    const double ratio = absP / absQ;
    return static_cast<T>(absQ * std::sqrt(1.0 + ratio * ratio));
}

// |magnitude| carrying the sign of sign (zero counts as positive).
template <typename T>
T withSignOf(T magnitude, T sign) {
    return sign >= T(0) ? std::fabs(magnitude) : -std::fabs(magnitude);
}

template <typename T>
T squareRoot(T value) {
    return static_cast<T>(std::sqrt(static_cast<double>(value)));
}

// Divides the segment x(first) .. x(last) by its scale, the sum of its magnitudes, and turns it
// into the vector of the Householder reflection that maps it onto a multiple g of its first
// axis; h = -|vector|^2 / 2. Returns the scale; a zero scale leaves the segment, g and h alone.
template <typename T, typename Element>
T householderVector(Element x, int first, int last, T& g, T& h) {
    T scale = T(0);
    for (int k = first; k <= last; ++k)
        scale += std::fabs(x(k));
    if (scale == T(0)) return scale;
    T s = T(0);
    for (int k = first; k <= last; ++k) {
        x(k) /= scale;
        s += x(k) * x(k);
    }
    const T f = x(first);
    g = -withSignOf(squareRoot(s), f);
    h = f * g - s;
    x(first) = f - g;
    return scale;
}

// Replaces columns j and i of the one-based rows 1 .. rows of m by their rotation with cosine c
// and sine s.
template <typename T>
void rotateColumns(T** m, int rows, int j, int i, T c, T s) {
    for (int row = 1; row <= rows; ++row) {
        const T y = m[row][j];
        const T z = m[row][i];
        m[row][j] = y * c + z * s;
        m[row][i] = z * c - y * s;
    }
}

}  // namespace

template <typename T>
int vtkJacobiN(T** a, int n, T* w, T** v) {
    if (n < 1) return 1;
    T localWork[2 * kLocalJacobiSize];
    std::unique_ptr<T[]> heapWork;
    T* b = localWork;
    T* z = localWork + kLocalJacobiSize;
    if (n > kLocalJacobiSize) {
        heapWork.reset(new T[2 * countOf(n)]);
        b = heapWork.get();
        z = b + n;
    }
    jacobiSweeps(a, n, w, v, b, z);
    return 1;
}

template int vtkJacobiN<double>(double**, int, double*, double**);
template int vtkJacobiN<float>(float**, int, float*, float**);

int LUFactorLinearSystem(double** a, int* index, int n, double* scale) {
    if (n < 1) return 1;
    for (int i = 0; i < n; ++i) {
        double largest = 0.0;
        for (int j = 0; j < n; ++j)
            largest = std::max(largest, std::fabs(a[i][j]));
        if (largest == 0.0) {
            printFactorFailure();
            return 0;
        }
        scale[i] = 1.0 / largest;
    }

    for (int j = 0; j < n; ++j) {
        for (int i = 1; i < j; ++i) {
            double sum = a[i][j];
            for (int k = 0; k < i; ++k)
                sum -= a[i][k] * a[k][j];
            a[i][j] = sum;
        }
        // Pivot on the largest scaled element; on ties the last candidate (the highest row index,
        // lowest in the matrix) wins.
        double largest = 0.0;
        int pivot = j;
        for (int i = j; i < n; ++i) {
            double sum = a[i][j];
            for (int k = 0; k < j; ++k)
                sum -= a[i][k] * a[k][j];
            a[i][j] = sum;
            const double scaled = scale[i] * std::fabs(sum);
            if (scaled >= largest) {
                largest = scaled;
                pivot = i;
            }
        }
        if (pivot != j) {
            for (int k = 0; k < n; ++k)
                std::swap(a[pivot][k], a[j][k]);
            scale[pivot] = scale[j];
        }
        index[j] = pivot;
        // An absolute bound: the caller's units decide what counts as singular.
        if (std::fabs(a[j][j]) <= 1e-12) {
            printFactorFailure();
            return 0;
        }
        if (j < n - 1) {
            const double reciprocal = 1.0 / a[j][j];
            for (int i = j + 1; i < n; ++i)
                a[i][j] *= reciprocal;
        }
    }
    return 1;
}

void LUSolveLinearSystem(double** a, int* index, double* x, int n) {
    // Forward substitution; leading zeros of the permuted right-hand side are skipped.
    int first = -1;
    for (int i = 0; i < n; ++i) {
        const int p = index[i];
        double sum = x[p];
        x[p] = x[i];
        if (first != -1) {
            for (int j = first; j < i; ++j)
                sum -= a[i][j] * x[j];
        } else if (sum != 0.0) {
            first = i;
        }
        x[i] = sum;
    }
    for (int i = n - 1; i >= 0; --i) {
        double sum = x[i];
        for (int j = i + 1; j < n; ++j)
            sum -= a[i][j] * x[j];
        x[i] = sum / a[i][i];
    }
}

int invertMatrix(double** a, double** inverse, int n, int* index, double* column) {
    if (LUFactorLinearSystem(a, index, n, column) == 0) return 0;
    for (int j = 0; j < n; ++j) {
        std::fill(column, column + n, 0.0);
        column[j] = 1.0;
        LUSolveLinearSystem(a, index, column, n);
        for (int i = 0; i < n; ++i)
            inverse[i][j] = column[i];
    }
    return 1;
}

template <typename T>
void singularValueDecomposition(T** a, int m, int n, T* w, T** v) {
    if (n < 1) return;
    std::unique_ptr<T[]> r(new T[countOf(n) + 1]());
    T g = T(0);
    T scale = T(0);
    T norm = T(0);
    int l = 0;

    // Householder reduction to upper bidiagonal form: diagonal in w, superdiagonal in r.
    for (int i = 1; i <= n; ++i) {
        l = i + 1;
        r[i] = scale * g;
        g = scale = T(0);
        if (i <= m) {
            T h = T(0);
            scale = householderVector([a, i](int k) -> T& { return a[k][i]; }, i, m, g, h);
            if (scale != T(0)) {
                for (int j = l; j <= n; ++j) {
                    T sum = T(0);
                    for (int k = i; k <= m; ++k)
                        sum += a[k][i] * a[k][j];
                    const T factor = sum / h;
                    for (int k = i; k <= m; ++k)
                        a[k][j] += factor * a[k][i];
                }
                for (int k = i; k <= m; ++k)
                    a[k][i] *= scale;
            }
        }
        w[i] = scale * g;
        g = scale = T(0);
        if (i <= m && i != n) {
            T h = T(0);
            scale = householderVector([a, i](int k) -> T& { return a[i][k]; }, l, n, g, h);
            if (scale != T(0)) {
                for (int k = l; k <= n; ++k)
                    r[k] = a[i][k] / h;
                for (int j = l; j <= m; ++j) {
                    T sum = T(0);
                    for (int k = l; k <= n; ++k)
                        sum += a[j][k] * a[i][k];
                    for (int k = l; k <= n; ++k)
                        a[j][k] += sum * r[k];
                }
                for (int k = l; k <= n; ++k)
                    a[i][k] *= scale;
            }
        }
        norm = static_cast<T>(
            std::max(static_cast<double>(norm),
                     static_cast<double>(std::fabs(w[i])) + static_cast<double>(std::fabs(r[i]))));
    }

    // Accumulate the right-hand transformations into V.
    for (int i = n; i >= 1; --i) {
        if (i < n) {
            if (g != T(0)) {
                // Two divisions rather than one product avoid a possible underflow.
                for (int j = l; j <= n; ++j)
                    v[j][i] = (a[i][j] / a[i][l]) / g;
                for (int j = l; j <= n; ++j) {
                    T sum = T(0);
                    for (int k = l; k <= n; ++k)
                        sum += a[i][k] * v[k][j];
                    for (int k = l; k <= n; ++k)
                        v[k][j] += sum * v[k][i];
                }
            }
            for (int j = l; j <= n; ++j)
                v[i][j] = v[j][i] = T(0);
        }
        v[i][i] = T(1);
        g = r[i];
        l = i;
    }

    // Accumulate the left-hand transformations into a, which becomes U.
    for (int i = std::min(m, n); i >= 1; --i) {
        l = i + 1;
        g = w[i];
        for (int j = l; j <= n; ++j)
            a[i][j] = T(0);
        if (g != T(0)) {
            g = T(1) / g;
            for (int j = l; j <= n; ++j) {
                T sum = T(0);
                for (int k = l; k <= m; ++k)
                    sum += a[k][i] * a[k][j];
                const T factor = (sum / a[i][i]) * g;
                for (int k = i; k <= m; ++k)
                    a[k][j] += factor * a[k][i];
            }
            for (int j = i; j <= m; ++j)
                a[j][i] *= g;
        } else {
            for (int j = i; j <= m; ++j)
                a[j][i] = T(0);
        }
        a[i][i] += T(1);
    }

    // Diagonalise the bidiagonal form, one singular value at a time from the last.
    const auto negligible = [norm](T value) { return std::fabs(value) + norm == norm; };
    for (int k = n; k >= 1; --k) {
        for (int iteration = 1; iteration <= 30; ++iteration) {
            // Find the start l of the unreduced block ending at k; r[1] is always zero.
            bool cancel = false;
            for (l = k; l > 1; --l) {
                if (negligible(r[l])) break;
                if (negligible(w[l - 1])) {
                    cancel = true;
                    break;
                }
            }
            if (cancel) {
                // w[l - 1] is negligible: rotate r[l] away against w[l] .. w[k].
                const int before = l - 1;
                T c = T(0);
                T s = T(1);
                for (int i = l; i <= k; ++i) {
                    const T f = s * r[i];
                    r[i] = c * r[i];
                    if (negligible(f)) break;
                    g = w[i];
                    T h = hypotenuse(f, g);
                    w[i] = h;
                    h = T(1) / h;
                    c = g * h;
                    s = -f * h;
                    rotateColumns(a, m, before, i, c, s);
                }
            }
            T z = w[k];
            if (l == k) {
                if (z < T(0)) {
                    w[k] = -z;
                    for (int j = 1; j <= n; ++j)
                        v[j][k] = -v[j][k];
                }
                break;
            }
            if (iteration == 30) std::cout << "no convergence in 30 dsvdcmp iterations";

            // Shift from the trailing 2 x 2 minor, then chase the bulge from l to k.
            T x = w[l];
            const int last = k - 1;
            T y = w[last];
            g = r[last];
            T h = r[k];
            T f = ((y - z) * (y + z) + (g - h) * (g + h)) / (T(2) * h * y);
            g = hypotenuse(f, T(1));
            f = ((x - z) * (x + z) + h * ((y / (f + withSignOf(g, f))) - h)) / x;
            T c = T(1);
            T s = T(1);
            for (int j = l; j <= last; ++j) {
                const int i = j + 1;
                g = r[i];
                y = w[i];
                h = s * g;
                g = c * g;
                z = hypotenuse(f, h);
                r[j] = z;
                c = f / z;
                s = h / z;
                f = x * c + g * s;
                g = g * c - x * s;
                h = y * s;
                y *= c;
                rotateColumns(v, n, j, i, c, s);
                z = hypotenuse(f, h);
                w[j] = z;
                if (z != T(0)) {
                    z = T(1) / z;
                    c = f * z;
                    s = h * z;
                }
                f = c * g + s * y;
                x = c * y - s * g;
                rotateColumns(a, m, j, i, c, s);
            }
            r[l] = T(0);
            r[k] = f;
            w[k] = x;
        }
    }
}

template void singularValueDecomposition<double>(double**, int, int, double*, double**);
template void singularValueDecomposition<float>(float**, int, int, float*, float**);

template <typename T>
void pseudoInverse(T** output, const T* const* input, int m, int n) {
    if (m < 1 || n < 1) return;
    RowMatrix<T> u(countOf(m) + 1, countOf(n) + 1);
    for (int i = 0; i < m; ++i)
        std::copy(input[i], input[i] + n, u[i + 1] + 1);
    std::unique_ptr<T[]> w(new T[countOf(n) + 1]);
    RowMatrix<T> v(countOf(n) + 1, countOf(n) + 1);
    singularValueDecomposition(u.rows(), m, n, w.get(), v.rows());

    // Shift w and V down to zero-based in place, inverting w (exact zeros stay zero) and
    // scaling the columns of V by it.
    for (int k = 0; k < n; ++k)
        w[k] = w[k + 1] == T(0) ? T(0) : T(1) / w[k + 1];
    for (int j = 0; j < n; ++j) {
        for (int k = 0; k < n; ++k)
            v[j][k] = v[j + 1][k + 1] * w[k];
    }
    for (int j = 0; j < n; ++j) {
        for (int i = 0; i < m; ++i) {
            T sum = T(0);
            for (int k = 0; k < n; ++k)
                sum += v[j][k] * u[i + 1][k + 1];
            output[j][i] = sum;
        }
    }
}

template void pseudoInverse<double>(double**, const double* const*, int, int);
template void pseudoInverse<float>(float**, const float* const*, int, int);

template <typename T>
void pseudoInverse4x4(T output[4][4], const T input[4][4]) {
    pseudoInverse(rowsOf<4>(output).data(), rowsOf<4>(input).data(), 4, 4);
}

template void pseudoInverse4x4<double>(double[4][4], const double[4][4]);
template void pseudoInverse4x4<float>(float[4][4], const float[4][4]);

template <typename T>
void pseudoInverse2(T output[3][3], const T input[3][3]) {
    pseudoInverse(rowsOf<3>(output).data(), rowsOf<3>(input).data(), 3, 3);
}

template void pseudoInverse2<double>(double[3][3], const double[3][3]);
template void pseudoInverse2<float>(float[3][3], const float[3][3]);

int CMyMath::MyJacobi(double** a, int n, double* w, double** v) {
    return vtkJacobiN(a, n, w, v);
}
int CMyMath::MyJacobi(float** a, int n, float* w, float** v) {
    return vtkJacobiN(a, n, w, v);
}

void CMyMath::ComputeEigens(const double* tensor, double* eigenvalues, double** eigenvectors) {
    computeEigens(tensor, eigenvalues, eigenvectors);
}
void CMyMath::ComputeEigens(const float* tensor, float* eigenvalues, float** eigenvectors) {
    computeEigens(tensor, eigenvalues, eigenvectors);
}

void CMyMath::Eigsrt(float* d, float** v, int n) {
    sortEigenpairs(d, v, n);
}
void CMyMath::Eigsrt(double* d, double** v, int n) {
    sortEigenpairs(d, v, n);
}

void CMyMath::ClosestOrth(const float in[3][3], float out[3][3]) {
    closestOrth(in, out);
}
void CMyMath::ClosestOrth(const double in[3][3], double out[3][3]) {
    closestOrth(in, out);
}

bool CMyMath::InvertMatrix(double** inverse, const double* const* matrix, int n) {
    constexpr int kLocalSize = 10;
    int localIndex[kLocalSize];
    double localColumn[kLocalSize];
    std::unique_ptr<int[]> heapIndex;
    std::unique_ptr<double[]> heapColumn;
    int* index = localIndex;
    double* column = localColumn;
    if (n > kLocalSize) {
        heapIndex.reset(new int[countOf(n)]);
        heapColumn.reset(new double[countOf(n)]);
        index = heapIndex.get();
        column = heapColumn.get();
    }
    RowMatrix<double> work(countOf(n), countOf(n));
    for (int i = 0; i < n; ++i)
        std::copy(matrix[i], matrix[i] + n, work[i]);
    return invertMatrix(work.rows(), inverse, n, index, column) > 0;
}

bool CMyMath::InvertMatrix4x4(double inverse[4][4], const double matrix[4][4]) {
    return InvertMatrix(rowsOf<4>(inverse).data(), rowsOf<4>(matrix).data(), 4);
}

bool CMyMath::InvertMatrix(double inverse[3][3], const double matrix[3][3]) {
    return InvertMatrix(rowsOf<3>(inverse).data(), rowsOf<3>(matrix).data(), 3);
}

void CMyMath::SingularValueDecomposition(double** a, int m, int n, double* w, double** v) {
    singularValueDecomposition(a, m, n, w, v);
}
void CMyMath::SingularValueDecomposition(float** a, int m, int n, float* w, float** v) {
    singularValueDecomposition(a, m, n, w, v);
}

void CMyMath::PseudoInverse(double** output, const double* const* input, int m, int n) {
    pseudoInverse(output, input, m, n);
}
void CMyMath::PseudoInverse(float** output, const float* const* input, int m, int n) {
    pseudoInverse(output, input, m, n);
}

void CMyMath::PseudoInverse4x4(double output[4][4], const double input[4][4]) {
    pseudoInverse4x4(output, input);
}
void CMyMath::PseudoInverse4x4(float output[4][4], const float input[4][4]) {
    pseudoInverse4x4(output, input);
}

void CMyMath::PseudoInverse(double output[3][3], const double input[3][3]) {
    pseudoInverse2(output, input);
}
void CMyMath::PseudoInverse(float output[3][3], const float input[3][3]) {
    pseudoInverse2(output, input);
}

// ==== Smoothing, histograms, geometry and small routines ====

namespace {

// Elements of a cubic window of edge size; 0 for a non-positive edge.
int64_t cubeOf(int size) {
    return size > 0 ? static_cast<int64_t>(size) * size * size : 0;
}

template <typename T>
bool isNaN(T value) {
    if constexpr (std::is_floating_point_v<T>) {
        return std::isnan(value);
    } else {
        return false;
    }
}

// Stores a double result as T: floating types round to nearest; integer types truncate toward
// zero and saturate at their range (NaN gives 0) rather than overflow.
template <typename T>
T fromDouble(double value) {
    if constexpr (std::is_floating_point_v<T>) {
        return static_cast<T>(value);
    } else {
        constexpr T lowest = std::numeric_limits<T>::lowest();
        constexpr T highest = std::numeric_limits<T>::max();
        if (std::isnan(value)) return T(0);
        if (value <= static_cast<double>(lowest)) return lowest;
        if (value >= static_cast<double>(highest)) return highest;
        return static_cast<T>(value);
    }
}

// Normalised cubic Gaussian in T: each exponential is rounded to T when stored, and the sum and
// the division are done in T. When -2 sigma^2 is zero the exponents would be NaN; the limit of
// the Gaussian, the unit impulse, is written instead.
template <typename T>
void gaussianKernel(T* kernel, int size, double sigma) {
    if (size < 1 || size % 2 == 0) return;
    const int h = size / 2;
    const int64_t count = cubeOf(size);
    const double denominator = sigma * (-2 * sigma);
    if (denominator == 0) {
        std::fill(kernel, kernel + count, T(0));
        kernel[count / 2] = T(1);
        return;
    }
    T sum = T(0);
    int64_t t = 0;
    for (int64_t i = -h; i <= h; ++i) {
        for (int64_t j = -h; j <= h; ++j) {
            for (int64_t k = -h; k <= h; ++k) {
                const int64_t squares = k * k + j * j + i * i;
                const T e = static_cast<T>(std::exp(static_cast<double>(squares) / denominator));
                kernel[t++] = e;
                sum += e;
            }
        }
    }
    for (t = 0; t < count; ++t)
        kernel[t] /= sum;
}

template <typename T>
T gaussianSmoothing(const T* window, const T* kernel, int size) {
    const int64_t count = cubeOf(size);
    T sum = T(0);
    for (int64_t t = 0; t < count; ++t)
        sum += window[t] * kernel[t];
    return sum;
}

// Fine bin count of the automatic threshold from the range divided by the fine width: truncated,
// at least 2 (also for NaN), and at most kMaxFineBins.
constexpr int kMaxFineBins = 1 << 24;
int fineBinCount(double quotient) {
    if (!(quotient >= 2)) return 2;
    if (quotient >= kMaxFineBins) return kMaxFineBins;
    return static_cast<int>(quotient);
}

template <typename T>
void autoWindowLevel(const T* samples, int64_t n, double* windowLevel) {
    double range[2];
    double upper;
    const double threshold = getAutoThreshold(samples, n, 50, range, &upper);
    double window = (upper - threshold) * 1.7;
    if (!(window > 0) && !std::isnan(window)) window = (range[1] - range[0]) / 2.5;
    windowLevel[0] = window;
    windowLevel[1] = (threshold + upper) * 0.5 + 0.125 * (upper - threshold);
}

template <typename T>
void cross3(const T* a, const T* b, T* out) {
    out[0] = a[1] * b[2] - a[2] * b[1];
    out[1] = a[2] * b[0] - a[0] * b[2];
    out[2] = a[0] * b[1] - a[1] * b[0];
}

template <typename T>
T dot3(const T* a, const T* b) {
    return a[0] * b[0] + a[1] * b[1] + a[2] * b[2];
}

template <typename T>
T length3(const T* v) {
    return std::sqrt(dot3(v, v));
}

// Unit vector along b - a, or b - a itself when that is zero.
template <typename T>
void direction3(const T* a, const T* b, T* out) {
    for (int i = 0; i < 3; ++i)
        out[i] = b[i] - a[i];
    const T length = length3(out);
    if (length != T(0)) {
        for (int i = 0; i < 3; ++i)
            out[i] /= length;
    }
}

template <typename T>
double trapezoidalIntegrate(const T* samples, int n, double dx) {
    double sum = 0.0;
    for (int i = 1; i < n; ++i) {
        const T pair = samples[i - 1] + samples[i];
        sum += static_cast<double>(pair) * dx * 0.5;
    }
    return sum;
}

}  // namespace

template <typename T>
void linearSmooth(T* signal, int n, int w, const double* weights) {
    if (n < 1 || w < 1 || w % 2 == 0) return;
    int64_t h = w / 2;
    int64_t firstWeight = 0;
    // A window reaching more than n beyond a sample has no interior position, and only its
    // central 2n + 1 weights ever meet the signal: the rest need no storage.
    if (h > n) {
        firstWeight = h - n;
        h = n;
    }
    const int64_t width = 2 * h + 1;
    std::unique_ptr<T[]> copy(new T[n]);
    std::copy(signal, signal + n, copy.get());
    std::unique_ptr<double[]> kernel(new double[width]);
    for (int64_t k = 0; k < width; ++k)
        kernel[k] = weights != nullptr ? weights[firstWeight + k] : 1.0;

    for (int64_t p = 0; p < n; ++p) {
        const int64_t first = std::max<int64_t>(p - h, 0);
        const int64_t last = std::min<int64_t>(p + h, n - 1);
        double numerator = 0.0;
        double denominator = 0.0;
        for (int64_t t = first; t <= last; ++t) {
            numerator += copy[t] * kernel[t - p + h];
            denominator += kernel[t - p + h];
        }
        // Inside, the denominator is the total of all weights, summed in the same order; only
        // the clipped ends guard against a non-positive sum.
        const bool interior = first == p - h && last == p + h;
        if (interior || denominator > 0) signal[p] = fromDouble<T>(numerator / denominator);
    }
}

template void linearSmooth<double>(double*, int, int, const double*);
template void linearSmooth<float>(float*, int, int, const double*);
template void linearSmooth<short>(short*, int, int, const double*);
template void linearSmooth<int>(int*, int, int, const double*);

template <typename T>
void smoothVolume(const T* input, const int* dim, int c, int size, double sigma, T* output) {
    const int64_t dimX = std::max(dim[0], 0);
    const int64_t dimY = std::max(dim[1], 0);
    const int64_t dimZ = std::max(dim[2], 0);
    if (c < 1) return;
    // Without an interior voxel every voxel is copied; this also bounds the kernel by the volume.
    const bool oddSize = size >= 1 && size % 2 == 1;
    if (!oddSize || dimX < size || dimY < size || dimZ < size) {
        std::copy(input, input + dimX * dimY * dimZ * c, output);
        return;
    }
    const int64_t h = size / 2;
    const int64_t count = cubeOf(size);
    std::unique_ptr<double[]> kernel(new double[count]);
    std::unique_ptr<double[]> window(new double[count]);
    gaussianKernel(kernel.get(), size, sigma);

    const int64_t rowStride = dimX * c;
    const int64_t planeStride = dimY * rowStride;
    for (int64_t x = 0; x < dimX; ++x) {
        for (int64_t y = 0; y < dimY; ++y) {
            for (int64_t z = 0; z < dimZ; ++z) {
                const int64_t voxel = ((z * dimY + y) * dimX + x) * c;
                const bool interior =
                    x >= h && x < dimX - h && y >= h && y < dimY - h && z >= h && z < dimZ - h;
                if (!interior) {
                    std::copy(input + voxel, input + voxel + c, output + voxel);
                    continue;
                }
                for (int component = 0; component < c; ++component) {
                    // Gather the window laid out like the kernel: z slowest, x fastest.
                    const T* centre = input + voxel + component;
                    int64_t t = 0;
                    for (int64_t dz = -h; dz <= h; ++dz) {
                        for (int64_t dy = -h; dy <= h; ++dy) {
                            for (int64_t dx = -h; dx <= h; ++dx)
                                window[t++] = static_cast<double>(
                                    centre[dz * planeStride + dy * rowStride + dx * c]);
                        }
                    }
                    output[voxel + component] =
                        fromDouble<T>(gaussianSmoothing(window.get(), kernel.get(), size));
                }
            }
        }
    }
}

template void smoothVolume<double>(const double*, const int*, int, int, double, double*);
template void smoothVolume<float>(const float*, const int*, int, int, double, float*);
template void smoothVolume<int>(const int*, const int*, int, int, double, int*);
template void smoothVolume<short>(const short*, const int*, int, int, double, short*);
template void smoothVolume<unsigned char>(const unsigned char*, const int*, int, int, double,
                                          unsigned char*);

template <typename T>
double histogram(const T* samples, int64_t n, int64_t* counters, int nBins, double* range,
                 int64_t zeros) {
    if (nBins < 1) return 0.0;
    std::fill(counters, counters + nBins, int64_t{0});
    if (n < 0) n = 0;
    if (zeros < 0) zeros = 0;
    if (n + zeros == 0) {
        if (range != nullptr) {
            range[0] = 0.0;
            range[1] = 1.0;
        }
        return 1.0 / (nBins - 1);
    }

    // The extremes start from the first sample that is not NaN (the last one when all are), the
    // zeros following the samples.
    int64_t first = 0;
    while (first + 1 < n && isNaN(samples[first]))
        ++first;
    const bool startAtZero = n == 0 || (zeros > 0 && isNaN(samples[first]));
    double lowest = startAtZero ? 0.0 : static_cast<double>(samples[first]);
    double highest = lowest;
    for (int64_t i = startAtZero ? n : first + 1; i < n; ++i) {
        const double value = static_cast<double>(samples[i]);
        if (value > highest) highest = value;
        if (value < lowest) lowest = value;
    }
    if (zeros > 0) {
        if (0.0 > highest) highest = 0.0;
        if (0.0 < lowest) lowest = 0.0;
    }

    double width = (highest - lowest) / nBins;
    if (width == 0) width = 1.0 / nBins;
    // Compared as a double before truncating, so that no quotient overflows the bin index; a NaN
    // quotient fails the first test and lands in bin 0.
    const auto binOf = [&](double value) {
        const double quotient = (value - lowest) / width;
        if (quotient >= nBins) return nBins - 1;
        return quotient > 0 ? static_cast<int>(quotient) : 0;
    };
    for (int64_t i = 0; i < n; ++i)
        ++counters[binOf(static_cast<double>(samples[i]))];
    if (zeros > 0) counters[binOf(0.0)] += zeros;
    if (range != nullptr) {
        range[0] = lowest;
        range[1] = highest;
    }
    return width;
}

template double histogram<double>(const double*, int64_t, int64_t*, int, double*, int64_t);
template double histogram<float>(const float*, int64_t, int64_t*, int, double*, int64_t);
template double histogram<int>(const int*, int64_t, int64_t*, int, double*, int64_t);
template double histogram<short>(const short*, int64_t, int64_t*, int, double*, int64_t);
template double histogram<unsigned char>(const unsigned char*, int64_t, int64_t*, int, double*,
                                         int64_t);

template <typename T>
double getAutoThreshold(T* samples, int64_t n, int nBins, double* range, double* upper,
                        int64_t zeros) {
    constexpr int kCoarseBins = 100;
    int64_t coarse[kCoarseBins];
    double extremes[2];
    const double coarseWidth = histogram(samples, n, coarse, kCoarseBins, extremes, zeros);
    const double tail = 0.05 * (std::max<int64_t>(n, 0) + std::max<int64_t>(zeros, 0));

    // The smallest group of top coarse bins holding 5 % of the samples starts at bin k + 1.
    int k = kCoarseBins - 1;
    if (tail > 0) {
        int64_t sum = 0;
        do {
            sum += coarse[k];
            --k;
        } while (sum < tail && k >= 0);
    }
    if (upper != nullptr) *upper = extremes[0] + (k + 1.5) * coarseWidth;

    // nBins fine bins span from the minimum to the middle of coarse bin k.
    const double fineWidth = (k + 0.5) * coarseWidth / nBins;
    const int m = fineBinCount((extremes[1] - extremes[0]) / fineWidth);
    std::unique_ptr<int64_t[]> counts(new int64_t[m]);
    std::unique_ptr<double[]> smoothed(new double[m]);
    const double binWidth = histogram(samples, n, counts.get(), m, nullptr, zeros);
    for (int i = 0; i < m; ++i)
        smoothed[i] = static_cast<double>(counts[i]);
    static const double kValleyWeights[5] = {1, 3, 5, 3, 1};
    linearSmooth(smoothed.get(), m, 5, kValleyWeights);

    // The lowest fine bins holding 5 % of the samples: the valley is searched above them.
    int darkBins = 0;
    if (tail > 0) {
        int64_t sum = 0;
        do {
            sum += counts[darkBins];
            ++darkBins;
        } while (sum < tail && darkBins < m);
    }
    int valley = 0;
    for (int j = std::max(darkBins, 1); j <= m - 2; ++j) {
        if (smoothed[j + 1] > smoothed[j] && smoothed[j - 1] > smoothed[j]) {
            valley = j;
            break;
        }
    }
    if (range != nullptr) {
        range[0] = extremes[0];
        range[1] = extremes[1];
    }
    return extremes[0] + (valley + 0.5) * binWidth;
}

template double getAutoThreshold<double>(double*, int64_t, int, double*, double*, int64_t);
template double getAutoThreshold<float>(float*, int64_t, int, double*, double*, int64_t);
template double getAutoThreshold<int>(int*, int64_t, int, double*, double*, int64_t);
template double getAutoThreshold<short>(short*, int64_t, int, double*, double*, int64_t);
template double getAutoThreshold<const double>(const double*, int64_t, int, double*, double*,
                                               int64_t);
template double getAutoThreshold<const float>(const float*, int64_t, int, double*, double*,
                                              int64_t);
template double getAutoThreshold<const int>(const int*, int64_t, int, double*, double*, int64_t);
template double getAutoThreshold<const short>(const short*, int64_t, int, double*, double*,
                                              int64_t);

template <typename T>
int threePointsToCircle(const T* p1, const T* p2, const T* p3, T* centre, T* normal, T* radius) {
    T a[3];
    T b[3];
    direction3(p1, p2, a);
    direction3(p2, p3, b);
    T n[3];
    cross3(a, b, n);
    std::copy(n, n + 3, normal);

    // In-plane directions of the perpendicular bisectors of the two edges.
    T u[3];
    T v[3];
    cross3(n, a, u);
    cross3(n, b, v);
    const T lengthU = length3(u);
    const T lengthV = length3(v);
    // Written so that NaN lengths are rejected as well.
    if (!(static_cast<double>(lengthU) >= 1e-8)) return 0;
    if (!(static_cast<double>(lengthV) >= 1e-8)) return 0;
    bool sameDirection = true;
    for (int i = 0; i < 3; ++i) {
        u[i] /= lengthU;
        v[i] /= lengthV;
        if (!(static_cast<double>(std::fabs(u[i] - v[i])) < 1e-8)) sameDirection = false;
    }
    if (sameDirection) return 0;

    const T lengthN = length3(n);
    if (lengthN != T(0)) {
        for (int i = 0; i < 3; ++i)
            normal[i] = n[i] / lengthN;
    }

    // The bisectors m1 + s u and m2 + t v meet where t (v x u) = (m1 - m2) x u; taking the dot
    // product with v x u gives t in closed form.
    T m1[3];
    T m2[3];
    T offset[3];
    for (int i = 0; i < 3; ++i) {
        m1[i] = (p1[i] + p2[i]) * T(0.5);
        m2[i] = (p2[i] + p3[i]) * T(0.5);
        offset[i] = m1[i] - m2[i];
    }
    T vu[3];
    T offsetU[3];
    cross3(v, u, vu);
    cross3(offset, u, offsetU);
    const T denominator = dot3(vu, vu);
    if (!(denominator > T(0))) return 0;
    const T t = dot3(offsetU, vu) / denominator;
    for (int i = 0; i < 3; ++i)
        centre[i] = m2[i] + t * v[i];

    T toFirst[3];
    for (int i = 0; i < 3; ++i)
        toFirst[i] = centre[i] - p1[i];
    *radius = length3(toFirst);
    return 1;
}

template int threePointsToCircle<double>(const double*, const double*, const double*, double*,
                                         double*, double*);
template int threePointsToCircle<float>(const float*, const float*, const float*, float*, float*,
                                        float*);

void CMyMath::GaussianKernel(double*& kernel, int size, double sigma) {
    gaussianKernel(kernel, size, sigma);
}
void CMyMath::GaussianKernel(float*& kernel, int size, float sigma) {
    gaussianKernel(kernel, size, sigma);
}

double CMyMath::GaussianSmoothing(const double* window, const double* kernel, int size) {
    return gaussianSmoothing(window, kernel, size);
}
float CMyMath::GaussianSmoothing(const float* window, const float* kernel, int size) {
    return gaussianSmoothing(window, kernel, size);
}

void CMyMath::LinearSmooth(double* signal, int n, int w, const double* weights) {
    linearSmooth(signal, n, w, weights);
}
void CMyMath::LinearSmooth(float* signal, int n, int w, const double* weights) {
    linearSmooth(signal, n, w, weights);
}
void CMyMath::LinearSmooth(short* signal, int n, int w, const double* weights) {
    linearSmooth(signal, n, w, weights);
}
void CMyMath::LinearSmooth(int* signal, int n, int w, const double* weights) {
    linearSmooth(signal, n, w, weights);
}

void CMyMath::SmoothVolume(const double* input, const int* dim, int size, double sigma,
                           double* output) {
    smoothVolume(input, dim, 1, size, sigma, output);
}
void CMyMath::SmoothVolume(const float* input, const int* dim, int size, double sigma,
                           float* output) {
    smoothVolume(input, dim, 1, size, sigma, output);
}
void CMyMath::SmoothVolume(const int* input, const int* dim, int size, double sigma, int* output) {
    smoothVolume(input, dim, 1, size, sigma, output);
}
void CMyMath::SmoothVolume(const short* input, const int* dim, int size, double sigma,
                           short* output) {
    smoothVolume(input, dim, 1, size, sigma, output);
}
void CMyMath::SmoothVolume(const unsigned char* input, const int* dim, int size, double sigma,
                           unsigned char* output) {
    smoothVolume(input, dim, 1, size, sigma, output);
}

double CMyMath::Histogram(const double* samples, int64_t n, int64_t* counters, int nBins,
                          double* range) {
    return histogram(samples, n, counters, nBins, range);
}
double CMyMath::Histogram(const float* samples, int64_t n, int64_t* counters, int nBins,
                          double* range) {
    return histogram(samples, n, counters, nBins, range);
}
double CMyMath::Histogram(const int* samples, int64_t n, int64_t* counters, int nBins,
                          double* range) {
    return histogram(samples, n, counters, nBins, range);
}
double CMyMath::Histogram(const short* samples, int64_t n, int64_t* counters, int nBins,
                          double* range) {
    return histogram(samples, n, counters, nBins, range);
}
double CMyMath::Histogram(const unsigned char* samples, int64_t n, int64_t* counters, int nBins,
                          double* range) {
    return histogram(samples, n, counters, nBins, range);
}

double CMyMath::GetAutoThreshold(double* samples, int64_t n, int nBins, double* range,
                                 double* upper) {
    return getAutoThreshold(samples, n, nBins, range, upper);
}
double CMyMath::GetAutoThreshold(float* samples, int64_t n, int nBins, double* range,
                                 double* upper) {
    return getAutoThreshold(samples, n, nBins, range, upper);
}
double CMyMath::GetAutoThreshold(int* samples, int64_t n, int nBins, double* range, double* upper) {
    return getAutoThreshold(samples, n, nBins, range, upper);
}
double CMyMath::GetAutoThreshold(short* samples, int64_t n, int nBins, double* range,
                                 double* upper) {
    return getAutoThreshold(samples, n, nBins, range, upper);
}

void CMyMath::AutoWindowLevel(const double* samples, int64_t n, double* windowLevel) {
    autoWindowLevel(samples, n, windowLevel);
}
void CMyMath::AutoWindowLevel(const float* samples, int64_t n, double* windowLevel) {
    autoWindowLevel(samples, n, windowLevel);
}
void CMyMath::AutoWindowLevel(const int* samples, int64_t n, double* windowLevel) {
    autoWindowLevel(samples, n, windowLevel);
}
void CMyMath::AutoWindowLevel(const short* samples, int64_t n, double* windowLevel) {
    autoWindowLevel(samples, n, windowLevel);
}

int CMyMath::ThreePointsToCircle(const double* const* points, double* centre, double* normal,
                                 double* radius) {
    return threePointsToCircle(points[0], points[1], points[2], centre, normal, radius);
}
int CMyMath::ThreePointsToCircle(const float* const* points, float* centre, float* normal,
                                 float* radius) {
    return threePointsToCircle(points[0], points[1], points[2], centre, normal, radius);
}
int CMyMath::ThreePointsToCircle(const double* p1, const double* p2, const double* p3,
                                 double* centre, double* normal, double* radius) {
    return threePointsToCircle(p1, p2, p3, centre, normal, radius);
}
int CMyMath::ThreePointsToCircle(const float* p1, const float* p2, const float* p3, float* centre,
                                 float* normal, float* radius) {
    return threePointsToCircle(p1, p2, p3, centre, normal, radius);
}

void CMyMath::Cart2Sphere(const double& x, const double& y, const double& z, double* polar,
                          double* azimuth, double* radius) {
    *radius = std::sqrt(x * x + y * y + z * z);
    if (*radius == 0) {
        *polar = 0;
        *azimuth = 0;
        return;
    }
    *polar = std::acos(z / *radius);
    const double rho = std::sqrt(x * x + y * y);
    if (rho == 0) {
        *azimuth = 0;
    } else if (x >= 0) {
        *azimuth = std::asin(y / rho);
    } else {
        // This truncated value of pi, not the full-precision one, is the azimuth's convention.
        *azimuth = 3.1415926535 - std::asin(y / rho);
    }
}

double CMyMath::RoundToGrid(double value) {
    // Scaling could never bring these into [1, 10].
    if (!(value > 0) || std::isinf(value)) return value;
    int exponent = 0;
    if (value < 1) {
        do {
            value *= 10;
            ++exponent;
        } while (value < 1 || value > 10);
    } else if (value > 10) {
        do {
            value /= 10;
            --exponent;
        } while (value < 1 || value > 10);
    }
    double step = value;
    if (value > 5) {
        step = 10;
    } else if (value > 2) {
        step = 5;
    } else if (value > 1) {
        step = 2;
    }
    const double scale = std::pow(10.0, exponent);
    // Below about 1e-308 the power of ten overflows; divide in two steps instead.
    if (std::isinf(scale)) return step / 1e300 / std::pow(10.0, exponent - 300);
    return step / scale;
}

int CMyMath::GetPower(double value) {
    // Infinity would never scale below 10.
    if (!(value > 0) || std::isinf(value)) return 0;
    int exponent = 0;
    if (value < 1) {
        do {
            value *= 10;
            --exponent;
        } while (value < 1);
    } else if (value >= 10) {
        do {
            value /= 10;
            ++exponent;
        } while (value >= 10);
    }
    return exponent;
}

double CMyMath::TrapezoidalIntegrate(const double* samples, int n, double dx) {
    return trapezoidalIntegrate(samples, n, dx);
}
double CMyMath::TrapezoidalIntegrate(const float* samples, int n, double dx) {
    return trapezoidalIntegrate(samples, n, dx);
}

void CMyMath::FloodFill(char** grid, int x, int y, int xMin, int yMin, int xMax, int yMax, int fill,
                        int boundary) {
    // A written cell must stop the fill, so the fill value has to be one a cell can hold.
    if (fill < std::numeric_limits<signed char>::min() ||
        fill > std::numeric_limits<signed char>::max())
        return;
    const auto fillable = [&](int64_t column, int64_t row) {
        const int value = static_cast<signed char>(grid[row][column]);
        return value != boundary && value != fill;
    };
    const auto paint = [&](int64_t column, int64_t row) {
        grid[row][column] = static_cast<char>(fill);
    };
    if (x < xMin || x > xMax || y < yMin || y > yMax || !fillable(x, y)) return;

    // A segment is a filled run xl .. xr together with the neighbouring row still to be examined
    // (row) and the direction dy from the run to it. Columns and rows are stepped in 64 bits so
    // that passing a window edge at the end of the int range cannot overflow; every stored value
    // lies inside the window.
    struct Segment {
        int xl;
        int xr;
        int row;
        int dy;
    };
    constexpr int kMaxSegments = 10000;
    Segment stack[kMaxSegments];
    int depth = 0;
    const auto push = [&](int64_t xl, int64_t xr, int64_t runRow, int dy) {
        const int64_t row = runRow + dy;
        if (depth < kMaxSegments && row >= yMin && row <= yMax)
            stack[depth++] =
                Segment{static_cast<int>(xl), static_cast<int>(xr), static_cast<int>(row), dy};
    };

    push(x, x, y, 1);
    push(x, x, int64_t{y} + 1, -1);  // popped first: fills the seed's own row
    while (depth > 0) {
        const Segment segment = stack[--depth];
        const int64_t row = segment.row;
        const int64_t xr = segment.xr;
        int64_t column = segment.xl;
        int64_t left = column;
        bool inRun = fillable(column, row);
        if (inRun) {
            while (column >= xMin && fillable(column, row)) {
                paint(column, row);
                --column;
            }
            left = column + 1;
            // The run leaked past the parent's left end: look back at the parent's row there.
            if (left < segment.xl) push(left, segment.xl - 1, row, -segment.dy);
            column = int64_t{segment.xl} + 1;
        }
        for (;;) {
            if (inRun) {
                while (column <= xMax && fillable(column, row)) {
                    paint(column, row);
                    ++column;
                }
                push(left, column - 1, row, segment.dy);
                // Leaked past the parent's right end.
                if (column > xr + 1) push(xr + 1, column - 1, row, -segment.dy);
            }
            // Skip to the next fillable cell under the parent run, if any.
            ++column;
            while (column <= xr && !fillable(column, row))
                ++column;
            if (column > xr) break;
            left = column;
            inRun = true;
        }
    }
}
