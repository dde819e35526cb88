// Model-based randomized test of the key index: random adds and deletes on several indexes of
// one tree (one key type per run, with and without duplicates, and a type 0 index of long and
// short values that makes the tree deep), checked after every batch against an ordered model
// kept with its own comparison, by the tree checker, by full walks in both directions and by
// random probes; and walks by the position hints against searches from the root.
#include <cfloat>
#include <cmath>
#include <limits>
#include <random>
#include <set>
#include <vector>

#include "engine_keyfixture.h"

namespace vorn {
namespace {

using test::Found;
using test::KeyDb;

struct ModelKey {
    std::uint8_t fid;
    std::string value;
    std::uint32_t rid;
};

template <typename T>
T as(const std::string &v) {
    T x{};
    std::memcpy(&x, v.data(), std::min(sizeof x, v.size()));
    return x;
}

template <typename T>
int order(T a, T b) {
    return a < b ? -1 : (b < a ? 1 : 0);
}

// The reference order of two values of one type, from the host's own arithmetic.
int referencecompare(int type, const std::string &a, const std::string &b) {
    switch (type) {
        case 1:
            return order(as<std::int16_t>(a), as<std::int16_t>(b));
        case 2:
            return order(as<std::int32_t>(a), as<std::int32_t>(b));
        case 4:
            return order(as<std::uint16_t>(a), as<std::uint16_t>(b));
        case 5:
            return order(as<std::uint32_t>(a), as<std::uint32_t>(b));
        case 6:
            return order(as<float>(a), as<float>(b));
        case 7:
            return order(as<double>(a), as<double>(b));
        case 8:
            return order(as<long double>(a + std::string(6, '\0')),
                         as<long double>(b + std::string(6, '\0')));
        default:
            return order(std::basic_string_view<unsigned char>(
                             reinterpret_cast<const unsigned char *>(a.data()), a.size()),
                         std::basic_string_view<unsigned char>(
                             reinterpret_cast<const unsigned char *>(b.data()), b.size()));
    }
}

struct Index {
    std::uint8_t fid;
    int type;
    bool dup;
    bool longvalues;
};

struct ModelLess {
    const std::vector<Index> *indexes;
    const Index &of(std::uint8_t fid) const {
        for (const auto &i : *indexes) {
            if (i.fid == fid) return i;
        }
        return indexes->front();
    }
    bool operator()(const ModelKey &a, const ModelKey &b) const {
        if (a.fid != b.fid) return a.fid < b.fid;
        const Index &ix = of(a.fid);
        const int c = referencecompare(ix.type, a.value, b.value);
        if (c != 0) return c < 0;
        return ix.dup && a.rid < b.rid;
    }
};

class Model {
  public:
    explicit Model(int type, bool dup)
        : indexes_{{0x13, type, dup, false}, {0x14, type, !dup, false}, {0x25, 0, dup, true}},
          keys_(ModelLess{&indexes_}) {}

    const std::vector<Index> &indexes() const { return indexes_; }
    std::set<ModelKey, ModelLess> &keys() { return keys_; }

    std::vector<Found> of(std::uint8_t fid) const {
        std::vector<Found> out;
        for (const auto &k : keys_) {
            if (k.fid == fid) out.push_back({k.rid, k.value});
        }
        return out;
    }
    // The leftmost key of an equal value, and the greatest key of a smaller value.
    Found find(const Index &ix, const std::string &v) const {
        for (const auto &k : keys_) {
            if (k.fid == ix.fid && referencecompare(ix.type, k.value, v) == 0)
                return {k.rid, k.value};
        }
        return {};
    }
    Found last(const Index &ix, const std::string &v) const {
        Found f;
        for (const auto &k : keys_) {
            if (k.fid == ix.fid && referencecompare(ix.type, k.value, v) < 0) f = {k.rid, k.value};
        }
        return f;
    }

  private:
    std::vector<Index> indexes_;
    std::set<ModelKey, ModelLess> keys_;
};

template <typename T>
std::string bytesof(T x, std::size_t n = sizeof(T)) {
    std::string s(n, '\0');
    std::memcpy(s.data(), &x, n);
    return s;
}

class Generator {
  public:
    explicit Generator(unsigned seed) : rng_(seed) {}
    int below(int n) { return static_cast<int>(rng_() % static_cast<unsigned>(n)); }

