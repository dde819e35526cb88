// The service host. Threads: the dispatcher (the program's main thread, which also runs
// ServiceCtrlHandler), ServiceMain, the request thread (doRequests and its connection
// threads) and the status interface's threads.
//
// States reported: start pending (check points 1 and 2) -> running -> (pause pending ->
// paused -> continue pending -> running)* -> stop pending -> stopped.
#include "servicehost.h"

#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <system_error>
#include <thread>

#include "filetable.h"
#include "mutex.h"
#include "vorn/eventlog.h"
#include "vorn/service.h"

namespace vorn::server {
namespace {

using namespace platform;

// A manual-reset event: once set it stays set until it is created again.
class TerminateEvent {
  public:
    void create() {
        MutexLock lock(mutex_);
        created_ = true;
        signalled_ = false;
    }
    void close() {
        MutexLock lock(mutex_);
        created_ = false;
    }
    // False when the event doesn't exist.
    bool set() {
        {
            MutexLock lock(mutex_);
            if (!created_) return false;
            signalled_ = true;
        }
        changed_.notify_all();
        return true;
    }
    void wait() {
        MutexLock lock(mutex_);
        while (!signalled_) lock.wait(changed_);
    }

  private:
    Mutex mutex_;
    std::condition_variable changed_;
    bool created_ GUARDED_BY(mutex_) = false;
    bool signalled_ GUARDED_BY(mutex_) = false;
};

constexpr std::uint32_t kAllControls = kAcceptStop | kAcceptPauseContinue | kAcceptShutdown;
// Service-specific exit code: the listener could not listen.
constexpr std::uint32_t kListenerFailed = 1;

HostConfig hostconfig;  // set before the dispatcher starts, read-only afterwards
std::atomic<ServiceStatusHandle> serviceStatusHandle{0};
TerminateEvent terminateEvent;
std::thread threadHandle;                       // the request thread; ServiceMain's thread only
std::atomic<bool> requestthreadstarted{false};  // stoprequests has something to stop
std::atomic<std::uint32_t> runningService{0};
std::atomic<std::uint32_t> pauseService{0};
Mutex endingmutex;

// Why InitService failed, for the "stopped" report.
std::uint32_t initerror = 0;
std::uint32_t initspecific = 0;
// The code terminate ended the service with: the process's exit status stands for it.
std::atomic<std::uint32_t> exitcode{0};

// The host's events: category 1, informational or error.
void reportinfo(const char *text) {
    reportevent(EventType::Information, 1, kEventInformation, text);
}
void reporterror(const char *text) {
    reportevent(EventType::Error, 1, kEventError, text);
}

// "a.b.c.d:port" of the listener (the address is kept in network byte order).
void printlistening(std::uint32_t addr, std::uint16_t port) {
    unsigned char bytes[4];
    std::memcpy(bytes, &addr, sizeof bytes);
    std::printf("vornserv listening on %u.%u.%u.%u:%u\n", bytes[0], bytes[1], bytes[2], bytes[3],
                static_cast<unsigned>(port));
    std::fflush(stdout);
}

std::uint32_t currentstate() {
    return pauseService != 0 ? kServicePaused : kServiceRunning;
}

// The error number of a failed step; never 0, so that a failure never reads as success.
std::uint32_t failure() {
    const std::uint32_t error = lasterror();
    return error != 0 ? error : 1;
}

}  // namespace

int runservicehost(const HostConfig &config, int argc, char **argv) {
    hostconfig = config;
    const char *logfile = config.eventlog.empty() ? nullptr : config.eventlog.c_str();
    if (!openeventlog(SERVICE_NAME, logfile)) ErrorHandler("In RegisterEventSource", lasterror());
    const ServiceTableEntry table[] = {{SERVICE_NAME, ServiceMain}, {nullptr, nullptr}};
    const bool started = config.foreground ? startconsoledispatcher(table, argc, argv)
                                           : startservicectrldispatcher(table, argc, argv);
    if (!started) {
        ErrorHandler("In StartServiceCtrlDispatcher", lasterror());
    }
    return exitstatusfor(exitcode);
}

void ErrorHandler(const char *message, std::uint32_t error) {
    std::printf("%s\nError number: %lu\n", message, static_cast<unsigned long>(error));
    std::fflush(stdout);
    std::exit(exitstatusfor(error));
}

void ServiceMain(int argc, char **argv) {
    serviceStatusHandle = registerservicectrlhandler(SERVICE_NAME, ServiceCtrlHandler);
    if (serviceStatusHandle == 0) return terminate(failure());
    if (!SendStatusToSCM(kServiceStartPending, 0, 0, 1, 5000)) return terminate(failure());
    terminateEvent.create();
    if (!SendStatusToSCM(kServiceStartPending, 0, 0, 2, 1000)) return terminate(failure());
    if (InitService(argc, argv) == 0) return terminate(initerror, initspecific);
    if (!SendStatusToSCM(kServiceRunning, 0, 0, 0, 0)) return terminate(failure());
    if (!startstatuspipe(hostconfig.pipename.c_str())) {
        const std::uint32_t error = failure();
        Ending();
        return terminate(error);
    }
    reportinfo("Service started successfully.");
    terminateEvent.wait();
    terminate(0);
}

int InitService(int argc, char **argv) {
    vorninit(argc, argv);
    try {
        threadHandle = std::thread(ServiceThread);
    } catch (const std::system_error &e) {
        reporterror("CreateThread error");
        initerror = static_cast<std::uint32_t>(e.code().value());
        initspecific = 0;
        return 0;
    }
    requestthreadstarted = true;
    // The listener takes connections before "running" is reported, so a client that sees the
    // service running can connect.
    const std::uint16_t port = waitlistening();
    if (port == 0) {
        reporterror("Listener not started");
        initerror = kErrorServiceSpecific;
        initspecific = kListenerFailed;
        return 0;
    }
    printlistening(hostconfig.listen.addr, port);
    runningService = 1;
    return 1;
}

void ServiceThread() {
    doRequests(hostconfig.listen);
}

void ServiceCtrlHandler(std::uint32_t code) {
    switch (code) {
        case kControlStop:
            SendStatusToSCM(kServiceStopPending, 0, 0, 1, 5000);
            StopService();
            return;
        case kControlPause:
            if (runningService == 1 && pauseService == 0) {
                SendStatusToSCM(kServicePausePending, 0, 0, 1, 1000);
                PauseService();
                SendStatusToSCM(kServicePaused, 0, 0, 0, 0);
                return;
            }
            break;
        case kControlContinue:
            if (runningService == 1 && pauseService == 1) {
                SendStatusToSCM(kServiceContinuePending, 0, 0, 1, 1000);
                ResumeService();
                SendStatusToSCM(kServiceRunning, 0, 0, 0, 0);
                return;
            }
            break;
        case kControlShutdown:
            return;
        default:
            break;
    }
    // Interrogate, an unknown code, or a pause or continue that doesn't apply.
    SendStatusToSCM(currentstate(), 0, 0, 0, 0);
}

void PauseService() {
    pauseService = 1;
    pauserequests();
}

void ResumeService() {
    pauseService = 0;
    resumerequests();
}

void StopService() {
    reportinfo("Stop Service");
    Ending();
    runningService = 0;
    terminateEvent.set();
}

bool SendStatusToSCM(std::uint32_t currentState, std::uint32_t win32ExitCode,
                     std::uint32_t serviceSpecificExitCode, std::uint32_t checkPoint,
                     std::uint32_t waitHint) {
    ServiceStatus status{};
    status.servicetype = kServiceOwnProcess;
    status.currentstate = currentState;
    status.controlsaccepted = currentState == kServiceStartPending ? 0 : kAllControls;
    status.win32exitcode = serviceSpecificExitCode != 0 ? kErrorServiceSpecific : win32ExitCode;
    status.servicespecificexitcode = serviceSpecificExitCode;
    status.checkpoint = checkPoint;
    status.waithint = waitHint;
    if (!setservicestatus(serviceStatusHandle, status)) {
        StopService();
        return false;
    }
    return true;
}

void terminate(std::uint32_t error, std::uint32_t serviceSpecificExitCode) {
    exitcode = serviceSpecificExitCode != 0 ? serviceSpecificExitCode : error;
    terminateEvent.close();
    stopstatuspipe();
    if (serviceStatusHandle != 0) {
        SendStatusToSCM(kServiceStopped, error, serviceSpecificExitCode, 0, 0);
    }
    // Every way out closes the files; after a stop request this finds nothing to do.
    Ending();
    if (threadHandle.joinable()) threadHandle.join();
    closeeventlog();
}

void Ending() {
    MutexLock lock(endingmutex);
    // The connection threads end (or are waited for) before any file record is freed, so no
    // thread can still use a record that fscloseall releases.
    if (requestthreadstarted) stoprequests();
    fscloseall();
}

}  // namespace vorn::server
