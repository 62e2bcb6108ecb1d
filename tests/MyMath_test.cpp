#include "math/MyMath.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>
#include <numeric>
#include <random>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

// Every allocation of the program is counted, to show that the tracking path allocates nothing.
static long allocationCount = 0;
[[gnu::noinline]] void* operator new(std::size_t size) {
    ++allocationCount;
    if (void* block = std::malloc(size == 0 ? 1 : size)) return block;
    throw std::bad_alloc();
}
[[gnu::noinline]] void operator delete(void* block) noexcept {
    std::free(block);
}
[[gnu::noinline]] void operator delete(void* block, std::size_t) noexcept {
    std::free(block);
}

namespace {

// A row-pointer matrix over owned storage; the row pointers are refreshed on every use, so
// copies are safe.
template <typename T>
struct Matrix {
    Matrix(int rows, int cols, std::vector<T> init = {})
        : height(rows), cols(cols), values(rows * cols), rowPointers(rows) {
        if (!init.empty()) values = init;
    }
    T** rows() {
        for (int i = 0; i < height; ++i)
            rowPointers[i] = &values[i * cols];
        return rowPointers.data();
    }
    T& operator()(int i, int j) { return values[i * cols + j]; }
    T operator()(int i, int j) const { return values[i * cols + j]; }

