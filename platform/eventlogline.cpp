#include "eventlogline.h"

#include <ctime>

#include "vorn/platform.h"

namespace vorn::platform {
namespace {

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

}  // namespace

std::string oneline(const char *text) {
    std::string line;
    for (const char *p = text; *p != '\0'; ++p) {
        if (*p == '\r') continue;
        line += *p == '\n' ? ' ' : *p;
    }
    while (!line.empty() && line.back() == ' ') line.pop_back();
    return line;
}

void appendeventline(std::FILE *file, const std::string &source, EventType type,
                     std::uint16_t category, std::uint32_t id, const std::string &line) {
    char stamp[32];
    const std::tm local = localnow();
    std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &local);
    std::fprintf(file, "%s %s %s category %u id 0x%08X: %s\n", stamp, source.c_str(), wordof(type),
                 static_cast<unsigned>(category), static_cast<unsigned>(id), line.c_str());
    std::fflush(file);
}

}  // namespace vorn::platform
