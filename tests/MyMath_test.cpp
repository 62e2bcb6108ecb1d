#include "math/MyMath.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <numeric>
#include <random>
#include <string>
#include <vector>

namespace {

// A row-pointer matrix over owned storage; the row pointers are refreshed on every use, so
// copies are safe.
template <typename T>
struct Matrix {
    Matrix(int rows, int columns, std::vector<T> init = {})
        : height(rows),
          cols(columns),
          values(init.empty() ? std::vector<T>(rows * columns) : init) {}
    T** rows() {
        rowPointers.resize(height);
        for (int i = 0; i < height; ++i)
            rowPointers[i] = &values[i * cols];
        return rowPointers.data();
    }
    T& operator()(int i, int j) { return values[i * cols + j]; }

    int height, cols;
    std::vector<T> values;
    std::vector<T*> rowPointers;
};

template <typename T>
Matrix<T> randomMatrix(int rows, int cols, std::mt19937& rng) {
    std::uniform_real_distribution<double> uniform(-1.0, 1.0);
    Matrix<T> m(rows, cols);
    std::generate(m.values.begin(), m.values.end(), [&] { return static_cast<T>(uniform(rng)); });
    return m;
}

template <typename T>
Matrix<T> product(const Matrix<T>& a, const Matrix<T>& b) {
    Matrix<T> c(a.height, b.cols);
    for (int i = 0; i < a.height; ++i)
        for (int j = 0; j < b.cols; ++j)
            for (int k = 0; k < a.cols; ++k)
                c(i, j) += a.values[i * a.cols + k] * b.values[k * b.cols + j];
    return c;
}

template <typename T>
Matrix<T> transpose(const Matrix<T>& m) {
    Matrix<T> t(m.cols, m.height);
    for (int k = 0; k < m.height * m.cols; ++k)
        t(k % m.cols, k / m.cols) = m.values[k];
    return t;
}

// The square matrix with d on its diagonal.
template <typename T>
Matrix<T> diagonal(const std::vector<T>& d) {
    Matrix<T> m(int(d.size()), int(d.size()));
    for (std::size_t i = 0; i < d.size(); ++i)
        m(int(i), int(i)) = d[i];
    return m;
}

template <typename T>
void expectNear(const std::vector<T>& actual, const std::vector<T>& expected, double tol) {
    for (std::size_t i = 0; i < actual.size(); ++i)
        EXPECT_NEAR(actual[i], expected[i], tol) << "element " << i;
}

TEST(Decompositions, WorkedExamplesSortSignsAndMessages) {
    // The eigenvectors start out non-zero, so that every element must be written.
    Matrix<double> a(2, 2, {2, 1, 1, 2}), v(2, 2, {7, 7, 7, 7});
    double w[3], r = std::sqrt(0.5);
    EXPECT_EQ(CMyMath::MyJacobi(a.rows(), 2, w, v.rows()), 1);
    EXPECT_EQ(std::vector<double>(w, w + 2), (std::vector<double>{3, 1}));
    expectNear(v.values, {r, r, r, -r}, 1e-15);
    EXPECT_EQ(CMyMath::MyJacobi(v.rows(), 0, nullptr, v.rows()), 1);

    // Already diagonal: sorted with the columns along axes 2, 1, 0.
    const double tensor[6] = {1, 0, 0, 2, 0, 3};
    v = Matrix<double>(3, 3);
    double** eigenvectors = v.rows();
    CMyMath::ComputeEigens(tensor, w, eigenvectors);
    EXPECT_EQ(std::vector<double>(w, w + 3), (std::vector<double>{3, 2, 1}));
    EXPECT_EQ(v.values, (std::vector<double>{0, 0, 1, 0, 1, 0, 1, 0, 0}));

    // Of the equal values, the later comes first.
    double d[3] = {1, 3, 1};
    Matrix<double> columns(3, 3, {1, 2, 3, 4, 5, 6, 7, 8, 9});
    CMyMath::Eigsrt(d, columns.rows(), 3);
    EXPECT_EQ(std::vector<double>(d, d + 3), (std::vector<double>{3, 1, 1}));
    EXPECT_EQ(columns.values, (std::vector<double>{2, 3, 1, 5, 6, 4, 8, 9, 7}));

    const float in[3][3] = {{0.2f, -0.9f, 0.3f}, {0.5f, 0.5f, 0}, {0, 0, 0}};
    float out[3][3];
    CMyMath::ClosestOrth(in, out);
    EXPECT_EQ(std::vector<float>(&out[0][0], &out[0][0] + 9),
              (std::vector<float>{0, -1, 0, 1, 0, 0, -1, 0, 0}));

    // SVD, one-based: row 0 and column 0 are unused. The values are left unsorted, and the
    // negative one turns positive by negating its column of V.
    Matrix<double> u(3, 3, {0, 0, 0, 0, -1, 0, 0, 0, 3});
    CMyMath::SingularValueDecomposition(u.rows(), 2, 2, w, v.rows());
    EXPECT_EQ(std::vector<double>(w + 1, w + 3), (std::vector<double>{1, 3}));
    EXPECT_EQ(std::vector<double>({v(1, 1), v(1, 2), v(2, 1), v(2, 2)}),
              (std::vector<double>{1, 0, 0, -1}));

    u = Matrix<double>(3, 3, {0, 0, 0, 0, NAN, 1, 0, 1, 1});
    testing::internal::CaptureStdout();
    CMyMath::SingularValueDecomposition(u.rows(), 2, 2, w, v.rows());
    const std::string printed = testing::internal::GetCapturedStdout();
    EXPECT_EQ(printed.rfind("no convergence in 30 dsvdcmp iterations", 0), 0u);
    EXPECT_EQ(printed.find('\n'), std::string::npos);
}

// V^T A V is the diagonal of the sorted eigenvalues, which catches eigenvectors that are wrong,
// not unit or not orthogonal; each eigenvector has at least half of its components >= 0.
template <typename T>
void expectEigenpairsOfRandomSymmetricMatrices() {
    const double tol = sizeof(T) == sizeof(double) ? 5e-9 : 1e-2;
    std::mt19937 rng(1234);
    for (int n : {2, 3, 4, 5, 9}) {
        for (int trial = 0; trial < 20; ++trial) {
            Matrix<T> sym = randomMatrix<T>(n, n, rng), v(n, n);
            for (int i = 0; i < n; ++i)
                for (int j = 0; j < i; ++j)
                    sym(i, j) = sym(j, i);
            Matrix<T> work = sym;
            std::vector<T> w(n);
            CMyMath::MyJacobi(work.rows(), n, w.data(), v.rows());
            EXPECT_TRUE(std::is_sorted(w.rbegin(), w.rend()));
            const Matrix<T> vt = transpose(v);
            expectNear(product(vt, product(sym, v)).values, diagonal(w).values, tol);
            for (int j = 0; j < n; ++j)
                EXPECT_GE(std::count_if(&vt.values[j * n], &vt.values[j * n + n],
                                        [](T x) { return x >= 0; }),
                          (n + 1) / 2);
        }
    }
}

template <typename T>
void expectSvdAndPseudoInverseOfTallAndWideMatrices() {
    const double tol = sizeof(T) == sizeof(double) ? 1e-9 : 2e-3;
    std::mt19937 rng(7);
    // From 5 x 3 on, a zero first column gives a singular value that is exactly zero, the only
    // kind the pseudo-inverse drops.
    const int shapes[9][2] = {{6, 3}, {3, 6}, {5, 5}, {1, 4}, {4, 1},
                              {5, 3}, {3, 5}, {4, 4}, {2, 6}};
    for (int s = 0; s < 9; ++s) {
        const int m = shapes[s][0], n = shapes[s][1];
        Matrix<T> a = randomMatrix<T>(m, n, rng), u(m + 1, n + 1), v(n + 1, n + 1), p(n, m);
        std::vector<T> w(n + 1);
        for (int i = 0; i < m; ++i) {
            if (s >= 5) a(i, 0) = 0;
            std::copy(&a(i, 0), &a(i, 0) + n, &u(i + 1, 1));
        }
        const Matrix<T> original = u;
        CMyMath::SingularValueDecomposition(u.rows(), m, n, w.data(), v.rows());
        expectNear(product(product(u, diagonal(w)), transpose(v)).values, original.values, tol);
        EXPECT_GE(*std::min_element(w.begin() + 1, w.end()), 0);
        if (s < 5) continue;

        CMyMath::PseudoInverse(p.rows(), a.rows(), m, n);
        const Matrix<T> ap = product(a, p), pa = product(p, a);
        expectNear(product(ap, a).values, a.values, tol);
        expectNear(product(pa, p).values, p.values, tol);
        expectNear(transpose(ap).values, ap.values, tol);
        expectNear(transpose(pa).values, pa.values, tol);
    }
    const T diag[3][3] = {{2, 0, 0}, {0, 0, 0}, {0, 0, 0}};
    T out3[3][3];
    CMyMath::PseudoInverse(out3, diag);
    EXPECT_EQ(std::vector<T>(&out3[0][0], &out3[0][0] + 9),
              (std::vector<T>{0.5, 0, 0, 0, 0, 0, 0, 0, 0}));
}

TEST(Decompositions, RandomMatricesInBothPrecisions) {
    expectEigenpairsOfRandomSymmetricMatrices<double>();
    expectEigenpairsOfRandomSymmetricMatrices<float>();
    expectSvdAndPseudoInverseOfTallAndWideMatrices<double>();
    expectSvdAndPseudoInverseOfTallAndWideMatrices<float>();
}

TEST(LinearSystem, FactorInvertAndAbsolutePivotBound) {
    // The pivot bound is absolute: the 3 x 3 form fails, printing a message and leaving its
    // output alone, on a pivot of 1e-12 but inverts one of 2e-12 exactly.
    const std::string failed = "Unable to factor linear system";
    for (double f : {1e-13, 1e-12, 2e-12}) {
        const double m[3][3] = {{f, 0, 0}, {0, f, 0}, {0, 0, f}};
        double out[3][3] = {};
        testing::internal::CaptureStdout();
        EXPECT_EQ(CMyMath::InvertMatrix(out, m), f > 1.5e-12) << f;
        EXPECT_EQ(testing::internal::GetCapturedStdout(), f > 1.5e-12 ? "" : failed);
        EXPECT_EQ(out[2][2], f > 1.5e-12 ? 1 / f : 0.0);
    }
    // A zero row fails before any elimination; of equal scaled pivots the lower row (the higher
    // index) wins and is exchanged with the upper one.
    int index[2];
    double scale[2];
    Matrix<double> zeroRow(2, 2, {1, 2, 0, 0}), tie(2, 2, {1, 0, 1, 1});
    testing::internal::CaptureStdout();
    EXPECT_EQ(LUFactorLinearSystem(zeroRow.rows(), index, 2, scale), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), failed);
    EXPECT_EQ(zeroRow.values, (std::vector<double>{1, 2, 0, 0}));
    EXPECT_EQ(LUFactorLinearSystem(tie.rows(), index, 2, scale), 1);
    EXPECT_EQ(index[0], 1);
    EXPECT_EQ(tie.values, (std::vector<double>{1, 1, 1, -1}));
    EXPECT_TRUE(CMyMath::InvertMatrix(nullptr, nullptr, -3));  // empty sizes touch nothing
    CMyMath::PseudoInverse(static_cast<double**>(nullptr), nullptr, -1, 2);
    CMyMath::SingularValueDecomposition(static_cast<float**>(nullptr), 2, -1, nullptr, nullptr);

