// The Windows side of the service host and the installer, under the real system calls: the
// message table compiled into vornserv.exe, vornserv.exe started from a console, install.exe
// against the service manager, and the event source's registration.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>

#include "vorn/eventlog.h"

namespace {

// The folder of this program, where the build puts every program and the DLL.
std::string programdir() {
    char path[MAX_PATH];
    const DWORD n = ::GetModuleFileNameA(nullptr, path, sizeof path);
    std::string dir(path, n);
    return dir.substr(0, dir.find_last_of("\\/") + 1);
}

struct Finished {
    DWORD exitcode = 0xFFFFFFFF;
    std::string output;  // standard output
};

// Runs a command line with its standard output on a pipe and waits for its end.
Finished run(const std::string &commandline) {
    Finished result;
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    HANDLE readend = nullptr, writeend = nullptr;
    if (!::CreatePipe(&readend, &writeend, &inherit, 0)) return result;
    ::SetHandleInformation(readend, HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = writeend;
    startup.hStdError = writeend;
    startup.hStdInput = ::GetStdHandle(STD_INPUT_HANDLE);
    PROCESS_INFORMATION process{};
    std::string line = commandline;
    const BOOL started = ::CreateProcessA(nullptr, line.data(), nullptr, nullptr, TRUE, 0, nullptr,
                                          nullptr, &startup, &process);
    ::CloseHandle(writeend);
    if (started) {
        char buf[512];
        DWORD n = 0;
        while (::ReadFile(readend, buf, sizeof buf, &n, nullptr) && n > 0)
            result.output.append(buf, n);
        ::WaitForSingleObject(process.hProcess, INFINITE);
        ::GetExitCodeProcess(process.hProcess, &result.exitcode);
        ::CloseHandle(process.hProcess);
        ::CloseHandle(process.hThread);
    }
    ::CloseHandle(readend);
    return result;
}

std::string quoted(const std::string &text) {
    return "\"" + text + "\"";
}

// The text of message `id` from vornserv.exe's message table, with `insertion` for %1.
std::string message(HMODULE module, DWORD id, const char *insertion) {
    char *text = nullptr;
    const DWORD_PTR args[] = {reinterpret_cast<DWORD_PTR>(insertion)};
    const DWORD n = ::FormatMessageA(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_ALLOCATE_BUFFER |
                                         FORMAT_MESSAGE_ARGUMENT_ARRAY,
                                     module, id, MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US),
                                     reinterpret_cast<char *>(&text), 0,
                                     reinterpret_cast<va_list *>(const_cast<DWORD_PTR *>(args)));
    std::string out = n > 0 ? std::string(text, n) : "<none>";
    if (text != nullptr) ::LocalFree(text);
    return out;
}

TEST(MessageTable, HoldsTheCategoryAndTheThreeEvents) {
    const std::string exe = programdir() + "vornserv.exe";
    const HMODULE module = ::LoadLibraryExA(exe.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    ASSERT_NE(module, nullptr) << exe;
    const struct {
        DWORD id;
        const char *text;
    } kMessages[] = {{1, "Category #1\r\n"},
                     {vorn::platform::kEventInformation, "VORNService started.\r\n"},
                     {vorn::platform::kEventWarning, "VORNService started.\r\n"},
                     {vorn::platform::kEventError, "VORNService started.\r\n"}};
    for (const auto &m : kMessages) {
        EXPECT_EQ(message(module, m.id, "started"), m.text) << std::hex << m.id;
    }
    EXPECT_EQ(message(module, 0x40000103, "started"), "<none>") << "no further message";
    ::FreeLibrary(module);
}

TEST(ConsoleStart, FailsInTheDispatcherWith1063) {
    const Finished r = run(quoted(programdir() + "vornserv.exe"));
    EXPECT_EQ(r.exitcode, 1063u);
    EXPECT_EQ(r.output, "In StartServiceCtrlDispatcher\r\nError number: 1063\r\n");
}

TEST(ConsoleStart, ABadOptionIsRefusedBeforeAnythingStarts) {
    const Finished r = run(quoted(programdir() + "vornserv.exe") + " --no-such-option");
    EXPECT_EQ(r.exitcode, 2u);
    EXPECT_EQ(r.output.find("In StartServiceCtrlDispatcher"), std::string::npos);
}

// Removes a test service, whatever state a failed test left.
void removeservice(const char *name) {
    const SC_HANDLE manager = ::OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    if (manager == nullptr) return;
    const SC_HANDLE service = ::OpenServiceA(manager, name, SERVICE_ALL_ACCESS);
    if (service != nullptr) {
        ::DeleteService(service);
        ::CloseServiceHandle(service);
    }
    ::CloseServiceHandle(manager);
}

TEST(Install, RegistersAnOnDemandServiceOnceThenAnswers1073) {
    const char *kName = "VORNTestInstall";
    removeservice(kName);
    const std::string install = quoted(programdir() + "install.exe");
    const std::string target = "C:\\vorn\\vornserv.exe";
    const std::string args = std::string(" ") + kName + " \"Vorn test service\" " + target;

    const Finished first = run(install + args);
    EXPECT_EQ(first.exitcode, 0u);
    EXPECT_EQ(first.output, "Starting...\r\nService installed\r\nEnding...\r\n");

    const SC_HANDLE manager = ::OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
    ASSERT_NE(manager, nullptr);
    const SC_HANDLE service = ::OpenServiceA(manager, kName, SERVICE_QUERY_CONFIG);
    ASSERT_NE(service, nullptr);
    alignas(QUERY_SERVICE_CONFIGA) char buf[8192];
    auto *config = reinterpret_cast<QUERY_SERVICE_CONFIGA *>(buf);
    DWORD needed = 0;
    ASSERT_TRUE(::QueryServiceConfigA(service, config, sizeof buf, &needed));
    EXPECT_EQ(config->dwServiceType, static_cast<DWORD>(SERVICE_WIN32_OWN_PROCESS));
    EXPECT_EQ(config->dwStartType, static_cast<DWORD>(SERVICE_DEMAND_START));
    EXPECT_EQ(config->dwErrorControl, static_cast<DWORD>(SERVICE_ERROR_NORMAL));
    EXPECT_EQ(std::string(config->lpBinaryPathName), target);
    EXPECT_EQ(std::string(config->lpDisplayName), "Vorn test service");
    ::CloseServiceHandle(service);
    ::CloseServiceHandle(manager);

    const Finished second = run(install + args);
    EXPECT_EQ(second.exitcode, 1073u);
    EXPECT_EQ(second.output, "Starting...\r\nIn CreateService\r\nError number: 1073\r\n");
    removeservice(kName);
}

TEST(Install, WrongArgumentCountsPrintTheUsage) {
    const std::string install = quoted(programdir() + "install.exe");
    for (const char *args : {"", " a b", " a b c d"}) {
        const Finished r = run(install + args);
        EXPECT_EQ(
            r.output.rfind("Usage:\r\n   install service_name service_label executable\r\n", 0), 0u)
            << args;
        EXPECT_EQ(r.output.find("Starting"), std::string::npos) << args;
    }
}

TEST(EventLog, TheSourceRegistersAndNamesItsMessageFile) {
    ASSERT_TRUE(vorn::platform::openeventlog("VORNTestSource", nullptr));
    vorn::platform::reportevent(vorn::platform::EventType::Information, 1,
                                vorn::platform::kEventInformation, "test report");
    vorn::platform::closeeventlog();
    HKEY key = nullptr;
    ASSERT_EQ(::RegOpenKeyExA(HKEY_LOCAL_MACHINE,
                              "SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\"
                              "VORNTestSource",
                              0, KEY_QUERY_VALUE, &key),
              ERROR_SUCCESS);
    char path[MAX_PATH] = {};
    DWORD size = sizeof path;
    EXPECT_EQ(::RegQueryValueExA(key, "EventMessageFile", nullptr, nullptr,
                                 reinterpret_cast<BYTE *>(path), &size),
              ERROR_SUCCESS);
    EXPECT_NE(std::string(path).find("win_service.exe"), std::string::npos) << path;
    DWORD categories = 0;
    size = sizeof categories;
    EXPECT_EQ(::RegQueryValueExA(key, "CategoryCount", nullptr, nullptr,
                                 reinterpret_cast<BYTE *>(&categories), &size),
              ERROR_SUCCESS);
    EXPECT_EQ(categories, 1u);
    ::RegCloseKey(key);
    ::RegDeleteKeyA(HKEY_LOCAL_MACHINE,
                    "SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\VORNTestSource");
}

}  // namespace
