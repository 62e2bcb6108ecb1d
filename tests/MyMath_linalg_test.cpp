#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <new>
#include <random>
#include <string>
#include <vector>

#include "math/MyMath.h"

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
    Matrix(int rows, int cols) : cols(cols), values(rows * cols), rowPointers(rows) {}
    Matrix(int rows, int cols, std::vector<T> init) : Matrix(rows, cols) { values = init; }
    T** rows() {
        for (std::size_t i = 0; i < rowPointers.size(); ++i)
            rowPointers[i] = &values[i * cols];
        return rowPointers.data();
    }
    T& operator()(int i, int j) { return values[i * cols + j]; }

    int cols;
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
Matrix<T> product(Matrix<T>& a, Matrix<T>& b, int rows, int inner, int cols) {
    Matrix<T> c(rows, cols);
    for (int i = 0; i < rows; ++i)
        for (int j = 0; j < cols; ++j)
            for (int k = 0; k < inner; ++k)
                c(i, j) += a(i, k) * b(k, j);
    return c;
}

template <typename T>
double tolerance() {
    return sizeof(T) == sizeof(double) ? 1e-10 : 2e-4;
}

template <typename T>
void expectNear(Matrix<T>& actual, Matrix<T>& expected, double tol) {
    for (std::size_t i = 0; i < actual.values.size(); ++i)
        EXPECT_NEAR(actual.values[i], expected.values[i], tol) << "element " << i;
}

template <typename T>
class BothTypes : public ::testing::Test {};
using ElementTypes = ::testing::Types<double, float>;
TYPED_TEST_SUITE(BothTypes, ElementTypes);

TEST(Jacobi, WorkedExamples) {
    Matrix<double> a(2, 2, {2, 1, 1, 2}), v(2, 2);
    double w[2];
    EXPECT_EQ(CMyMath::MyJacobi(a.rows(), 2, w, v.rows()), 1);
    EXPECT_DOUBLE_EQ(w[0], 3);
    EXPECT_DOUBLE_EQ(w[1], 1);
    const double r = std::sqrt(0.5);
    Matrix<double> expected(2, 2, {r, r, r, -r});
    expectNear(v, expected, 1e-15);

    // Equal eigenvalues are exchanged by the sort: the columns end up along axes 2, 0, 1.
    Matrix<double> id(3, 3, {1, 0, 0, 0, 1, 0, 0, 0, 1}), v3(3, 3);
    double w3[3];
    CMyMath::MyJacobi(id.rows(), 3, w3, v3.rows());
    Matrix<double> axes(3, 3, {0, 1, 0, 0, 0, 1, 1, 0, 0});
    expectNear(v3, axes, 0);

    const double tensor[6] = {1, 0, 0, 2, 0, 3};
    double** eigenvectors = v3.rows();
    const long allocationsBefore = allocationCount;
    CMyMath::ComputeEigens(tensor, w3, eigenvectors);
    EXPECT_EQ(allocationCount, allocationsBefore);
    EXPECT_EQ(std::vector<double>(w3, w3 + 3), (std::vector<double>{3, 2, 1}));
    Matrix<double> reversed(3, 3, {0, 0, 1, 0, 1, 0, 1, 0, 0});
    expectNear(v3, reversed, 0);

    Matrix<double> one(1, 1, {-4}), v1(1, 1, {7});
    CMyMath::MyJacobi(one.rows(), 1, w, v1.rows());
    EXPECT_EQ(w[0], -4);
    EXPECT_EQ(v1(0, 0), 1);
    EXPECT_EQ(CMyMath::MyJacobi(one.rows(), 0, w, v1.rows()), 1);
}

TEST(Jacobi, SortAndClosestOrth) {
    double d[3] = {1, 3, 2};
    Matrix<double> v(3, 3, {1, 2, 3, 4, 5, 6, 7, 8, 9});
    CMyMath::Eigsrt(d, v.rows(), 3);
    EXPECT_EQ(std::vector<double>(d, d + 3), (std::vector<double>{3, 2, 1}));
    Matrix<double> sorted(3, 3, {2, 3, 1, 5, 6, 4, 8, 9, 7});
    expectNear(v, sorted, 0);

    const float in[3][3] = {{0.2f, -0.9f, 0.3f}, {0.5f, 0.5f, 0}, {0, 0, 0}};
    float out[3][3];
    CMyMath::ClosestOrth(in, out);
    const float expected[3][3] = {{0, -1, 0}, {1, 0, 0}, {-1, 0, 0}};
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j)
            EXPECT_EQ(out[i][j], expected[i][j]);
}

