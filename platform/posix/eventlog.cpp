// POSIX implementation of the event log seam: syslog under the source name, and optionally a
// text file that receives every report as one line.
#include "vorn/eventlog.h"

#include <syslog.h>

#include <cstdio>
#include <ctime>
#include <mutex>
#include <string>

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

const char *wordof(EventType type) {
    switch (type) {
        case EventType::Error:
            return "error";
        case EventType::Warning:
            return "warning";
        case EventType::Information:
            break;
    }
    return "information";
}

// Reports carry CR LF line ends; a log line holds one report, so line breaks become spaces
// and trailing breaks are dropped.
std::string oneline(const char *text) {
    std::string line;
    for (const char *p = text; *p != '\0'; ++p) {
        if (*p == '\r') continue;
        line += *p == '\n' ? ' ' : *p;
    }
    while (!line.empty() && line.back() == ' ') line.pop_back();
    return line;
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
    char stamp[32];
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    ::localtime_r(&now, &local);
    std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &local);
    std::fprintf(logfile, "%s %s %s category %u id 0x%08X: %s\n", stamp, ident.c_str(),
                 wordof(type), static_cast<unsigned>(category), static_cast<unsigned>(id),
                 line.c_str());
    std::fflush(logfile);
}

void closeeventlog() {
    std::lock_guard lock(logmutex);
    if (logfile != nullptr) std::fclose(logfile);
    logfile = nullptr;
    if (opened) ::closelog();
    opened = false;
}

}  // namespace vorn::platform