    // Random matrices of up to 12 rows, beyond the local work storage.
    std::mt19937 rng(99);
    for (int n = 1; n <= 12; ++n) {
        Matrix<double> r = randomMatrix<double>(n, n, rng), inverse(n, n);
        ASSERT_TRUE(CMyMath::InvertMatrix(inverse.rows(), r.rows(), n));
        expectNear(product(inverse, r).values, diagonal(std::vector<double>(n, 1)).values, 1e-9);
    }
    // The 4 x 4 forms: the pseudo-inverse of a regular matrix is its inverse.
    double m4[4][4], inv4[4][4], pinv4[4][4];
    std::copy_n(randomMatrix<double>(4, 4, rng).values.begin(), 16, &m4[0][0]);
    ASSERT_TRUE(CMyMath::InvertMatrix4x4(inv4, m4));
    CMyMath::PseudoInverse4x4(pinv4, m4);
    for (int i = 0; i < 16; ++i)
        EXPECT_NEAR(pinv4[i / 4][i % 4], inv4[i / 4][i % 4], 1e-9);
}

template <typename T>
std::vector<T> smoothed(std::vector<T> signal, int w, const double* weights) {
    CMyMath::LinearSmooth(signal.data(), static_cast<int>(signal.size()), w, weights);
    return signal;
}

