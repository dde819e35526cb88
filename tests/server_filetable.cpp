// The file table in process: users in opening order, the slot limit, concurrent opens of one
// file under several names, temporary files and the closes at service stop.
#include <gtest/gtest.h>

#include <filesystem>
#include <set>
#include <thread>

#include "closefiles.h"
#include "fserror.h"
#include "openfiles.h"
#include "server.h"
#include "server_harness.h"

namespace vorn::server {
namespace {

class Files : public ::testing::Test {
  protected:
    void SetUp() override {
        previous = std::filesystem::current_path();
        std::filesystem::current_path(dir.path());
        files.vorninit(0, nullptr);
    }
    void TearDown() override {
        files.fscloseall();
        std::filesystem::current_path(previous);
    }

    int open(UserId user, const std::string &name, FS *fs) {
        *fs = FS{};
        return fsopen(files, mutexes, user, fs, name.c_str());
    }

    test::TempDir dir;
    std::filesystem::path previous;
    Server server;
    FileTable &files = server.files;
    SlotMutexes mutexes = files.openslotmutexes();
};

TEST_F(Files, UsersAreListedInOpeningOrderAndLeaveOneByOne) {
    ASSERT_TRUE(test::makedatabasefile("a.db"));
    FS fs;
    for (UserId user : {7u, 3u, 9u, 3u}) ASSERT_EQ(open(user, "a.db", &fs), 1);
    const int slot = fs.fsdatanum;
    ASSERT_NE(files.whoary[slot], nullptr);
    EXPECT_EQ(*files.whoary[slot], (std::vector<UserId>{7, 3, 9}));
    EXPECT_EQ(files.fsdatatbl[slot].load()->whocount, 3);
    EXPECT_STREQ(files.fsdatatbl[slot].load()->filename, "A.DB");
    fsclose(files, mutexes, 3, &fs);
    EXPECT_EQ(+fs.error, 0);
    EXPECT_EQ(*files.whoary[slot], (std::vector<UserId>{7, 9}));
    EXPECT_EQ(files.fsdatatbl[slot].load()->whocount, 2);
    fsclose(files, mutexes, 3, &fs);
    EXPECT_EQ(+fs.error, kErrNotAUser);
    fsclose(files, mutexes, 7, &fs);
    fsclose(files, mutexes, 9, &fs);
    EXPECT_EQ(files.fsdatatbl[slot].load(), nullptr);
    EXPECT_EQ(files.whoary[slot], nullptr);
}

TEST_F(Files, TheHundredAndFirstFileFindsNoSlot) {
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
    EXPECT_EQ(fsopentemp(files, mutexes, &temp), 0);
    EXPECT_EQ(+temp.error, kErrNoSlot);
    EXPECT_EQ(files.openslotcount(), kSlots);
}

TEST_F(Files, ConcurrentOpensOfOneFileUnderManyNamesTakeOneSlot) {
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
                const SlotMutexes mine = files.openslotmutexes();
                FS fs{};
                if (fsopen(files, mine, static_cast<UserId>(100 + t), &fs, names[t % 5].c_str()) ==
                    1) {
                    slots[t] = fs.fsdatanum;
                }
            });
        }
        for (auto &t : threads) t.join();
        for (int t = 0; t < 10; ++t) ASSERT_EQ(slots[t], slots[0]) << "round " << round;
        ASSERT_EQ(files.openslotcount(), 1);
        ASSERT_EQ(files.fsdatatbl[slots[0]].load()->whocount, 10);
        // Close them all concurrently, while others open different files.
        threads.clear();
        for (int t = 0; t < 10; ++t) {
            threads.emplace_back([&, t] {
                const SlotMutexes mine = files.openslotmutexes();
                FS fs{};
                fs.fsdatanum = static_cast<std::int16_t>(slots[0]);
                fsclose(files, mine, static_cast<UserId>(100 + t), &fs);
                EXPECT_EQ(+fs.error, 0);
            });
        }
        for (auto &t : threads) t.join();
        ASSERT_EQ(files.openslotcount(), 0);
    }
}

