// The service-manager part of the platform seam: how the server runs as a service. The
// dispatcher starts the service's main function on a thread of its own and delivers control
// requests (stop, pause, continue, interrogate) to the registered handler on the thread that
// called it; the service reports every state change through setservicestatus.
//
// On Linux the program runs in the foreground under systemd or from a shell. The control
// requests are the process's signals (SIGTERM and SIGINT stop, SIGUSR1 pauses, SIGUSR2
// continues, SIGHUP interrogates), taken by the dispatcher thread with sigwait, never in an
// asynchronous handler. State reports go to systemd over the notification socket when
// NOTIFY_SOCKET is set, and to the event log.
#pragma once

#include <cstdint>

namespace vorn::platform {

// States a service reports.
enum ServiceState : std::uint32_t {
    kServiceStopped = 1,
    kServiceStartPending = 2,
    kServiceStopPending = 3,
    kServiceRunning = 4,
    kServiceContinuePending = 5,
    kServicePausePending = 6,
    kServicePaused = 7,
};

// Control requests delivered to the handler.
enum ServiceControl : std::uint32_t {
    kControlStop = 1,
    kControlPause = 2,
    kControlContinue = 3,
    kControlInterrogate = 4,
    kControlShutdown = 5,
};

// Bits of ServiceStatus::controlsaccepted.
inline constexpr std::uint32_t kAcceptStop = 1;
inline constexpr std::uint32_t kAcceptPauseContinue = 2;
inline constexpr std::uint32_t kAcceptShutdown = 4;

// A service that runs in a process of its own.
inline constexpr std::uint32_t kServiceOwnProcess = 16;
// The exit code that says "see the service-specific code".
inline constexpr std::uint32_t kErrorServiceSpecific = 1066;

// One status report, field for field as the service manager keeps it.
struct ServiceStatus {
    std::uint32_t servicetype;
    std::uint32_t currentstate;
    std::uint32_t controlsaccepted;
    std::uint32_t win32exitcode;
    std::uint32_t servicespecificexitcode;
    std::uint32_t checkpoint;
    std::uint32_t waithint;  // milliseconds
};

using ServiceMainFunction = void (*)(int argc, char **argv);
using ServiceControlHandler = void (*)(std::uint32_t control);
using ServiceStatusHandle = std::uintptr_t;  // 0: none

struct ServiceTableEntry {
    const char *name;
    ServiceMainFunction main;
};

// Runs the dispatcher over `table` (ended by an entry with a null name; one service per
// process). It calls the service's main function with argc/argv on a thread of its own and
// delivers control requests on the calling thread until that function has returned. A control
// request that arrives while the service accepts none (start pending, no handler yet) waits
// until it does; stop requests are not delivered once a stop is pending. Returns false when
// the dispatcher could not be started (lasterror() tells why).
bool startservicectrldispatcher(const ServiceTableEntry *table, int argc, char **argv);

// The same dispatcher for a service run from a console rather than by the service manager
// (vornserv --foreground): the same main function, handler and reports; the control requests
// come from the console. On Linux, where the program always runs in the foreground, it is
// startservicectrldispatcher.
bool startconsoledispatcher(const ServiceTableEntry *table, int argc, char **argv);

// Registers the handler of the service `name`; 0 on failure.
ServiceStatusHandle registerservicectrlhandler(const char *name, ServiceControlHandler handler);

// Reports the service's status. False when the report was refused.
bool setservicestatus(ServiceStatusHandle handle, const ServiceStatus &status);

// The error number of the calling thread's last failed seam call.
std::uint32_t lasterror();

// The process exit status that stands for an error number: on Windows the number itself; on
// other systems the low eight bits, as a shell sees them, except that a nonzero error never
// reads as success.
inline int exitstatusfor(std::uint32_t error) {
#ifdef _WIN32
    return static_cast<int>(error);
#else
    if (error == 0) return 0;
    const int low = static_cast<int>(error & 0xFF);
    return low != 0 ? low : 255;
#endif
}

}  // namespace vorn::platform
