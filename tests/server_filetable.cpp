// The file table in process: users in opening order, the slot limit, concurrent opens of one
// file under several names, temporary files and the closes at service stop.
#include <gtest/gtest.h>

#include <filesystem>
#include <set>
#include <thread>

#include "filetable.h"
#include "fserror.h"
#include "server_harness.h"

namespace vorn::server {
namespace {

class FileTable : public ::testing::Test {
  protected:
    void SetUp() override {
        previous = std::filesystem::current_path();
        std::filesystem::current_path(dir.path());
        vorninit(0, nullptr);
    }
    void TearDown() override {
        fscloseall();
        std::filesystem::current_path(previous);
    }

    int open(UserId user, const std::string &name, FS *fs) {
        *fs = FS{};
        return fsopen(mutexes, user, fs, name.c_str());
    }

    test::TempDir dir;
    std::filesystem::path previous;
    SlotMutexes mutexes = openslotmutexes();
};

TEST_F(FileTable, UsersAreListedInOpeningOrderAndLeaveOneByOne) {
    ASSERT_TRUE(test::makedatabasefile("a.db"));
    FS fs;
    for (UserId user : {7u, 3u, 9u, 3u}) ASSERT_EQ(open(user, "a.db", &fs), 1);
    const int slot = fs.fsdatanum;
    ASSERT_NE(whoary[slot], nullptr);
    EXPECT_EQ(*whoary[slot], (std::vector<UserId>{7, 3, 9}));
    EXPECT_EQ(fsdatatbl[slot].load()->whocount, 3);
    EXPECT_STREQ(fsdatatbl[slot].load()->filename, "A.DB");
    fsclose(mutexes, 3, &fs);
    EXPECT_EQ(+fs.error, 0);
    EXPECT_EQ(*whoary[slot], (std::vector<UserId>{7, 9}));
    EXPECT_EQ(fsdatatbl[slot].load()->whocount, 2);
    fsclose(mutexes, 3, &fs);
    EXPECT_EQ(+fs.error, kErrNotAUser);
    fsclose(mutexes, 7, &fs);
    fsclose(mutexes, 9, &fs);
    EXPECT_EQ(fsdatatbl[slot].load(), nullptr);
    EXPECT_EQ(whoary[slot], nullptr);
}

TEST_F(FileTable, TheHundredAndFirstFileFindsNoSlot) {
    FS fs;
    for (int i = 0; i < kSlots; ++i) {
        const std::string name = "f" + std::to_string(i) + ".db";
        ASSERT_TRUE(test::makedatabasefile(name));
        ASSERT_EQ(open(1, name, &fs), 1) << name;
    }
    ASSERT_TRUE(test::makedatabasefile("last.db"));
    EXPECT_EQ(open(1, "last.db", &fs), 0);
    EXPECT_EQ(+fs.error, kErrNoSlot);
    EXPECT_STREQ(msg(), "fsopen - maximum open files exceeded.\r\n");
    EXPECT_EQ(open(2, "f42.db", &fs), 1) << "an open file is still shared";
    FS temp{};
    EXPECT_EQ(fsopentemp(mutexes, &temp), 0);
    EXPECT_EQ(+temp.error, kErrNoSlot);
    EXPECT_EQ(openslotcount(), kSlots);
}

TEST_F(FileTable, ConcurrentOpensOfOneFileUnderManyNamesTakeOneSlot) {
    ASSERT_TRUE(test::makedatabasefile("same.db"));
    std::filesystem::create_directory("d");
    std::filesystem::create_symlink("same.db", "alias.db");
    const std::string names[] = {"same.db", "./same.db", "d/../same.db", "alias.db",
                                 dir.file("same.db")};
    for (int round = 0; round < 20; ++round) {
        std::vector<std::thread> threads;
        std::vector<int> slots(10, -1);
        for (int t = 0; t < 10; ++t) {
            threads.emplace_back([&, t] {
                const SlotMutexes mine = openslotmutexes();
                FS fs{};
                if (fsopen(mine, static_cast<UserId>(100 + t), &fs, names[t % 5].c_str()) == 1) {
                    slots[t] = fs.fsdatanum;
                }
            });
        }
        for (auto &t : threads) t.join();
        for (int t = 0; t < 10; ++t) ASSERT_EQ(slots[t], slots[0]) << "round " << round;
        ASSERT_EQ(openslotcount(), 1);
        ASSERT_EQ(fsdatatbl[slots[0]].load()->whocount, 10);
        // Close them all concurrently, while others open different files.
        threads.clear();
        for (int t = 0; t < 10; ++t) {
            threads.emplace_back([&, t] {
                const SlotMutexes mine = openslotmutexes();
                FS fs{};
                fs.fsdatanum = static_cast<std::int16_t>(slots[0]);
                fsclose(mine, static_cast<UserId>(100 + t), &fs);
                EXPECT_EQ(+fs.error, 0);
            });
        }
        for (auto &t : threads) t.join();
        ASSERT_EQ(openslotcount(), 0);
    }
}

TEST_F(FileTable, ConcurrentOpensOfDifferentFilesAndTemporaryFilesNeverShareASlot) {
    constexpr int kThreads = 8, kEach = 10;
    for (int t = 0; t < kThreads; ++t) {
        for (int i = 0; i < kEach; ++i) {
            ASSERT_TRUE(test::makedatabasefile("t" + std::to_string(t) + "-" + std::to_string(i)));
        }
    }
    std::vector<std::vector<int>> slots(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            const SlotMutexes mine = openslotmutexes();
            for (int i = 0; i < kEach; ++i) {
                FS fs{};
                const std::string name = "t" + std::to_string(t) + "-" + std::to_string(i);
                // Every other thread makes temporary files in between.
                const int ok =
                    t % 2 == 0 ? fsopen(mine, 1, &fs, name.c_str()) : fsopentemp(mine, &fs);
                if (ok == 1) slots[t].push_back(fs.fsdatanum);
            }
        });
    }
    for (auto &t : threads) t.join();
    std::set<int> seen;
    for (const auto &mine : slots) {
        EXPECT_EQ(mine.size(), static_cast<std::size_t>(kEach));
        for (int s : mine) EXPECT_TRUE(seen.insert(s).second) << "slot " << s << " given twice";
    }
    EXPECT_EQ(openslotcount(), kThreads * kEach);
    for (int s : seen) {
        const SRVFSDATA *rec = fsdatatbl[s].load();
        ASSERT_NE(rec, nullptr);
        EXPECT_EQ(rec->tempname.empty(), whoary[s] != nullptr) << "slot " << s;
    }
}

