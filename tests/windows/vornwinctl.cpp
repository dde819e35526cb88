// vornwinctl: a small client of the service manager and the status pipe for the Windows tests.
//
//   vornwinctl control NAME stop|pause|continue|interrogate
//                              sends the request (ControlService) and prints the state reported
//   vornwinctl wait NAME STATE SECONDS
//                              waits until the service reports STATE (1 stopped .. 7 paused)
//   vornwinctl hold SECONDS    does nothing for that long (Wine ends services once no other
//                              program runs)
//   vornwinctl pipe NAME       checks the status pipe: replies, three clients at once, a
//                              fourth refused, EXIT closing the conversation (a fresh server)
// Exit status 0 when everything went as expected; what went wrong is printed.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

int usage() {
    std::fputs(
        "usage: vornwinctl control NAME WORD | wait NAME STATE SECONDS | hold SECONDS | "
        "pipe NAME\n",
        stderr);
    return 2;
}

int failed(const char *what) {
    std::printf("vornwinctl: %s failed, error %lu\n", what, ::GetLastError());
    return 1;
}

SC_HANDLE openservice(const char *name) {
    const SC_HANDLE manager = ::OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
    if (manager == nullptr) return nullptr;
    const SC_HANDLE service = ::OpenServiceA(manager, name, SERVICE_ALL_ACCESS);
    ::CloseServiceHandle(manager);
    return service;
}

int control(const char *name, const char *word) {
    static constexpr struct {
        const char *word;
        DWORD code;
    } kCodes[] = {{"stop", SERVICE_CONTROL_STOP},
                  {"pause", SERVICE_CONTROL_PAUSE},
                  {"continue", SERVICE_CONTROL_CONTINUE},
                  {"interrogate", SERVICE_CONTROL_INTERROGATE}};
    DWORD code = 0;
    for (const auto &c : kCodes) {
        if (std::strcmp(word, c.word) == 0) code = c.code;
    }
    if (code == 0) return usage();
    const SC_HANDLE service = openservice(name);
    if (service == nullptr) return failed("OpenService");
    SERVICE_STATUS status{};
    if (!::ControlService(service, code, &status)) return failed("ControlService");
    std::printf("state %lu\n", status.dwCurrentState);
    ::CloseServiceHandle(service);
    return 0;
}

int wait(const char *name, DWORD state, int seconds) {
    const SC_HANDLE service = openservice(name);
    if (service == nullptr) return failed("OpenService");
    SERVICE_STATUS status{};
    for (int i = 0; i <= seconds * 10; ++i) {
        if (!::QueryServiceStatus(service, &status)) return failed("QueryServiceStatus");
        if (status.dwCurrentState == state) {
            std::printf("state %lu, exit code %lu\n", state, status.dwWin32ExitCode);
            return 0;
        }
        ::Sleep(100);
    }
    std::printf("vornwinctl: state %lu, not %lu\n", status.dwCurrentState, state);
    return 1;
}

// One client of the status pipe, on the plain Win32 calls.
struct PipeClient {
    HANDLE h = INVALID_HANDLE_VALUE;
    ~PipeClient() {
        if (h != INVALID_HANDLE_VALUE) ::CloseHandle(h);
    }
    // Connects as clients do: when every instance is busy, waits once for the pipe's default
    // time-out and tries again.
    bool connect(const std::string &path) {
        for (int attempt = 0; attempt < 2 && h == INVALID_HANDLE_VALUE; ++attempt) {
            h = ::CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                              0, nullptr);
            if (h != INVALID_HANDLE_VALUE || ::GetLastError() != ERROR_PIPE_BUSY) break;
            if (attempt == 0) ::WaitNamedPipeA(path.c_str(), NMPWAIT_USE_DEFAULT_WAIT);
        }
        if (h == INVALID_HANDLE_VALUE) return false;
        DWORD mode = PIPE_READMODE_MESSAGE;
        return ::SetNamedPipeHandleState(h, &mode, nullptr, nullptr) != 0;
    }
    // Sends `request` and returns the reply without its NUL; "<closed>" when the server ended
    // the conversation.
    std::string ask(const char *request) {
        DWORD n = 0;
        if (!::WriteFile(h, request, static_cast<DWORD>(std::strlen(request)), &n, nullptr))
            return "<write failed>";
        char reply[256] = {};
        if (!::ReadFile(h, reply, sizeof reply - 1, &n, nullptr)) return "<closed>";
        return std::string(reply, n > 0 && reply[n - 1] == '\0' ? n - 1 : n);
    }
};

bool expect(const char *what, const std::string &got, const std::string &want) {
    const bool ok = got == want;
    std::printf("%s %s: \"%s\"%s%s%s\n", ok ? "ok  " : "FAIL", what, got.c_str(),
                ok ? "" : " (want \"", ok ? "" : want.c_str(), ok ? "" : "\")");
    return ok;
}

int pipe(const char *name) {
    const std::string path = std::string("\\\\.\\pipe\\") + name;
    bool ok = true;
    PipeClient clients[3];
    for (PipeClient &c : clients) {
        if (!c.connect(path)) return failed("connecting one of three clients");
    }
    // The server is fresh: this is the first request it counts.
    ok &= expect("TOTAL", clients[0].ask("total"), "FILES:10 PACKETS:1 RETRIES:0");
    ok &= expect("FILE", clients[1].ask("FILE abc"), "FILENAMEABC 3 4039 4");
    ok &= expect("other", clients[2].ask("what"), "BAD COMMAND DUMMY");
    // A fourth client finds every instance busy: refused, after at most the pipe's time-out.
    const ULONGLONG start = ::GetTickCount64();
    PipeClient fourth;
    const bool refused = !fourth.connect(path);
    const ULONGLONG took = ::GetTickCount64() - start;
    ok &= expect("fourth client", refused ? "refused" : "connected", "refused");
    ok &= expect("refused promptly", took < 5000 ? "yes" : std::to_string(took) + " ms", "yes");
    ok &= expect("EXIT", clients[0].ask("exit"), "<closed>");
    // The conversation that ended makes room for the next client.
    PipeClient next;
    bool connected = false;
    for (int i = 0; i < 50 && !connected; ++i) {
        connected = next.connect(path);
        if (!connected) ::Sleep(100);
    }
    ok &= expect("client after EXIT", connected ? "connected" : "refused", "connected");
    // Counted: total, FILE, what, and this one (EXIT is not counted).
    if (connected) ok &= expect("TOTAL again", next.ask("TOTAL"), "FILES:10 PACKETS:4 RETRIES:0");
    return ok ? 0 : 1;
}

}  // namespace

int main(int argc, char **argv) {
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    if (argc == 4 && std::strcmp(argv[1], "control") == 0) return control(argv[2], argv[3]);
    if (argc == 5 && std::strcmp(argv[1], "wait") == 0)
        return wait(argv[2], static_cast<DWORD>(std::atoi(argv[3])), std::atoi(argv[4]));
    if (argc == 3 && std::strcmp(argv[1], "hold") == 0) {
        ::Sleep(static_cast<DWORD>(std::atoi(argv[2])) * 1000);
        return 0;
    }
    if (argc == 3 && std::strcmp(argv[1], "pipe") == 0) return pipe(argv[2]);
    return usage();
}
