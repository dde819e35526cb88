// The rollback journal: its format and damage detection, the journaled file leaving exactly
// the bytes that writing straight to the file leaves, a crash at every write of an operation
// leaving the file as before or after it, and recovery at open.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "fsn/blocks.h"
#include "fsn/check.h"
#include "fsn/journal.h"
#include "fsn/journalfile.h"
#include "fsn/keysearch.h"
#include "fsn/keyupdate.h"
#include "fsn/records.h"
#include "support/enginefile.h"

namespace vorn {
namespace {

using Bytes = std::vector<std::uint8_t>;

JournalContent sample() {
    JournalContent c;
    c.oldlength = 5 * kBlockSize + 100;  // a partial trailing block
    c.blocks = {0, 5};
    c.images.resize(2 * kBlockSize);
    for (std::size_t i = 0; i < c.images.size(); ++i)
        c.images[i] = static_cast<std::uint8_t>(i * 7);
    return c;
}

std::unique_ptr<test::MemFile> memfile(const Bytes &bytes) {
    auto data = std::make_shared<test::MemFileData>();
    data->bytes = bytes;
    return std::make_unique<test::MemFile>(data);
}

TEST(JournalFormat, ReadsBackWhatWasEncoded) {
    Bytes encoded;
    encodejournal(sample(), &encoded);
    ASSERT_EQ(encoded.size(), kJournalHeader + 2 * kJournalEntry);
    auto file = memfile(encoded);
    JournalContent back;
    ASSERT_EQ(readjournal(*file, &back), JournalState::Valid);
    EXPECT_EQ(back.oldlength, sample().oldlength);
    EXPECT_EQ(back.blocks, sample().blocks);
    EXPECT_EQ(back.images, sample().images);
}

TEST(JournalFormat, EmptyAndDamagedJournalsAreNotRolledBack) {
    Bytes good;
    encodejournal(sample(), &good);
    struct Case {
        const char *what;
        std::size_t flip;    // byte to change; npos for none
        std::size_t cut;     // keep only this many bytes; npos for all
        JournalState state;  // what reading it must say
    };
    constexpr auto kAll = std::string::npos;
    const Case cases[] = {
        {"no bytes", kAll, 0, JournalState::Empty},
        {"shorter than a header", kAll, 20, JournalState::Empty},
        {"magic", 3, kAll, JournalState::Damaged},
        {"count", 8, kAll, JournalState::Damaged},
        {"old length", 17, kAll, JournalState::Damaged},
        {"checksum", 25, kAll, JournalState::Damaged},
        {"block number", kJournalHeader, kAll, JournalState::Damaged},
        {"first image byte", kJournalHeader + 4, kAll, JournalState::Damaged},
        {"last image byte", good.size() - 1, kAll, JournalState::Damaged},
        {"cut in the first entry", kAll, kJournalHeader + 10, JournalState::Damaged},
        {"cut in the last entry", kAll, good.size() - 1, JournalState::Damaged},
    };
    for (const Case &c : cases) {
        Bytes bytes = good;
        if (c.flip != kAll) bytes[c.flip] ^= 0x40;
        if (c.cut != kAll) bytes.resize(c.cut);
        auto file = memfile(bytes);
        JournalContent content;
        EXPECT_EQ(readjournal(*file, &content), c.state) << c.what;
    }
    // An emptied journal keeps its length but reads as empty.
    auto file = memfile(good);
    ASSERT_TRUE(emptyjournal(*file));
    JournalContent content;
    EXPECT_EQ(readjournal(*file, &content), JournalState::Empty);
    // An image of a block at or past the old length is not one a journal holds.
    JournalContent past = sample();
    past.blocks[1] = 6;
    Bytes encoded;
    encodejournal(past, &encoded);
    auto pastfile = memfile(encoded);
    EXPECT_EQ(readjournal(*pastfile, &content), JournalState::Damaged);
}

TEST(JournalFormat, LongNamesGetAJournalNameThatFitsADirectoryEntry) {
    EXPECT_EQ(journalpath("dir/a.db"), "dir/a.db-journal");
    const std::string longname(250, 'n');
    const std::string j = journalpath(("dir/" + longname).c_str());
    EXPECT_EQ(j.size() - 4, 255u);
    EXPECT_EQ(j.substr(0, 4), "dir/");
    EXPECT_NE(j, journalpath(("dir/" + std::string(250, 'm')).c_str()));
}

// A file that dies after a budget of writes: the write that meets the end of the budget is
// cut short and every later write is lost, while the writer is told each one succeeded (it
// is dead and never learns otherwise).
struct Disk {
    long budget = -1;  // writes left; -1 unlimited
    bool crashed = false;
};

class CrashFile final : public platform::BlockFile {
  public:
    CrashFile(Bytes *bytes, Disk *disk) : bytes_(bytes), disk_(disk) {}
    long readat(void *buf, std::size_t n, std::uint64_t offset) override {
        if (offset >= bytes_->size()) return 0;
        const std::size_t got = std::min<std::size_t>(n, bytes_->size() - offset);
        std::memcpy(buf, bytes_->data() + offset, got);
        return static_cast<long>(got);
    }
    long writeat(const void *buf, std::size_t n, std::uint64_t offset) override {
        std::size_t keep = n;
        if (disk_->budget == 0) return static_cast<long>(n);
        if (disk_->budget > 0 && --disk_->budget == 0) {
            keep = n / 2;
            disk_->crashed = true;
        }
        if (bytes_->size() < offset + keep) bytes_->resize(offset + keep);
        std::memcpy(bytes_->data() + offset, buf, keep);
        return static_cast<long>(n);
    }
    std::int64_t length() override { return static_cast<std::int64_t>(bytes_->size()); }
    bool truncate(std::uint64_t length) override {
        if (disk_->budget == 0) return true;
        if (disk_->budget > 0 && --disk_->budget == 0) disk_->crashed = true;
        bytes_->resize(length);
        return true;
    }
    bool sync() override { return true; }

