// Copies and comparisons of a few bytes without a call: keys are mostly short, and a call to
// memcpy or memcmp costs more than the work on a few dozen bytes. Runs of 8 to 32 bytes are
// handled as overlapping words from both ends.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace vorn {

namespace smallbytes {

inline std::uint64_t word(const std::uint8_t *p) {
    std::uint64_t w;
    std::memcpy(&w, p, sizeof w);
    return w;
}

inline void put(std::uint8_t *p, std::uint64_t w) {
    std::memcpy(p, &w, sizeof w);
}

}  // namespace smallbytes

inline void copysmall(void *to, const void *from, std::size_t n) {
    using namespace smallbytes;
    auto *d = static_cast<std::uint8_t *>(to);
    const auto *s = static_cast<const std::uint8_t *>(from);
    if (n >= 8 && n <= 16) {
        const std::uint64_t head = word(s), tail = word(s + n - 8);
        put(d, head);
        put(d + n - 8, tail);
    } else if (n > 16 && n <= 32) {
        const std::uint64_t a = word(s), b = word(s + 8), c = word(s + n - 16), e = word(s + n - 8);
        put(d, a);
        put(d + 8, b);
        put(d + n - 16, c);
        put(d + n - 8, e);
    } else if (n < 8) {
        for (std::size_t i = 0; i < n; ++i) d[i] = s[i];
    } else {
        std::memcpy(d, s, n);
    }
}

// True when the n bytes at a and b are equal.
inline bool samesmall(const void *a, const void *b, std::size_t n) {
    using namespace smallbytes;
    const auto *x = static_cast<const std::uint8_t *>(a);
    const auto *y = static_cast<const std::uint8_t *>(b);
    if (n >= 8 && n <= 16) {
        return word(x) == word(y) && word(x + n - 8) == word(y + n - 8);
    }
    if (n > 16 && n <= 32) {
        return word(x) == word(y) && word(x + 8) == word(y + 8) &&
               word(x + n - 16) == word(y + n - 16) && word(x + n - 8) == word(y + n - 8);
    }
    return std::memcmp(x, y, n) == 0;
}

}  // namespace vorn