TYPED_TEST(BothTypes, RandomSymmetricPairsAreSortedUnitAndSignNormalised) {
    using T = TypeParam;
    std::mt19937 rng(1234);
    for (int n : {2, 3, 4, 5, 9}) {
        for (int trial = 0; trial < 20; ++trial) {
            Matrix<T> sym = randomMatrix<T>(n, n, rng);
            for (int i = 0; i < n; ++i)
                for (int j = 0; j < i; ++j)
                    sym(i, j) = sym(j, i);
            Matrix<T> work = sym, v(n, n);
            std::vector<T> w(n);
            CMyMath::MyJacobi(work.rows(), n, w.data(), v.rows());
            for (int j = 0; j < n; ++j) {
                if (j > 0) {
                    EXPECT_GE(w[j - 1], w[j]);
                }
                double length = 0;
                int nonNegative = 0;
                for (int i = 0; i < n; ++i) {
                    double av = 0;
                    for (int k = 0; k < n; ++k)
                        av += sym(i, k) * v(k, j);
                    EXPECT_NEAR(av, w[j] * v(i, j), 50 * tolerance<T>());
                    length += v(i, j) * v(i, j);
                    nonNegative += v(i, j) >= 0;
                }
                EXPECT_NEAR(length, 1, 10 * tolerance<T>());
                EXPECT_GE(nonNegative, (n + 1) / 2);
            }
            for (int i = 0; i < n; ++i)  // the lower triangle and the diagonal are left alone
                for (int j = 0; j <= i; ++j)
                    EXPECT_EQ(work(i, j), sym(i, j));
        }
    }
}

