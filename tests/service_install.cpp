// The installer as a program: its usage text, the unit it writes under DESTDIR, the fatal
// errors with the service manager's numbers, and a unit that systemd accepts.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "service_process.h"
#include "support/enginefile.h"

namespace vorn::test {
namespace {

constexpr char kUsage[] =
    "Usage:\n"
    "   install service_name service_label executable\n"
    "           service_name is the name used internally by the SCM\n"
    "           service_label is the name that appears in the Services applet\n"
    "              (for multiple words, put them in double quotes)\n"
    "           executable is the full path to the EXE\n"
    "\n";

constexpr char kInstalled[] = "Starting...\nService installed\nEnding...\n";

std::string readfile(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream all;
    all << in.rdbuf();
    return all.str();
}

class Install : public ::testing::Test {
  protected:
    RunResult install(const std::vector<std::string> &args) {
        return runprogram(INSTALL_PATH, args, {"DESTDIR=" + dest()});
    }
    std::string dest() const { return dir.file("root"); }
    std::string unit(const std::string &name) const {
        return dest() + "/etc/systemd/system/" + name + ".service";
    }
    TempDir dir;
};

TEST_F(Install, WrongArgumentCountPrintsTheUsageAndChangesNothing) {
    const std::vector<std::vector<std::string>> argsets = {
        {}, {"VORNService"}, {"VORNService", "label"}, {"a", "b", "c", "d"}};
    for (const auto &args : argsets) {
        const RunResult run = install(args);
        EXPECT_EQ(run.out, kUsage) << args.size() << " arguments";
        EXPECT_EQ(run.status, 1);
    }
    EXPECT_FALSE(std::filesystem::exists(dest()));
}

TEST_F(Install, WritesAnOnDemandNotifyUnitWithTheLabelAndTheProgram) {
    const RunResult run = install({"VORNService", "Vorn Database Server", VORNSERV_PATH});
    EXPECT_EQ(run.out, kInstalled);
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(readfile(unit("VORNService")),
              std::string("# Registered by install: an on-demand service (not enabled at boot).\n"
                          "[Unit]\n"
                          "Description=Vorn Database Server\n"
                          "\n"
                          "[Service]\n"
                          "Type=notify\n"
                          "StateDirectory=VORNService\n"
                          "WorkingDirectory=%S/VORNService\n"
                          "ExecStart=\"") +
                  VORNSERV_PATH + "\" --data-root \"/var/lib/VORNService\"\n");
    struct stat st {};
    ASSERT_EQ(::stat(unit("VORNService").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0644u);
    // Nothing but the unit is left in the directory.
    int entries = 0;
    for ([[maybe_unused]] const auto &e :
         std::filesystem::directory_iterator(dest() + "/etc/systemd/system")) {
        ++entries;
    }
    EXPECT_EQ(entries, 1);
}

bool havesystemdanalyze() {
    return std::system("command -v systemd-analyze >/dev/null 2>&1") == 0;
}

// The third argument is the program's path, kept whole and literal whatever it holds; systemd
// accepts every unit written (when systemd-analyze is there to ask).
TEST_F(Install, TheProgramPathIsOneLiteralWordThatSystemdAccepts) {
    struct Case {
        const char *file;      // below the test directory
        const char *execline;  // after the directory
    };
    const Case cases[] = {
        {"My Apps/vornserv", "My Apps/vornserv\""},
        {"-dash/100% $HOME", "-dash/100%% $HOME\""},
        {"it's/a \"q\"\\b", "it's/a \\\"q\\\"\\\\b\""},
        {"$x/tab\there", "$$x/tab\\x09here\""},
    };
    int n = 0;
    for (const Case &c : cases) {
        const std::string program = dir.file(c.file);
        std::filesystem::create_directories(std::filesystem::path(program).parent_path());
        std::filesystem::copy_file("/bin/true", program);
        const std::string name = "vorn-path" + std::to_string(++n);
        ASSERT_EQ(install({name, "100% up", program}).status, 0) << c.file;
        const std::string text = readfile(unit(name));
        EXPECT_NE(text.find("Description=100%% up\n"), std::string::npos) << text;
        const bool direct = std::string(c.file).find_first_of("'\"\\\t") == std::string::npos;
        const std::string prefix =
            direct ? "ExecStart=\"" : "ExecStart=/bin/sh -c \"exec \\\"$$0\\\" \\\"$$@\\\"\" \"";
        const std::string root = " --data-root \"/var/lib/" + name + "\"\n";
        EXPECT_NE(text.find(prefix + dir.path() + "/" + c.execline + root), std::string::npos)
            << text;
        if (!havesystemdanalyze()) continue;
        const std::string verify =
            "systemd-analyze verify '" + unit(name) + "' > '" + dir.file("verify") + "' 2>&1";
        EXPECT_EQ(std::system(verify.c_str()), 0) << readfile(dir.file("verify"));
    }
}

TEST_F(Install, ExistingServiceFailsWith1073AndKeepsTheUnit) {
    ASSERT_EQ(install({"VORNService", "first", "/usr/bin/first"}).status, 0);
    const RunResult run = install({"VORNService", "second", "/usr/bin/second"});
    EXPECT_EQ(run.out, "Starting...\nIn CreateService\nError number: 1073\n");
    EXPECT_EQ(run.status, 1073 & 0xFF);
    EXPECT_NE(readfile(unit("VORNService")).find("first"), std::string::npos);
}

TEST_F(Install, AUnitOfTheSameNameInAnyUnitDirectoryExists) {
    std::filesystem::create_directories(dest() + "/lib/systemd/system");
    std::ofstream(dest() + "/lib/systemd/system/sshd.service") << "[Service]\n";
    const RunResult run = install({"sshd", "label", "/bin/true"});
    EXPECT_EQ(run.out, "Starting...\nIn CreateService\nError number: 1073\n");
    EXPECT_FALSE(std::filesystem::exists(unit("sshd")));
}

TEST_F(Install, UnwritableUnitDirectoryFailsWithAccessDenied) {
    // Tests run as root, which may write anywhere: a directory below a regular file can't
    // be made by anyone.
    std::ofstream(dir.file("plain")) << "x";
    const RunResult run = runprogram(INSTALL_PATH, {"VORNService", "label", "/bin/true"},
                                     {"DESTDIR=" + dir.file("plain")});
    EXPECT_EQ(run.out, "Starting...\nIn OpenScManager\nError number: 5\n");
    EXPECT_EQ(run.status, 5);
}

TEST_F(Install, RejectsNamesAndTextsAUnitCannotHold) {
    struct Case {
        std::vector<std::string> args;
        const char *error;
    };
    const Case cases[] = {
        {{"a/b", "label", "/bin/true"}, "123"},
        {{"tmpl@", "label", "/bin/true"}, "123"},
        {{"", "label", "/bin/true"}, "123"},
        {{std::string(250, 'n'), "label", "/bin/true"}, "123"},
        {{"..", "label", "/bin/true"}, "123"},
        {{"ok", "two\nlines", "/bin/true"}, "87"},
        {{"ok", "label", "/bin/true\nExecStartPre=/bin/false"}, "87"},
        {{"ok", "label", ""}, "87"},
    };
    for (const Case &c : cases) {
        const RunResult run = install(c.args);
        EXPECT_EQ(run.out,
                  std::string("Starting...\nIn CreateService\nError number: ") + c.error + "\n")
            << c.args[0];
        EXPECT_FALSE(std::filesystem::exists(unit("ok")));
    }
}

TEST_F(Install, SystemdAcceptsTheUnit) {
    if (!havesystemdanalyze()) GTEST_SKIP() << "systemd-analyze is not installed";
    ASSERT_EQ(install({"vorntest", "Vorn test service", VORNSERV_PATH}).status, 0);
    const std::string command =
        "systemd-analyze verify '" + unit("vorntest") + "' > '" + dir.file("verify") + "' 2>&1";
    EXPECT_EQ(std::system(command.c_str()), 0) << readfile(dir.file("verify"));
}

}  // namespace
}  // namespace vorn::test
