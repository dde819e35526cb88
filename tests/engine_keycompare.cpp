// The nine comparison functions: fid first, the value as its type, the duplicate rule, and
// full precision for 10-byte extended values.
#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "fsn/keycompare.h"

namespace vorn {
namespace {

// A built key: fid, value bytes, rid.
std::string key(std::uint8_t fid, const std::string &value, std::uint32_t rid = 0) {
    std::string k(1, static_cast<char>(fid));
    k += value;
    k.append(reinterpret_cast<const char *>(&rid), 4);
    return k;
}

template <typename T>
std::string raw(T x, std::size_t n = sizeof(T)) {
    return std::string(reinterpret_cast<const char *>(&x), n);
}

int sign(int x) {
    return (x > 0) - (x < 0);
}

int compare(int type, const std::string &a, const std::string &b, int dup = 0) {
    const auto alen = static_cast<std::int16_t>(a.size() - 4),
               blen = static_cast<std::int16_t>(b.size() - 4);
    return sign(funcs[type](reinterpret_cast<const std::uint8_t *>(a.data()),
                            reinterpret_cast<const std::uint8_t *>(b.data()), std::min(alen, blen),
                            static_cast<std::int16_t>(dup), alen, blen));
}

struct Case {
    int type;
    std::string a, b;
    int dup;
    int expected;
};

TEST(KeyCompare, Table) {
    const Case cases[] = {
        {0, key(0x10, "ab"), key(0x10, "abc"), 0, -1},
        {0, key(0x10, "abc"), key(0x10, "abd"), 0, -1},
        {0, key(0x10, "\xFF"), key(0x10, "\x01"), 0, 1},            // bytes are unsigned
        {0, key(0x10, ""), key(0x10, "zzz"), 0, 0},                 // the prefix comparison
        {0, key(0x10, "zzz"), key(0x11, "a"), 0, -1},               // fid first
        {0, key(0x10, "v", 5), key(0x10, "v", 9), 0, 0},            // no duplicates: rid ignored
        {0, key(0x10, "v", 5), key(0x10, "v", 9), 1, -1},           // duplicates: by rid
        {0, key(0x10, "v", 0x80000000u), key(0x10, "v", 1), 1, 1},  // rid unsigned
        {3, key(0x10, "ab"), key(0x10, "abc"), 0, -1},
        {1, key(0x10, raw<std::int16_t>(-1)), key(0x10, raw<std::int16_t>(0)), 0, -1},
        {4, key(0x10, raw<std::int16_t>(-1)), key(0x10, raw<std::int16_t>(0)), 0, 1},
        {2, key(0x10, raw<std::int32_t>(-70000)), key(0x10, raw<std::int32_t>(3)), 0, -1},
        {5, key(0x10, raw<std::int32_t>(-70000)), key(0x10, raw<std::int32_t>(3)), 0, 1},
        {1, key(0x10, raw<std::int16_t>(7), 2), key(0x10, raw<std::int16_t>(7), 1), 1, 1},
        {1, key(0x10, raw<std::int16_t>(7), 2), key(0x10, raw<std::int16_t>(7), 1), 0, 0},
        {1, key(0x12, raw<std::int16_t>(-5)), key(0x11, raw<std::int16_t>(9)), 0, 1},
        {1, key(0x11, ""), key(0x11, raw<std::int16_t>(9)), 0, 0},
        {6, key(0x10, raw(-0.5f)), key(0x10, raw(0.25f)), 0, -1},
        {6, key(0x10, raw(-0.0f)), key(0x10, raw(0.0f)), 0, 0},
        {6, key(0x10, raw(NAN)), key(0x10, raw(INFINITY)), 0, 1},  // NaN after every number
        {7, key(0x10, raw(1e300)), key(0x10, raw(-1e300)), 0, 1},
        {7, key(0x10, raw(1.0)), key(0x10, raw(std::nextafter(1.0, 2.0))), 0, -1},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << "type " << c.type << " " << testing::PrintToString(c.a));
        EXPECT_EQ(compare(c.type, c.a, c.b, c.dup), c.expected);
        EXPECT_EQ(compare(c.type, c.b, c.a, c.dup), -c.expected);
    }
}

// 10-byte extended values: sign, 15-bit exponent, 64-bit mantissa with explicit integer bit.
std::string extended(bool negative, int exponent, std::uint64_t mantissa) {
    std::string s = raw(mantissa);
    const auto top = static_cast<std::uint16_t>((negative ? 0x8000 : 0) | exponent);
    s += raw(top);
    return s;
}

TEST(KeyCompare, ExtendedValuesAreComparedAtFullPrecision) {
    const std::uint64_t one = 0x8000000000000000ull;
    const std::string values[] = {
        // Ascending order.
        extended(true, 0x7FFF, one),     // -infinity
        extended(true, 16384, one | 1),  // -(2 + ulp)
        extended(true, 16384, one),      // -2
        extended(true, 16383, one | 1),  // -(1 + ulp)
        extended(true, 16383, one),      // -1
        extended(true, 0, 1),            // the smallest negative denormal
        extended(false, 0, 0),           // +0
        extended(false, 0, 1),           // the smallest denormal
        extended(false, 0, 2),
        extended(false, 1, one),           // the smallest normal
        extended(false, 16383, one),       // 1
        extended(false, 16383, one | 1),   // 1 + ulp: differs in the lowest bit
        extended(false, 16384, one),       // 2
        extended(false, 0x7FFE, ~0ull),    // the largest finite
        extended(false, 0x7FFF, one),      // +infinity
        extended(false, 0x7FFF, one | 5),  // NaN
    };
    for (std::size_t i = 0; i < std::size(values); ++i) {
        for (std::size_t j = 0; j < std::size(values); ++j) {
            EXPECT_EQ(compare(8, key(0x10, values[i]), key(0x10, values[j])),
                      i < j ? -1 : (i > j ? 1 : 0))
                << i << " " << j;
        }
    }
    EXPECT_EQ(compare(8, key(0x10, extended(true, 0, 0)), key(0x10, extended(false, 0, 0))), 0)
        << "-0 equals +0";
    // An unnormal (integer bit clear) is valued by its bits: 0x4000... at exponent e+1 is
    // the normal value one at exponent e.
    EXPECT_EQ(compare(8, key(0x10, extended(false, 16384, one >> 1)),
                      key(0x10, extended(false, 16383, one))),
              0);
}

TEST(KeyCompare, ExtendedAgreesWithTheHostWhereItHasThem) {
    if (LDBL_MANT_DIG != 64) GTEST_SKIP() << "no x87 long double on this host";
    std::mt19937_64 rng(3);
    for (int i = 0; i < 20000; ++i) {
        long double a = static_cast<long double>(static_cast<std::int64_t>(rng())) /
                        static_cast<long double>(rng() % 100000 + 1);
        long double b = i % 3 == 0 ? std::nextafter(a, static_cast<long double>(INFINITY))
                                   : std::ldexp(static_cast<long double>(rng() % 1000) - 500,
                                                static_cast<int>(rng() % 40000) - 20000);
        if (i % 7 == 0) b = -b;
        const int expected = a < b ? -1 : (a > b ? 1 : 0);
        ASSERT_EQ(compare(8, key(0x10, raw(a, 10)), key(0x10, raw(b, 10))), expected) << i;
    }
}

TEST(KeyCompare, ByteStringsAgreeWithAByteByByteComparisonAtEveryLength) {
    // Words of eight bytes, then a tail compared as the last eight: every length and every
    // position of the first difference, with later differences that must not count.
    std::mt19937 rng(7);
    for (int len = 1; len <= 40; ++len) {
        for (int at = 0; at <= len; ++at) {
            std::vector<std::uint8_t> a(static_cast<std::size_t>(len)), b;
            for (auto &x : a) x = static_cast<std::uint8_t>(rng());
            b = a;
            int expected = 0;
            if (at < len) {
                b[static_cast<std::size_t>(at)] ^= static_cast<std::uint8_t>(1 + rng() % 255);
                for (int i = at + 1; i < len; ++i)
                    b[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(rng());
                expected = a[static_cast<std::size_t>(at)] - b[static_cast<std::size_t>(at)];
            }
            SCOPED_TRACE(testing::Message() << "len " << len << " at " << at);
            EXPECT_EQ(firstdifference(a.data(), b.data(), len), expected);
            EXPECT_EQ(firstdifference(b.data(), a.data(), len), -expected);
        }
    }
}

TEST(KeyCompare, ShortTypedValuesNeverReachIntoTheRid) {
    // A type 2 key with one value byte: the missing bytes read as zero, not as the rid.
    EXPECT_EQ(compare(2, key(0x10, "\x05", 0xFFFFFFFF), key(0x10, raw<std::int32_t>(5), 0)), 0);
}

}  // namespace
}  // namespace vorn