template <typename T>
std::vector<T> kernelOf(int size, T sigma) {
    std::vector<T> kernel(size * size * size, T(-1));
    T* buffer = kernel.data();
    CMyMath::GaussianKernel(buffer, size, sigma);
    return kernel;
}

TEST(Smoothing, LinearAndGaussian) {
    EXPECT_EQ(smoothed<double>({0, 0, 3, 0, 0}, 3, nullptr), (std::vector<double>{0, 1, 1, 1, 0}));
    const double ramp[3] = {1, 2, 1}, valley[5] = {1, 3, 5, 3, 1}, wide[7] = {9, 9, 1, 2, 3, 9, 9};
    EXPECT_EQ(smoothed<int>({4, 0, 0, 0, 8}, 3, ramp), (std::vector<int>{2, 1, 0, 2, 5}));

    // Shorter than the window: clipped at both ends. Far wider: only the central weights count.
    const double a = 2, b = 7, c = 5, sharpen[3] = {-1, 3, -1}, zeroSum[3] = {1, -2, 1};
    EXPECT_EQ(smoothed<double>({a, b, c}, 5, valley),
              (std::vector<double>{(5 * a + 3 * b + c) / 9, (3 * a + 5 * b + 3 * c) / 11,
                                   (a + 3 * b + 5 * c) / 9}));
    EXPECT_EQ(smoothed<double>({a, b}, 7, wide),
              (std::vector<double>{(2 * a + 3 * b) / 5, (a + 2 * b) / 3}));

    // Widths 1, even and non-positive leave the signal alone; negative weights saturate.
    const std::vector<short> signal = {3, -4, 5};
    for (int w : {1, 4, 0})
        EXPECT_EQ(smoothed(signal, w, nullptr), signal) << w;
    EXPECT_EQ(smoothed<short>({32767, -32768, 32767}, 3, sharpen),
              (std::vector<short>{32767, -32768, 32767}));
    EXPECT_EQ(smoothed<int>({5, 1, 5}, 3, zeroSum)[1], std::numeric_limits<int>::max());

    std::vector<double> kernel = kernelOf(3, 1.0), impulse(27, 0.0);
    // The corners lie sqrt(3) sigma out.
    EXPECT_NEAR(kernel[0] / kernel[13], std::exp(-1.5), 1e-15);
    const std::vector<double> ones(27, 1.0);  // a window of ones weighs to the kernel's sum, 1
    EXPECT_NEAR(CMyMath::GaussianSmoothing(ones.data(), kernel.data(), 3), 1.0, 1e-15);
    // Size 1 and zero sigma give the unit impulse; an even size leaves the buffer untouched.
    EXPECT_EQ(kernelOf(1, 2.0), std::vector<double>{1.0});
    impulse[13] = 1;
    EXPECT_EQ(kernelOf(3, 0.0), impulse);
    EXPECT_EQ(kernelOf(2, 1.0), std::vector<double>(8, -1.0));

    // Two components: an impulse in component 1 spreads as the kernel, component 0 stays zero,
    // and the border copies the NaN bit for bit.
    int dim[3] = {6, 5, 7};
    const auto at = [](int x, int y, int z, int k) { return ((z * 5 + y) * 6 + x) * 2 + k; };
    std::vector<double> in(6 * 5 * 7 * 2, 0.0), result(in.size(), -1.0);
    in[at(2, 2, 3, 1)] = 1.0;
    in[1] = std::numeric_limits<double>::quiet_NaN();
    smoothVolume(in.data(), dim, 2, 3, 1.0, result.data());
    EXPECT_TRUE(std::isnan(result[1]));
    EXPECT_EQ(result[at(3, 2, 2, 1)], kernel[(0 * 3 + 1) * 3 + 2]);
    EXPECT_EQ(result[at(2, 2, 3, 1)], kernel[13]);
    EXPECT_EQ(result[at(2, 2, 3, 0)], 0.0);
    // Size 1, a too-short axis or an even size copy the input.
    std::vector<unsigned char> bytes(6 * 5 * 7);
    std::iota(bytes.begin(), bytes.end(), 0);
    for (int size : {1, 7, 4}) {
        std::vector<unsigned char> copy(bytes.size());
        CMyMath::SmoothVolume(bytes.data(), dim, size, 1.0, copy.data());
        EXPECT_EQ(copy, bytes) << "size " << size;
    }
}