    std::string value(const Index &ix) {
        const int pick = below(300) - 150;  // a small domain, so that equal values occur
        switch (ix.type) {
            case 1:
                return bytesof<std::int16_t>(static_cast<std::int16_t>(pick * 200));
            case 2:
                return bytesof<std::int32_t>(pick * 1000003);
            case 4:
                return bytesof<std::uint16_t>(static_cast<std::uint16_t>(pick * 211));
            case 5:
                return bytesof<std::uint32_t>(static_cast<std::uint32_t>(pick) * 14000011u);
            case 6:
                return bytesof<float>(static_cast<float>(pick) / 8.0f);
            case 7:
                return bytesof<double>(pick / 3.0);
            case 8: {
                long double x = pick / 7.0L;
                if (below(3) == 0) x = std::nextafter(x, static_cast<long double>(INFINITY));
                return bytesof<long double>(x, 10);
            }
            default:
                break;
        }
        const int len = ix.longvalues && below(4) != 0 ? 150 + below(46) : 1 + below(6);
        std::string v(static_cast<std::size_t>(len), 'a');
        for (auto &c : v) c = static_cast<char>('a' + below(3));
        return v;
    }
    // A value above every value the generator makes.
    static std::string above(const Index &ix) {
        switch (ix.type) {
            case 1:
                return bytesof<std::int16_t>(INT16_MAX);
            case 2:
                return bytesof<std::int32_t>(INT32_MAX);
            case 4:
                return bytesof<std::uint16_t>(UINT16_MAX);
            case 5:
                return bytesof<std::uint32_t>(UINT32_MAX);
            case 6:
                return bytesof<float>(INFINITY);
            case 7:
                return bytesof<double>(INFINITY);
            case 8:
                return bytesof<long double>(static_cast<long double>(INFINITY), 10);
            default:
                return std::string(kMaxKeyValue, '\xFF');
        }
    }

  private:
    std::mt19937 rng_;
};

class KeyModelTest : public ::testing::TestWithParam<std::tuple<int, bool>> {
  protected:
    void SetUp() override {
        if (std::get<0>(GetParam()) == 8 && LDBL_MANT_DIG != 64) {
            GTEST_SKIP() << "the reference order of type 8 needs a host with x87 long double";
        }
    }

    void verify(KeyDb &db, Model &model, Generator &gen) {
        ASSERT_EQ(db.treefaults(), "");
        for (const auto &ix : model.indexes()) {
            const auto expected = model.of(ix.fid);
            ASSERT_EQ(db.forward(ix.fid), expected) << "fid " << int(ix.fid);
            ASSERT_EQ(db.backward(ix.fid, Generator::above(ix)), expected) << "fid " << int(ix.fid);
            for (int probe = 0; probe < 10; ++probe) {
                const std::string v = gen.value(ix);
                ASSERT_EQ(db.find(ix.fid, v), model.find(ix, v));
                ASSERT_EQ(db.last(ix.fid, v), model.last(ix, v));
            }
        }
    }

    void step(KeyDb &db, Model &model, Generator &gen, bool adding) {
        // Half of the operations go to the index of long values, which makes the tree deep.
        const Index &ix = model.indexes()[static_cast<std::size_t>(std::min(gen.below(4), 2))];
        auto &keys = model.keys();
        if (adding || keys.empty() || gen.below(10) == 0) {
            ModelKey k{ix.fid, gen.value(ix), static_cast<std::uint32_t>(1 + gen.below(1000000))};
            const bool fresh = keys.find(k) == keys.end();
            ASSERT_EQ(db.add(k.fid, k.value, k.rid), fresh ? 1 : 0);
            if (fresh) keys.insert(k);
            return;
        }
        auto it = keys.begin();
        std::advance(it, gen.below(static_cast<int>(keys.size())));
        ASSERT_EQ(db.del(it->fid, it->value, it->rid), 1);
        keys.erase(it);
        ModelKey absent{ix.fid, gen.value(ix), 1000001};
        if (keys.find(absent) == keys.end()) {
            ASSERT_EQ(db.del(absent.fid, absent.value, absent.rid), 0);
        }
    }
};

TEST_P(KeyModelTest, RandomAddsAndDeletesMatchTheModel) {
    const auto [type, dup] = GetParam();
    KeyDb db;
    Model model(type, dup);
    for (const auto &ix : model.indexes()) db.define(ix.fid, ix.type, ix.dup);
    Generator gen(static_cast<unsigned>(type * 2 + dup + 1));
    int deepest = 0;
    for (int batch = 0; batch < 10; ++batch) {
        for (int i = 0; i < 250; ++i) {
            ASSERT_NO_FATAL_FAILURE(step(db, model, gen, gen.below(100) < 70));
        }
        deepest = std::max(deepest, db.rootlevel());
        ASSERT_NO_FATAL_FAILURE(verify(db, model, gen)) << "batch " << batch;
    }
    EXPECT_GE(deepest, 3) << "the tree reached four levels";
    // Down to empty, then build again from the freed blocks.
    for (int i = 0; !model.keys().empty(); ++i) {
        ASSERT_NO_FATAL_FAILURE(step(db, model, gen, false));
        if (i % 300 == 0) {
            ASSERT_NO_FATAL_FAILURE(verify(db, model, gen));
        }
    }
    EXPECT_EQ(+db.fs->fscb.rootkb, 0u);
    const std::uint32_t lb = db.fs->fscb.lb;
    for (int i = 0; i < 400; ++i) ASSERT_NO_FATAL_FAILURE(step(db, model, gen, true));
    ASSERT_NO_FATAL_FAILURE(verify(db, model, gen));
    EXPECT_EQ(+db.fs->fscb.lb, lb) << "the tree is rebuilt from freed blocks";
    EXPECT_TRUE(db.reporter.failures.size() == 0 || db.reporter.has(1145));
}

INSTANTIATE_TEST_SUITE_P(AllTypes, KeyModelTest,
                         ::testing::Combine(::testing::Range(0, 9), ::testing::Bool()));

// Walks that step with the position hints give, at every step, the answer of a search from
// the root, while keys come and go between the steps: two databases take the same changes,
// and one of them forgets its hints before every lookup. The two files end byte for byte
// equal, since a hinted step reads the same blocks in the same order as a search.
class HintedWalkTest : public ::testing::TestWithParam<std::tuple<int, bool, Flavor>> {
  protected:
    struct Walk {
        const Index *ix;
        bool forward;
        Found at;
        int left = 0;  // steps to go; 0: start a new walk
    };

