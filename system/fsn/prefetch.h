// Asking the processor for memory soon read: every cache line of an object at once, so that
// the lines arrive together instead of one after another as the reads reach them. Only a
// hint: nothing is read and nothing can fault.
#pragma once

#include <cstddef>

namespace vorn {

template <std::size_t kBytes>
inline void prefetchlines(const void *p) {
    constexpr std::size_t kLine = 64;
    const auto *bytes = static_cast<const char *>(p);
#pragma GCC unroll 16
    for (std::size_t i = 0; i < kBytes; i += kLine) __builtin_prefetch(bytes + i);
}

}  // namespace vorn
