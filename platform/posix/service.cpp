// POSIX implementation of the service-manager seam. The process runs in the foreground; its
// control requests are signals, which every thread keeps blocked and the dispatcher thread
// takes one at a time with sigwait, so the control handler runs as an ordinary function on
// one thread. State reports go to systemd's notification socket (the datagram protocol of
// READY=1, STOPPING=1 and STATUS=... lines) when NOTIFY_SOCKET names one, and to the event log.
#include "vorn/service.h"

#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdlib>
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

// One service per process, so one handle value.
constexpr ServiceStatusHandle kTheHandle = 1;

struct Dispatcher {
    std::mutex mutex;
    std::string name;                         // the service's name from the table
    ServiceControlHandler handler = nullptr;  // set by registerservicectrlhandler
    std::uint32_t state = 0;                  // last reported state, 0 before the first
    std::uint32_t accepted = 0;               // controls the last report accepted
    std::deque<std::uint32_t> waiting;        // controls that came before any was accepted
    pthread_t thread{};                       // the dispatcher thread, woken by kWakeSignal
    bool running = false;
    bool mainreturned = false;
};

Dispatcher dispatcher;

// Wakes the dispatcher thread from sigwait: when the service's main function has returned, or
// when controls that had to wait can now be delivered.
int wakesignal() {
    return SIGRTMIN;
}

sigset_t waitedsignals() {
    sigset_t set;
    sigemptyset(&set);
    for (const int sig : {SIGTERM, SIGINT, SIGUSR1, SIGUSR2, SIGHUP}) sigaddset(&set, sig);
    sigaddset(&set, wakesignal());
    return set;
}

// Blocked in every thread but never waited for: a write to a connection the peer has closed
// then fails with EPIPE instead of ending the process.
sigset_t blockedsignals() {
    sigset_t set = waitedsignals();
    sigaddset(&set, SIGPIPE);
    return set;
}

std::uint32_t controlfor(int sig) {
    switch (sig) {
        case SIGUSR1:
            return kControlPause;
        case SIGUSR2:
            return kControlContinue;
        case SIGHUP:
            return kControlInterrogate;
        default:
            return kControlStop;  // SIGTERM, SIGINT
    }
}

bool stopping(std::uint32_t state) {
    return state == kServiceStopPending || state == kServiceStopped;
}

// What a control needs from the last report; caller holds the mutex.
bool acceptable(std::uint32_t control) {
    switch (control) {
        case kControlStop:
            return (dispatcher.accepted & kAcceptStop) != 0;
        case kControlPause:
        case kControlContinue:
            return (dispatcher.accepted & kAcceptPauseContinue) != 0;
        case kControlShutdown:
            return (dispatcher.accepted & kAcceptShutdown) != 0;
        default:
            return true;
    }
}

// Hands one control to the handler on this (the dispatcher) thread. Before the service
// accepts controls at all the request waits; once a stop is pending nothing more is
// delivered; a control the service doesn't accept is dropped.
void deliver(std::uint32_t control) {
    ServiceControlHandler handler = nullptr;
    {
        std::lock_guard lock(dispatcher.mutex);
        if (stopping(dispatcher.state)) return;
        if (dispatcher.handler == nullptr || dispatcher.accepted == 0) {
            dispatcher.waiting.push_back(control);
            return;
        }
        if (!acceptable(control)) return;
        handler = dispatcher.handler;
    }
    handler(control);
}

void deliverwaiting() {
    std::deque<std::uint32_t> controls;
    {
        std::lock_guard lock(dispatcher.mutex);
        if (dispatcher.accepted == 0) return;
        controls.swap(dispatcher.waiting);
    }
    for (const std::uint32_t control : controls) deliver(control);
}

// Caller holds the mutex.
void wakedispatcher() {
    if (dispatcher.running) ::pthread_kill(dispatcher.thread, wakesignal());
}

// The notification for systemd: READY=1 when running, STOPPING=1 when a stop is pending,
// always a STATUS= line, and for start and stop the wait hint as an extension of the timeout.
std::string notification(const ServiceStatus &status) {
    std::string message;
    if (status.currentstate == kServiceRunning) message += "READY=1\n";
    if (status.currentstate == kServiceStopPending) message += "STOPPING=1\n";
    message += "STATUS=" + describe(status);
    const bool timed =
        status.currentstate == kServiceStartPending || status.currentstate == kServiceStopPending;
    if (timed && status.waithint != 0)
        message += "\nEXTEND_TIMEOUT_USEC=" + std::to_string(status.waithint * 1000ULL);
    return message;
}

