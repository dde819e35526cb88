// The comparison rules of the key index. A key is compared from its fid byte on; the fid byte
// of a key selects its index and with it the rules: a comparison type 0..8 (`keytype` of the
// sub-file) and whether equal values are told apart by rid (`dupkeys`). Every rule orders by
// fid byte first, so each index is one contiguous run of the tree.
#pragma once

#include <cstdint>

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
