// A temporary database after a fixed random sequence of operations holds exactly the bytes,
// and gave exactly the answers, recorded from the engine before any of its shortcuts (the key
// walk's position hint, the private write-back of temporary files) existed. A shortcut that
// changes one byte of a file or one answer fails here.
#include <gtest/gtest.h>

#include "link_peer.h"
#include "opsequence.h"

namespace vorn::test {
namespace {

struct Recorded {
    unsigned seed;
    int steps;
    std::uint64_t answers;
    std::uint64_t file;
    std::size_t size;
};

class FileBytes : public LinkTest, public ::testing::WithParamInterface<Recorded> {};

TEST_P(FileBytes, TemporaryDatabaseEndsAsRecorded) {
    const Recorded r = GetParam();
    const char instance = fsinit(nullptr);
    ASSERT_GE(instance, 0);
    ::FS *fs = fsopentemp(instance);
    ASSERT_NE(fs, nullptr);
    const std::string name = link::fsdataary[0][fs->fsdatanum]->fscb.fsname;
    OpSequence ops(instance, fs, r.seed);
    const std::uint64_t answers = ops.run(r.steps);
    ASSERT_EQ(fsflush(instance, fs), 1);
    std::size_t size = 0;
    const std::uint64_t file = filehash(name, &size);
    fsclosetemp(instance, fs);
    EXPECT_EQ(answers, r.answers) << std::hex << answers;
    EXPECT_EQ(file, r.file) << std::hex << file;
    EXPECT_EQ(size, r.size);
}

INSTANTIATE_TEST_SUITE_P(
    Seeds, FileBytes,
    ::testing::Values(Recorded{1, 6000, 8008713154728195747u, 1048737319216827591u, 192512},
                      Recorded{2, 6000, 11877270936331540520u, 10656744702662125361u, 168960},
                      Recorded{3, 20000, 13250015996693324907u, 429791652315485777u, 606208}));

}  // namespace
}  // namespace vorn::test