    // The same lookup on both databases; the reference first forgets its hints.
    template <typename Lookup>
    Found both(Lookup lookup) {
        const Found hinted = lookup(a_);
        ++b_.fs->changes;
        const Found fromroot = lookup(b_);
        EXPECT_EQ(hinted, fromroot);
        return hinted;
    }

    void change(Model &model, Generator &gen) {
        const Index &ix = model.indexes()[static_cast<std::size_t>(gen.below(3))];
        auto &keys = model.keys();
        if (keys.empty() || gen.below(2) == 0) {
            ModelKey k{ix.fid, gen.value(ix), static_cast<std::uint32_t>(1 + gen.below(1000000))};
            const std::int16_t added = a_.add(k.fid, k.value, k.rid);
            ASSERT_EQ(b_.add(k.fid, k.value, k.rid), added);
            if (added == 1) keys.insert(k);
            return;
        }
        auto it = keys.begin();
        std::advance(it, gen.below(static_cast<int>(keys.size())));
        ASSERT_EQ(a_.del(it->fid, it->value, it->rid), 1);
        ASSERT_EQ(b_.del(it->fid, it->value, it->rid), 1);
        keys.erase(it);
    }

    void step(Walk &w, Generator &gen) {
        const std::uint8_t fid = w.ix->fid;
        if (w.left == 0 || w.at.rid == 0) {
            w.left = 1 + gen.below(300);
            w.forward = gen.below(2) == 0;
            const std::string v = gen.value(*w.ix);
            switch (gen.below(3)) {
                case 0:
                    w.at = both([&](KeyDb &db) { return db.first(fid); });
                    break;
                case 1:
                    w.at = both([&](KeyDb &db) { return db.find(fid, v); });
                    break;
                default:
                    w.at = both([&](KeyDb &db) { return db.last(fid, Generator::above(*w.ix)); });
                    break;
            }
            return;
        }
        --w.left;
        const Found from = w.at;
        const auto n = static_cast<std::int16_t>(from.value.size());
        if (findhint(a_.e(), static_cast<std::int16_t>(n + 1),
                     bldkey(fid, from.rid, n, from.value.data())) != nullptr) {
            ++hinted_;
        }
        ++steps_;
        w.at = both([&](KeyDb &db) { return w.forward ? db.next(fid, from) : db.prev(fid, from); });
    }

