#include "math/MyMath.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <numeric>
#include <string>
#include <utility>
#include <vector>

namespace {

template <typename T>
std::vector<T> smoothed(std::vector<T> signal, int w, const double* weights) {
    CMyMath::LinearSmooth(signal.data(), static_cast<int>(signal.size()), w, weights);
    return signal;
}

TEST(LinearSmooth, RenormalisesTheEndsAndTruncatesIntegers) {
    EXPECT_EQ(smoothed<double>({0, 0, 3, 0, 0}, 3, nullptr), (std::vector<double>{0, 1, 1, 1, 0}));
    const double ramp[3] = {1, 2, 1};
    EXPECT_EQ(smoothed<double>({4, 0, 0, 0, 8}, 3, ramp),
              (std::vector<double>{8.0 / 3, 1, 0, 2, 16.0 / 3}));
    EXPECT_EQ(smoothed<int>({4, 0, 0, 0, 8}, 3, ramp), (std::vector<int>{2, 1, 0, 2, 5}));
    EXPECT_EQ(smoothed<float>({1, 2, 3, 4, 5, 6}, 5, nullptr),
              (std::vector<float>{2, 2.5f, 3, 4, 4.5f, 5}));

    // Shorter than the window: clipped at both ends.
    const double valley[5] = {1, 3, 5, 3, 1};
    const double a = 2, b = 7, c = 5;
    EXPECT_EQ(smoothed<double>({a, b, c}, 5, valley),
              (std::vector<double>{(5 * a + 3 * b + c) / 9, (3 * a + 5 * b + 3 * c) / 11,
                                   (a + 3 * b + 5 * c) / 9}));
    EXPECT_EQ(smoothed<double>({a, b}, 5, valley),
              (std::vector<double>{(5 * a + 3 * b) / 8, (3 * a + 5 * b) / 8}));
    // Far wider than the signal: only the central weights meet it.
    const double wide[7] = {9, 9, 1, 2, 3, 9, 9};
    EXPECT_EQ(smoothed<double>({a, b}, 7, wide),
              (std::vector<double>{(2 * a + 3 * b) / 5, (a + 2 * b) / 3}));
}

TEST(LinearSmooth, OddInputIsHandledWithoutOverflow) {
    const std::vector<short> signal = {3, -4, 5};
    EXPECT_EQ(smoothed(signal, 1, nullptr), signal);
    EXPECT_EQ(smoothed(signal, 4, nullptr), signal);  // even width: unchanged
    EXPECT_EQ(smoothed(signal, 0, nullptr), signal);
    // Negative weights can leave the type's range: the result saturates.
    const double sharpen[3] = {-1, 3, -1};
    EXPECT_EQ(smoothed<short>({32767, -32768, 32767}, 3, sharpen),
              (std::vector<short>{32767, -32768, 32767}));
    const double zeroSum[3] = {1, -2, 1};
    EXPECT_EQ(smoothed<int>({5, 1, 5}, 3, zeroSum)[1], std::numeric_limits<int>::max());
}

TEST(GaussianKernel, IsNormalisedAndPeakedAtTheCentre) {
    std::vector<double> kernel(27);
    double* buffer = kernel.data();
    CMyMath::GaussianKernel(buffer, 3, 1.0);
    EXPECT_NEAR(std::accumulate(kernel.begin(), kernel.end(), 0.0), 1.0, 1e-15);
    EXPECT_EQ(*std::max_element(kernel.begin(), kernel.end()), kernel[13]);
    EXPECT_EQ(*std::min_element(kernel.begin(), kernel.end()), kernel[26]);
    EXPECT_EQ(kernel[0], kernel[26]);
    // A window of ones weighs to the kernel's sum.
    const std::vector<double> ones(27, 1.0);
    EXPECT_NEAR(CMyMath::GaussianSmoothing(ones.data(), kernel.data(), 3), 1.0, 1e-15);

    std::vector<float> small(125);
    float* smallBuffer = small.data();
    CMyMath::GaussianKernel(smallBuffer, 5, 1.5f);
    EXPECT_NEAR(std::accumulate(small.begin(), small.end(), 0.0), 1.0, 1e-6);

    double single = 0;
    double* singleBuffer = &single;
    CMyMath::GaussianKernel(singleBuffer, 1, 2.0);
    EXPECT_EQ(single, 1.0);
    // Zero sigma: the unit impulse; an even size: untouched.
    CMyMath::GaussianKernel(buffer, 3, 0.0);
    EXPECT_EQ(std::accumulate(kernel.begin(), kernel.end(), 0.0), 1.0);
    EXPECT_EQ(kernel[13], 1.0);
    std::vector<double> even(8, -1.0);
    double* evenBuffer = even.data();
    CMyMath::GaussianKernel(evenBuffer, 2, 1.0);
    EXPECT_EQ(even, std::vector<double>(8, -1.0));
}

TEST(SmoothVolume, KeepsConstantsAndCopiesTheBorder) {
    int dim[3] = {6, 5, 7};
    std::vector<double> constant(6 * 5 * 7, 3.25);
    std::vector<double> out(constant.size());
    CMyMath::SmoothVolume(constant.data(), dim, 3, 1.2, out.data());
    for (double v : out)
        EXPECT_NEAR(v, 3.25, 1e-14);

    // Two components: an impulse in component 1 spreads as the kernel, component 0 stays zero,
    // and the border copies the NaN bit for bit.
    int cube[3] = {5, 5, 5};
    std::vector<double> in(125 * 2, 0.0);
    in[((2 * 5 + 2) * 5 + 2) * 2 + 1] = 1.0;
    in[1] = std::numeric_limits<double>::quiet_NaN();
    std::vector<double> result(in.size(), -1.0);
    smoothVolume(in.data(), cube, 2, 3, 1.0, result.data());
    std::vector<double> kernel(27);
    double* buffer = kernel.data();
    CMyMath::GaussianKernel(buffer, 3, 1.0);
    EXPECT_TRUE(std::isnan(result[1]));
    EXPECT_EQ(result[((1 * 5 + 2) * 5 + 3) * 2 + 1], kernel[(0 * 3 + 1) * 3 + 2]);
    EXPECT_EQ(result[((2 * 5 + 2) * 5 + 2) * 2 + 1], kernel[13]);
    EXPECT_EQ(result[((2 * 5 + 2) * 5 + 2) * 2], 0.0);

    // Size 1, a too-short axis or an even size copy the input.
    std::vector<unsigned char> bytes(6 * 5 * 7);
    for (std::size_t i = 0; i < bytes.size(); ++i)
        bytes[i] = static_cast<unsigned char>(i * 37);
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
    CMyMath::Histogram(samples.data(), static_cast<int64_t>(samples.size()), counts.data(), 7,
                       range);
    EXPECT_EQ(std::accumulate(counts.begin(), counts.end(), int64_t{0}),
              static_cast<int64_t>(samples.size()));
    EXPECT_EQ(range[0], low);
    EXPECT_EQ(range[1], high);
}

TEST(Histogram, CountsEverySampleOnce) {
    std::vector<int> ramp(11);
    std::iota(ramp.begin(), ramp.end(), 0);
    int64_t counts[10];
    EXPECT_EQ(CMyMath::Histogram(ramp.data(), 11, counts, 10), 1.0);
    EXPECT_EQ(counts[9], 2);
    EXPECT_EQ(counts[0], 1);

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
    EXPECT_EQ(range[1], 1.0);
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
    double range[2];
    double upper = 0;
    const double threshold = CMyMath::GetAutoThreshold(
        samples.data(), static_cast<int64_t>(samples.size()), 50, range, &upper);
    EXPECT_DOUBLE_EQ(threshold, 20.5 * 99 / 51);
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
    CMyMath::AutoWindowLevel(samples.data(), static_cast<int64_t>(samples.size()), windowLevel);
    const double threshold = 20.5 * 99 / 51;
    const double upper = 96.525;
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

// Zeros counted by number give what the same zeros stored after the samples give.
TEST(Histogram, CountedZerosEqualStoredZeros) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const std::vector<std::vector<float>> sets = {
        {3, 9, 4}, {-2, -5}, {nan, nan}, {}, valleyAtForty<float>()};
    for (const std::vector<float>& samples : sets) {
        for (int64_t zeros : {0, 1, 700}) {
            std::vector<float> stored = samples;
            stored.resize(samples.size() + size_t(zeros), 0.0f);
            const int64_t n = int64_t(samples.size()), total = int64_t(stored.size());
            int64_t counted[7], expected[7];
            double range[2], expectedRange[2];
            const double width = histogram(samples.data(), n, counted, 7, range, zeros);
            const double expectedWidth =
                histogram(stored.data(), total, expected, 7, expectedRange);
            EXPECT_EQ(std::memcmp(&width, &expectedWidth, sizeof(double)), 0);
            EXPECT_TRUE(std::equal(counted, counted + 7, expected));
            EXPECT_EQ(std::memcmp(range, expectedRange, sizeof(range)), 0);
            double upper = 0, expectedUpper = 0;
            const double threshold = getAutoThreshold(samples.data(), n, 20, range, &upper, zeros);
            const double expectedThreshold =
                getAutoThreshold(stored.data(), total, 20, expectedRange, &expectedUpper);
            EXPECT_EQ(std::memcmp(&threshold, &expectedThreshold, sizeof(double)), 0);
            EXPECT_EQ(std::memcmp(&upper, &expectedUpper, sizeof(double)), 0);
        }
    }
}

TEST(ThreePointsToCircle, CentreIsEquidistant) {
    const double triples[][9] = {{1, 0, 0, 0, 1, 0, -1, 0, 0},
                                 {0.3, -2, 5, 4, 1.5, -1, -3, 2, 0.25},
                                 {100, 100, 100, 100.5, 100, 100, 100, 100.25, 100.75}};
    for (const auto& p : triples) {
        double centre[3], normal[3], radius = 0;
        ASSERT_EQ(CMyMath::ThreePointsToCircle(p, p + 3, p + 6, centre, normal, &radius), 1);
        for (int k = 0; k < 3; ++k) {
            const double dx = centre[0] - p[3 * k], dy = centre[1] - p[3 * k + 1],
                         dz = centre[2] - p[3 * k + 2];
            EXPECT_NEAR(std::sqrt(dx * dx + dy * dy + dz * dz), radius, 1e-9 * radius);
        }
        EXPECT_NEAR(std::hypot(normal[0], normal[1], normal[2]), 1.0, 1e-12);
    }

    const float a[3] = {1, 0, 0}, b[3] = {0, 1, 0}, c[3] = {-1, 0, 0};
    const float* points[3] = {a, b, c};
    float centre[3], normal[3], radius = 0;
    ASSERT_EQ(CMyMath::ThreePointsToCircle(points, centre, normal, &radius), 1);
    EXPECT_NEAR(centre[0], 0.0f, 1e-6f);
    EXPECT_NEAR(centre[1], 0.0f, 1e-6f);
    EXPECT_NEAR(radius, 1.0f, 1e-6f);
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
    for (const auto& [in, out] : std::vector<std::pair<double, double>>{
             {0.03, 0.05}, {37, 50}, {7, 10}, {1, 1}, {10, 10}, {1.5, 2}})
        EXPECT_DOUBLE_EQ(CMyMath::RoundToGrid(in), out) << in;
    const double inf = std::numeric_limits<double>::infinity();
    EXPECT_EQ(CMyMath::RoundToGrid(0.0), 0.0);
    EXPECT_EQ(CMyMath::RoundToGrid(-3.0), -3.0);
    EXPECT_EQ(CMyMath::RoundToGrid(inf), inf);
    EXPECT_TRUE(std::isnan(CMyMath::RoundToGrid(std::nan(""))));
    EXPECT_NEAR(CMyMath::RoundToGrid(3e-320), 5e-320, 1e-323);

    EXPECT_EQ(CMyMath::GetPower(0.05), -2);
    EXPECT_EQ(CMyMath::GetPower(250), 2);
    EXPECT_EQ(CMyMath::GetPower(9.99), 0);
    EXPECT_EQ(CMyMath::GetPower(-4), 0);
    EXPECT_EQ(CMyMath::GetPower(inf), 0);

    double polar, azimuth, radius;
    CMyMath::Cart2Sphere(0, 0, 2, &polar, &azimuth, &radius);
    EXPECT_EQ(polar, 0.0);
    EXPECT_EQ(azimuth, 0.0);
    EXPECT_EQ(radius, 2.0);
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

// A grid built from rows of digits, filled, and read back.
std::vector<std::string> filled(std::vector<std::string> rows, int x, int y, int fill,
                                int xMax = -1, int yMax = -1) {
    std::vector<char*> pointers;
    for (auto& row : rows) {
        for (char& cell : row)
            cell = static_cast<char>(cell - '0');
        pointers.push_back(&row[0]);
    }
    if (xMax < 0) xMax = static_cast<int>(rows[0].size()) - 1;
    if (yMax < 0) yMax = static_cast<int>(rows.size()) - 1;
    CMyMath::FloodFill(pointers.data(), x, y, 0, 0, xMax, yMax, fill, 1);
    for (auto& row : rows) {
        for (char& cell : row)
            cell = static_cast<char>(cell + '0');
    }
    return rows;
}

TEST(FloodFill, StaysInsideBoundariesAndWindow) {
    const std::vector<std::string> box = {"11111", "10001", "10001", "10001", "11111"};
    EXPECT_EQ(filled(box, 2, 2, 2),
              (std::vector<std::string>{"11111", "12221", "12221", "12221", "11111"}));
    // A diagonal barrier is not crossed; 4-connected only.
    EXPECT_EQ(filled({"0010", "0100", "1000", "0000"}, 3, 3, 2),
              (std::vector<std::string>{"0012", "0122", "1222", "2222"}));
    // Down one arm of a U, along its bottom and back up the other arm.
    EXPECT_EQ(filled({"11111", "10101", "10101", "10001", "11111"}, 3, 1, 2),
              (std::vector<std::string>{"11111", "12121", "12121", "12221", "11111"}));
    // Different values fill as one region; the window limits the fill.
    EXPECT_EQ(filled({"0340", "0510", "0000"}, 0, 0, 2, 2, 1),
              (std::vector<std::string>{"2220", "2210", "0000"}));
    // Seeds on a boundary or fill cell, or outside the window, and fill values a cell cannot
    // hold, write nothing.
    EXPECT_EQ(filled(box, 0, 0, 2), box);
    EXPECT_EQ(filled(box, 6, 2, 2), box);
    EXPECT_EQ(filled(box, 2, 2, 0), box);
    EXPECT_EQ(filled(box, 2, 2, 300), box);

    // A serpentine of long corridors fills completely through the bounded stack.
    std::vector<std::string> maze(201, std::string(201, '0'));
    for (int y = 1; y < 201; y += 2) {
        maze[y] = std::string(201, '1');
        maze[y][y % 4 == 1 ? 200 : 0] = '0';
    }
    const std::vector<std::string> result = filled(maze, 0, 0, 3);
    for (int y = 0; y < 201; ++y)
        EXPECT_EQ(result[y].find('0'), std::string::npos) << y;
}

}  // namespace
