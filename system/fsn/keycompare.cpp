#include "keycompare.h"

#include <bit>
#include <cmath>
#include <cstring>

#include "fsdata.h"

namespace vorn {
namespace {

using u8 = std::uint8_t;

int sign(bool greater, bool less) {
    return greater ? 1 : (less ? -1 : 0);
}

// The rid stored right after a key of keylen bytes.
std::uint32_t ridafter(const u8 *key, int keylen) {
    std::uint32_t rid;
    std::memcpy(&rid, key + keylen, sizeof rid);
    return rid;
}

}  // namespace

std::int16_t comparerids(const u8 *v1, const u8 *v2, int v1len, int v2len) {
    const std::uint32_t a = ridafter(v1, v1len), b = ridafter(v2, v2len);
    return static_cast<std::int16_t>(sign(a > b, a < b));
}

namespace {

// The value of a typed key. A value shorter than its type (possible only in damaged or
// misused indexes) reads as zero-extended; it never reaches into the rid or past the key.
template <typename T>
T typedvalue(const u8 *key, int keylen) {
    u8 bytes[sizeof(T)] = {};
    const int have = keylen - 1;
    std::memcpy(bytes, key + 1,
                have < static_cast<int>(sizeof(T)) ? (have > 0 ? have : 0) : sizeof(T));
    T value;
    std::memcpy(&value, bytes, sizeof value);
    return value;
}

// Floating values: NaN sorts after every number and equal to any other NaN, so that the
// order stays total even for values that should not be keys.
template <typename T>
int comparefloats(T a, T b) {
    const bool an = std::isnan(a), bn = std::isnan(b);
    if (an || bn) return sign(an && !bn, bn && !an);
    return sign(a > b, a < b);
}

// An x87 extended value decoded into an order-preserving form: class (0 finite, 1 infinite,
// 2 NaN), sign, and for finite non-zero values the binary exponent of the leading one bit and
// the mantissa shifted so that its top bit is set. Unnormal and pseudo-denormal encodings
// are valued as the hardware would (mantissa × 2^(exponent - 16383 - 63)).
struct Extended {
    int cls = 0;
    bool negative = false;
    bool zero = false;
    std::int32_t exponent = 0;
    std::uint64_t mantissa = 0;
};

Extended decodeextended(const u8 *key, int keylen) {
    u8 bytes[10] = {};
    const int have = keylen - 1;
    std::memcpy(bytes, key + 1, have < 10 ? (have > 0 ? have : 0) : 10);
    std::uint64_t mantissa;
    std::memcpy(&mantissa, bytes, sizeof mantissa);
    const unsigned top = bytes[8] | (bytes[9] << 8);
    Extended x;
    x.negative = (top & 0x8000) != 0;
    const int biased = static_cast<int>(top & 0x7FFF);
    if (biased == 0x7FFF) {
        x.cls = (mantissa & 0x7FFFFFFFFFFFFFFFull) == 0 ? 1 : 2;
        return x;
    }
    if (mantissa == 0) {
        x.zero = true;
        return x;
    }
    const int shift = std::countl_zero(mantissa);
    x.mantissa = mantissa << shift;
    x.exponent = (biased == 0 ? 1 : biased) - shift;
    return x;
}

int compareextended(const Extended &a, const Extended &b) {
    if (a.cls == 2 || b.cls == 2) return sign(a.cls == 2 && b.cls != 2, b.cls == 2 && a.cls != 2);
    if (a.zero && b.zero) return 0;
    // Signed order: negatives (by descending magnitude), zero, positives.
    const int asign = a.zero ? 0 : (a.negative ? -1 : 1);
    const int bsign = b.zero ? 0 : (b.negative ? -1 : 1);
    if (asign != bsign) return sign(asign > bsign, asign < bsign);
    int magnitude;
    if (a.cls != b.cls) {
        magnitude = sign(a.cls > b.cls, a.cls < b.cls);
    } else if (a.cls == 1) {
        magnitude = 0;
    } else if (a.exponent != b.exponent) {
        magnitude = sign(a.exponent > b.exponent, a.exponent < b.exponent);
    } else {
        magnitude = sign(a.mantissa > b.mantissa, a.mantissa < b.mantissa);
    }
    return asign < 0 ? -magnitude : magnitude;
}

// Types 1, 2 and 4 to 8: fid byte, then the value as a number, then (duplicates only) rid.
template <int (*CompareValues)(const u8 *, const u8 *, int, int)>
std::int16_t typedcompare(const u8 *v1, const u8 *v2, std::int16_t len, std::int16_t dupkeys,
                          std::int16_t v1len, std::int16_t v2len) {
    if (v1[0] != v2[0]) return v1[0] > v2[0] ? 1 : -1;
    if (len <= 1) return 0;
    const int values = CompareValues(v1, v2, v1len, v2len);
    if (values != 0) return static_cast<std::int16_t>(values);
    if (dupkeys == 0) return 0;
    return comparerids(v1, v2, v1len, v2len);
}

template <typename T>
int integers(const u8 *a, const u8 *b, int alen, int blen) {
    const T x = typedvalue<T>(a, alen), y = typedvalue<T>(b, blen);
    return sign(x > y, x < y);
}

template <typename T>
int floats(const u8 *a, const u8 *b, int alen, int blen) {
    return comparefloats(typedvalue<T>(a, alen), typedvalue<T>(b, blen));
}

int extendeds(const u8 *a, const u8 *b, int alen, int blen) {
    return compareextended(decodeextended(a, alen), decodeextended(b, blen));
}

}  // namespace

// Types 0 and 3: unsigned bytes, fid byte included; a value sorts after its own prefixes;
// with duplicates, equal values are ordered by rid.
std::int16_t charfunc(const u8 *v1, const u8 *v2, std::int16_t len, std::int16_t dupkeys,
                      std::int16_t v1len, std::int16_t v2len) {
    return comparechars(v1, v2, len, dupkeys, v1len, v2len);
}

std::int16_t ucharfunc(const u8 *v1, const u8 *v2, std::int16_t len, std::int16_t dupkeys,
                       std::int16_t v1len, std::int16_t v2len) {
    return charfunc(v1, v2, len, dupkeys, v1len, v2len);
}

std::int16_t shortfunc(const u8 *v1, const u8 *v2, std::int16_t len, std::int16_t dupkeys,
                       std::int16_t v1len, std::int16_t v2len) {
    return typedcompare<integers<std::int16_t>>(v1, v2, len, dupkeys, v1len, v2len);
}
std::int16_t longfunc(const u8 *v1, const u8 *v2, std::int16_t len, std::int16_t dupkeys,
                      std::int16_t v1len, std::int16_t v2len) {
    return typedcompare<integers<std::int32_t>>(v1, v2, len, dupkeys, v1len, v2len);
}
std::int16_t ushortfunc(const u8 *v1, const u8 *v2, std::int16_t len, std::int16_t dupkeys,
                        std::int16_t v1len, std::int16_t v2len) {
    return typedcompare<integers<std::uint16_t>>(v1, v2, len, dupkeys, v1len, v2len);
}
std::int16_t ulongfunc(const u8 *v1, const u8 *v2, std::int16_t len, std::int16_t dupkeys,
                       std::int16_t v1len, std::int16_t v2len) {
    return typedcompare<integers<std::uint32_t>>(v1, v2, len, dupkeys, v1len, v2len);
}
std::int16_t floatfunc(const u8 *v1, const u8 *v2, std::int16_t len, std::int16_t dupkeys,
                       std::int16_t v1len, std::int16_t v2len) {
    return typedcompare<floats<float>>(v1, v2, len, dupkeys, v1len, v2len);
}
std::int16_t doublefunc(const u8 *v1, const u8 *v2, std::int16_t len, std::int16_t dupkeys,
                        std::int16_t v1len, std::int16_t v2len) {
    return typedcompare<floats<double>>(v1, v2, len, dupkeys, v1len, v2len);
}
std::int16_t ldoublefunc(const u8 *v1, const u8 *v2, std::int16_t len, std::int16_t dupkeys,
                         std::int16_t v1len, std::int16_t v2len) {
    return typedcompare<extendeds>(v1, v2, len, dupkeys, v1len, v2len);
}

const FUNC funcs[kKeyTypes] = {charfunc,  shortfunc, longfunc,   ucharfunc,  ushortfunc,
                               ulongfunc, floatfunc, doublefunc, ldoublefunc};

bool keyrules(const FSDATA *fsdata, std::uint8_t fid, KeyRules *rules) {
    const unsigned sub = fid >> 4;
    if (sub == 0) return false;
    const FDATA &fd = fsdata->fscb.f[sub - 1];
    const unsigned subkey = fid & 15u;
    const int type = fd.keytype[subkey];
    if (type < 0 || type >= kKeyTypes) return false;
    rules->cmp = funcs[type];
    rules->dupkeys =
        static_cast<std::int16_t>((static_cast<std::uint16_t>(fd.dupkeys) >> subkey) & 1u);
    return true;
}

}  // namespace vorn
