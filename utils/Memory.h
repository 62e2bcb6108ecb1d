// Large result buffers. Fresh pages are costly to fault in one by one (on virtual machines most
// of all, where a 256 MiB result can take longer to fault in than the file takes to read), so a
// large reservation asks the kernel for huge pages before its first touch. Header-only.
#ifndef FIBREJOIN_UTILS_MEMORY_H
#define FIBREJOIN_UTILS_MEMORY_H

#include <sys/mman.h>

#include <cstddef>
#include <cstdint>
#include <vector>

namespace fibrejoin {

// values.reserve(count), with the whole 2 MiB pages inside the reservation advised as huge pages.
// Only a hint: where the kernel declines, nothing changes but the speed.
template <typename T>
void ReserveLarge(std::vector<T>& values, std::size_t count) {
    values.reserve(count);
    const std::uintptr_t huge = std::uintptr_t(2) << 20;
    const std::uintptr_t begin =
        (reinterpret_cast<std::uintptr_t>(values.data()) + huge - 1) & ~(huge - 1);
    const std::uintptr_t end =
        reinterpret_cast<std::uintptr_t>(values.data() + count) & ~(huge - 1);
    if (end > begin) madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
}

}  // namespace fibrejoin

#endif  // FIBREJOIN_UTILS_MEMORY_H
