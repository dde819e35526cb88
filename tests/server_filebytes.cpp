// A database served by vornserv, after a fixed random sequence of operations through the
// client library, holds exactly the bytes, and gave exactly the answers, recorded from the
// engine before any of its shortcuts existed (see opsequence.h).
#include <gtest/gtest.h>

#include <filesystem>

#include "opsequence.h"
#include "server_harness.h"

namespace vorn::test {
namespace {

TEST(ServedFileBytes, DatabaseEndsAsRecorded) {
    TempDir dir;
    const auto previous = std::filesystem::current_path();
    std::filesystem::current_path(dir.path());
    ServerProcess server(dir.path());
    ASSERT_TRUE(server.start());
    const char instance = fsinit(server.address().c_str());
    ASSERT_GE(instance, 0);
    ASSERT_EQ(fscreatedatabase("net.db", 20), 1);
    ::FS *fs = fsopen(instance, "net.db", 0, 0);
    ASSERT_NE(fs, nullptr);
    OpSequence ops(instance, fs, 4);
    const std::uint64_t answers = ops.run(5000);
    fsclose(instance, fs);
    closefs(instance);
    std::size_t size = 0;
    const std::uint64_t file = filehash("net.db", &size);
    std::filesystem::current_path(previous);
    EXPECT_EQ(answers, 8340561020622252419u) << std::hex << answers;
    EXPECT_EQ(file, 9219827492311422414u) << std::hex << file;
    EXPECT_EQ(size, 142336u);
}

}  // namespace
}  // namespace vorn::test