// |v - 40| + 5 copies of each integer v in 0 .. 99.
template <typename T>
std::vector<T> valleyAtForty() {
    std::vector<T> samples;
    for (int v = 0; v < 100; ++v)
        samples.insert(samples.end(), std::abs(v - 40) + 5, static_cast<T>(v));
    return samples;
}

// The threshold, the start of the brightest 5 % and the window and level derived from them.
template <typename T>
void expectValleyAtForty() {
    std::vector<T> samples = valleyAtForty<T>();
    double range[2], upper = 0, windowLevel[2];
    const double threshold = 20.5 * 99 / 51, expectedUpper = 97.5 * 0.99;
    EXPECT_DOUBLE_EQ(
        CMyMath::GetAutoThreshold(samples.data(), int64_t(samples.size()), 50, range, &upper),
        threshold);
    EXPECT_DOUBLE_EQ(upper, expectedUpper);
    EXPECT_EQ(range[1], 99.0);
    CMyMath::AutoWindowLevel(samples.data(), int64_t(samples.size()), windowLevel);
    EXPECT_DOUBLE_EQ(windowLevel[0], (expectedUpper - threshold) * 1.7);
    EXPECT_DOUBLE_EQ(windowLevel[1],
                     (threshold + expectedUpper) * 0.5 + 0.125 * (expectedUpper - threshold));
}

