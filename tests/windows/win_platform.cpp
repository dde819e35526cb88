// The Win32 side of the platform seam where it differs from Linux: named kernel mutexes, file
// identity under names that differ in case, and shutdowns that wake blocked socket calls.
#include <gtest/gtest.h>
#include <windows.h>

#include <atomic>
#include <filesystem>
#include <string>
#include <thread>

#include "netcalls.h"
#include "support/enginefile.h"
#include "vorn/namedmutex.h"
#include "vorn/platform.h"
#include "vorn/socket.h"

namespace vorn {
namespace {

// Whether another thread can take the mutex `name` right now.
bool freeforanotherthread(const char *name) {
    bool taken = false;
    std::thread([&] {
        const HANDLE h = ::OpenMutexA(SYNCHRONIZE | MUTEX_MODIFY_STATE, FALSE, name);
        if (h == nullptr) return;
        const DWORD w = ::WaitForSingleObject(h, 0);
        taken = w == WAIT_OBJECT_0 || w == WAIT_ABANDONED;
        if (taken) ::ReleaseMutex(h);
        ::CloseHandle(h);
    }).join();
    return taken;
}

TEST(NamedMutex, IsTheSystemsMutexOfThatNameAndRecursive) {
    platform::NamedMutex mutex("mutex042");
    EXPECT_STREQ(mutex.name(), "mutex042");
    EXPECT_TRUE(freeforanotherthread("mutex042"));
    mutex.lock();
    mutex.lock();  // the owner again
    EXPECT_FALSE(freeforanotherthread("mutex042"));
    mutex.unlock();
    EXPECT_FALSE(freeforanotherthread("mutex042")) << "still locked once";
    mutex.unlock();
    EXPECT_TRUE(freeforanotherthread("mutex042"));
}

TEST(FileIdentity, NamesDifferingInCaseOrFormAreOneFile) {
    test::TempDir dir;
    ASSERT_FALSE(dir.path().empty());
    const std::string name = dir.file("Data.vdb");
    ASSERT_NE(platform::createfile(name.c_str()), nullptr);
    const std::string other = dir.path() + "\\.\\DATA.VDB";
    auto a = platform::openfile(name.c_str(), platform::OpenMode::ReadOnly);
    auto b =
        platform::withblockcache(platform::openfile(other.c_str(), platform::OpenMode::ReadWrite));
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);
    platform::FileIdentity ia, ib;
    ASSERT_TRUE(platform::fileidentity(*a, &ia));
    ASSERT_TRUE(platform::fileidentity(*b, &ib));
    EXPECT_EQ(ia, ib);

