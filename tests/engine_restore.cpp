// Placing records under chosen rids and rethreading the free xlate chain (what load and
// salvage build files with): gaps and far xlate blocks, refusals, and a file that an
// ordinary add then goes on from.
#include <gtest/gtest.h>

#include <string>

#include "fsn/blocks.h"
#include "fsn/check.h"
#include "fsn/placement.h"
#include "fsn/records.h"
#include "fsn/restore.h"
#include "support/enginefile.h"

namespace vorn {
namespace {

using test::MemDatabase;

const std::uint8_t kStored[] = {0, 'r', 'e', 'c'};

std::int16_t place(MemDatabase &db, std::uint32_t rid, Fault *fault = nullptr) {
    Fault local;
    return placerecordat(db.fs.get(), rid, kStored, sizeof kStored,
                         fault != nullptr ? fault : &local);
}

std::vector<std::uint32_t> walk(MemDatabase &db, std::uint8_t fid) {
    std::vector<std::uint32_t> out;
    for (std::uint32_t r = firstrecord(db.fs.get(), fid); r != 0; r = nextrid(db.fs.get(), r)) {
        out.push_back(r);
    }
    return out;
}

TEST(Restore, RecordsKeepTheirRidsAcrossGapsAndXlateBlocks) {
    MemDatabase db(Flavor::Library, 4);
    const std::vector<std::uint32_t> ones = {0x10000005, 0x10000300, 0x10000001};
    const std::vector<std::uint32_t> twos = {0x20000002, 0x20000a00};
    for (std::uint32_t rid : ones) ASSERT_EQ(place(db, rid), 1);
    for (std::uint32_t rid : twos) ASSERT_EQ(place(db, rid), 1);
    ASSERT_EQ(relinkfreexlate(db.fs.get()), 1);
    EXPECT_EQ(walk(db, 0x10), (std::vector<std::uint32_t>{0x10000001, 0x10000005, 0x10000300}));
    EXPECT_EQ(walk(db, 0x20), (std::vector<std::uint32_t>{0x20000002, 0x20000a00}));
    EXPECT_EQ(std::uint32_t{db.fs->fscb.f[0].frid}, 0x10000001u);
    EXPECT_EQ(std::uint32_t{db.fs->fscb.f[1].lrid}, 0x20000a00u);
    EXPECT_EQ(std::uint32_t{db.fs->fscb.ftc}, 0u) << "the lowest free index heads the chain";
    ASSERT_EQ(flushbuffs(db.fs.get()), 1);
    EXPECT_FALSE(hasfaults(checkfile(db.fs.get()))) << describe(checkfile(db.fs.get()));

    // Ordinary adds go on with the free indexes in ascending order, skipping those in use.
    Fault fault;
    std::vector<std::uint32_t> next;
    for (int i = 0; i < 6; ++i) next.push_back(addrecord(db.fs.get(), kStored, 4, 0x30, &fault));
    EXPECT_EQ(next, (std::vector<std::uint32_t>{0x30000000, 0x30000003, 0x30000004, 0x30000006,
                                                0x30000007, 0x30000008}));
    ASSERT_EQ(flushbuffs(db.fs.get()), 1);
    EXPECT_FALSE(hasfaults(checkfile(db.fs.get()))) << describe(checkfile(db.fs.get()));
}

TEST(Restore, AFullXlateRangeLeavesTheChainAtTheNextXlateBlock) {
    MemDatabase db(Flavor::Library, 20);
    for (std::uint32_t x = 0; x < 256; ++x) ASSERT_EQ(place(db, 0x10000000 | x), 1);
    ASSERT_EQ(relinkfreexlate(db.fs.get()), 1);
    EXPECT_EQ(std::uint32_t{db.fs->fscb.ftc}, 256u);
    Fault fault;
    EXPECT_EQ(addrecord(db.fs.get(), kStored, 4, 0x10, &fault), 0x10000100u);
}

TEST(Restore, RefusesARidInUseOrOfNoSubFileAndRecordsTooLong) {
    MemDatabase db;
    Fault fault;
    ASSERT_EQ(place(db, 0x10000007), 1);
    EXPECT_EQ(place(db, 0x10000007, &fault), 0);
    EXPECT_EQ(fault.code, 1045);
    EXPECT_EQ(place(db, 0x20000007, &fault), 0) << "the index is taken by sub-file 1";
    EXPECT_EQ(place(db, 0x00000009, &fault), 0);
    std::uint8_t big[1010] = {};
    EXPECT_EQ(placerecordat(db.fs.get(), 0x10000001, big, sizeof big, &fault), 0);
    EXPECT_EQ(placerecordat(db.fs.get(), 0x10000001, big, 0, &fault), 0);
    EXPECT_EQ(place(db, 0x1FFFFFFF, &fault), 0) << "an xlate block past the largest file";
}

}  // namespace
}  // namespace vorn