TEST(GetAutoThreshold, FindsTheFirstStrictValley) {
    expectValleyAtForty<double>();
    expectValleyAtForty<short>();

    // A flat empty stretch is no valley: the search stops inside the upper group.
    std::vector<short> groups;
    for (int v = 0; v < 200; ++v)
        groups.insert(groups.end(), v < 20 ? 30 : v < 100 ? 0 : 4, static_cast<short>(v));
    EXPECT_DOUBLE_EQ(CMyMath::GetAutoThreshold(groups.data(), 1000, 50), 31.5 * 199 / 54);

    // A valley among the darkest 5 % of the samples is passed over.
    std::vector<int> darkSpike(400, 0);
    for (int v = 6; v < 100; ++v)
        darkSpike.insert(darkSpike.end(), 100, v);
    EXPECT_DOUBLE_EQ(CMyMath::GetAutoThreshold(darkSpike.data(), 9800, 50), 10.5 * 99 / 52);

    std::vector<float> constant(40, 6.0f);
    double upper = 0, windowLevel[2];
    EXPECT_EQ(CMyMath::GetAutoThreshold(constant.data(), 40, 50, nullptr, &upper), 6.25);
    EXPECT_DOUBLE_EQ(upper, 6.005);
    CMyMath::AutoWindowLevel(constant.data(), 40, windowLevel);
    EXPECT_EQ(windowLevel[0], 0.0);  // the fallback: no range at all
}

// Histogram counts, width and range, then threshold, range and upper of the first n samples
// followed by `zeros` counted zeros, as raw bytes so that NaN results compare too.
std::string histogramBytes(const std::vector<float>& samples, int64_t n, int64_t zeros) {
    int64_t counts[7];
    double results[7];
    results[0] = histogram(samples.data(), n, counts, 7, results + 1, zeros);
    results[3] = getAutoThreshold(samples.data(), n, 20, results + 4, results + 6, zeros);
    return std::string(reinterpret_cast<const char*>(counts), sizeof(counts)) +
           std::string(reinterpret_cast<const char*>(results), sizeof(results));
}

