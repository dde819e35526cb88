// Who may come in: a real server with a data root refuses every name that leads outside it
// (absolute names, "..", links, long names) and makes its temporary files inside it; a server
// with --allow closes connections from other addresses before it sends a byte; the options
// themselves; and the server run as an unprivileged user.
#include <grp.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>

#include <filesystem>

#include "options.h"
#include "server_harness.h"

namespace vorn::test {
namespace {

namespace fs = std::filesystem;

// How many refusals of names outside the data root `log` reports.
std::size_t refusals(const std::string &log) {
    std::size_t n = 0;
    for (std::size_t at = 0;
         (at = log.find("leads outside the data root", at)) != std::string::npos; ++at) {
        ++n;
    }
    return n;
}

// Files around a data root "root" in a fresh directory: files inside it, a file beside it,
// and links from inside to both.
class DataRoot : public ::testing::Test {
  protected:
    void SetUp() override {
        fs::create_directories(root() + "/sub");
        ASSERT_TRUE(makedatabasefile(root() + "/ok.db"));
        ASSERT_TRUE(makedatabasefile(root() + "/sub/in.db"));
        ASSERT_TRUE(makedatabasefile(dir.file("outside.db")));
        fs::create_symlink("ok.db", root() + "/inlink.db");
        fs::create_symlink("../outside.db", root() + "/outlink.db");
        fs::create_symlink(dir.file("outside.db"), root() + "/abslink.db");
        fs::create_directory_symlink("../..", root() + "/sub/up");
    }

    std::string root() const { return dir.file("root"); }