  private:
    Bytes *bytes_;
    Disk *disk_;
};

// One step of a workload: a record or a key, chosen by the step's number.
void operate(FSDATA *f, int step) {
    std::mt19937 rng(static_cast<std::uint32_t>(step));
    if (step % 3 == 0) {
        std::string rec(static_cast<std::size_t>(20 + rng() % 400), 'r');
        for (auto &c : rec) c = static_cast<char>('a' + rng() % 26);
        Fault fault;
        addrecord(f, rec.data(), static_cast<std::int16_t>(rec.size()), 0x10, &fault);
    } else {
        std::string key = "key" + std::to_string(rng() % 100000);
        key.append(rng() % 60, 'k');
        addkey(f, static_cast<std::int16_t>(key.size() + 1),
               bldkey(0x11, static_cast<std::uint32_t>(step + 1),
                      static_cast<std::int16_t>(key.size()), key.data()));
    }
    // The server's write-through.
    flushbuffs(f);
    flushfscb(f);
}

TEST(JournaledFile, LeavesExactlyTheBytesOfWritingStraightThrough) {
    const Bytes base = test::newdatabasebytes(5);
    auto plaindata = std::make_shared<test::MemFileData>();
    plaindata->bytes = base;
    auto journaldata = std::make_shared<test::MemFileData>();
    auto jdata = std::make_shared<test::MemFileData>();
    jdata->bytes = base;
    auto plain =
        test::openengine(std::make_unique<test::MemFile>(plaindata), Flavor::Server, nullptr);
    auto journaled =
        std::make_unique<JournaledFile>(std::make_unique<test::MemFile>(jdata),
                                        std::make_unique<test::MemFile>(journaldata), false);
    JournaledFile *jf = journaled.get();
    auto viajournal = test::openengine(std::move(journaled), Flavor::Server, nullptr);
    ASSERT_NE(plain, nullptr);
    ASSERT_NE(viajournal, nullptr);
    for (int step = 0; step < 600; ++step) {
        operate(plain.get(), step);
        ASSERT_EQ(jf->begin(), JournaledFile::Outcome::Done);
        operate(viajournal.get(), step);
        ASSERT_EQ(jf->commit(), JournaledFile::Outcome::Done);
        ASSERT_EQ(jdata->bytes, plaindata->bytes) << "step " << step;
        ASSERT_GE(journaldata->bytes.size(), kJournalHeader);
        for (std::size_t i = 0; i < kJournalHeader; ++i) ASSERT_EQ(journaldata->bytes[i], 0);
    }
    EXPECT_GT(plain->fscb.lb, 40u);  // the workload grew the file and split key blocks
}

// Random writes of any offset and size (within a block, across blocks, past the end with a
// hole) in operations committed alone or deferred into batches large and small, against a
// plain byte string: reads inside an operation see its writes, every commit leaves exactly
// the model's bytes and an emptied journal. Held images are reused from one operation to the
// next, so a stale byte of an earlier operation would show here.
TEST(JournaledFile, RandomWritesAndBatchesLeaveTheBytesOfAPlainFile) {
    std::mt19937 rng(99);
    auto data = std::make_shared<test::MemFileData>();
    data->bytes.resize(3 * kBlockSize + 300);
    for (auto &b : data->bytes) b = static_cast<std::uint8_t>(rng());
    Bytes model = data->bytes;
    auto jdata = std::make_shared<test::MemFileData>();
    JournaledFile f(std::make_unique<test::MemFile>(data), std::make_unique<test::MemFile>(jdata),
                    false);
    auto pick = [&](std::size_t below) { return static_cast<std::size_t>(rng() % below); };
    for (int round = 0; round < 300; ++round) {
        const int operations = round % 10 == 0 ? 8 : 1 + static_cast<int>(pick(3));
        for (int op = 0; op < operations; ++op) {
            ASSERT_EQ(f.begin(), JournaledFile::Outcome::Done);
            const int writes = 1 + static_cast<int>(pick(round % 10 == 0 ? 6 : 3));
            for (int w = 0; w < writes; ++w) {
                const bool whole = pick(3) == 0;
                const std::size_t at = whole ? pick(model.size() / kBlockSize + 3) * kBlockSize
                                             : pick(model.size() + 2 * kBlockSize);
                const std::size_t n = whole ? kBlockSize * (1 + pick(3)) : 1 + pick(2500);
                Bytes bytes(n);
                for (auto &b : bytes) b = static_cast<std::uint8_t>(rng());
                ASSERT_EQ(f.writeat(bytes.data(), n, at), static_cast<long>(n));
                if (model.size() < at + n) model.resize(at + n, 0);
                std::copy(bytes.begin(), bytes.end(), model.begin() + static_cast<long>(at));
                const std::size_t from = pick(model.size()), want = 1 + pick(3000);
                const std::size_t expect = std::min(want, model.size() - from);
                Bytes read(want);
                ASSERT_EQ(f.readat(read.data(), want, from), static_cast<long>(expect));
                ASSERT_TRUE(std::equal(read.begin(), read.begin() + static_cast<long>(expect),
                                       model.begin() + static_cast<long>(from)))
                    << "round " << round;
            }
            if (op + 1 < operations) f.defer();
        }
        ASSERT_EQ(f.commit(), JournaledFile::Outcome::Done);
        ASSERT_EQ(data->bytes, model) << "round " << round;
        for (std::size_t i = 0; i < kJournalHeader; ++i) ASSERT_EQ(jdata->bytes[i], 0);
    }
    EXPECT_GT(model.size(), 40 * kBlockSize);  // the batches held more blocks than are kept
}

TEST(JournaledFile, DurableCommitsSyncTheJournalTheFileAndTheEmptiedJournal) {
    struct Case {
        bool durable;
        long filesyncs, journalsyncs;
    };
    for (const Case c : {Case{false, 0, 0}, Case{true, 1, 2}}) {
        auto data = std::make_shared<test::MemFileData>();
        data->bytes = test::newdatabasebytes();
        auto jdata = std::make_shared<test::MemFileData>();
        JournaledFile f(std::make_unique<test::MemFile>(data),
                        std::make_unique<test::MemFile>(jdata), c.durable);
        ASSERT_EQ(f.begin(), JournaledFile::Outcome::Done);
        const Bytes block(kBlockSize, 0x5A);
        ASSERT_EQ(f.writeat(block.data(), block.size(), kBlockSize), static_cast<long>(kBlockSize));
        EXPECT_EQ(data->writes, 0);  // held until the commit
        ASSERT_EQ(f.commit(), JournaledFile::Outcome::Done);
        EXPECT_EQ(data->syncs, c.filesyncs);
        EXPECT_EQ(jdata->syncs, c.journalsyncs);
        EXPECT_EQ(data->writes, 1);
        EXPECT_EQ(jdata->writes, 2);  // the journal in one write, then its header emptied
        // A commit with nothing written writes and syncs nothing.
        ASSERT_EQ(f.begin(), JournaledFile::Outcome::Done);
        ASSERT_EQ(f.commit(), JournaledFile::Outcome::Done);
        EXPECT_EQ(jdata->writes, 2);
        EXPECT_EQ(jdata->syncs, c.journalsyncs);
    }
}

// Runs steps `step` .. step + batch - 1 on `db` through a journal on a disk that dies after
// `budget` writes, as one commit (the steps after the first deferred), then recovers as an
// open would. True when the disk died during the commit.
bool crashandrecover(Bytes *db, int step, long budget, int batch = 1) {
    Bytes journal;
    Disk disk;
    disk.budget = budget;
    {
        auto file =
            std::make_unique<JournaledFile>(std::make_unique<CrashFile>(db, &disk),
                                            std::make_unique<CrashFile>(&journal, &disk), false);
        JournaledFile *jf = file.get();
        auto f = test::openengine(std::move(file), Flavor::Server, nullptr);
        EXPECT_NE(f, nullptr);
        if (f == nullptr) return false;
        for (int i = 0; i < batch; ++i) {
            jf->begin();
            operate(f.get(), step + i);
            if (i + 1 < batch) jf->defer();
        }
        jf->commit();
    }
    test::MemFile jfile(std::make_shared<test::MemFileData>(test::MemFileData{journal}));
    JournalContent content;
    if (readjournal(jfile, &content) == JournalState::Valid) {
        test::MemFile dbfile(std::make_shared<test::MemFileData>(test::MemFileData{*db}));
        EXPECT_TRUE(restoreimages(dbfile, content));
        Bytes restored(static_cast<std::size_t>(dbfile.length()));
        dbfile.readat(restored.data(), restored.size(), 0);
        *db = std::move(restored);
    }
    return disk.crashed;
}

TEST(JournaledFile, ACrashAtAnyWriteLeavesTheFileBeforeOrAfterTheOperation) {
    Bytes db = test::newdatabasebytes(5);
    int crashes = 0, before = 0, after = 0;
    for (int step = 0; step < 260; ++step) {
        Bytes next = db;
        EXPECT_FALSE(crashandrecover(&next, step, -1));
        // Every step of the first ones, then every fifth: splits and new xlate blocks come.
        if (step < 40 || step % 5 == 0) {
            for (long budget = 1;; ++budget) {
                Bytes trial = db;
                if (!crashandrecover(&trial, step, budget)) break;
                ++crashes;
                if (trial == db) {
                    ++before;
                } else {
                    ++after;
                    ASSERT_EQ(trial, next) << "step " << step << " budget " << budget;
                }
                auto f = test::openengine(
                    std::make_unique<test::MemFile>(
                        std::make_shared<test::MemFileData>(test::MemFileData{trial})),
                    Flavor::Library, nullptr, true);
                ASSERT_NE(f, nullptr);
                ASSERT_FALSE(hasfaults(checkfile(f.get())))
                    << "step " << step << " budget " << budget << "\n"
                    << describe(checkfile(f.get()));
            }
        }
        db = next;
    }
    std::printf("%d crash points: %d left the file as before, %d as after\n", crashes, before,
                after);
    EXPECT_GT(before, 0);
    EXPECT_GT(after, 0);
}

// Group commit: operations deferred into batches of 1..6 leave, after each batch's commit,
// exactly the bytes of the same operations committed one by one, for one journal write and
// one set of syncs per batch.
TEST(JournaledFile, ABatchOfDeferredOperationsLeavesTheBytesOfCommittingEachAlone) {
    auto onebyone = std::make_shared<test::MemFileData>();
    onebyone->bytes = test::newdatabasebytes(5);
    auto batched = std::make_shared<test::MemFileData>();
    batched->bytes = onebyone->bytes;
    auto onebyonejournal = std::make_shared<test::MemFileData>();
    auto batchedjournal = std::make_shared<test::MemFileData>();
    auto open = [](const std::shared_ptr<test::MemFileData> &data,
                   const std::shared_ptr<test::MemFileData> &journal, JournaledFile **jf) {
        auto file = std::make_unique<JournaledFile>(std::make_unique<test::MemFile>(data),
                                                    std::make_unique<test::MemFile>(journal), true);
        *jf = file.get();
        return test::openengine(std::move(file), Flavor::Server, nullptr);
    };
    JournaledFile *single = nullptr, *group = nullptr;
    auto plain = open(onebyone, onebyonejournal, &single);
    auto grouped = open(batched, batchedjournal, &group);
    ASSERT_NE(plain, nullptr);
    ASSERT_NE(grouped, nullptr);
    std::mt19937 rng(4711);
    int step = 0, batches = 0;
    while (step < 500) {
        const int size = 1 + static_cast<int>(rng() % 6);
        const Bytes before = batched->bytes;
        const long writes = batched->writes;
        for (int i = 0; i < size; ++i, ++step) {
            ASSERT_EQ(single->begin(), JournaledFile::Outcome::Done);
            operate(plain.get(), step);
            ASSERT_EQ(single->commit(), JournaledFile::Outcome::Done);
            ASSERT_EQ(group->begin(), JournaledFile::Outcome::Done);
            operate(grouped.get(), step);
            group->defer();
            ASSERT_TRUE(group->deferred());
        }
        // Nothing reached the file before the commit.
        ASSERT_EQ(batched->writes, writes);
        ASSERT_EQ(batched->bytes, before);
        const long journalwrites = batchedjournal->writes, journalsyncs = batchedjournal->syncs;
        const long filesyncs = batched->syncs;
        ASSERT_EQ(group->commit(), JournaledFile::Outcome::Done);
        ASSERT_FALSE(group->deferred());
        ASSERT_EQ(batched->bytes, onebyone->bytes) << "step " << step;
        EXPECT_EQ(batchedjournal->writes - journalwrites, 2);  // the journal, then emptied
        EXPECT_EQ(batchedjournal->syncs - journalsyncs, 2);
        EXPECT_EQ(batched->syncs - filesyncs, 1);
        ++batches;
    }
    EXPECT_LT(batchedjournal->syncs, onebyonejournal->syncs);
    EXPECT_GT(plain->fscb.lb, 40u);  // the workload grew the file and split key blocks
    std::printf("%d operations in %d batches\n", step, batches);
}

// A write that fails (or is cut short) anywhere in a batch's commit takes every operation of
// the batch back: the file is exactly as before the batch and the journal is empty.
TEST(JournaledFile, AFailedBatchCommitRollsBackEveryOperationOfTheBatch) {
    constexpr int kWarmup = 30, kBatch = 5;
    Bytes start = test::newdatabasebytes(5);
    ASSERT_FALSE(crashandrecover(&start, 0, -1, kWarmup));
    int points = 0;
    for (const bool shortwrite : {false, true}) {
        for (long at = 0;; ++at) {
            auto data = std::make_shared<test::MemFileData>();
            data->bytes = start;
            data->failwriteat = at;
            data->shortwrite = shortwrite;
            auto journal = std::make_shared<test::MemFileData>();
            auto file =
                std::make_unique<JournaledFile>(std::make_unique<test::MemFile>(data),
                                                std::make_unique<test::MemFile>(journal), true);
            JournaledFile *jf = file.get();
            auto f = test::openengine(std::move(file), Flavor::Server, nullptr);
            ASSERT_NE(f, nullptr);
            for (int i = 0; i < kBatch; ++i) {
                ASSERT_EQ(jf->begin(), JournaledFile::Outcome::Done);
                operate(f.get(), kWarmup + i);
                jf->defer();
            }
            const long writes = data->writes;
            const auto outcome = jf->commit();
            if (at >= writes && outcome == JournaledFile::Outcome::Done) break;  // past the end
            ++points;
            EXPECT_EQ(outcome, JournaledFile::Outcome::RolledBack) << "write " << at;
            EXPECT_EQ(data->bytes, start) << "write " << at;
            JournalContent content;
            test::MemFile j(journal);
            EXPECT_NE(readjournal(j, &content), JournalState::Valid) << "write " << at;
            if (HasFailure()) return;
        }
    }
    EXPECT_GT(points, 2);
}

TEST(JournaledFile, ACrashAtAnyWriteOfABatchLeavesTheFileBeforeOrAfterTheWholeBatch) {
    constexpr int kBatch = 4;
    Bytes db = test::newdatabasebytes(5);
    int crashes = 0;
    for (int step = 0; step < 120; step += kBatch) {
        Bytes next = db;
        ASSERT_FALSE(crashandrecover(&next, step, -1, kBatch));
        for (long budget = 1;; ++budget) {
            Bytes trial = db;
            if (!crashandrecover(&trial, step, budget, kBatch)) break;
            ++crashes;
            ASSERT_TRUE(trial == db || trial == next) << "step " << step << " budget " << budget;
        }
        db = next;
    }
    EXPECT_GT(crashes, 30);
}

TEST(JournalRecovery, AnOpenRollsBackACrashedJournalUnlessAServerHoldsIt) {
    test::TempDir dir;
    const std::string path = dir.file("r.db");
    const Bytes original = test::newdatabasebytes();
    // The crash: the journal holds block 1's image and the old length; block 1 was
    // overwritten and a block appended.
    JournalContent content;
    content.oldlength = original.size();
    content.blocks = {1};
    content.images.assign(original.begin() + kBlockSize, original.begin() + 2 * kBlockSize);
    Bytes journal;
    encodejournal(content, &journal);
    Bytes torn = original;
    std::fill(torn.begin() + kBlockSize, torn.begin() + 2 * kBlockSize, 0xEE);
    torn.resize(original.size() + kBlockSize, 0xDD);
    const std::string jpath = journalpath(path.c_str());

    // A live server's lock: the file is read as it is and nothing changes.
    ASSERT_TRUE(test::writewholefile(path, torn));
    ASSERT_TRUE(test::writewholefile(jpath, journal));
    {
        auto holder = platform::openfile(jpath.c_str(), platform::OpenMode::ReadWrite);
        ASSERT_TRUE(holder->trylock());
        std::string note;
        auto f = openrecovered(path.c_str(), &note);
        ASSERT_NE(f, nullptr);
        EXPECT_EQ(f->length(), static_cast<std::int64_t>(torn.size()));
        EXPECT_NE(note.find("running server"), std::string::npos) << note;
        EXPECT_EQ(test::readwholefile(jpath), journal);
    }
    // No one holds it: rolled back, and the journal emptied.
    std::string note;
    auto f = openrecovered(path.c_str(), &note);
    ASSERT_NE(f, nullptr);
    EXPECT_NE(note.find("rolled back"), std::string::npos) << note;
    EXPECT_EQ(test::readwholefile(path), original);
    JournalContent left;
    auto jfile = platform::openfile(jpath.c_str(), platform::OpenMode::ReadOnly);
    EXPECT_EQ(readjournal(*jfile, &left), JournalState::Empty);
    // Again: nothing to do.
    auto again = openrecovered(path.c_str(), &note);
    EXPECT_TRUE(note.empty());
    // A checker that may not write reads the file as the journal says it was.
    auto view = journalview(memfile(torn), content);
    Bytes seen(original.size() + 10);
    EXPECT_EQ(view->readat(seen.data(), seen.size(), 0), static_cast<long>(original.size()));
    seen.resize(original.size());
    EXPECT_EQ(seen, original);
    EXPECT_EQ(view->length(), static_cast<std::int64_t>(original.size()));
}

}  // namespace
}  // namespace vorn
