// Model-based randomized test of the record operations: random adds, rewrites (growing and
// shrinking), deletes, reads and walks over several sub-files, checked against a plain map,
// with the integrity checker after every batch and after flushing and reopening.
#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "fsn/check.h"
#include "fsn/placement.h"
#include "fsn/records.h"
#include "support/enginefile.h"
#include "vorn/compress.h"

namespace vorn {
namespace {

using test::MemDatabase;

struct ModelCase {
    std::uint32_t seed;
    std::int16_t xblkfreq;
    Flavor flavor;
    int ops;
};

class ModelRun {
  public:
    explicit ModelRun(const ModelCase &run)
        : run_(run), rng_(run.seed), db_(run.flavor, run.xblkfreq) {}

    void go() {
        for (int op = 0; op < run_.ops; ++op) {
            step();
            if (::testing::Test::HasFatalFailure()) return;
            if (op % 250 == 249) {
                check("batch");
                if (rng_() % 3 == 0) reopen();
            }
        }
        ASSERT_EQ(db_.flush(), 1);
        reopen();
        EXPECT_EQ(integritycheck(db_.fs->fscb, static_cast<std::int64_t>(db_.data->bytes.size())),
                  0);
        verifyall();
        check("after reopen");
        std::printf("seed %u: %zu records, %zu deleted, last block %lu, chain repairs %u\n",
                    run_.seed, model_.size(), gone_.size(),
                    static_cast<unsigned long>(db_.fs->fscb.lb), db_.fs->fscb.cefixes);
    }

  private:
    // A record of n bytes: sometimes runs of one byte, sometimes noise, sometimes text.
    std::string makerecord(int n) {
        std::string s(static_cast<std::size_t>(n), ' ');
        const unsigned style = rng_() % 3;
        for (int i = 0; i < n; ++i) {
            if (style == 0) s[i] = static_cast<char>('a' + (i / 37) % 5);
            if (style == 1) s[i] = static_cast<char>(rng_());
            if (style == 2) s[i] = static_cast<char>(rng_() % 4 == 0 ? ' ' : 'a' + rng_() % 26);
        }
        return s;
    }

    int randomsize() {
        switch (rng_() % 4) {
            case 0:
                return static_cast<int>(rng_() % 16);
            case 1:
                return static_cast<int>(rng_() % 200);
            case 2:
                return static_cast<int>(rng_() % 600);
            default:
                return static_cast<int>(rng_() % 1008);
        }
    }

    std::uint8_t randomfid() { return static_cast<std::uint8_t>((1 + rng_() % 4) << 4); }

    std::uint32_t randomrid() {
        auto it = model_.upper_bound(static_cast<std::uint32_t>(rng_()));
        if (it == model_.end()) it = model_.begin();
        return it->first;
    }

    std::uint32_t predictedindex() const { return released_.empty() ? fresh_ : released_.back(); }

    void step() {
        const unsigned what = rng_() % 100;
        if (model_.empty() || what < 35) return doadd();
        if (what < 55) return dorewrite();
        if (what < 70) return dodelete();
        if (what < 93) return doread();
        if (what < 96) return doreadgone();
        return dowalk();
    }

    void doadd() {
        const std::string rec = makerecord(randomsize());
        const std::uint8_t fid = randomfid();
        std::uint8_t work[1024];
        const int n =
            compress(work, sizeof work, rec.data(), static_cast<std::int16_t>(rec.size()));
        ASSERT_GT(n, 0);
        Fault fault;
        const std::uint32_t rid =
            addrecord(db_.fs.get(), work, static_cast<std::int16_t>(n), fid, &fault);
        ASSERT_NE(rid, 0u) << fault.text;
        ASSERT_EQ(rid, (static_cast<std::uint32_t>(fid) << 24) | predictedindex());
        if (released_.empty()) {
            ++fresh_;
        } else {
            released_.pop_back();
        }
        model_[rid] = rec;
    }