    TempDir dir;
    ServerProcess server{dir.path()};
};

TEST_F(DataRoot, NamesThatLeadOutsideAreRefusedAndLogged) {
    ASSERT_TRUE(server.start({"--data-root", root()}));
    RawClient client(server.port());
    std::string dots;
    while (dots.size() + 4 <= 255) dots += "../";
    struct Case {
        std::string name;
        std::int32_t error;
        bool outside;  // the refusal names the data root in the log
    };
    const Case cases[] = {
        {"ok.db", 0, false},
        {"./sub/../ok.db", 0, false},
        {"sub/in.db", 0, false},
        {"inlink.db", 0, false},
        {dir.file("outside.db"), kErrOpenFile, true},
        {root() + "/ok.db", kErrOpenFile, true},
        {"../outside.db", kErrOpenFile, true},
        {"sub/../../outside.db", kErrOpenFile, true},
        {"outlink.db", kErrOpenFile, true},
        {"abslink.db", kErrOpenFile, true},
        {"sub/up/outside.db", kErrOpenFile, true},
        {dots + "x", kErrOpenFile, true},
        {"sub/" + std::string(240, 'a'), kErrOpenFile, false},
        {std::string(300, 'a'), kErrNameTooLong, false},
    };
    for (const Case &c : cases) {
        const std::size_t before = refusals(server.eventlog());
        const Reply r = client.open(c.name);
        ASSERT_TRUE(r.ok) << c.name;
        EXPECT_EQ(r.error, c.error) << c.name;
        EXPECT_EQ(refusals(server.eventlog()), before + (c.outside ? 1 : 0)) << c.name;
    }
}

TEST_F(DataRoot, ForcedClosesOutsideAreRefusedAndInsideStillWork) {
    ASSERT_TRUE(server.start({"--data-root", root()}));
    RawClient client(server.port());
    ASSERT_EQ(client.open("ok.db").error, 0);
    for (const std::string &name : {std::string("../OUTSIDE.DB"), dir.file("OUTSIDE.DB")}) {
        EXPECT_EQ(client.call(kOpForceClose, FS{}, name.c_str(), name.size() + 1).error,
                  kErrOpenFile)
            << name;
    }
    const std::string upper = "OK.DB";
    EXPECT_EQ(client.call(kOpForceClose, FS{}, upper.c_str(), upper.size() + 1).error, 0);
    EXPECT_NE(server.eventlog().find("fsforceclose - ../OUTSIDE.DB leads outside"),
              std::string::npos);
}

// The number of temporary database files ("vt??????.tmp") in `where`.
int tempfiles(const std::string &where) {
    int n = 0;
    for (const auto &entry : fs::directory_iterator(where)) {
        const std::string name = entry.path().filename().string();
        if (name.size() == 12 && name.rfind("vt", 0) == 0 && name.ends_with(".tmp")) ++n;
    }
    return n;
}

TEST_F(DataRoot, TemporaryFilesAreMadeAndDeletedInsideTheRoot) {
    ASSERT_TRUE(server.start({"--data-root", root()}));
    RawClient client(server.port());
    const Reply opened = client.onfile(kOpOpenTemp, 0);
    ASSERT_EQ(opened.error, 0);
    EXPECT_EQ(tempfiles(root()), 1);
    EXPECT_EQ(tempfiles(dir.path()), 0);
    const auto stored = storedform(samplerecord(3, 80));
    EXPECT_EQ(client.onfile(kOpAdd, opened.fsdatanum, 0x10, 0, stored.data(), stored.size()).error,
              0);
    EXPECT_EQ(client.onfile(kOpCloseTemp, opened.fsdatanum).error, 0);
    EXPECT_EQ(tempfiles(root()), 0);
}

TEST_F(DataRoot, WithoutARootNamesAreUsedAsGiven) {
    ASSERT_TRUE(server.start());
    RawClient client(server.port());
    EXPECT_EQ(client.open("root/../outside.db").error, 0);
    EXPECT_EQ(client.open(root() + "/ok.db").error, 0);
}

TEST_F(DataRoot, ARootThatIsNoDirectoryStopsTheStart) {
    const RunResult run = runprogram(VORNSERV_PATH, {"--data-root", dir.file("outside.db")});
    EXPECT_EQ(run.status, 2);
}

// A server that admits only some addresses. Loopback is a whole /8 on Linux, so a client bound
// to 127.0.0.2 reaches the server on 127.0.0.1 from another address.
class Allow : public ::testing::Test {
  protected:
    TempDir dir;
    ServerProcess server{dir.path()};
};

TEST_F(Allow, OtherAddressesAreClosedWithoutAByteAndLogged) {
    ASSERT_TRUE(makedatabasefile(dir.file("a.db")));
    ASSERT_TRUE(server.start({"--allow", "127.0.0.2", "--allow", "10.0.0.0/8"}));
    RawClient refused;
    ASSERT_TRUE(refused.makesocket());
    ASSERT_TRUE(refused.connectsocket(server.port()));
    const auto request = RawClient::packet(kOpOpen, FS{}, "a.db", 5);
    refused.sendbytes(request.data(), request.size());
    EXPECT_TRUE(refused.closedbypeer());
    RawClient admitted;
    ASSERT_TRUE(admitted.makesocket());
    ASSERT_TRUE(admitted.bindsource("127.0.0.2"));
    ASSERT_TRUE(admitted.connectsocket(server.port()));
    EXPECT_EQ(admitted.open("a.db").error, 0);
    EXPECT_NE(server.eventlog().find("Connection from 127.0.0.1 refused"), std::string::npos);
    EXPECT_EQ(server.eventlog().find("Connection from 127.0.0.2"), std::string::npos);
}

TEST_F(Allow, ARangeAdmitsEveryAddressInIt) {
    ASSERT_TRUE(makedatabasefile(dir.file("a.db")));
    ASSERT_TRUE(server.start({"--allow", "127.0.0.0/8"}));
    RawClient client(server.port());
    EXPECT_EQ(client.open("a.db").error, 0);
}

TEST(AllowRules, AddressesAreMatchedByTheirPrefix) {
    const auto parse = [](std::vector<std::string> args, server::ServerOptions *options) {
        args.insert(args.begin(), "vornserv");
        std::vector<char *> argv;
        for (std::string &a : args) argv.push_back(a.data());
        std::string error;
        return server::parseoptions(static_cast<int>(argv.size()), argv.data(), options, &error);
    };
    const auto addr = [](const char *text) {
        in_addr a{};
        ::inet_pton(AF_INET, text, &a);
        return a.s_addr;
    };
    struct Case {
        std::vector<std::string> args;
        bool parses;
        const char *peer;
        bool admitted;
    };
    const Case cases[] = {
        {{}, true, "192.0.2.1", true},
        {{"--allow", "192.0.2.1"}, true, "192.0.2.1", true},
        {{"--allow", "192.0.2.1"}, true, "192.0.2.2", false},
        {{"--allow=192.0.2.0/24"}, true, "192.0.2.200", true},
        {{"--allow", "192.0.2.0/24"}, true, "192.0.3.1", false},
        {{"--allow", "10.0.0.0/9"}, true, "10.127.255.255", true},
        {{"--allow", "10.0.0.0/9"}, true, "10.128.0.0", false},
        {{"--allow", "0.0.0.0/0"}, true, "203.0.113.9", true},
        {{"--allow", "10.0.0.1", "--allow", "10.0.0.2"}, true, "10.0.0.2", true},
        {{"--allow", "10.0.0.1/33"}, false, "", false},
        {{"--allow", "10.0.0.1/"}, false, "", false},
        {{"--allow", "10.0.0.1:80"}, false, "", false},
        {{"--allow", "host"}, false, "", false},
        {{"--allow"}, false, "", false},
        {{"--data-root"}, false, "", false},
        {{"--data-root", ""}, false, "", false},
    };
    for (const Case &c : cases) {
        server::ServerOptions options;
        const std::string what = c.args.empty() ? "(none)" : c.args.back();
        ASSERT_EQ(parse(c.args, &options), c.parses) << what;
        if (!c.parses) continue;
        EXPECT_EQ(server::admitted(options.listen.allow, addr(c.peer)), c.admitted)
            << what << " " << c.peer;
    }
}

// The server run as "nobody" (when the tests run as root and setpriv is there): it serves the
// files its user may reach in its data root, its files belong to that user, and a file only
// root may read stays closed to it.
TEST_F(DataRoot, RunsAsAnUnprivilegedUser) {
    const passwd *nobody = ::getpwnam("nobody");
    const group *nogroup = ::getgrnam("nogroup");
    if (::geteuid() != 0 || nobody == nullptr || nogroup == nullptr ||
        ::access("/usr/bin/setpriv", X_OK) != 0) {
        GTEST_SKIP() << "needs root, setpriv and the user nobody";
    }
    const uid_t uid = nobody->pw_uid;
    ASSERT_TRUE(makedatabasefile(root() + "/secret.db"));
    for (const std::string &path : {dir.path(), root(), root() + "/ok.db"}) {
        ASSERT_EQ(::chown(path.c_str(), uid, nogroup->gr_gid), 0) << path;
    }
    ASSERT_EQ(::chmod((root() + "/secret.db").c_str(), 0600), 0);
    ASSERT_TRUE(server.start({"--data-root", root()},
                             {"/usr/bin/setpriv", "--reuid=" + std::to_string(uid),
                              "--regid=" + std::to_string(nogroup->gr_gid), "--clear-groups"}));
    RawClient client(server.port());
    EXPECT_EQ(client.open("ok.db").error, 0);
    EXPECT_EQ(client.open("secret.db").error, kErrOpenFile);
    const Reply temp = client.onfile(kOpOpenTemp, 0);
    ASSERT_EQ(temp.error, 0);
    for (const auto &entry : fs::directory_iterator(root())) {
        const std::string name = entry.path().filename().string();
        if (!name.ends_with(".tmp")) continue;
        struct stat st {};
        ASSERT_EQ(::stat(entry.path().c_str(), &st), 0);
        EXPECT_EQ(st.st_uid, uid) << "the server's files belong to its own user";
    }
    EXPECT_EQ(server.stop(), 0);
}

}  // namespace
}  // namespace vorn::test
