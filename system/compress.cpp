// Record compression. The encoder cuts the record into runs of equal bytes and literal
// stretches; as soon as the packets reach the record's own length the raw shape (a 0 byte and
// the record) is stored instead, so the packets never need more than the record's length plus
// one packet of room. The packets are measured before any is written, and written only for a
// record that shrinks.
#include "vorn/compress.h"

#include <algorithm>
#include <bit>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace vorn {
namespace {

constexpr int kLongestRun = 129;
constexpr int kLongestLiteral = 127;

// The pair map of a record: bit j (word j / 64, bit j % 64) is set when bytes j and j + 1 are
// equal, for j < n - 1; every bit past those is clear, up to a whole word beyond the record.
// The packets are read off it: a run starts at a set bit, a literal stops in front of one.
constexpr int kMapWords = (32768 + 63) / 64 + 1;

void pairmap(const std::uint8_t *b, int n, std::uint64_t *map) {
    std::fill(map, map + (n + 63) / 64 + 1, 0);
    int j = 0;
#if defined(__SSE2__)
    // Sixteen pairs at a time: bytes j..j+15 against j+1..j+16. j stays a multiple of 16, so
    // the sixteen bits never straddle two words.
    for (; j + 17 <= n; j += 16) {
        const __m128i here = _mm_loadu_si128(reinterpret_cast<const __m128i *>(b + j));
        const __m128i next = _mm_loadu_si128(reinterpret_cast<const __m128i *>(b + j + 1));
        const auto equal = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(here, next)));
        map[j >> 6] |= static_cast<std::uint64_t>(equal) << (j & 63);
    }
    // The last pairs: the sixteen ending at the last byte, some of them seen already.
    if (n >= 17 && j < n - 1) {
        const int at = n - 17;
        const __m128i here = _mm_loadu_si128(reinterpret_cast<const __m128i *>(b + at));
        const __m128i next = _mm_loadu_si128(reinterpret_cast<const __m128i *>(b + at + 1));
        const auto equal = static_cast<std::uint64_t>(
            static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(here, next))));
        map[at >> 6] |= equal << (at & 63);
        if ((at & 63) > 48) map[(at >> 6) + 1] |= equal >> (64 - (at & 63));
        j = n - 1;
    }
#endif
    for (; j < n - 1; ++j) {
        if (b[j] == b[j + 1]) map[j >> 6] |= std::uint64_t{1} << (j & 63);
    }
}

bool paired(const std::uint64_t *map, int j) {
    return ((map[j >> 6] >> (j & 63)) & 1u) != 0;
}

// The first position from `from` on whose bit is kSet, or `limit` when none lies before it.
template <bool kSet>
int nextbit(const std::uint64_t *map, int from, int limit) {
    if (from >= limit) return limit;
    int w = from >> 6;
    const std::uint64_t flip = kSet ? 0 : ~std::uint64_t{0};
    std::uint64_t bits = (map[w] ^ flip) & (~std::uint64_t{0} << (from & 63));
    while (bits == 0) {
        if ((w + 1) * 64 >= limit) return limit;
        bits = map[++w] ^ flip;
    }
    return std::min(w * 64 + std::countr_zero(bits), limit);
}

// Length of the run starting at i (at least 2; never extended onto the last byte): it goes on
// while each next byte equals the one before it.
int runlength(const std::uint64_t *map, int i, int n) {
    const int limit = std::max(i + 1, std::min(i + kLongestRun - 1, n - 2));
    return nextbit<false>(map, i + 1, limit) - i + 1;
}

// Length of the literal starting at i: it stops in front of a pair that could start a run.
int literallength(const std::uint64_t *map, int i, int n) {
    return nextbit<true>(map, i + 1, std::min(i + kLongestLiteral, n)) - i;
}

int storeraw(std::uint8_t *out, std::size_t room, const std::uint8_t *in, int n) {
    if (static_cast<std::size_t>(n) + 1 > room) return -1;
    out[0] = 0;
    if (n > 0) std::memmove(out + 1, in, static_cast<std::size_t>(n));
    return n + 1;
}