TEST_F(Files, ConcurrentOpensOfDifferentFilesAndTemporaryFilesNeverShareASlot) {
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
            const SlotMutexes mine = files.openslotmutexes();
            for (int i = 0; i < kEach; ++i) {
                FS fs{};
                const std::string name = "t" + std::to_string(t) + "-" + std::to_string(i);
                // Every other thread makes temporary files in between.
                const int ok = t % 2 == 0 ? fsopen(files, mine, 1, &fs, name.c_str())
                                          : fsopentemp(files, mine, &fs);
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
    EXPECT_EQ(files.openslotcount(), kThreads * kEach);
    for (int s : seen) {
        const SRVFSDATA *rec = files.fsdatatbl[s].load();
        ASSERT_NE(rec, nullptr);
        EXPECT_EQ(rec->tempname.empty(), files.whoary[s] != nullptr) << "slot " << s;
    }
}

TEST_F(Files, ATemporaryFileBelongsToNoUserAndStaysOnDiskAtStop) {
    FS fs{};
    ASSERT_EQ(fsopentemp(files, mutexes, &fs), 1);
    const int slot = fs.fsdatanum;
    const SRVFSDATA *rec = files.fsdatatbl[slot].load();
    ASSERT_NE(rec, nullptr);
    EXPECT_EQ(files.whoary[slot], nullptr);
    EXPECT_EQ(rec->whocount, 0);
    EXPECT_STREQ(rec->filename, "");
    const std::string name = rec->tempname;
    EXPECT_LE(name.size(), 12u);
    EXPECT_STREQ(rec->fsdata->fscb.fsname, name.c_str());
    EXPECT_EQ(+rec->fsdata->fscb.numusers, 1);
    EXPECT_EQ(+rec->fsdata->fscb.f[3].keytype[10], 1);  // the index count modulo 9
    // A connection that ends closes no temporary file.
    fscloseallforuser(files, mutexes, 5);
    EXPECT_NE(files.fsdatatbl[slot].load(), nullptr);
    files.fscloseall();
    files.fscloseall();  // harmless the second time
    EXPECT_EQ(files.fsdatatbl[slot].load(), nullptr);
    EXPECT_TRUE(std::filesystem::exists(name));
    EXPECT_EQ(std::filesystem::file_size(name), 3u * kBlockSize);
}

TEST_F(Files, AClosedConnectionLeavesNoEntryAnywhere) {
    ASSERT_TRUE(test::makedatabasefile("x.db"));
    ASSERT_TRUE(test::makedatabasefile("y.db"));
    FS x, y;
    ASSERT_EQ(open(1, "x.db", &x), 1);
    ASSERT_EQ(open(2, "x.db", &x), 1);
    ASSERT_EQ(open(1, "y.db", &y), 1);
    files.fsdatatbl[x.fsdatanum].load()->exclowner = 1;
    fscloseallforuser(files, mutexes, 1);
    EXPECT_EQ(files.fsdatatbl[y.fsdatanum].load(), nullptr) << "only user 1 had y open";
    ASSERT_NE(files.fsdatatbl[x.fsdatanum].load(), nullptr);
    EXPECT_EQ(*files.whoary[x.fsdatanum], std::vector<UserId>{2});
    EXPECT_EQ(files.fsdatatbl[x.fsdatanum].load()->exclowner, kNoOwner);
}

TEST_F(Files, TwoServersInOneProcessShareNoState) {
    Server other;
    const SlotMutexes theirs = other.files.openslotmutexes();
    ASSERT_TRUE(test::makedatabasefile("a.db"));
    ASSERT_TRUE(test::makedatabasefile("b.db"));
    FS a, b{};
    ASSERT_EQ(open(1, "a.db", &a), 1);
    EXPECT_EQ(other.files.openslotcount(), 0);
    ASSERT_EQ(fsopen(other.files, theirs, 1, &b, "b.db"), 1);
    EXPECT_EQ(a.fsdatanum, b.fsdatanum) << "each table gives its own lowest free slot";
    EXPECT_STREQ(files.fsdatatbl[a.fsdatanum].load()->filename, "A.DB");
    EXPECT_STREQ(other.files.fsdatatbl[b.fsdatanum].load()->filename, "B.DB");
    fscloseallforuser(files, mutexes, 1);
    EXPECT_EQ(files.openslotcount(), 0);
    EXPECT_EQ(other.files.openslotcount(), 1) << "a user's end closes its files in its server";

    char reply[kPipeBuffer];
    server.status.processmessage("TOTAL", reply);
    server.status.processmessage("TOTAL", reply);
    other.status.processmessage("TOTAL", reply);
    EXPECT_EQ(server.status.packets(), 2);
    EXPECT_STREQ(reply, "FILES:10 PACKETS:1 RETRIES:0");
}

}  // namespace
}  // namespace vorn::server
