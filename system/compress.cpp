// Record compression. The encoder makes one pass over the record, emitting runs of equal
// bytes and literal stretches; as soon as the packets reach the record's own length the raw
// shape (a 0 byte and the record) is stored instead, so the packets never need more than
// the record's length plus one packet of room.
#include "vorn/compress.h"

#include <algorithm>
#include <bit>
#include <cstring>

namespace vorn {
namespace {

constexpr int kLongestRun = 129;
constexpr int kLongestLiteral = 127;

// Length of the run starting at i (at least 2; never extended onto the last byte).
int runlength(const std::uint8_t *in, int i, int n) {
    int l = 2;
    while (l < kLongestRun && i + l < n - 1 && in[i + l] == in[i + l - 1]) ++l;
    return l;
}

// The index (0..7) of the first zero byte of v, 8 when none: the lowest flagged byte of the
// classic test is always a true zero (a false flag only ever sits above one).
int firstzerobyte(std::uint64_t v) {
    const std::uint64_t flags = (v - 0x0101010101010101ull) & ~v & 0x8080808080808080ull;
    return flags == 0 ? 8 : std::countr_zero(flags) / 8;
}

// Length of the literal starting at i: it stops in front of a pair that could start a run.
// Eight positions are looked at a time, comparing the bytes with their neighbours as words,
// while all eight lie inside both the record and the longest literal.
int literallength(const std::uint8_t *in, int i, int n) {
    int l = 1;
    if constexpr (std::endian::native == std::endian::little) {
        const int limit = std::min(kLongestLiteral, n - i);
        while (l + 8 <= limit && i + l + 9 <= n) {
            std::uint64_t here, next;
            std::memcpy(&here, in + i + l, sizeof here);
            std::memcpy(&next, in + i + l + 1, sizeof next);
            const int k = firstzerobyte(here ^ next);
            if (k < 8) return l + k;
            l += 8;
        }
    }
    while (l < kLongestLiteral && i + l < n && !(i + l < n - 1 && in[i + l] == in[i + l + 1])) {
        ++l;
    }
    return l;
}

int storeraw(std::uint8_t *out, std::size_t room, const std::uint8_t *in, int n) {
    if (static_cast<std::size_t>(n) + 1 > room) return -1;
    out[0] = 0;
    if (n > 0) std::memmove(out + 1, in, static_cast<std::size_t>(n));
    return n + 1;
}

}  // namespace

int compress(void *out, std::size_t room, const void *in, std::int16_t len) {
    if (len < 0) return -1;
    auto *o = static_cast<std::uint8_t *>(out);
    const auto *b = static_cast<const std::uint8_t *>(in);
    const int n = len;
    int emitted = 0;
    int i = 0;
    while (i < n) {
        const bool run = i < n - 1 && b[i] == b[i + 1];
        const int l = run ? runlength(b, i, n) : literallength(b, i, n);
        const int packet = run ? 2 : l + 1;
        // Once the packets are as long as the record, the raw shape is stored.
        if (emitted + packet >= n) return storeraw(o, room, b, n);
        // The packed form only grows: if this packet does not fit, neither will the result.
        if (static_cast<std::size_t>(emitted + packet) > room) return -1;
        if (run) {
            o[emitted] = static_cast<std::uint8_t>(1 - l);
            o[emitted + 1] = b[i];
        } else {
            o[emitted] = static_cast<std::uint8_t>(l);
            std::memcpy(o + emitted + 1, b + i, static_cast<std::size_t>(l));
        }
        emitted += packet;
        i += l;
    }
    if (n == 0) return storeraw(o, room, b, 0);
    return emitted;
}

int uncompress(void *out, std::size_t room, const void *in, std::int16_t len) {
    if (len < 1) return -1;
    auto *o = static_cast<std::uint8_t *>(out);
    const auto *b = static_cast<const std::uint8_t *>(in);
    const int m = len;
    if (b[0] == 0) {
        if (static_cast<std::size_t>(m - 1) > room) return -1;
        if (m > 1) std::memcpy(o, b + 1, static_cast<std::size_t>(m - 1));
        return m - 1;
    }
    std::size_t written = 0;
    int k = 0;
    while (k < m) {
        const auto t = static_cast<std::int8_t>(b[k]);
        if (t < 0) {
            const std::size_t count = static_cast<std::size_t>(1 - t);
            if (k + 1 >= m || written + count > room) return -1;
            std::memset(o + written, b[k + 1], count);
            written += count;
            k += 2;
        } else {
            const std::size_t count = static_cast<std::size_t>(t);
            if (k + 1 + t > m || written + count > room) return -1;
            std::memcpy(o + written, b + k + 1, count);
            written += count;
            k += 1 + t;
        }
    }
    return static_cast<int>(written);
}

}  // namespace vorn