// The packets of the record's n bytes, written to out only when kWrite is set. Returns their
// length; 0 once they reach the record's own length (the raw shape is stored instead); -1 when
// they would not fit `room` before that.
template <bool kWrite>
int pack(std::uint8_t *o, std::size_t room, const std::uint8_t *b, int n,
         const std::uint64_t *map) {
    int emitted = 0;
    int i = 0;
    while (i < n) {
        const bool run = paired(map, i);
        const int l = run ? runlength(map, i, n) : literallength(map, i, n);
        const int packet = run ? 2 : l + 1;
        // Once the packets are as long as the record, the raw shape is stored.
        if (emitted + packet >= n) return 0;
        // The packed form only grows: if this packet does not fit, neither will the result.
        if (static_cast<std::size_t>(emitted + packet) > room) return -1;
        if constexpr (kWrite) {
            if (run) {
                o[emitted] = static_cast<std::uint8_t>(1 - l);
                o[emitted + 1] = b[i];
            } else {
                o[emitted] = static_cast<std::uint8_t>(l);
                std::memcpy(o + emitted + 1, b + i, static_cast<std::size_t>(l));
            }
        }
        emitted += packet;
        i += l;
    }
    return emitted;
}

// The number of set bits, counted in parallel within the word (a build for any x86-64 has no
// instruction for it, and the library's routine costs a call).
int bitcount(std::uint64_t v) {
    v = v - ((v >> 1) & 0x5555555555555555ull);
    v = (v & 0x3333333333333333ull) + ((v >> 2) & 0x3333333333333333ull);
    v = (v + (v >> 4)) & 0x0F0F0F0F0F0F0F0Full;
    return static_cast<int>((v * 0x0101010101010101ull) >> 56);
}

// The packed length of a record of 1..127 bytes, counted off its pair map (two words) without
// walking the packets. No packet of such a record reaches the longest literal or run, so each
// maximal stretch of set bits (equal pairs j..k, bytes j..k+1) is one run, except that a run
// stops in front of the last byte, which then is a literal of its own; the bytes between runs
// are one literal each. Then the length is the bytes outside runs, one per literal and two per
// run. The raw shape is taken exactly when this reaches n: the packets that follow any point
// save less than the bytes they cover, so no earlier point reaches n unless the end does.
int shortpackedlength(const std::uint64_t *map, int n) {
    const std::uint64_t lo = map[0], hi = map[1];
    const int runs = bitcount(lo & ~(lo << 1)) + bitcount(hi & ~((hi << 1) | (lo >> 63)));
    if (runs == 0) return n + 1;
    // Runs with no byte between them: a stretch ends at k and the next starts at k + 2.
    const std::uint64_t lo1 = (lo >> 1) | (hi << 63), hi1 = hi >> 1;
    const std::uint64_t lo2 = (lo >> 2) | (hi << 62), hi2 = hi >> 2;
    const int adjacent = bitcount(lo & ~lo1 & lo2) + bitcount(hi & ~hi1 & hi2);
    const bool endpair = paired(map, n - 2);
    const bool cut = endpair && n >= 3 && paired(map, n - 3);  // a run stops before the last byte
    const int literals =
        (runs - 1 - adjacent) + (paired(map, 0) ? 0 : 1) + (!endpair || cut ? 1 : 0);
    const int runbytes = bitcount(lo) + bitcount(hi) + runs - (cut ? 1 : 0);
    return n - runbytes + literals + 2 * runs;
}

}  // namespace

int compress(void *out, std::size_t room, const void *in, std::int16_t len) {
    if (len < 0) return -1;
    auto *o = static_cast<std::uint8_t *>(out);
    const auto *b = static_cast<const std::uint8_t *>(in);
    const int n = len;
    if (n == 0) return storeraw(o, room, b, 0);
    // Most records do not shrink: their packets are only counted, and the raw shape is
    // written without them. The packets are written once they are known to be stored.
    std::uint64_t map[kMapWords];
    pairmap(b, n, map);
    const int packed = n <= kLongestLiteral ? (shortpackedlength(map, n) >= n ? 0 : 1)
                                            : pack<false>(o, room, b, n, map);
    if (packed == 0) return storeraw(o, room, b, n);
    if (packed < 0) return -1;
    return pack<true>(o, room, b, n, map);
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