TEST(LinearSystem, FactorSolveAndAbsolutePivotBound) {
    Matrix<double> swap(2, 2, {0, 1, 1, 0}), inverse(2, 2);
    int index[2];
    double scale[2];
    Matrix<double> copy = swap;
    ASSERT_EQ(LUFactorLinearSystem(copy.rows(), index, 2, scale), 1);
    EXPECT_EQ(index[0], 1);
    EXPECT_EQ(index[1], 1);
    ASSERT_TRUE(CMyMath::InvertMatrix(inverse.rows(), swap.rows(), 2));
    expectNear(inverse, swap, 0);
    Matrix<double> tie(2, 2, {1, 0, 1, 1});  // equal scaled pivots: the lower row wins
    ASSERT_EQ(LUFactorLinearSystem(tie.rows(), index, 2, scale), 1);
    EXPECT_EQ(index[0], 1);

    for (double factor : {1e-13, 1e-12, 2e-12}) {
        const double m[3][3] = {{factor, 0, 0}, {0, factor, 0}, {0, 0, factor}};
        double out[3][3];
        testing::internal::CaptureStdout();
        const bool ok = CMyMath::InvertMatrix(out, m);
        const std::string printed = testing::internal::GetCapturedStdout();
        EXPECT_EQ(ok, factor > 1.5e-12) << factor;
        EXPECT_EQ(printed, ok ? "" : "Unable to factor linear system");
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
    Matrix<double> a(3, 3, {1, 2, 0, 3, 1, 4, 0, 5, 2}), lu = a;
    int index3[3];
    double scale3[3];
    ASSERT_EQ(LUFactorLinearSystem(lu.rows(), index3, 3, scale3), 1);
    double x[3] = {0, 0, 1};
    LUSolveLinearSystem(lu.rows(), index3, x, 3);
    for (int i = 0; i < 3; ++i)
        EXPECT_NEAR(a(i, 0) * x[0] + a(i, 1) * x[1] + a(i, 2) * x[2], i == 2, 1e-14);
}

TEST(LinearSystem, InverseTimesMatrixIsIdentity) {
    std::mt19937 rng(99);
    for (int n = 1; n <= 12; ++n) {
        Matrix<double> a = randomMatrix<double>(n, n, rng), inverse(n, n), identity(n, n);
        for (int i = 0; i < n; ++i)
            identity(i, i) = 1;
        const Matrix<double> original = a;
        ASSERT_TRUE(CMyMath::InvertMatrix(inverse.rows(), a.rows(), n));
        EXPECT_EQ(a.values, original.values);
        Matrix<double> check = product(inverse, a, n, n, n);
        expectNear(check, identity, 1e-9);
    }
    std::uniform_real_distribution<double> uniform(-1, 1);
    double m4[4][4], inv4[4][4];
    for (auto& row : m4)
        for (double& x : row)
            x = uniform(rng);
    ASSERT_TRUE(CMyMath::InvertMatrix4x4(inv4, m4));
    double pinv4[4][4];
    CMyMath::PseudoInverse4x4(pinv4, m4);
    for (int i = 0; i < 4; ++i)
        for (int j = 0; j < 4; ++j)
            EXPECT_NEAR(pinv4[i][j], inv4[i][j], 1e-9);
}

TEST(Svd, UnsortedValuesAndSigns) {
    // One-based storage: row 0 and column 0 are unused.
    auto decompose = [](std::vector<double> entries, Matrix<double>& u, Matrix<double>& v) {
        u = Matrix<double>(3, 3, {0, 0, 0, 0, entries[0], entries[1], 0, entries[2], entries[3]});
        std::vector<double> w(3);
        CMyMath::SingularValueDecomposition(u.rows(), 2, 2, w.data(), v.rows());
        return std::vector<double>{w[1], w[2]};
    };
    Matrix<double> u(3, 3), v(3, 3);
    EXPECT_EQ(decompose({1, 0, 0, 3}, u, v), (std::vector<double>{1, 3}));
    Matrix<double> negated(3, 3, {0, 0, 0, 0, -1, 0, 0, 0, -1});
    expectNear(u, negated, 0);
    expectNear(v, negated, 0);
    const std::vector<double> w = decompose({3, 1, 1, 3}, u, v);
    EXPECT_NEAR(w[0], 2, 1e-14);
    EXPECT_NEAR(w[1], 4, 1e-14);
    EXPECT_EQ(decompose({-2, 0, 0, 1}, u, v), (std::vector<double>{2, 1}));
    expectNear(u, negated, 0);
    Matrix<double> flipped(3, 3, {0, 0, 0, 0, 1, 0, 0, 0, -1});
    expectNear(v, flipped, 0);

    std::vector<double> values(3, 0);
    Matrix<double> bad(3, 3, {0, 0, 0, 0, NAN, 1, 0, 1, 1});
    testing::internal::CaptureStdout();
    CMyMath::SingularValueDecomposition(bad.rows(), 2, 2, values.data(), v.rows());
    const std::string printed = testing::internal::GetCapturedStdout();
    EXPECT_EQ(printed.rfind("no convergence in 30 dsvdcmp iterations", 0), 0u);
    EXPECT_EQ(printed.find('\n'), std::string::npos);
}

TYPED_TEST(BothTypes, SvdReproducesTallAndWideMatrices) {
    using T = TypeParam;
    std::mt19937 rng(7);
    for (auto [m, n] : {std::pair{6, 3}, {3, 6}, {5, 5}, {1, 4}, {4, 1}}) {
        Matrix<T> a = randomMatrix<T>(m, n, rng), u(m + 1, n + 1), v(n + 1, n + 1);
        std::vector<T> w(n + 1);
        for (int i = 0; i < m; ++i)
            for (int j = 0; j < n; ++j)
                u(i + 1, j + 1) = a(i, j);
        CMyMath::SingularValueDecomposition(u.rows(), m, n, w.data(), v.rows());
        for (int i = 0; i < m; ++i) {
            for (int j = 0; j < n; ++j) {
                double sum = 0;
                for (int k = 1; k <= n; ++k)
                    sum += u(i + 1, k) * w[k] * v(j + 1, k);
                EXPECT_NEAR(sum, a(i, j), 10 * tolerance<T>()) << m << "x" << n;
            }
        }
        for (int k = 1; k <= n; ++k)
            EXPECT_GE(w[k], 0);
    }
}

TYPED_TEST(BothTypes, PseudoInverseMeetsMoorePenroseConditions) {
    using T = TypeParam;
    const T diag[3][3] = {{2, 0, 0}, {0, 0, 0}, {0, 0, 0}};
    T out3[3][3];
    CMyMath::PseudoInverse(out3, diag);
    EXPECT_EQ(out3[0][0], T(0.5));
    EXPECT_EQ(out3[1][1], 0);

    Matrix<T> row(1, 2, {3, 4}), column(2, 1);
    CMyMath::PseudoInverse(column.rows(), row.rows(), 1, 2);
    EXPECT_NEAR(column(0, 0), 0.12, tolerance<T>());
    EXPECT_NEAR(column(1, 0), 0.16, tolerance<T>());

    // A zero first column gives a singular value that is exactly zero, the only kind dropped.
    std::mt19937 rng(42);
    for (auto [m, n] : {std::pair{5, 3}, {3, 5}, {4, 4}, {2, 6}}) {
        Matrix<T> a = randomMatrix<T>(m, n, rng), p(n, m);
        for (int i = 0; i < m; ++i)
            a(i, 0) = 0;
        CMyMath::PseudoInverse(p.rows(), a.rows(), m, n);
        Matrix<T> ap = product(a, p, m, n, m), pa = product(p, a, n, m, n);
        Matrix<T> apa = product(ap, a, m, m, n), pap = product(pa, p, n, n, m);
        expectNear(apa, a, 10 * tolerance<T>());
        expectNear(pap, p, 10 * tolerance<T>());
        for (int i = 0; i < m; ++i)
            for (int j = 0; j < m; ++j)
                EXPECT_NEAR(ap(i, j), ap(j, i), 10 * tolerance<T>());
        for (int i = 0; i < n; ++i)
            for (int j = 0; j < n; ++j)
                EXPECT_NEAR(pa(i, j), pa(j, i), 10 * tolerance<T>());
    }
}

}  // namespace