TEST_F(FileTable, ATemporaryFileBelongsToNoUserAndStaysOnDiskAtStop) {
    FS fs{};
    ASSERT_EQ(fsopentemp(mutexes, &fs), 1);
    const int slot = fs.fsdatanum;
    const SRVFSDATA *rec = fsdatatbl[slot].load();
    ASSERT_NE(rec, nullptr);
    EXPECT_EQ(whoary[slot], nullptr);
    EXPECT_EQ(rec->whocount, 0);
    EXPECT_STREQ(rec->filename, "");
    const std::string name = rec->tempname;
    EXPECT_LE(name.size(), 12u);
    EXPECT_STREQ(rec->fsdata->fscb.fsname, name.c_str());
    EXPECT_EQ(+rec->fsdata->fscb.numusers, 1);
    EXPECT_EQ(+rec->fsdata->fscb.f[3].keytype[10], 1);  // the index count modulo 9
    // A connection that ends closes no temporary file.
    fscloseallforuser(mutexes, 5);
    EXPECT_NE(fsdatatbl[slot].load(), nullptr);
    fscloseall();
    fscloseall();  // harmless the second time
    EXPECT_EQ(fsdatatbl[slot].load(), nullptr);
    EXPECT_TRUE(std::filesystem::exists(name));
    EXPECT_EQ(std::filesystem::file_size(name), 3u * kBlockSize);
}

TEST_F(FileTable, AClosedConnectionLeavesNoEntryAnywhere) {
    ASSERT_TRUE(test::makedatabasefile("x.db"));
    ASSERT_TRUE(test::makedatabasefile("y.db"));
    FS x, y;
    ASSERT_EQ(open(1, "x.db", &x), 1);
    ASSERT_EQ(open(2, "x.db", &x), 1);
    ASSERT_EQ(open(1, "y.db", &y), 1);
    fsdatatbl[x.fsdatanum].load()->exclowner = 1;
    fscloseallforuser(mutexes, 1);
    EXPECT_EQ(fsdatatbl[y.fsdatanum].load(), nullptr) << "only user 1 had y open";
    ASSERT_NE(fsdatatbl[x.fsdatanum].load(), nullptr);
    EXPECT_EQ(*whoary[x.fsdatanum], std::vector<UserId>{2});
    EXPECT_EQ(fsdatatbl[x.fsdatanum].load()->exclowner, kNoOwner);
}

}  // namespace
}  // namespace vorn::server