TEST(Histogram, CountsEverySampleOnceAndCountedZerosAsStored) {
    int64_t counts[5];
    // NaN never becomes an extreme and is counted in bin 0.
    const double nan = std::numeric_limits<double>::quiet_NaN(), mixed[5] = {nan, 4, -2e9, nan, 10};
    double range[2];
    EXPECT_EQ(CMyMath::Histogram(mixed, 5, counts, 4, range), 5e8 + 2.5);
    EXPECT_EQ(std::vector<int64_t>(counts, counts + 4), (std::vector<int64_t>{3, 0, 0, 2}));
    EXPECT_EQ(std::vector<double>(range, range + 2), (std::vector<double>{-2e9, 10}));

    const short constant[3] = {9, 9, 9};
    EXPECT_EQ(CMyMath::Histogram(constant, 3, counts, 4, range), 0.25);
    EXPECT_EQ(counts[0], 3);
    EXPECT_EQ(CMyMath::Histogram(constant, 0, counts, 5, range), 0.25);  // 1 / (nBins - 1)
    EXPECT_EQ(counts[0], 0);
    EXPECT_EQ(std::vector<double>(range, range + 2), (std::vector<double>{0, 1}));
    EXPECT_EQ(CMyMath::Histogram(constant, 3, counts, 0, range), 0.0);

    // Zeros counted through the argument give the same results as zeros stored after the samples.
    const float nanF = std::numeric_limits<float>::quiet_NaN();
    const std::vector<std::vector<float>> sets = {
        {3, 9, 4}, {-2, -5}, {nanF, nanF}, {}, valleyAtForty<float>()};
    for (const std::vector<float>& samples : sets) {
        for (int64_t zeros : {0, 1, 700}) {
            std::vector<float> stored = samples;
            stored.resize(samples.size() + size_t(zeros), 0.0f);
            EXPECT_EQ(histogramBytes(samples, int64_t(samples.size()), zeros),
                      histogramBytes(stored, int64_t(stored.size()), 0));
        }
    }
}

TEST(SmallRoutines, CircleRoundingPowersSphereAndIntegral) {
    const double triples[][9] = {{1, 0, 0, 0, 1, 0, -1, 0, 0},
                                 {0.3, -2, 5, 4, 1.5, -1, -3, 2, 0.25},
                                 {100, 100, 100, 100.5, 100, 100, 100, 100.25, 100.75}};
    for (const auto& p : triples) {
        double centre[3], normal[3], radius = 0, again = 0;
        const double* points[3] = {p, p + 3, p + 6};
        ASSERT_EQ(CMyMath::ThreePointsToCircle(p, p + 3, p + 6, centre, normal, &radius), 1);
        ASSERT_EQ(CMyMath::ThreePointsToCircle(points, centre, normal, &again), 1);
        EXPECT_EQ(again, radius);  // the array form finds the same circle
        for (int k = 0; k < 3; ++k)
            EXPECT_NEAR(std::hypot(centre[0] - p[3 * k], centre[1] - p[3 * k + 1],
                                   centre[2] - p[3 * k + 2]),
                        radius, 1e-9 * radius);
        EXPECT_NEAR(std::hypot(normal[0], normal[1], normal[2]), 1.0, 1e-12);
    }
    // In float: the unit circle about the origin, in the xy plane.
    const float a[3] = {1, 0, 0}, b[3] = {0, 1, 0}, c[3] = {-1, 0, 0};
    float centre[3], normal[3], radius = 0;
    ASSERT_EQ(CMyMath::ThreePointsToCircle(a, b, c, centre, normal, &radius), 1);
    expectNear<float>({centre[0], centre[1], centre[2], radius, normal[2]}, {0, 0, 0, 1, 1}, 1e-6);

    // Collinear or equal points: 0, the centre and radius untouched.
    double line[9] = {0, 0, 0, 1, 1, 1, 2, 2, 2}, untouched[3] = {7, 7, 7}, n[3], r = 7;
    EXPECT_EQ(CMyMath::ThreePointsToCircle(line, line + 3, line + 6, untouched, n, &r), 0);
    EXPECT_EQ(CMyMath::ThreePointsToCircle(line, line, line, untouched, n, &r), 0);
    EXPECT_EQ(std::vector<double>({untouched[0], untouched[1], untouched[2], r}),
              std::vector<double>(4, 7.0));

    // Value, its rounding up to the grid and its decimal power.
    const double inf = std::numeric_limits<double>::infinity();
    const double cases[][3] = {{0.03, 0.05, -2}, {37, 50, 1},   {7, 10, 0},
                               {1, 1, 0},        {10, 10, 1},   {1.5, 2, 0},
                               {9.99, 10, 0},    {250, 500, 2}, {0, 0, 0},
                               {-3, -3, 0},      {inf, inf, 0}, {3e-320, 5e-320, -320}};
    for (const auto& [in, grid, power] : cases) {
        EXPECT_DOUBLE_EQ(CMyMath::RoundToGrid(in), grid) << in;
        EXPECT_EQ(CMyMath::GetPower(in), power) << in;
    }
    EXPECT_TRUE(std::isnan(CMyMath::RoundToGrid(std::nan(""))));

    double polar, azimuth, length;
    CMyMath::Cart2Sphere(0, 0, 2, &polar, &azimuth, &length);
    EXPECT_EQ(std::vector<double>({polar, azimuth, length}), (std::vector<double>{0, 0, 2}));
    CMyMath::Cart2Sphere(-1, 0, 0, &polar, &azimuth, &length);
    EXPECT_EQ(std::vector<double>({polar, azimuth, length}),
              (std::vector<double>{std::acos(0.0), 3.1415926535, 1}));

    const double ramp[3] = {0, 1, 2};
    EXPECT_EQ(CMyMath::TrapezoidalIntegrate(ramp, 3, 0.5), 1.0);
    EXPECT_EQ(CMyMath::TrapezoidalIntegrate(ramp, 1, 0.5), 0.0);
    const float halves[2] = {0.1f, 0.2f};
    EXPECT_EQ(CMyMath::TrapezoidalIntegrate(halves, 2, 1.0),
              static_cast<double>(0.1f + 0.2f) * 0.5);
}

