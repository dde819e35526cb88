// The comparison rules of the key index. A key is compared from its fid byte on; the fid byte
// of a key selects its index and with it the rules: a comparison type 0..8 (`keytype` of the
// sub-file) and whether equal values are told apart by rid (`dupkeys`). Every rule orders by
// fid byte first, so each index is one contiguous run of the tree.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>

namespace vorn {

struct FSDATA;

// v1 is the key sought or placed, v2 a stored key; both start at their fid byte and carry
// their rid right after their own bytes. len is the smaller key length, v1len and v2len the
// key lengths (fid byte included), dupkeys 0 or 1. Negative, zero or positive as v1 sorts
// before, with or after v2.
using FUNC = std::int16_t (*)(const std::uint8_t *v1, const std::uint8_t *v2, std::int16_t len,
                              std::int16_t dupkeys, std::int16_t v1len, std::int16_t v2len);

std::int16_t charfunc(const std::uint8_t *, const std::uint8_t *, std::int16_t, std::int16_t,
                      std::int16_t, std::int16_t);
std::int16_t shortfunc(const std::uint8_t *, const std::uint8_t *, std::int16_t, std::int16_t,
                       std::int16_t, std::int16_t);
std::int16_t longfunc(const std::uint8_t *, const std::uint8_t *, std::int16_t, std::int16_t,
                      std::int16_t, std::int16_t);
std::int16_t ucharfunc(const std::uint8_t *, const std::uint8_t *, std::int16_t, std::int16_t,
                       std::int16_t, std::int16_t);
std::int16_t ushortfunc(const std::uint8_t *, const std::uint8_t *, std::int16_t, std::int16_t,
                        std::int16_t, std::int16_t);
std::int16_t ulongfunc(const std::uint8_t *, const std::uint8_t *, std::int16_t, std::int16_t,
                       std::int16_t, std::int16_t);
std::int16_t floatfunc(const std::uint8_t *, const std::uint8_t *, std::int16_t, std::int16_t,
                       std::int16_t, std::int16_t);
std::int16_t doublefunc(const std::uint8_t *, const std::uint8_t *, std::int16_t, std::int16_t,
                        std::int16_t, std::int16_t);
std::int16_t ldoublefunc(const std::uint8_t *, const std::uint8_t *, std::int16_t, std::int16_t,
                         std::int16_t, std::int16_t);

// The rids stored right after v1's v1len and v2's v2len bytes, compared: -1, 0 or 1.
std::int16_t comparerids(const std::uint8_t *v1, const std::uint8_t *v2, int v1len, int v2len);

// The difference of the first unequal bytes of a and b within len bytes, 0 when none differ.
// Eight bytes are compared at a time, a shorter tail as the last eight bytes; the first
// unequal byte of a word is found from the lowest set bit of the difference on a
// little-endian machine and the highest otherwise.
inline int firstdifference(const std::uint8_t *a, const std::uint8_t *b, int len) {
    int i = 0;
    for (; i + 8 <= len; i += 8) {
        std::uint64_t x, y;
        std::memcpy(&x, a + i, sizeof x);
        std::memcpy(&y, b + i, sizeof y);
        if (x != y) {
            const std::uint64_t d = x ^ y;
            const int k = (std::endian::native == std::endian::little ? std::countr_zero(d)
                                                                      : std::countl_zero(d)) /
                          8;
            return a[i + k] - b[i + k];
        }
    }
    if (i == len) return 0;
    if (len >= 8) {
        // The rest in one word that ends with the last byte: the bytes it shares with the
        // words before are equal, so its first unequal byte is the first of all.
        const int at = len - 8;
        std::uint64_t x, y;
        std::memcpy(&x, a + at, sizeof x);
        std::memcpy(&y, b + at, sizeof y);
        if (x == y) return 0;
        const std::uint64_t d = x ^ y;
        const int k = (std::endian::native == std::endian::little ? std::countr_zero(d)
                                                                  : std::countl_zero(d)) /
                      8;
        return a[at + k] - b[at + k];
    }
    for (; i < len; ++i) {
        if (a[i] != b[i]) return a[i] - b[i];
    }
    return 0;
}

// The rule of types 0 and 3 (charfunc, ucharfunc), inline so that searches of the common
// byte-string indexes compare without a call per probe: unsigned bytes, fid byte included; a
// value sorts after its own prefixes; with duplicates, equal values are ordered by rid.
inline std::int16_t comparechars(const std::uint8_t *v1, const std::uint8_t *v2, std::int16_t len,
                                 std::int16_t dupkeys, std::int16_t v1len, std::int16_t v2len) {
    const int r = firstdifference(v1, v2, len);
    if (len == 1) return static_cast<std::int16_t>(r);
    if (r == 0 && v1len != v2len) return v1len > v2len ? 1 : -1;
    if (r != 0 || dupkeys == 0) return static_cast<std::int16_t>(r);
    return comparerids(v1, v2, v1len, v2len);
}

// comparechars as a callable type: code templated on the comparison tells it from a FUNC,
// and inlines it.
struct ByteRule {
    std::int16_t operator()(const std::uint8_t *v1, const std::uint8_t *v2, std::int16_t len,
                            std::int16_t dupkeys, std::int16_t v1len, std::int16_t v2len) const {
        return comparechars(v1, v2, len, dupkeys, v1len, v2len);
    }
};

// True when `cmp` is the byte-string rule (types 0 and 3, the common case).
inline bool isbyterule(FUNC cmp) {
    return cmp == charfunc || cmp == ucharfunc;
}

// Calls `use(compare)` with ByteRule when `cmp` is the byte-string rule, else with `cmp`
// itself; both compare alike.
template <typename Use>
auto withcompare(FUNC cmp, Use use) {
    if (isbyterule(cmp)) return use(ByteRule{});
    return use(cmp);
}

// The first eight bytes at p as a number that orders as the bytes do. Two byte-string keys of
// eight bytes or more whose numbers differ are ordered by them, as the byte-string rule
// orders them (their first difference lies there).
inline std::uint64_t orderword(const std::uint8_t *p) {
    std::uint64_t x;
    std::memcpy(&x, p, sizeof x);
    return std::endian::native == std::endian::little ? __builtin_bswap64(x) : x;
}

inline constexpr int kKeyTypes = 9;
// The comparison of each key type, in type order.
extern const FUNC funcs[kKeyTypes];

// The rules of one index, found from a key's fid byte.
struct KeyRules {
    FUNC cmp = nullptr;
    std::int16_t dupkeys = 0;
};

// The rules of the index that fid names: sub-file fid >> 4 (1..15), subkey fid & 15, type
// keytype[subkey] (0..8), duplicate flag bit subkey of dupkeys. False when the sub-file is 0
// or the type is undefined.
bool keyrules(const FSDATA *fsdata, std::uint8_t fid, KeyRules *rules);

// Compares two keys with the full rules: len = min(alen, blen).
inline std::int16_t comparekeys(const KeyRules &rules, const std::uint8_t *a, int alen,
                                const std::uint8_t *b, int blen) {
    const int len = alen < blen ? alen : blen;
    return rules.cmp(a, b, static_cast<std::int16_t>(len), rules.dupkeys,
                     static_cast<std::int16_t>(alen), static_cast<std::int16_t>(blen));
}

// The prefix comparison: zero when both keys belong to the same index, positive when b
// belongs to an earlier one.
inline std::int16_t prefixcompare(const KeyRules &rules, const std::uint8_t *a,
                                  const std::uint8_t *b) {
    return rules.cmp(a, b, 1, 0, 1, 1);
}

}  // namespace vorn
