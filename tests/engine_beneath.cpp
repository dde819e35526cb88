// Opening by a name from outside, inside one directory: the kernel's resolution and the
// walk that stands in for it where the kernel has none must agree on every name, links
// included.
#include <gtest/gtest.h>

#include <filesystem>

#include "support/enginefile.h"
#include "vorn/beneath.h"

namespace vorn::test {
namespace {

namespace fs = std::filesystem;

using Opener = std::unique_ptr<platform::BlockFile> (*)(const char *, const char *,
                                                        platform::OpenMode, bool *);

class Beneath : public ::testing::TestWithParam<Opener> {
  protected:
    void SetUp() override {
        fs::create_directories(root() + "/sub/deeper");
        for (const char *name : {"/root/a.db", "/root/sub/b.db", "/outside.db"}) {
            ASSERT_TRUE(writewholefile(dir.path() + name, {1, 2, 3}));
        }
        fs::create_symlink("a.db", root() + "/same.db");
        fs::create_symlink("../a.db", root() + "/sub/up.db");
        fs::create_symlink("sub", root() + "/subdir");
        fs::create_symlink("deeper/../..", root() + "/sub/back");
        fs::create_symlink("../outside.db", root() + "/out.db");
        fs::create_symlink(dir.file("outside.db"), root() + "/abs.db");
        fs::create_symlink("../..", root() + "/sub/climb");
        fs::create_symlink("loop2", root() + "/loop1");
        fs::create_symlink("loop1", root() + "/loop2");
    }
    std::string root() const { return dir.file("root"); }

    TempDir dir;
};

TEST_P(Beneath, NamesInsideOpenAndNamesLeadingOutAreRefused) {
    enum Outcome { Opens, Fails, Escapes };
    struct Case {
        std::string name;
        Outcome outcome;
    };
    const Case cases[] = {
        {"a.db", Opens},
        {"./sub//b.db", Opens},
        {"sub/../a.db", Opens},
        {"sub/deeper/../../a.db", Opens},
        {"same.db", Opens},
        {"sub/up.db", Opens},
        {"subdir/b.db", Opens},
        {"sub/back/a.db", Opens},
        {"missing.db", Fails},
        {"sub", Fails},
        {".", Fails},
        {"loop1", Fails},
        {"../outside.db", Escapes},
        {"sub/../../outside.db", Escapes},
        {dir.file("outside.db"), Escapes},
        {root() + "/a.db", Escapes},
        {"out.db", Escapes},
        {"abs.db", Escapes},
        {"sub/climb/outside.db", Escapes},
        {"..", Escapes},
    };
    for (const Case &c : cases) {
        bool escaped = true;
        const auto file =
            GetParam()(root().c_str(), c.name.c_str(), platform::OpenMode::ReadWrite, &escaped);
        EXPECT_EQ(file != nullptr, c.outcome == Opens) << c.name;
        EXPECT_EQ(escaped, c.outcome == Escapes) << c.name;
        if (file == nullptr) continue;
        std::uint8_t bytes[3] = {};
        EXPECT_EQ(file->readat(bytes, 3, 0), 3) << c.name;
    }
}

INSTANTIATE_TEST_SUITE_P(Kernel, Beneath, ::testing::Values(&platform::openbeneath));
INSTANTIATE_TEST_SUITE_P(Walk, Beneath, ::testing::Values(&platform::openbeneathbywalk));

TEST(StaysBeneath, JudgesTheTextAlone) {
    const std::pair<const char *, bool> cases[] = {
        {"a.db", true},      {"a/../b.db", true}, {"./a/./b", true},    {"a/b/../../c", true},
        {"/a.db", false},    {"../a.db", false},  {"a/../../b", false}, {"..", false},
        {"a/..//..", false}, {"", true},
    };
    for (const auto &[name, stays] : cases) EXPECT_EQ(platform::staysbeneath(name), stays) << name;
}

}  // namespace
}  // namespace vorn::test
