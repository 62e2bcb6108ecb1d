// Large buffers. The first touch of a fresh page is what a large result costs most: one trap per
// 4 KiB page, and on virtual machines with shadow page tables a second fault in the hypervisor.
// A 2 MiB huge page is mapped in one go, some thirty times cheaper per byte on such machines.
//
// LargeAllocator gives every block of 512 KiB or more a mapping of its own, aligned to 2 MiB and
// advised as huge pages, so that the whole block and not only its aligned middle can be mapped
// that way; smaller blocks come from operator new. LargeVector is the vector that uses it: the
// type of image voxels, tensors and tracking tables. ReserveLarge is the weaker form for plain
// vectors whose type is fixed. Header-only; where the kernel declines huge pages, nothing changes
// but the speed.
#ifndef FIBREJOIN_UTILS_MEMORY_H
#define FIBREJOIN_UTILS_MEMORY_H

#include <sys/mman.h>

#include <cstddef>
#include <cstdint>
#include <limits>
#include <new>
#include <type_traits>
#include <vector>

namespace fibrejoin {

// Under AddressSanitizer every block comes from operator new, so that overruns stay detectable.
#if defined(__SANITIZE_ADDRESS__)
constexpr bool kOwnMappings = false;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool kOwnMappings = false;
#else
constexpr bool kOwnMappings = true;
#endif
#else
constexpr bool kOwnMappings = true;
#endif

constexpr std::size_t kHugePageBytes = std::size_t(2) << 20;

template <typename T>
class LargeAllocator {
  public:
    using value_type = T;
    using is_always_equal = std::true_type;
    static constexpr std::size_t kOwnMappingBytes = std::size_t(512) << 10;

    LargeAllocator() = default;
    template <typename U>
    LargeAllocator(const LargeAllocator<U>&) noexcept {}

    T* allocate(std::size_t count) {
        if (count > (std::numeric_limits<std::size_t>::max() - 2 * kHugePageBytes) / sizeof(T))
            throw std::bad_array_new_length();
        const std::size_t bytes = count * sizeof(T);
        if (!kOwnMappings || bytes < kOwnMappingBytes)
            return static_cast<T*>(::operator new(bytes));
        // Map a huge page more than needed, then give back what lies outside the aligned block.
        const std::size_t length = Rounded(bytes);
        void* mapped = mmap(nullptr, length + kHugePageBytes, PROT_READ | PROT_WRITE,
                            MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (mapped == MAP_FAILED) throw std::bad_alloc();
        const std::uintptr_t start = reinterpret_cast<std::uintptr_t>(mapped);
        const std::uintptr_t aligned = (start + kHugePageBytes - 1) & ~(kHugePageBytes - 1);
        if (aligned > start) munmap(mapped, aligned - start);
        const std::size_t tail = start + kHugePageBytes - aligned;
        if (tail > 0) munmap(reinterpret_cast<void*>(aligned + length), tail);
        madvise(reinterpret_cast<void*>(aligned), length, MADV_HUGEPAGE);
        return reinterpret_cast<T*>(aligned);
    }

    void deallocate(T* block, std::size_t count) noexcept {
        const std::size_t bytes = count * sizeof(T);
        if (!kOwnMappings || bytes < kOwnMappingBytes) {
            ::operator delete(block);
            return;
        }
        munmap(block, Rounded(bytes));
    }

    template <typename U>
    bool operator==(const LargeAllocator<U>&) const noexcept {
        return true;
    }
    template <typename U>
    bool operator!=(const LargeAllocator<U>&) const noexcept {
        return false;
    }

  private:
    static std::size_t Rounded(std::size_t bytes) {
        return (bytes + kHugePageBytes - 1) & ~(kHugePageBytes - 1);
    }
};

template <typename T>
using LargeVector = std::vector<T, LargeAllocator<T>>;

// values.reserve(count), with the whole 2 MiB pages inside the reservation advised as huge pages.
template <typename T>
void ReserveLarge(std::vector<T>& values, std::size_t count) {
    values.reserve(count);
    const std::uintptr_t begin =
        (reinterpret_cast<std::uintptr_t>(values.data()) + kHugePageBytes - 1) &
        ~(kHugePageBytes - 1);
    const std::uintptr_t end =
        reinterpret_cast<std::uintptr_t>(values.data() + count) & ~(kHugePageBytes - 1);
    if (end > begin) madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
}

}  // namespace fibrejoin

#endif  // FIBREJOIN_UTILS_MEMORY_H