    void dorewrite() {
        const std::uint32_t rid = randomrid();
        const std::string rec = makerecord(randomsize());
        std::uint8_t work[1024];
        const int n =
            compress(work, sizeof work, rec.data(), static_cast<std::int16_t>(rec.size()));
        Fault fault;
        ASSERT_EQ(rewriterecord(db_.fs.get(), rid, work, static_cast<std::int16_t>(n), &fault), 1)
            << fault.text;
        model_[rid] = rec;
    }

    void dodelete() {
        const std::uint32_t rid = randomrid();
        Fault fault;
        ASSERT_EQ(deleterecord(db_.fs.get(), rid, &fault), 1) << fault.text;
        model_.erase(rid);
        released_.push_back(xindexof(rid));
        gone_.push_back(rid);
    }

    void expectrecord(std::uint32_t rid, const std::string &rec) {
        std::uint8_t stored[kMaxStoredRecord];
        Fault fault;
        const int n = readrecord(db_.fs.get(), rid, stored, &fault);
        ASSERT_GT(n, 0) << std::hex << rid << " " << fault.text;
        char out[1024];
        const int m = uncompress(out, sizeof out, stored, static_cast<std::int16_t>(n));
        ASSERT_EQ(std::string(out, static_cast<std::size_t>(std::max(m, 0))), rec)
            << std::hex << rid;
    }

    void doread() {
        const std::uint32_t rid = randomrid();
        expectrecord(rid, model_[rid]);
    }

    void doreadgone() {
        if (gone_.empty()) return;
        const std::uint32_t rid = gone_[rng_() % gone_.size()];
        if (model_.count(rid) != 0) return;  // reused since
        std::uint8_t stored[kMaxStoredRecord];
        Fault fault;
        ASSERT_EQ(readrecord(db_.fs.get(), rid, stored, &fault), 0) << std::hex << rid;
    }

    void dowalk() {
        const std::uint8_t fid = randomfid();
        std::vector<std::uint32_t> expected;
        for (const auto &[rid, rec] : model_) {
            if ((rid >> 24) == fid) expected.push_back(rid);
        }
        std::vector<std::uint32_t> forward, backward;
        for (std::uint32_t r = firstrecord(db_.fs.get(), fid); r != 0;
             r = nextrid(db_.fs.get(), r)) {
            forward.push_back(r);
            ASSERT_LE(forward.size(), expected.size());
        }
        for (std::uint32_t r = lastrecord(db_.fs.get(), fid); r != 0;
             r = prevrid(db_.fs.get(), r)) {
            backward.insert(backward.begin(), r);
            ASSERT_LE(backward.size(), expected.size());
        }
        ASSERT_EQ(forward, expected);
        ASSERT_EQ(backward, expected);
    }

    void verifyall() {
        for (const auto &[rid, rec] : model_) {
            expectrecord(rid, rec);
            if (::testing::Test::HasFatalFailure()) return;
        }
    }

    void check(const char *when) {
        const auto findings = checkfile(db_.fs.get());
        ASSERT_FALSE(hasfaults(findings)) << when << "\n" << describe(findings);
    }

    void reopen() {
        ASSERT_EQ(db_.flush(), 1);
        ASSERT_TRUE(db_.reopen(run_.flavor));
        check("reopened");
    }

    ModelCase run_;
    std::mt19937 rng_;
    MemDatabase db_;
    std::map<std::uint32_t, std::string> model_;
    std::vector<std::uint32_t> released_;  // xlate indexes, most recently released last
    std::vector<std::uint32_t> gone_;      // deleted rids
    std::uint32_t fresh_ = 0;              // lowest xlate index never handed out
};

TEST(Model, RandomOperationsAgreeWithAMap) {
    const ModelCase runs[] = {
        {1, 20, Flavor::Library, 8000},
        {2, 20, Flavor::Server, 8000},
        {3, 3, Flavor::Library, 6000},
        {4, 2, Flavor::Server, 6000},
    };
    for (const ModelCase &run : runs) {
        SCOPED_TRACE("seed " + std::to_string(run.seed) + ", xblkfreq " +
                     std::to_string(run.xblkfreq));
        ModelRun(run).go();
        if (HasFatalFailure()) return;
    }
}

}  // namespace
}  // namespace vorn
