// POSIX implementation of the event log seam: syslog under the source name, and optionally a
// text file that receives every report as one line.
#include "vorn/eventlog.h"

#include <syslog.h>

#include <cstdio>
#include <mutex>
#include <string>

#include "eventlogline.h"

namespace vorn::platform {
namespace {

std::mutex logmutex;
std::string ident;             // syslog keeps a pointer to the ident: it must stay alive
std::FILE *logfile = nullptr;  // the --event-log file, when one was given
bool opened = false;

int priorityof(EventType type) {
    switch (type) {
        case EventType::Error:
            return LOG_ERR;
        case EventType::Warning:
            return LOG_WARNING;
        case EventType::Information:
            break;
    }
    return LOG_INFO;
}

}  // namespace

bool openeventlog(const char *source, const char *file) {
    std::lock_guard lock(logmutex);
    if (opened) closelog();
    if (logfile != nullptr) std::fclose(logfile);
    logfile = nullptr;
    ident = source != nullptr ? source : "VORNService";
    ::openlog(ident.c_str(), LOG_PID | LOG_NDELAY, LOG_DAEMON);
    opened = true;
    if (file != nullptr && *file != '\0') {
        logfile = std::fopen(file, "a");
        if (logfile == nullptr) return false;
    }
    return true;
}

void reportevent(EventType type, std::uint16_t category, std::uint32_t id, const char *text) {
    const std::string line = oneline(text != nullptr ? text : "");
    std::lock_guard lock(logmutex);
    ::syslog(priorityof(type), "%s", line.c_str());
    if (logfile == nullptr) return;
    appendeventline(logfile, ident, type, category, id, line);
}

void closeeventlog() {
    std::lock_guard lock(logmutex);
    if (logfile != nullptr) std::fclose(logfile);
    logfile = nullptr;
    if (opened) ::closelog();
    opened = false;
}

}  // namespace vorn::platform