    KeyDb a_{std::get<2>(GetParam())}, b_{std::get<2>(GetParam())};
    int steps_ = 0, hinted_ = 0;  // walk steps, and those a hint could serve
};

TEST_P(HintedWalkTest, StepsAnswerAsSearchesFromTheRoot) {
    const auto [type, dup, flavor] = GetParam();
    if (type == 8 && LDBL_MANT_DIG != 64) GTEST_SKIP() << "type 8 needs x87 long double";
    Model model(type, dup);
    for (const auto &ix : model.indexes()) {
        a_.define(ix.fid, ix.type, ix.dup);
        b_.define(ix.fid, ix.type, ix.dup);
    }
    Generator gen(static_cast<unsigned>(100 + type * 2 + dup));
    for (int i = 0; i < 1500; ++i) ASSERT_NO_FATAL_FAILURE(change(model, gen));
    // Three walks at once, over the three indexes, in turns.
    std::vector<Walk> walks;
    for (const auto &ix : model.indexes()) walks.push_back({&ix, true, {}, 0});
    for (int i = 0; i < 6000; ++i) {
        ASSERT_NO_FATAL_FAILURE(step(walks[static_cast<std::size_t>(gen.below(3))], gen));
        if (gen.below(8) == 0) {
            ASSERT_NO_FATAL_FAILURE(change(model, gen));
        }
        if (HasFailure()) return;
    }
    EXPECT_GT(hinted_, steps_ / 2) << "of " << steps_ << " steps";
    EXPECT_EQ(a_.treefaults(), "");
    ASSERT_EQ(a_.flush(), 1);
    ASSERT_EQ(b_.flush(), 1);
    EXPECT_TRUE(a_.data->bytes == b_.data->bytes) << "the files differ";
}

INSTANTIATE_TEST_SUITE_P(SomeTypes, HintedWalkTest,
                         ::testing::Combine(::testing::Values(0, 2, 8), ::testing::Bool(),
                                            ::testing::Values(Flavor::Library, Flavor::Server)));

// Two read-only openers of a file that a writer keeps changing: one steps with its hints and
// remembered block checks, the other forgets both before every lookup. Whatever they see of
// the writer's changes, they see alike.
TEST(KeyReaders, AReaderOfAChangingFileAnswersAsWithoutShortcuts) {
    KeyDb writer;
    writer.define(0x13, 0, false);
    Generator gen(77);
    const Index ix{0x13, 0, false, true};
    std::vector<std::pair<std::string, std::uint32_t>> stored;
    auto addsome = [&](int n) {
        for (int i = 0; i < n; ++i) {
            const std::string v = gen.value(ix) + std::to_string(i);
            const auto rid = static_cast<std::uint32_t>(1 + gen.below(1000000));
            if (writer.add(0x13, v, rid) == 1) stored.emplace_back(v, rid);
        }
    };
    addsome(1500);
    ASSERT_EQ(writer.flush(), 1);
    auto hinted =
        openengine(std::make_unique<test::MemFile>(writer.data), Flavor::Library, nullptr, true);
    auto plain =
        openengine(std::make_unique<test::MemFile>(writer.data), Flavor::Library, nullptr, true);
    ASSERT_NE(hinted, nullptr);
    ASSERT_NE(plain, nullptr);
    auto both = [&](auto lookup) {
        const Found a = lookup(hinted.get());
        ++plain->changes;
        plain->checked.reset();
        const Found b = lookup(plain.get());
        EXPECT_EQ(a, b);
        return a;
    };
    auto step = [](FSDATA *fs, const Found &at) {
        const auto n = static_cast<std::int16_t>(at.value.size());
        char out[kMaxKeyValue + 1];
        std::int16_t len = 0;
        Found f;
        f.rid = nextkey(fs, static_cast<std::int16_t>(n + 1),
                        bldkey(0x13, at.rid, n, at.value.data()), out, &len);
        if (f.rid != 0) f.value.assign(out, static_cast<std::size_t>(len));
        return f;
    };
    for (int round = 0; round < 6; ++round) {
        Found at = both([](FSDATA *fs) {
            char out[kMaxKeyValue + 1];
            std::int16_t len = 0;
            Found f;
            f.rid = firstkey(fs, 0x13, out, &len);
            if (f.rid != 0) f.value.assign(out, static_cast<std::size_t>(len));
            return f;
        });
        for (int i = 0; at.rid != 0 && i < 5000 && !::testing::Test::HasFailure(); ++i) {
            at = both([&](FSDATA *fs) { return step(fs, at); });
            for (int f = gen.below(2) * 20; f > 0 && !stored.empty(); --f) {
                // Searches elsewhere move blocks out of the buffers.
                const std::string v =
                    stored[static_cast<std::size_t>(gen.below(static_cast<int>(stored.size())))]
                        .first;
                both([&](FSDATA *fs) {
                    char out[kMaxKeyValue + 1];
                    std::int16_t len = 0;
                    Found f;
                    const auto n = static_cast<std::int16_t>(v.size());
                    f.rid = findkey(fs, static_cast<std::int16_t>(n + 1),
                                    bldkey(0x13, 0, n, v.data()), out, &len);
                    if (f.rid != 0) f.value.assign(out, static_cast<std::size_t>(len));
                    return f;
                });
            }
            if (i % 97 == 0) {
                // The writer changes the file between the steps.
                for (int k = 0; k < 20 && !stored.empty(); ++k) {
                    const auto j =
                        static_cast<std::size_t>(gen.below(static_cast<int>(stored.size())));
                    ASSERT_EQ(writer.del(0x13, stored[j].first, stored[j].second), 1);
                    stored.erase(stored.begin() + static_cast<std::ptrdiff_t>(j));
                }
                addsome(20);
                ASSERT_EQ(writer.flush(), 1);
            }
        }
        if (::testing::Test::HasFailure()) return;
    }
}

}  // namespace
}  // namespace vorn