// Fills a grid of digit rows joined by '/' from (x, y) inside the window (0, 0) .. (xMax, yMax),
// the whole grid by default; the digit 1 is the boundary.
std::string filled(std::string grid, int x, int y, int fill, int xMax = -1, int yMax = -1) {
    std::vector<char*> rows = {&grid[0]};
    for (std::size_t i = grid.find('/'); i != std::string::npos; i = grid.find('/', i + 1))
        rows.push_back(&grid[i + 1]);
    if (xMax < 0) xMax = static_cast<int>(grid.find('/')) - 1;
    if (yMax < 0) yMax = static_cast<int>(rows.size()) - 1;
    CMyMath::FloodFill(rows.data(), x, y, 0, 0, xMax, yMax, fill, '1');
    return grid;
}

TEST(FloodFill, StaysInsideBoundariesAndWindow) {
    const std::string box = "11111/10001/10001/10001/11111";
    EXPECT_EQ(filled(box, 2, 2, '2'), "11111/12221/12221/12221/11111");
    // A diagonal barrier is not crossed; 4-connected only.
    EXPECT_EQ(filled("0010/0100/1000/0000", 3, 3, '2'), "0012/0122/1222/2222");
    // Down one arm of a U, along its bottom and back up the other arm.
    EXPECT_EQ(filled("11111/10101/10101/10001/11111", 3, 1, '2'), "11111/12121/12121/12221/11111");
    // Different values fill as one region; the window limits the fill.
    EXPECT_EQ(filled("0340/0510/0000", 0, 0, '2', 2, 1), "2220/2210/0000");
    // Seeds on a boundary or fill cell, or outside the window, and fill values a cell cannot
    // hold, write nothing.
    const int noFill[][3] = {{0, 0, '2'}, {6, 2, '2'}, {2, 2, '0'}, {2, 2, 300}};
    for (const auto& [x, y, fill] : noFill)
        EXPECT_EQ(filled(box, x, y, fill), box);

    // A serpentine of long corridors fills completely through the bounded stack.
    const std::string open(201, '0'), wall(200, '1');
    std::string maze = open;
    for (int y = 1; y < 201; y += 4)
        maze += "/" + wall + "0/" + open + "/0" + wall + "/" + open;
    EXPECT_EQ(filled(maze, 0, 0, '3').find('0'), std::string::npos);
}

}  // namespace
