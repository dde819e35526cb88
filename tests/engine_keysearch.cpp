// The in-block search of key blocks: for leaf and inner blocks of random sorted entries of
// every length (many sharing their first eight bytes, many shorter than eight), each rule
// and duplicate flag, locatekey finds the first entry not less than the key, with the sign
// of the comparison with that entry as its result, exactly as a search stepping through.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "fsn/keytree.h"

namespace vorn {
namespace {

int sign(int x) {
    return (x > 0) - (x < 0);
}

struct Entry {
    std::string key;  // fid byte and value
    std::uint32_t rid;
};

// Keys of 2..20 bytes over a small alphabet after a common fid: equal words are common. (A
// fid byte alone is the prefix search, equal to every key of its index.)
std::string randomkey(std::mt19937 &rng) {
    std::string k(1, '\x13');
    const int n = 1 + static_cast<int>(rng() % 19);
    for (int i = 0; i < n; ++i) k += static_cast<char>('a' + rng() % 3);
    return k;
}

int compareentries(const Entry &a, const Entry &b, FUNC cmp, std::int16_t dupkeys) {
    std::uint8_t x[kKeyBuffer], y[kKeyBuffer];
    std::memcpy(x, a.key.data(), a.key.size());
    std::memcpy(x + a.key.size(), &a.rid, 4);
    std::memcpy(y, b.key.data(), b.key.size());
    std::memcpy(y + b.key.size(), &b.rid, 4);
    const auto alen = static_cast<std::int16_t>(a.key.size()),
               blen = static_cast<std::int16_t>(b.key.size());
    return cmp(x, y, std::min(alen, blen), dupkeys, alen, blen);
}

// A key block of the entries (sorted by the rule and distinct), at level.
KB makeblock(std::vector<Entry> entries, int level, FUNC cmp, std::int16_t dupkeys) {
    auto less = [&](const Entry &a, const Entry &b) {
        return compareentries(a, b, cmp, dupkeys) < 0;
    };
    std::sort(entries.begin(), entries.end(), less);
    entries.erase(std::unique(entries.begin(), entries.end(),
                              [&](const Entry &a, const Entry &b) {
                                  return compareentries(a, b, cmp, dupkeys) == 0;
                              }),
                  entries.end());
    KB kb{};
    kb.type = 1;
    kb.level = static_cast<std::int8_t>(level);
    int off = 0;
    for (const Entry &e : entries) {
        const auto n = static_cast<std::int16_t>(e.key.size());
        if (off + entrysize(level, n) > kKbRoom) break;
        std::memcpy(kb.buff + off, &n, 2);
        if (level > 0) std::memcpy(kb.buff + off + 2, &e.rid, 4);  // a child number
        std::memcpy(kb.buff + off + keyoffsetof(level), e.key.data(), e.key.size());
        std::memcpy(kb.buff + off + keyoffsetof(level) + n, &e.rid, 4);
        off += entrysize(level, n);
        ++kb.numkeys;
    }
    kb.len = static_cast<std::int16_t>(kKbHeader + off);
    return kb;
}

TEST(KeySearch, LocatekeyFindsTheFirstEntryNotLessAsAStepwiseSearch) {
    std::mt19937 rng(11);
    for (int round = 0; round < 400; ++round) {
        const int level = static_cast<int>(rng() % 2);
        const FUNC cmp = round % 4 == 3 ? funcs[3] : funcs[0];
        const auto dupkeys = static_cast<std::int16_t>(rng() % 2);
        std::vector<Entry> entries(rng() % 60);
        for (Entry &e : entries) e = {randomkey(rng), static_cast<std::uint32_t>(rng() % 4)};
        KB kb = makeblock(entries, level, cmp, dupkeys);
        FSBUFF b{};
        b.kbuff = kb;
        ASSERT_TRUE(validkb(b.kbuff, b.koffs, &b.kcount));
        b.kbchecked = 1;
        for (int probe = 0; probe < 40; ++probe) {
            const std::string key = randomkey(rng);
            std::uint8_t built[kKeyBuffer];
            const std::uint32_t rid = rng() % 4;
            std::memcpy(built, key.data(), key.size());
            std::memcpy(built + key.size(), &rid, 4);
            const auto len = static_cast<std::int16_t>(key.size());
            // The reference: step through the entries.
            int want = usedof(kb);
            std::int16_t wantresult = -1;
            for (int off = 0; off < usedof(kb); off += entrysize(level, entrylen(kb, off))) {
                const int n = entrylen(kb, off);
                wantresult =
                    cmp(built, entrykey(kb, off), static_cast<std::int16_t>(std::min<int>(len, n)),
                        dupkeys, len, static_cast<std::int16_t>(n));
                if (wantresult <= 0) {
                    want = off;
                    break;
                }
            }
            SCOPED_TRACE(testing::Message() << "round " << round << " key " << key);
            std::int16_t result = 99;
            EXPECT_EQ(locatekey(kb, len, built, dupkeys, &result, cmp), want);
            EXPECT_EQ(sign(result), sign(wantresult));
            result = 99;
            EXPECT_EQ(locatekey(&b, len, built, dupkeys, &result, cmp), want);
            EXPECT_EQ(sign(result), sign(wantresult));
        }
    }
}

}  // namespace
}  // namespace vorn
