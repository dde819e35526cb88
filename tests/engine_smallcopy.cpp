// The short-run copy and comparison agree with memcpy and memcmp at every length and offset,
// and touch no byte outside the run.
#include <gtest/gtest.h>

#include <array>
#include <cstring>

#include "fsn/smallcopy.h"

namespace vorn {
namespace {

TEST(SmallCopy, CopiesExactlyTheRunAtEveryLength) {
    std::array<std::uint8_t, 64> from{};
    for (std::size_t i = 0; i < from.size(); ++i) from[i] = static_cast<std::uint8_t>(i * 7 + 1);
    for (std::size_t n = 0; n <= 40; ++n) {
        for (std::size_t at : {0u, 1u, 3u}) {
            std::array<std::uint8_t, 64> to, expected;
            to.fill(0xEE);
            expected.fill(0xEE);
            copysmall(to.data() + at, from.data() + 5, n);
            std::memcpy(expected.data() + at, from.data() + 5, n);
            EXPECT_EQ(to, expected) << "n " << n << " at " << at;
        }
    }
}

TEST(SmallCopy, ComparesAsMemcmpAtEveryLengthAndPlaceOfDifference) {
    std::array<std::uint8_t, 40> a{};
    for (std::size_t i = 0; i < a.size(); ++i) a[i] = static_cast<std::uint8_t>(i + 3);
    for (std::size_t n = 0; n <= 40; ++n) {
        auto b = a;
        EXPECT_TRUE(samesmall(a.data(), b.data(), n)) << "n " << n;
        for (std::size_t d = 0; d < a.size(); ++d) {
            b = a;
            b[d] ^= 0x40;
            EXPECT_EQ(samesmall(a.data(), b.data(), n), std::memcmp(a.data(), b.data(), n) == 0)
                << "n " << n << " difference at " << d;
        }
    }
}

}  // namespace
}  // namespace vorn
