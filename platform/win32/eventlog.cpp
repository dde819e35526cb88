// Win32 implementation of the event log seam: RegisterEventSource and ReportEvent, with the
// texts in the program's message table (messages.mc: one insertion string, %1). When a file
// is given, every report is also appended to it one line each, as on Linux.
//
// The event viewer finds the message table through the source's registry entry under
// ...\Services\EventLog\Application\<source>. openeventlog writes that entry when it is
// missing and the process may (the service runs as LocalSystem); a failure there is not an
// error: the events are logged all the same, only shown without their text.
#include "vorn/eventlog.h"

#include <windows.h>

#include <cstdio>
#include <mutex>
#include <string>

#include "eventlogline.h"

namespace vorn::platform {
namespace {

std::mutex logmutex;
HANDLE source = nullptr;
std::string sourcename;
std::FILE *logfile = nullptr;

constexpr char kApplicationLog[] = "SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\";

WORD eventtypeof(EventType type) {
    switch (type) {
        case EventType::Error:
            return EVENTLOG_ERROR_TYPE;
        case EventType::Warning:
            return EVENTLOG_WARNING_TYPE;
        case EventType::Information:
            break;
    }
    return EVENTLOG_INFORMATION_TYPE;
}

// Names this program as the source's message and category file, unless an entry exists.
void registersource(const std::string &name) {
    const std::string key = std::string(kApplicationLog) + name;
    HKEY h = nullptr;
    DWORD disposition = 0;
    if (::RegCreateKeyExA(HKEY_LOCAL_MACHINE, key.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                          KEY_SET_VALUE, nullptr, &h, &disposition) != ERROR_SUCCESS) {
        return;
    }
    if (disposition == REG_CREATED_NEW_KEY) {
        char path[MAX_PATH];
        const DWORD n = ::GetModuleFileNameA(nullptr, path, sizeof path);
        if (n > 0 && n < sizeof path) {
            const auto *bytes = reinterpret_cast<const BYTE *>(path);
            ::RegSetValueExA(h, "EventMessageFile", 0, REG_EXPAND_SZ, bytes, n + 1);
            ::RegSetValueExA(h, "CategoryMessageFile", 0, REG_EXPAND_SZ, bytes, n + 1);
        }
        const DWORD types = EVENTLOG_ERROR_TYPE | EVENTLOG_WARNING_TYPE | EVENTLOG_INFORMATION_TYPE;
        const DWORD categories = 1;
        ::RegSetValueExA(h, "TypesSupported", 0, REG_DWORD, reinterpret_cast<const BYTE *>(&types),
                         sizeof types);
        ::RegSetValueExA(h, "CategoryCount", 0, REG_DWORD,
                         reinterpret_cast<const BYTE *>(&categories), sizeof categories);
    }
    ::RegCloseKey(h);
}

}  // namespace

bool openeventlog(const char *name, const char *file) {
    std::lock_guard lock(logmutex);
    if (source != nullptr) ::DeregisterEventSource(source);
    source = nullptr;
    if (logfile != nullptr) std::fclose(logfile);
    logfile = nullptr;
    sourcename = name != nullptr ? name : "VORNService";
    registersource(sourcename);
    source = ::RegisterEventSourceA(nullptr, sourcename.c_str());
    if (source == nullptr) return false;
    if (file != nullptr && *file != '\0') {
        logfile = std::fopen(file, "a");
        if (logfile == nullptr) return false;
    }
    return true;
}

void reportevent(EventType type, std::uint16_t category, std::uint32_t id, const char *text) {
    const char *insertion = text != nullptr ? text : "";
    const std::string line = oneline(insertion);
    std::lock_guard lock(logmutex);
    if (source != nullptr) {
        ::ReportEventA(source, eventtypeof(type), category, id, nullptr, 1, 0, &insertion, nullptr);
    }
    if (logfile == nullptr) return;
    appendeventline(logfile, sourcename, type, category, id, line);
}

void closeeventlog() {
    std::lock_guard lock(logmutex);
    if (logfile != nullptr) std::fclose(logfile);
    logfile = nullptr;
    if (source != nullptr) ::DeregisterEventSource(source);
    source = nullptr;
}

}  // namespace vorn::platform