// Sends one datagram to the socket NOTIFY_SOCKET names ("/path" or "@abstract"). Nothing
// happens when it is unset; a failed send is not an error of the service.
void notifysystemd(const std::string &message) {
    const char *path = std::getenv("NOTIFY_SOCKET");
    if (path == nullptr || (path[0] != '/' && path[0] != '@')) return;
    sockaddr_un address{};
    const std::size_t length = std::strlen(path);
    if (length >= sizeof address.sun_path) return;
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path, length);
    if (path[0] == '@') address.sun_path[0] = '\0';
    const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return;
    const auto size = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + length);
    ::sendto(fd, message.data(), message.size(), MSG_NOSIGNAL,
             reinterpret_cast<const sockaddr *>(&address), size);
    ::close(fd);
}

void runmain(ServiceMainFunction main, int argc, char **argv) {
    main(argc, argv);
    std::lock_guard lock(dispatcher.mutex);
    dispatcher.mainreturned = true;
    wakedispatcher();
}

void controlloop() {
    const sigset_t set = waitedsignals();
    for (;;) {
        int sig = 0;
        if (::sigwait(&set, &sig) != 0) continue;
        if (sig == wakesignal()) {
            {
                std::lock_guard lock(dispatcher.mutex);
                if (dispatcher.mainreturned) return;
            }
            deliverwaiting();
            continue;
        }
        deliver(controlfor(sig));
    }
}

}  // namespace

bool startservicectrldispatcher(const ServiceTableEntry *table, int argc, char **argv) {
    if (table == nullptr || table[0].name == nullptr || table[0].main == nullptr) {
        errno = EINVAL;
        return false;
    }
    // Blocked before any thread starts, so every thread of the process inherits the mask and
    // the signals stay pending for sigwait. They stay blocked after the dispatcher returns.
    const sigset_t blocked = blockedsignals();
    const int rc = ::pthread_sigmask(SIG_BLOCK, &blocked, nullptr);
    if (rc != 0) {
        errno = rc;
        return false;
    }
    {
        std::lock_guard lock(dispatcher.mutex);
        if (dispatcher.running) {
            errno = EBUSY;
            return false;
        }
        dispatcher.name = table[0].name;
        dispatcher.thread = ::pthread_self();
        dispatcher.running = true;
        dispatcher.mainreturned = false;
    }
    std::thread mainthread;
    try {
        mainthread = std::thread(runmain, table[0].main, argc, argv);
    } catch (const std::system_error &e) {
        std::lock_guard lock(dispatcher.mutex);
        dispatcher.running = false;
        errno = e.code().value();
        return false;
    }
    controlloop();
    mainthread.join();
    std::lock_guard lock(dispatcher.mutex);
    dispatcher.running = false;
    dispatcher.handler = nullptr;
    return true;
}

bool startconsoledispatcher(const ServiceTableEntry *table, int argc, char **argv) {
    return startservicectrldispatcher(table, argc, argv);
}

ServiceStatusHandle registerservicectrlhandler(const char *name, ServiceControlHandler handler) {
    std::lock_guard lock(dispatcher.mutex);
    if (name == nullptr || handler == nullptr) {
        errno = EINVAL;
        return 0;
    }
    if (!dispatcher.running || dispatcher.name != name) {
        errno = ESRCH;  // not a service of this process's dispatcher
        return 0;
    }
    dispatcher.handler = handler;
    return kTheHandle;
}

bool setservicestatus(ServiceStatusHandle handle, const ServiceStatus &status) {
    {
        std::lock_guard lock(dispatcher.mutex);
        if (handle != kTheHandle || dispatcher.handler == nullptr) {
            errno = EBADF;
            return false;
        }
        dispatcher.state = status.currentstate;
        dispatcher.accepted = status.controlsaccepted;
        if (dispatcher.accepted != 0 && !dispatcher.waiting.empty()) wakedispatcher();
    }
    notifysystemd(notification(status));
    const std::string event = "Service status: " + describe(status);
    reportevent(EventType::Information, 1, kEventInformation, event.c_str());
    return true;
}

std::uint32_t lasterror() {
    return static_cast<std::uint32_t>(errno);
}

}  // namespace vorn::platform
