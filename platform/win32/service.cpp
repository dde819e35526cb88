// Win32 implementation of the service-manager seam.
//
// Under the service control manager: StartServiceCtrlDispatcher, RegisterServiceCtrlHandler
// and SetServiceStatus, with small adapters between the seam's function types and the
// system's. Started from a console, the dispatcher call fails with the manager's error 1063.
//
// In the console (startconsoledispatcher, vornserv --foreground): the same service logic
// without the manager. The service's main function runs on a thread of its own; the calling
// thread delivers control requests to the handler one at a time. They come from the console
// (Ctrl-C, Ctrl-Break and closing the window stop the service) and from standard input, one
// word a line: "stop", "pause", "continue" or "interrogate". Status reports go to the event
// log, one line each.
#include "vorn/service.h"

#include <windows.h>

#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>

#include "servicestatustext.h"
#include "vorn/eventlog.h"

namespace vorn::platform {
namespace {

// The one service of this process (the seam allows one per process).
ServiceMainFunction servicemain = nullptr;
ServiceControlHandler controlhandler = nullptr;

void WINAPI mainadapter(DWORD argc, LPSTR *argv) {
    servicemain(static_cast<int>(argc), argv);
}

void WINAPI handleradapter(DWORD control) {
    if (controlhandler != nullptr) controlhandler(control);
}

// The console dispatcher's state, guarded by `mutex`.
struct Console {
    std::mutex mutex;
    std::condition_variable changed;
    bool active = false;  // the console dispatcher runs (not the service manager's)
    std::string name;
    std::uint32_t state = 0;
    std::uint32_t accepted = 0;
    std::deque<std::uint32_t> controls;  // requests not yet delivered
    bool mainreturned = false;
};

Console console;

bool stopping(std::uint32_t state) {
    return state == kServiceStopPending || state == kServiceStopped;
}

// Caller holds the mutex.
bool acceptable(std::uint32_t control) {
    switch (control) {
        case kControlStop:
            return (console.accepted & kAcceptStop) != 0;
        case kControlPause:
        case kControlContinue:
            return (console.accepted & kAcceptPauseContinue) != 0;
        case kControlShutdown:
            return (console.accepted & kAcceptShutdown) != 0;
        default:
            return true;
    }
}

void post(std::uint32_t control) {
    {
        std::lock_guard lock(console.mutex);
        console.controls.push_back(control);
    }
    console.changed.notify_all();
}

BOOL WINAPI consolehandler(DWORD event) {
    switch (event) {
        case CTRL_C_EVENT:
        case CTRL_BREAK_EVENT:
        case CTRL_CLOSE_EVENT:
            post(kControlStop);
            return TRUE;
        default:
            return FALSE;
    }
}

// Reads control words from standard input until its end.
void readcontrols() {
    char line[64];
    while (std::fgets(line, sizeof line, stdin) != nullptr) {
        line[std::strcspn(line, "\r\n")] = '\0';
        static constexpr struct {
            const char *word;
            std::uint32_t control;
        } kWords[] = {{"stop", kControlStop},
                      {"pause", kControlPause},
                      {"continue", kControlContinue},
                      {"interrogate", kControlInterrogate}};
        for (const auto &w : kWords) {
            if (std::strcmp(line, w.word) == 0) post(w.control);
        }
    }
}

// Delivers requests until the service's main function has returned. A request waits while
// the service accepts none; once a stop is pending nothing more is delivered.
void controlloop() {
    std::unique_lock lock(console.mutex);
    for (;;) {
        console.changed.wait(lock, [] {
            return console.mainreturned ||
                   (!console.controls.empty() && console.accepted != 0 && controlhandler);
        });
        if (console.mainreturned) return;
        const std::uint32_t control = console.controls.front();
        console.controls.pop_front();
        if (stopping(console.state) || !acceptable(control)) continue;
        lock.unlock();
        controlhandler(control);
        lock.lock();
    }
}

}  // namespace

bool startservicectrldispatcher(const ServiceTableEntry *table, int, char **) {
    if (table == nullptr || table[0].name == nullptr || table[0].main == nullptr) {
        ::SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    servicemain = table[0].main;
    char name[257];
    std::snprintf(name, sizeof name, "%s", table[0].name);
    const SERVICE_TABLE_ENTRYA entries[] = {{name, mainadapter}, {nullptr, nullptr}};
    return ::StartServiceCtrlDispatcherA(entries) != 0;
}

bool startconsoledispatcher(const ServiceTableEntry *table, int argc, char **argv) {
    if (table == nullptr || table[0].name == nullptr || table[0].main == nullptr) {
        ::SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    {
        std::lock_guard lock(console.mutex);
        if (console.active) {
            ::SetLastError(ERROR_SERVICE_ALREADY_RUNNING);
            return false;
        }
        console.active = true;
        console.name = table[0].name;
        console.mainreturned = false;
    }
    ::SetConsoleCtrlHandler(consolehandler, TRUE);
    std::thread mainthread;
    try {
        mainthread = std::thread([main = table[0].main, argc, argv] {
            main(argc, argv);
            {
                std::lock_guard lock(console.mutex);
                console.mainreturned = true;
            }
            console.changed.notify_all();
        });
        // Blocked in fgets until the process ends: never joined.
        std::thread(readcontrols).detach();
    } catch (const std::system_error &) {
        ::SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        if (!mainthread.joinable()) return false;
    }
    controlloop();
    mainthread.join();
    ::SetConsoleCtrlHandler(consolehandler, FALSE);
    return true;
}

ServiceStatusHandle registerservicectrlhandler(const char *name, ServiceControlHandler handler) {
    if (name == nullptr || handler == nullptr) {
        ::SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    {
        std::lock_guard lock(console.mutex);
        if (console.active) {
            if (console.name != name) {
                ::SetLastError(ERROR_SERVICE_DOES_NOT_EXIST);
                return 0;
            }
            controlhandler = handler;
            return 1;
        }
    }
    controlhandler = handler;
    return reinterpret_cast<ServiceStatusHandle>(
        ::RegisterServiceCtrlHandlerA(name, handleradapter));
}

bool setservicestatus(ServiceStatusHandle handle, const ServiceStatus &status) {
    bool inconsole = false;
    {
        std::lock_guard lock(console.mutex);
        inconsole = console.active;
        if (inconsole) {
            if (handle != 1) {
                ::SetLastError(ERROR_INVALID_HANDLE);
                return false;
            }
            console.state = status.currentstate;
            console.accepted = status.controlsaccepted;
        }
    }
    if (inconsole) {
        console.changed.notify_all();
        reportevent(EventType::Information, 1, kEventInformation,
                    ("Service status: " + describe(status)).c_str());
        return true;
    }
    SERVICE_STATUS s{};
    s.dwServiceType = status.servicetype;
    s.dwCurrentState = status.currentstate;
    s.dwControlsAccepted = status.controlsaccepted;
    s.dwWin32ExitCode = status.win32exitcode;
    s.dwServiceSpecificExitCode = status.servicespecificexitcode;
    s.dwCheckPoint = status.checkpoint;
    s.dwWaitHint = status.waithint;
    return ::SetServiceStatus(reinterpret_cast<SERVICE_STATUS_HANDLE>(handle), &s) != 0;
}

std::uint32_t lasterror() {
    return ::GetLastError();
}

}  // namespace vorn::platform
