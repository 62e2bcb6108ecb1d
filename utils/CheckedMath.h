// Integer arithmetic that cannot overflow unnoticed: every size computed from a file value goes
// through these before it sizes a buffer, a read or a seek. Header-only; the results are plain
// values and a failed step says so instead of wrapping.
#ifndef FIBREJOIN_UTILS_CHECKEDMATH_H
#define FIBREJOIN_UTILS_CHECKEDMATH_H

#include <climits>
#include <cstdint>
#include <type_traits>

namespace fibrejoin {

// True when value is representable as an int.
constexpr bool FitsInt(int64_t value) {
    return value >= INT_MIN && value <= INT_MAX;
}

// result = a * b; false (result unspecified) when the product leaves the range of T.
template <typename T>
inline bool CheckedMultiply(T a, T b, T& result) {
    static_assert(std::is_integral<T>::value, "integers only");
    return !__builtin_mul_overflow(a, b, &result);
}

// result = a + b; false (result unspecified) when the sum leaves the range of T.
template <typename T>
inline bool CheckedAdd(T a, T b, T& result) {
    static_assert(std::is_integral<T>::value, "integers only");
    return !__builtin_add_overflow(a, b, &result);
}

// result = a * b * ... for any number of factors, all in T; false on the first overflow.
template <typename T, typename... Rest>
inline bool CheckedProduct(T& result, T first, Rest... rest) {
    result = first;
    return (CheckedMultiply(result, T(rest), result) && ...);
}

// Bytes in count elements of width bytes; -1 for a negative count or one no buffer can hold.
constexpr int64_t ByteCount(int64_t count, int64_t width) {
    return count < 0 || width <= 0 || count > INT64_MAX / width ? -1 : count * width;
}

}  // namespace fibrejoin

#endif  // FIBREJOIN_UTILS_CHECKEDMATH_H
