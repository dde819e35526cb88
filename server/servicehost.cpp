// The service host. Threads: the dispatcher (the program's main thread, which also runs
// ServiceCtrlHandler), ServiceMain, the request thread (doRequests and its connection
// threads) and the status interface's threads.
//
// States reported: start pending (check points 1 and 2) -> running -> (pause pending ->
// paused -> continue pending -> running)* -> stop pending -> stopped.
#include "servicehost.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <system_error>

#include "server.h"
#include "vorn/eventlog.h"

namespace vorn::server {
namespace {

using namespace platform;

constexpr std::uint32_t kAllControls = kAcceptStop | kAcceptPauseContinue | kAcceptShutdown;
// Service-specific exit code: the listener could not listen.
constexpr std::uint32_t kListenerFailed = 1;

// The server this process runs as its service. The service manager calls ServiceMain and
// ServiceCtrlHandler without any context of ours, so they find it here: runservicehost sets
// it before the dispatcher starts, and it stays for the process's life.
std::atomic<Server *> &hostedserver() {
    static std::atomic<Server *> server{nullptr};
    return server;
}

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

std::uint32_t currentstate(const Server &server) {
    return server.service.pauseService != 0 ? kServicePaused : kServiceRunning;
}

// The error number of a failed step; never 0, so that a failure never reads as success.
std::uint32_t failure() {
    const std::uint32_t error = lasterror();
    return error != 0 ? error : 1;
}

}  // namespace

void TerminateEvent::create() {
    MutexLock lock(mutex_);
    created_ = true;
    signalled_ = false;
}

void TerminateEvent::close() {
    MutexLock lock(mutex_);
    created_ = false;
}

bool TerminateEvent::set() {
    {
        MutexLock lock(mutex_);
        if (!created_) return false;
        signalled_ = true;
    }
    changed_.notify_all();
    return true;
}

void TerminateEvent::wait() {
    MutexLock lock(mutex_);
    while (!signalled_) lock.wait(changed_);
}

int runservicehost(Server &server, int argc, char **argv) {
    hostedserver() = &server;
    const ServerConfig &config = server.config;
    const char *logfile = config.eventlog.empty() ? nullptr : config.eventlog.c_str();
    if (!openeventlog(SERVICE_NAME, logfile)) ErrorHandler("In RegisterEventSource", lasterror());
    const ServiceTableEntry table[] = {{SERVICE_NAME, ServiceMain}, {nullptr, nullptr}};
    const bool started = config.foreground ? startconsoledispatcher(table, argc, argv)
                                           : startservicectrldispatcher(table, argc, argv);
    if (!started) {
        ErrorHandler("In StartServiceCtrlDispatcher", lasterror());
    }
    return exitstatusfor(server.service.exitcode);
}

void ErrorHandler(const char *message, std::uint32_t error) {
    std::printf("%s\nError number: %lu\n", message, static_cast<unsigned long>(error));
    std::fflush(stdout);
    std::exit(exitstatusfor(error));
}

void ServiceMain(int argc, char **argv) {
    Server &server = *hostedserver().load();
    ServiceState &s = server.service;
    s.serviceStatusHandle = registerservicectrlhandler(SERVICE_NAME, ServiceCtrlHandler);
    if (s.serviceStatusHandle == 0) return terminate(server, failure());
    if (!SendStatusToSCM(server, kServiceStartPending, 0, 0, 1, 5000)) {
        return terminate(server, failure());
    }
    s.terminateEvent.create();
    if (!SendStatusToSCM(server, kServiceStartPending, 0, 0, 2, 1000)) {
        return terminate(server, failure());
    }
    if (InitService(server, argc, argv) == 0) {
        return terminate(server, s.initerror, s.initspecific);
    }
    if (!SendStatusToSCM(server, kServiceRunning, 0, 0, 0, 0)) return terminate(server, failure());
    if (!server.status.startstatuspipe(server.config.pipename.c_str())) {
        const std::uint32_t error = failure();
        Ending(server);
        return terminate(server, error);
    }
    reportinfo("Service started successfully.");
    s.terminateEvent.wait();
    terminate(server, 0);
}

int InitService(Server &server, int argc, char **argv) {
    ServiceState &s = server.service;
    server.files.vorninit(argc, argv);
    try {
        s.threadHandle = std::thread(ServiceThread, std::ref(server));
    } catch (const std::system_error &e) {
        reporterror("CreateThread error");
        s.initerror = static_cast<std::uint32_t>(e.code().value());
        s.initspecific = 0;
        return 0;
    }
    s.requestthreadstarted = true;
    // The listener takes connections before "running" is reported, so a client that sees the
    // service running can connect.
    const std::uint16_t port = server.listener.waitlistening();
    if (port == 0) {
        reporterror("Listener not started");
        s.initerror = kErrorServiceSpecific;
        s.initspecific = kListenerFailed;
        return 0;
    }
    printlistening(server.config.listen.addr, port);
    s.runningService = 1;
    return 1;
}

void ServiceThread(Server &server) {
    server.listener.doRequests(server.config.listen);
}

void ServiceCtrlHandler(std::uint32_t code) {
    Server &server = *hostedserver().load();
    const ServiceState &s = server.service;
    switch (code) {
        case kControlStop:
            SendStatusToSCM(server, kServiceStopPending, 0, 0, 1, 5000);
            StopService(server);
            return;
        case kControlPause:
            if (s.runningService == 1 && s.pauseService == 0) {
                SendStatusToSCM(server, kServicePausePending, 0, 0, 1, 1000);
                PauseService(server);
                SendStatusToSCM(server, kServicePaused, 0, 0, 0, 0);
                return;
            }
            break;
        case kControlContinue:
            if (s.runningService == 1 && s.pauseService == 1) {
                SendStatusToSCM(server, kServiceContinuePending, 0, 0, 1, 1000);
                ResumeService(server);
                SendStatusToSCM(server, kServiceRunning, 0, 0, 0, 0);
                return;
            }
            break;
        case kControlShutdown:
            return;
        default:
            break;
    }
    // Interrogate, an unknown code, or a pause or continue that doesn't apply.
    SendStatusToSCM(server, currentstate(server), 0, 0, 0, 0);
}

void PauseService(Server &server) {
    server.service.pauseService = 1;
    server.listener.pauserequests();
}

void ResumeService(Server &server) {
    server.service.pauseService = 0;
    server.listener.resumerequests();
}

void StopService(Server &server) {
    reportinfo("Stop Service");
    Ending(server);
    server.service.runningService = 0;
    server.service.terminateEvent.set();
}

bool SendStatusToSCM(Server &server, std::uint32_t currentState, std::uint32_t win32ExitCode,
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
    if (!setservicestatus(server.service.serviceStatusHandle, status)) {
        StopService(server);
        return false;
    }
    return true;
}

void terminate(Server &server, std::uint32_t error, std::uint32_t serviceSpecificExitCode) {
    ServiceState &s = server.service;
    s.exitcode = serviceSpecificExitCode != 0 ? serviceSpecificExitCode : error;
    s.terminateEvent.close();
    server.status.stopstatuspipe();
    if (s.serviceStatusHandle != 0) {
        SendStatusToSCM(server, kServiceStopped, error, serviceSpecificExitCode, 0, 0);
    }
    // Every way out closes the files; after a stop request this finds nothing to do.
    Ending(server);
    if (s.threadHandle.joinable()) s.threadHandle.join();
    closeeventlog();
}

void Ending(Server &server) {
    MutexLock lock(server.service.endingmutex);
    // The connection threads end (or are waited for) before any file record is freed, so no
    // thread can still use a record that fscloseall releases.
    if (server.service.requestthreadstarted) server.listener.stoprequests();
    server.files.fscloseall();
}

}  // namespace vorn::server