    int height, cols;
    std::vector<T> values;
    std::vector<T*> rowPointers;
};

template <typename T>
Matrix<T> randomMatrix(int rows, int cols, std::mt19937& rng) {
    std::uniform_real_distribution<double> uniform(-1.0, 1.0);
    Matrix<T> m(rows, cols);
    for (T& x : m.values)
        x = static_cast<T>(uniform(rng));
    return m;
}

template <typename T>
Matrix<T> product(const Matrix<T>& a, const Matrix<T>& b) {
    Matrix<T> c(a.height, b.cols);
    for (int i = 0; i < a.height; ++i)
        for (int j = 0; j < b.cols; ++j)
            for (int k = 0; k < a.cols; ++k)
                c(i, j) += a(i, k) * b(k, j);
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
    const int n = static_cast<int>(d.size());
    Matrix<T> m(n, n);
    for (int i = 0; i < n; ++i)
        m(i, i) = d[i];
    return m;
}

template <typename T>
constexpr double kTolerance = std::is_same_v<T, double> ? 1e-10 : 2e-4;

template <typename T>
void expectNear(const std::vector<T>& actual, const std::vector<T>& expected, double tol) {
    for (std::size_t i = 0; i < actual.size(); ++i)
        EXPECT_NEAR(actual[i], expected[i], tol) << "element " << i;
}

template <typename T>
class BothTypes : public ::testing::Test {};
using ElementTypes = ::testing::Types<double, float>;
TYPED_TEST_SUITE(BothTypes, ElementTypes);

// Eigenvalues of the symmetric matrix given row by row. The eigenvectors go to v, which starts
// out non-zero so that every element must be written.
std::vector<double> jacobi(const std::vector<double>& values, Matrix<double>& v) {
    const int n = static_cast<int>(std::lround(std::sqrt(values.size())));
    Matrix<double> a(n, n, values);
    v = Matrix<double>(n, n, std::vector<double>(values.size(), 7));
    std::vector<double> w(n);
    EXPECT_EQ(CMyMath::MyJacobi(a.rows(), n, w.data(), v.rows()), 1);
    return w;
}

TEST(Jacobi, WorkedExamplesSortAndClosestOrth) {
    Matrix<double> v(1, 1);
    EXPECT_EQ(jacobi({2, 1, 1, 2}, v), (std::vector<double>{3, 1}));
    const double r = std::sqrt(0.5);
    expectNear(v.values, {r, r, r, -r}, 1e-15);
    // Equal eigenvalues are exchanged by the sort: the columns end up along axes 2, 0, 1.
    jacobi({1, 0, 0, 0, 1, 0, 0, 0, 1}, v);
    EXPECT_EQ(v.values, (std::vector<double>{0, 1, 0, 0, 0, 1, 1, 0, 0}));
    EXPECT_EQ(jacobi({-4}, v), std::vector<double>{-4});
    EXPECT_EQ(v.values, std::vector<double>{1});
    EXPECT_EQ(CMyMath::MyJacobi(v.rows(), 0, nullptr, v.rows()), 1);

    const double tensor[6] = {1, 0, 0, 2, 0, 3};
    double w[3];
    v = Matrix<double>(3, 3);
    double** eigenvectors = v.rows();
    const long allocationsBefore = allocationCount;
    CMyMath::ComputeEigens(tensor, w, eigenvectors);
    EXPECT_EQ(allocationCount, allocationsBefore);
    EXPECT_EQ(std::vector<double>(w, w + 3), (std::vector<double>{3, 2, 1}));
    EXPECT_EQ(v.values, (std::vector<double>{0, 0, 1, 0, 1, 0, 1, 0, 0}));

    double d[3] = {1, 3, 2};
    Matrix<double> columns(3, 3, {1, 2, 3, 4, 5, 6, 7, 8, 9});
    CMyMath::Eigsrt(d, columns.rows(), 3);
    EXPECT_EQ(std::vector<double>(d, d + 3), (std::vector<double>{3, 2, 1}));
    EXPECT_EQ(columns.values, (std::vector<double>{2, 3, 1, 5, 6, 4, 8, 9, 7}));

    const float in[3][3] = {{0.2f, -0.9f, 0.3f}, {0.5f, 0.5f, 0}, {0, 0, 0}};
    float out[3][3];
    CMyMath::ClosestOrth(in, out);
    const float expected[3][3] = {{0, -1, 0}, {1, 0, 0}, {-1, 0, 0}};
    EXPECT_EQ(std::memcmp(out, expected, sizeof(out)), 0);
}

TYPED_TEST(BothTypes, RandomSymmetricPairsAreSortedUnitAndSignNormalised) {
    using T = TypeParam;
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
            expectNear(product(sym, v).values, product(v, diagonal(w)).values, 50 * kTolerance<T>);
            const Matrix<T> vt = transpose(v);
            expectNear(product(vt, v).values, diagonal(std::vector<T>(n, 1)).values,
                       10 * kTolerance<T>);
            for (int j = 0; j < n; ++j)
                EXPECT_GE(std::count_if(&vt.values[j * n], &vt.values[j * n + n],
                                        [](T x) { return x >= 0; }),
                          (n + 1) / 2);
            for (int i = 0; i < n; ++i)  // the lower triangle and the diagonal are left alone
                for (int j = 0; j <= i; ++j)
                    EXPECT_EQ(work(i, j), sym(i, j));
        }
    }
}

