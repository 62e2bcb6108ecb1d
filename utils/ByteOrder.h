// Byte reversal for files written on a machine of the other byte order. Header-only and shared by
// every reader of outside files (track files, raw and Analyze volumes), so that one routine does
// the swapping everywhere.
#ifndef FIBREJOIN_UTILS_BYTEORDER_H
#define FIBREJOIN_UTILS_BYTEORDER_H

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <type_traits>

// Reverses the bytes of one plain value in place.
template <typename T>
inline void ReverseBytes(T& value) {
    static_assert(std::is_trivially_copyable<T>::value, "plain values only");
    unsigned char bytes[sizeof(T)];
    std::memcpy(bytes, &value, sizeof(T));
    std::reverse(bytes, bytes + sizeof(T));
    std::memcpy(&value, bytes, sizeof(T));
}

// Reverses the bytes of every element of a fixed-size array field.
template <typename T, size_t N>
inline void ReverseBytes(T (&values)[N]) {
    for (T& value : values)
        ReverseBytes(value);
}

// Reverses `count` consecutive values of `Width` bytes (2, 4 or 8) stored at `data`, which need
// not be aligned. The bulk path of every foreign-order image and track body.
template <size_t Width>
inline void ReverseEach(void* data, size_t count) {
    static_assert(Width == 2 || Width == 4 || Width == 8, "2-, 4- or 8-byte values");
    using Word = std::conditional_t<Width == 2, uint16_t,
                                    std::conditional_t<Width == 4, uint32_t, uint64_t>>;
    unsigned char* bytes = static_cast<unsigned char*>(data);
    for (size_t i = 0; i < count; ++i, bytes += Width) {
        Word word;
        std::memcpy(&word, bytes, Width);
        if constexpr (Width == 2) {
            word = __builtin_bswap16(word);
        } else if constexpr (Width == 4) {
            word = __builtin_bswap32(word);
        } else {
            word = __builtin_bswap64(word);
        }
        std::memcpy(bytes, &word, Width);
    }
}

#endif  // FIBREJOIN_UTILS_BYTEORDER_H