    const std::string third = dir.file("other.vdb");
    auto c = platform::createfile(third.c_str());
    ASSERT_NE(c, nullptr);
    platform::FileIdentity ic;
    ASSERT_TRUE(platform::fileidentity(*c, &ic));
    EXPECT_FALSE(ic == ia);
}

std::string contents(const std::filesystem::path &file) {
    std::string text;
    if (std::FILE *f = std::fopen(file.string().c_str(), "rb")) {
        char buf[256];
        for (std::size_t n; (n = std::fread(buf, 1, sizeof buf, f)) > 0;) text.append(buf, n);
        std::fclose(f);
    }
    return text;
}

// The client log goes to c:\checkerr.log, or to the current directory where that can't be
// opened (here: a directory of that name stands in for a root without write rights).
TEST(ClientLog, TheRootOfCFirstThenTheCurrentDirectory) {
    const std::filesystem::path root = platform::systemclientlog();
    ASSERT_EQ(root, "c:\\checkerr.log");
    test::TempDir dir;
    const std::filesystem::path old = std::filesystem::current_path();
    std::filesystem::current_path(dir.path());
    std::filesystem::remove(root);

    link::logerror("first line");
    EXPECT_EQ(contents(root), "first line\r\n");
    EXPECT_FALSE(std::filesystem::exists(link::kClientLog));

    std::filesystem::remove(root);
    std::filesystem::create_directory(root);
    link::logerror("second line");
    EXPECT_EQ(contents(link::kClientLog), "second line\r\n");

    std::filesystem::remove(root);
    std::filesystem::remove(link::kClientLog);
    std::filesystem::current_path(old);
}

TEST(TempName, IsAtMostTwelveCharacters) {
    for (int i = 0; i < 20; ++i) EXPECT_LE(platform::maketempname().size(), 12u);
}

TEST(FileRoundTrip, PositionedWritesAndReadsAndTheLength) {
    test::TempDir dir;
    const std::string name = dir.file("f.bin");
    auto f = platform::createexclusive(name.c_str());
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(platform::createexclusive(name.c_str()), nullptr) << "exclusive";
    EXPECT_EQ(f->writeat("abcd", 4, 5000), 4);
    EXPECT_EQ(f->length(), 5004);
    char buf[8] = {};
    EXPECT_EQ(f->readat(buf, 8, 5000), 4);
    EXPECT_EQ(std::string(buf, 4), "abcd");
    EXPECT_EQ(f->readat(buf, 8, 9000), 0) << "beyond the end";
    f.reset();
    EXPECT_TRUE(platform::removefile(name.c_str()));
}

// A listener blocked in accept and a connection blocked in recv both return once shut down
// from another thread, as they do on Linux.
TEST(Sockets, AShutdownWakesBlockedAcceptAndRecv) {
    ASSERT_TRUE(platform::socketstartup());
    std::uint32_t loopback = 0;
    std::uint16_t unused = 0;
    ASSERT_TRUE(platform::parseaddress("127.0.0.1", &loopback, &unused));
    const platform::Socket listener = platform::tcpsocket();
    ASSERT_TRUE(platform::tcpbind(listener, loopback, 0));
    ASSERT_TRUE(platform::tcplisten(listener, 4));
    std::atomic<bool> acceptended{false};
    std::thread acceptor([&] {
        EXPECT_EQ(platform::tcpaccept(listener), platform::kNoSocket);
        acceptended = true;
    });
    platform::shutdownboth(listener);
    acceptor.join();
    EXPECT_TRUE(acceptended);
    platform::closesocket(listener);

    const platform::Socket server = platform::tcpsocket();
    ASSERT_TRUE(platform::tcpbind(server, loopback, 0));
    ASSERT_TRUE(platform::tcplisten(server, 4));
    const platform::Socket client = platform::tcpsocket();
    ASSERT_TRUE(platform::tcpconnect(client, loopback, platform::boundport(server)));
    const platform::Socket accepted = platform::tcpaccept(server);
    ASSERT_NE(accepted, platform::kNoSocket);
    long got = -2;
    std::thread reader([&] {
        char buf[4];
        got = platform::recvsome(accepted, buf, sizeof buf);
    });
    platform::shutdownboth(accepted);
    reader.join();
    EXPECT_EQ(got, 0) << "reads the end of the stream";
    for (platform::Socket s : {accepted, client, server}) platform::closesocket(s);
    EXPECT_TRUE(platform::socketcleanup());
}

TEST(Sockets, AddressesTakeTheClassicDottedForms) {
    const struct {
        const char *text;
        bool ok;
        std::uint16_t port;
    } kCases[] = {{"127.0.0.1", true, 2000},   {"10.1.2.3:4567", true, 4567},
                  {"127.1", true, 2000},       {"1.2.3.4.5", false, 0},
                  {"256.1.1.1", false, 0},     {"1.2.3.4:0", false, 0},
                  {"1.2.3.4:65536", false, 0}, {"a.b.c.d", false, 0},
                  {"1.2.3.4x", false, 0},      {"", false, 0}};
    for (const auto &c : kCases) {
        std::uint32_t addr = 0;
        std::uint16_t port = 0;
        EXPECT_EQ(platform::parseaddress(c.text, &addr, &port), c.ok) << c.text;
        if (c.ok) {
            EXPECT_EQ(port, c.port) << c.text;
        }
    }
}

}  // namespace
}  // namespace vorn