TEST(LinearSystem, FactorSolveAndAbsolutePivotBound) {
    Matrix<double> swap(2, 2, {0, 1, 1, 0}), inverse(2, 2), tie(2, 2, {1, 0, 1, 1});
    ASSERT_TRUE(CMyMath::InvertMatrix(inverse.rows(), swap.rows(), 2));
    EXPECT_EQ(inverse.values, swap.values);
    int index[3];
    double scale[3];
    // Equal scaled pivots: the lower row wins.
    ASSERT_EQ(LUFactorLinearSystem(tie.rows(), index, 2, scale), 1);
    EXPECT_EQ(index[0], 1);

    for (double factor : {1e-13, 1e-12, 2e-12}) {
        const double m[3][3] = {{factor, 0, 0}, {0, factor, 0}, {0, 0, factor}};
        double out[3][3];
        testing::internal::CaptureStdout();
        const bool ok = CMyMath::InvertMatrix(out, m);
        EXPECT_EQ(testing::internal::GetCapturedStdout(),
                  ok ? "" : "Unable to factor linear system");
        EXPECT_EQ(ok, factor > 1.5e-12) << factor;
    }
    Matrix<double> zeroRow(2, 2, {1, 2, 0, 0});
    testing::internal::CaptureStdout();
    EXPECT_EQ(LUFactorLinearSystem(zeroRow.rows(), index, 2, scale), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Unable to factor linear system");
    EXPECT_EQ(zeroRow.values, (std::vector<double>{1, 2, 0, 0}));  // failed before elimination
    EXPECT_TRUE(CMyMath::InvertMatrix(nullptr, nullptr, 0));
    EXPECT_TRUE(CMyMath::InvertMatrix(nullptr, nullptr, -3));  // empty sizes touch nothing
    CMyMath::PseudoInverse(static_cast<double**>(nullptr), nullptr, -1, 2);
    CMyMath::SingularValueDecomposition(static_cast<float**>(nullptr), 2, -1, nullptr, nullptr);

    // The permuted right-hand side starts with zeros, which the forward pass skips.
    Matrix<double> a(3, 3, {1, 2, 0, 3, 1, 4, 0, 5, 2}), lu = a, x(3, 1, {0, 0, 1});
    ASSERT_EQ(LUFactorLinearSystem(lu.rows(), index, 3, scale), 1);
    LUSolveLinearSystem(lu.rows(), index, x.values.data(), 3);
    expectNear(product(a, x).values, {0, 0, 1}, 1e-14);
}

TEST(LinearSystem, InverseTimesMatrixIsIdentity) {
    std::mt19937 rng(99);
    for (int n = 1; n <= 12; ++n) {
        Matrix<double> a = randomMatrix<double>(n, n, rng), inverse(n, n);
        const std::vector<double> original = a.values;
        ASSERT_TRUE(CMyMath::InvertMatrix(inverse.rows(), a.rows(), n));
        EXPECT_EQ(a.values, original);
        expectNear(product(inverse, a).values, diagonal(std::vector<double>(n, 1)).values, 1e-9);
    }
    std::uniform_real_distribution<double> uniform(-1, 1);
    double m4[4][4], inv4[4][4], pinv4[4][4];
    for (auto& row : m4)
        for (double& x : row)
            x = uniform(rng);
    ASSERT_TRUE(CMyMath::InvertMatrix4x4(inv4, m4));
    CMyMath::PseudoInverse4x4(pinv4, m4);
    for (int i = 0; i < 4; ++i)
        for (int j = 0; j < 4; ++j)
            EXPECT_NEAR(pinv4[i][j], inv4[i][j], 1e-9);
}

TEST(Svd, UnsortedValuesAndSigns) {
    // One-based storage: row 0 and column 0 are unused.
    Matrix<double> u(3, 3), v(3, 3);
    auto decompose = [&](double a, double b, double c, double d) {
        u = Matrix<double>(3, 3, {0, 0, 0, 0, a, b, 0, c, d});
        std::vector<double> w(3);
        CMyMath::SingularValueDecomposition(u.rows(), 2, 2, w.data(), v.rows());
        return std::vector<double>{w[1], w[2]};
    };
    const std::vector<double> negated = {0, 0, 0, 0, -1, 0, 0, 0, -1};
    EXPECT_EQ(decompose(1, 0, 0, 3), (std::vector<double>{1, 3}));
    EXPECT_EQ(u.values, negated);
    EXPECT_EQ(v.values, negated);
    expectNear(decompose(3, 1, 1, 3), {2, 4}, 1e-14);
    EXPECT_EQ(decompose(-2, 0, 0, 1), (std::vector<double>{2, 1}));
    EXPECT_EQ(u.values, negated);
    EXPECT_EQ(v.values, (std::vector<double>{0, 0, 0, 0, 1, 0, 0, 0, -1}));

    testing::internal::CaptureStdout();
    decompose(NAN, 1, 1, 1);
    const std::string printed = testing::internal::GetCapturedStdout();
    EXPECT_EQ(printed.rfind("no convergence in 30 dsvdcmp iterations", 0), 0u);
    EXPECT_EQ(printed.find('\n'), std::string::npos);
}

TYPED_TEST(BothTypes, SvdAndPseudoInverseOfTallAndWideMatrices) {
    using T = TypeParam;
    const double tol = 10 * kTolerance<T>;
    std::mt19937 rng(7);
    // From 5 x 3 on, a zero first column gives a singular value that is exactly zero, the only
    // kind the pseudo-inverse drops.
    const std::pair<int, int> shapes[9] = {{6, 3}, {3, 6}, {5, 5}, {1, 4}, {4, 1},
                                           {5, 3}, {3, 5}, {4, 4}, {2, 6}};
    for (int s = 0; s < 9; ++s) {
        const auto [m, n] = shapes[s];
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
    EXPECT_EQ(out3[0][0], T(0.5));
    EXPECT_EQ(out3[1][1], 0);
    Matrix<T> row(1, 2, {3, 4}), column(2, 1);
    CMyMath::PseudoInverse(column.rows(), row.rows(), 1, 2);
    expectNear(column.values, {T(0.12), T(0.16)}, kTolerance<T>);
}

template <typename T>
std::vector<T> smoothed(std::vector<T> signal, int w, const double* weights) {
    CMyMath::LinearSmooth(signal.data(), static_cast<int>(signal.size()), w, weights);
    return signal;
}

TEST(LinearSmooth, RenormalisesTheEndsTruncatesAndSaturates) {
    EXPECT_EQ(smoothed<double>({0, 0, 3, 0, 0}, 3, nullptr), (std::vector<double>{0, 1, 1, 1, 0}));
    const double ramp[3] = {1, 2, 1};
    EXPECT_EQ(smoothed<int>({4, 0, 0, 0, 8}, 3, ramp), (std::vector<int>{2, 1, 0, 2, 5}));
    EXPECT_EQ(smoothed<float>({1, 2, 3, 4, 5, 6}, 5, nullptr),
              (std::vector<float>{2, 2.5f, 3, 4, 4.5f, 5}));

    // Shorter than the window: clipped at both ends. Far wider: only the central weights count.
    const double valley[5] = {1, 3, 5, 3, 1}, wide[7] = {9, 9, 1, 2, 3, 9, 9};
    const double a = 2, b = 7, c = 5;
    EXPECT_EQ(smoothed<double>({a, b, c}, 5, valley),
              (std::vector<double>{(5 * a + 3 * b + c) / 9, (3 * a + 5 * b + 3 * c) / 11,
                                   (a + 3 * b + 5 * c) / 9}));
    EXPECT_EQ(smoothed<double>({a, b}, 7, wide),
              (std::vector<double>{(2 * a + 3 * b) / 5, (a + 2 * b) / 3}));

    // Widths 1, even and non-positive leave the signal alone; negative weights saturate.
    const std::vector<short> signal = {3, -4, 5};
    for (int w : {1, 4, 0})
        EXPECT_EQ(smoothed(signal, w, nullptr), signal) << w;
    const double sharpen[3] = {-1, 3, -1}, zeroSum[3] = {1, -2, 1};
    EXPECT_EQ(smoothed<short>({32767, -32768, 32767}, 3, sharpen),
              (std::vector<short>{32767, -32768, 32767}));
    EXPECT_EQ(smoothed<int>({5, 1, 5}, 3, zeroSum)[1], std::numeric_limits<int>::max());
}

template <typename T>
std::vector<T> kernelOf(int size, T sigma) {
    std::vector<T> kernel(size * size * size, T(-1));
    T* buffer = kernel.data();
    CMyMath::GaussianKernel(buffer, size, sigma);
    return kernel;
}

TEST(GaussianSmoothing, KernelAndVolume) {
    std::vector<double> kernel = kernelOf(3, 1.0), impulse(27, 0.0);
    EXPECT_NEAR(std::accumulate(kernel.begin(), kernel.end(), 0.0), 1.0, 1e-15);
    EXPECT_EQ(*std::max_element(kernel.begin(), kernel.end()), kernel[13]);
    EXPECT_EQ(*std::min_element(kernel.begin(), kernel.end()), kernel[26]);
    EXPECT_EQ(kernel[0], kernel[26]);
    const std::vector<double> ones(27, 1.0);  // a window of ones weighs to the kernel's sum
    EXPECT_NEAR(CMyMath::GaussianSmoothing(ones.data(), kernel.data(), 3), 1.0, 1e-15);
    const std::vector<float> small = kernelOf(5, 1.5f);
    EXPECT_NEAR(std::accumulate(small.begin(), small.end(), 0.0), 1.0, 1e-6);
    // Size 1 and zero sigma give the unit impulse; an even size leaves the buffer untouched.
    EXPECT_EQ(kernelOf(1, 2.0), std::vector<double>{1.0});
    impulse[13] = 1;
    EXPECT_EQ(kernelOf(3, 0.0), impulse);
    EXPECT_EQ(kernelOf(2, 1.0), std::vector<double>(8, -1.0));

    int dim[3] = {6, 5, 7};
    std::vector<double> constant(6 * 5 * 7, 3.25), out(constant.size());
    CMyMath::SmoothVolume(constant.data(), dim, 3, 1.2, out.data());
    expectNear(out, constant, 1e-14);
    // Two components: an impulse in component 1 spreads as the kernel, component 0 stays zero,
    // and the border copies the NaN bit for bit.
    int cube[3] = {5, 5, 5};
    std::vector<double> in(125 * 2, 0.0), result(in.size(), -1.0);
    in[((2 * 5 + 2) * 5 + 2) * 2 + 1] = 1.0;
    in[1] = std::numeric_limits<double>::quiet_NaN();
    smoothVolume(in.data(), cube, 2, 3, 1.0, result.data());
    EXPECT_TRUE(std::isnan(result[1]));
    EXPECT_EQ(result[((1 * 5 + 2) * 5 + 3) * 2 + 1], kernel[(0 * 3 + 1) * 3 + 2]);
    EXPECT_EQ(result[((2 * 5 + 2) * 5 + 2) * 2 + 1], kernel[13]);
    EXPECT_EQ(result[((2 * 5 + 2) * 5 + 2) * 2], 0.0);
    // Size 1, a too-short axis or an even size copy the input.
    std::vector<unsigned char> bytes(6 * 5 * 7);
    std::iota(bytes.begin(), bytes.end(), 0);
    for (int size : {1, 7, 4}) {
        std::vector<unsigned char> copy(bytes.size());
        CMyMath::SmoothVolume(bytes.data(), dim, size, 1.0, copy.data());
        EXPECT_EQ(copy, bytes) << "size " << size;
    }
}

template <typename T>
void expectCountsSumToN(std::vector<T> samples, double low, double high) {
    std::vector<int64_t> counts(7, -1);
    double range[2];
    CMyMath::Histogram(samples.data(), int64_t(samples.size()), counts.data(), 7, range);
    EXPECT_EQ(std::accumulate(counts.begin(), counts.end(), int64_t{0}), int64_t(samples.size()));
    EXPECT_EQ(std::vector<double>(range, range + 2), (std::vector<double>{low, high}));
}

TEST(Histogram, CountsEverySampleOnce) {
    std::vector<int> ramp(11);
    std::iota(ramp.begin(), ramp.end(), 0);
    int64_t counts[10];
    EXPECT_EQ(CMyMath::Histogram(ramp.data(), 11, counts, 10), 1.0);  // the maximum joins bin 9
    EXPECT_EQ(std::vector<int64_t>(counts, counts + 10),
              (std::vector<int64_t>{1, 1, 1, 1, 1, 1, 1, 1, 1, 2}));

    expectCountsSumToN<double>({2.5, -1, 7, 3}, -1, 7);
    expectCountsSumToN<float>({0.25f, 9, 1}, 0.25, 9);
    expectCountsSumToN<int>({-2000000000, 2000000000, 5}, -2e9, 2e9);
    expectCountsSumToN<short>({-1, 1}, -1, 1);
    expectCountsSumToN<unsigned char>({255, 0}, 0, 255);
    // NaN never becomes an extreme and is counted in bin 0.
    const double nan = std::numeric_limits<double>::quiet_NaN();
    expectCountsSumToN<double>({nan, 4, nan, 10}, 4, 10);

    double range[2];
    const short constant[3] = {9, 9, 9};
    EXPECT_EQ(CMyMath::Histogram(constant, 3, counts, 4, range), 0.25);
    EXPECT_EQ(counts[0], 3);
    EXPECT_EQ(CMyMath::Histogram(constant, 0, counts, 5, range), 0.25);  // 1 / (nBins - 1)
    EXPECT_EQ(counts[0], 0);
    EXPECT_EQ(std::vector<double>(range, range + 2), (std::vector<double>{0, 1}));
    EXPECT_EQ(CMyMath::Histogram(constant, 3, counts, 0, range), 0.0);
}

// |v - 40| + 5 copies of each integer v in 0 .. 99.
template <typename T>
std::vector<T> valleyAtForty() {
    std::vector<T> samples;
    for (int v = 0; v < 100; ++v)
        samples.insert(samples.end(), std::abs(v - 40) + 5, static_cast<T>(v));
    return samples;
}

template <typename T>
void expectValleyAtForty() {
    std::vector<T> samples = valleyAtForty<T>();
    double range[2], upper = 0;
    EXPECT_DOUBLE_EQ(
        CMyMath::GetAutoThreshold(samples.data(), int64_t(samples.size()), 50, range, &upper),
        20.5 * 99 / 51);
    EXPECT_DOUBLE_EQ(upper, 97.5 * 0.99);
    EXPECT_EQ(range[1], 99.0);
}

TEST(GetAutoThreshold, FindsTheFirstStrictValley) {
    expectValleyAtForty<double>();
    expectValleyAtForty<float>();
    expectValleyAtForty<int>();
    expectValleyAtForty<short>();
    const std::vector<double> samples = valleyAtForty<double>();
    double windowLevel[2];
    CMyMath::AutoWindowLevel(samples.data(), int64_t(samples.size()), windowLevel);
    const double threshold = 20.5 * 99 / 51, upper = 96.525;
    EXPECT_DOUBLE_EQ(windowLevel[0], (upper - threshold) * 1.7);
    EXPECT_DOUBLE_EQ(windowLevel[1], (threshold + upper) * 0.5 + 0.125 * (upper - threshold));

    // A flat empty stretch is no valley: the search stops inside the upper group.
    std::vector<short> groups;
    for (int v = 0; v < 20; ++v)
        groups.insert(groups.end(), 30, static_cast<short>(v));
    for (int v = 100; v < 200; ++v)
        groups.insert(groups.end(), 4, static_cast<short>(v));
    EXPECT_DOUBLE_EQ(CMyMath::GetAutoThreshold(groups.data(), 1000, 50), 31.5 * 199 / 54);

    // A valley among the darkest 5 % of the samples is passed over: at least 5 % lie below the
    // threshold.
    std::vector<int> darkSpike(400, 0);
    for (int v = 6; v < 100; ++v)
        darkSpike.insert(darkSpike.end(), 100, v);
    const double spikeThreshold = CMyMath::GetAutoThreshold(darkSpike.data(), 9800, 50);
    EXPECT_GE(std::count_if(darkSpike.begin(), darkSpike.end(),
                            [&](int v) { return v < spikeThreshold; }),
              490);

    std::vector<float> constant(40, 6.0f);
    double upper2 = 0;
    EXPECT_EQ(CMyMath::GetAutoThreshold(constant.data(), 40, 50, nullptr, &upper2), 6.25);
    EXPECT_DOUBLE_EQ(upper2, 6.005);
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

TEST(Histogram, CountedZerosEqualStoredZeros) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const std::vector<std::vector<float>> sets = {
        {3, 9, 4}, {-2, -5}, {nan, nan}, {}, valleyAtForty<float>()};
    for (const std::vector<float>& samples : sets) {
        for (int64_t zeros : {0, 1, 700}) {
            std::vector<float> stored = samples;
            stored.resize(samples.size() + size_t(zeros), 0.0f);
            EXPECT_EQ(histogramBytes(samples, int64_t(samples.size()), zeros),
                      histogramBytes(stored, int64_t(stored.size()), 0));
        }
    }
}

TEST(ThreePointsToCircle, CentreIsEquidistant) {
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
    const float a[3] = {1, 0, 0}, b[3] = {0, 1, 0}, c[3] = {-1, 0, 0};
    const float* points[3] = {a, b, c};
    float centre[3], normal[3], radius = 0, again = 0;
    ASSERT_EQ(CMyMath::ThreePointsToCircle(a, b, c, centre, normal, &again), 1);
    ASSERT_EQ(CMyMath::ThreePointsToCircle(points, centre, normal, &radius), 1);
    expectNear<float>({centre[0], centre[1], radius, again}, {0, 0, 1, 1}, 1e-6);
    EXPECT_EQ(normal[2], 1.0f);

    // Collinear or equal points: 0, the centre untouched.
    const double line[9] = {0, 0, 0, 1, 1, 1, 2, 2, 2};
    double untouched[3] = {7, 7, 7}, n[3], r = 7;
    EXPECT_EQ(CMyMath::ThreePointsToCircle(line, line + 3, line + 6, untouched, n, &r), 0);
    EXPECT_EQ(CMyMath::ThreePointsToCircle(line, line, line, untouched, n, &r), 0);
    EXPECT_EQ(untouched[0], 7.0);
    EXPECT_EQ(r, 7.0);
}

TEST(SmallRoutines, RoundingPowersSphereAndIntegral) {
    const double inf = std::numeric_limits<double>::infinity();
    for (const auto& [in, out] : std::vector<std::pair<double, double>>{{0.03, 0.05},
                                                                        {37, 50},
                                                                        {7, 10},
                                                                        {1, 1},
                                                                        {10, 10},
                                                                        {1.5, 2},
                                                                        {0, 0},
                                                                        {-3, -3},
                                                                        {inf, inf}})
        EXPECT_DOUBLE_EQ(CMyMath::RoundToGrid(in), out) << in;
    EXPECT_TRUE(std::isnan(CMyMath::RoundToGrid(std::nan(""))));
    EXPECT_NEAR(CMyMath::RoundToGrid(3e-320), 5e-320, 1e-323);
    for (const auto& [in, out] :
         std::vector<std::pair<double, int>>{{0.05, -2}, {250, 2}, {9.99, 0}, {-4, 0}, {inf, 0}})
        EXPECT_EQ(CMyMath::GetPower(in), out) << in;

    double polar, azimuth, radius;
    CMyMath::Cart2Sphere(0, 0, 2, &polar, &azimuth, &radius);
    EXPECT_EQ(std::vector<double>({polar, azimuth, radius}), (std::vector<double>{0, 0, 2}));
    CMyMath::Cart2Sphere(-1, 0, 0, &polar, &azimuth, &radius);
    EXPECT_DOUBLE_EQ(polar, std::acos(0.0));
    EXPECT_EQ(azimuth, 3.1415926535);

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
    EXPECT_EQ(filled(box, 0, 0, '2'), box);
    EXPECT_EQ(filled(box, 6, 2, '2'), box);
    EXPECT_EQ(filled(box, 2, 2, '0'), box);
    EXPECT_EQ(filled(box, 2, 2, 300), box);

    // A serpentine of long corridors fills completely through the bounded stack.
    std::string maze(201, '0');
    for (int y = 1; y < 201; y += 2) {
        std::string wall(201, '1');
        wall[y % 4 == 1 ? 200 : 0] = '0';
        maze += "/" + wall + "/" + std::string(201, '0');
    }
    EXPECT_EQ(filled(maze, 0, 0, '3').find('0'), std::string::npos);
}

}  // namespace
