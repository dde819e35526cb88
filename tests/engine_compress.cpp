// Record compression: the exact stored forms of the encoder, round trips, the raw shape, the
// bounded work area and hostile stored forms.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "vorn/compress.h"

namespace vorn {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes stored(const Bytes &in) {
    Bytes out(in.size() + 200);
    const int n = compress(out.data(), out.size(), in.data(), static_cast<std::int16_t>(in.size()));
    EXPECT_GE(n, 1);
    out.resize(static_cast<std::size_t>(n));
    return out;
}

Bytes text(const std::string &s) {
    return Bytes(s.begin(), s.end());
}

Bytes concat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes &p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

TEST(Compress, StoredFormsOfTheEncoder) {
    const std::uint8_t x = 'x';
    Bytes distinct127(127), distinct128(128);
    for (int i = 0; i < 128; ++i) {
        if (i < 127) distinct127[i] = static_cast<std::uint8_t>(i + 1);
        distinct128[i] = static_cast<std::uint8_t>(i + 1);
    }
    struct Case {
        const char *name;
        Bytes in;
        Bytes out;
    } cases[] = {
        {"empty", {}, {0}},
        {"one byte", text("a"), {0, 'a'}},
        {"abc", text("abc"), {0, 'a', 'b', 'c'}},
        {"ten spaces", Bytes(10, ' '), {0xF8, ' ', 0x01, ' '}},
        {"four equal bytes stay raw", Bytes(4, x), {0, x, x, x, x}},
        {"129 equal", Bytes(129, x), {0x81, x, 0x01, x}},
        {"130 equal", Bytes(130, x), {0x80, x, 0x01, x}},
        {"200 equal", Bytes(200, x), {0x80, x, 0xBB, x, 0x01, x}},
        {"127 distinct stay raw", distinct127, concat({{0}, distinct127})},
        {"128 distinct stay raw", distinct128, concat({{0}, distinct128})},
        {"aab repeated stays raw", text("aabaabaabaab"), concat({{0}, text("aabaabaabaab")})},
        {"literal then run", text("abcdddddddd"), {0x03, 'a', 'b', 'c', 0xFA, 'd', 0x01, 'd'}},
    };
    for (const Case &c : cases) EXPECT_EQ(stored(c.in), c.out) << c.name;
}

TEST(Compress, RoundTripsRandomRecordsOfEveryShape) {
    std::mt19937 rng(20240611);
    Bytes out(1200), back(1200);
    for (int round = 0; round < 3000; ++round) {
        const int n = static_cast<int>(rng() % 1008);
        Bytes in(static_cast<std::size_t>(n));
        const unsigned alphabet = 1 + rng() % 6;  // small alphabets make runs
        for (auto &b : in) b = static_cast<std::uint8_t>(rng() % alphabet);
        const int m = compress(out.data(), out.size(), in.data(), static_cast<std::int16_t>(n));
        ASSERT_GE(m, 1);
        ASSERT_LE(m, n + 1) << "stored form at most one byte longer";
        const int k =
            uncompress(back.data(), back.size(), out.data(), static_cast<std::int16_t>(m));
        ASSERT_EQ(k, n) << "round " << round;
        ASSERT_TRUE(std::equal(in.begin(), in.end(), back.begin())) << "round " << round;
    }
}

// The encoder taken one byte at a time, as the stored form is defined: runs of 2..129 equal
// bytes (never onto the last byte), literals of 1..127 bytes that stop in front of an equal
// pair, the raw form once the packets would reach the record's length.
Bytes referenceencode(const Bytes &in) {
    const int n = static_cast<int>(in.size());
    Bytes out;
    bool raw = n == 0;
    for (int i = 0; i < n && !raw;) {
        int l = 1;
        const bool run = i < n - 1 && in[i] == in[i + 1];
        if (run) {
            for (l = 2; l < 129 && i + l < n - 1 && in[i + l] == in[i + l - 1];) ++l;
        } else {
            while (l < 127 && i + l < n && !(i + l < n - 1 && in[i + l] == in[i + l + 1])) ++l;
        }
        raw = static_cast<int>(out.size()) + (run ? 2 : l + 1) >= n;
        out.push_back(static_cast<std::uint8_t>(run ? 1 - l : l));
        out.insert(out.end(), in.begin() + i, in.begin() + i + (run ? 1 : l));
        i += l;
    }
    if (raw) {
        out.assign(1, 0);
        out.insert(out.end(), in.begin(), in.end());
    }
    return out;
}

TEST(Compress, EncodesAsTheBytewiseDefinition) {
    std::mt19937 rng(99);
    Bytes out(2200);
    for (int round = 0; round < 4000; ++round) {
        // Now and then a record longer than a block, whose pairs span many words of the map.
        const int n = static_cast<int>(rng() % (round % 8 == 7 ? 2100 : 300));
        Bytes in(static_cast<std::size_t>(n));
        // Wide alphabets make long literals, with an equal pair now and then; a byte repeated
        // now and then makes short runs among them, as in text.
        const unsigned alphabet = 1 + rng() % (round % 2 == 0 ? 6 : 256);
        const bool repeats = round % 4 == 1;
        for (std::size_t i = 0; i < in.size(); ++i) {
            in[i] = repeats && i > 0 && rng() % 5 == 0
                        ? in[i - 1]
                        : static_cast<std::uint8_t>(rng() % alphabet);
        }
        const int m = compress(out.data(), out.size(), in.data(), static_cast<std::int16_t>(n));
        ASSERT_GE(m, 1);
        const Bytes expected = referenceencode(in);
        ASSERT_EQ(Bytes(out.begin(), out.begin() + m), expected) << "round " << round;
    }
}

TEST(Compress, NeverWritesPastItsWorkArea) {
    // A repeating "two equal, one other" pattern costs 4 bytes per 3 while packets are made.
    Bytes in;
    for (int i = 0; i < 335; ++i) in.insert(in.end(), {7, 7, static_cast<std::uint8_t>(i)});
    for (std::size_t room : {std::size_t{0}, std::size_t{10}, in.size(), in.size() + 1}) {
        Bytes out(room + 64, 0xEE);
        const int m = compress(out.data(), room, in.data(), static_cast<std::int16_t>(in.size()));
        if (room < in.size() + 1) {
            EXPECT_EQ(m, -1) << room;
        } else {
            EXPECT_EQ(m, static_cast<int>(in.size()) + 1) << room;
        }
        for (std::size_t i = room; i < out.size(); ++i) ASSERT_EQ(out[i], 0xEE) << room;
    }
    // A compressible record fits a work area smaller than the record itself: 1000 zeros are
    // seven runs of 129, a run of 96 and a literal of 1 (18 bytes).
    Bytes zeros(1000, 0);
    Bytes small(24, 0xEE);
    EXPECT_EQ(compress(small.data(), 17, zeros.data(), 1000), -1);
    EXPECT_EQ(compress(small.data(), 18, zeros.data(), 1000), 18);
    for (std::size_t i = 18; i < small.size(); ++i) EXPECT_EQ(small[i], 0xEE);
}

TEST(Compress, HostileStoredFormsFailCleanly) {
    Bytes out(300, 0);
    const struct {
        const char *name;
        Bytes in;
        std::size_t room;
    } cases[] = {
        {"literal past the end", {0x05, 'a', 'b'}, 300},
        {"run without its byte", {0x01, 'a', 0xF0}, 300},
        {"expands beyond the room", {0x80, 'a', 0x80, 'a', 0x80, 'a'}, 300},
        {"raw beyond the room", Bytes(302, 0), 300},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(
            uncompress(out.data(), c.room, c.in.data(), static_cast<std::int16_t>(c.in.size())), -1)
            << c.name;
    }
    EXPECT_EQ(uncompress(out.data(), out.size(), out.data(), 0), -1) << "empty stored form";
    const Bytes zeroinside = {0x01, 'a', 0x00, 0x01, 'b'};  // a 0 control byte copies nothing
    EXPECT_EQ(uncompress(out.data(), out.size(), zeroinside.data(), 5), 2);
}

}  // namespace
}  // namespace vorn
