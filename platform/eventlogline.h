// What every platform's event log shares: the one-line form of a report, and the line that the
// --event-log file gets for it.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#include "vorn/eventlog.h"

namespace vorn::platform {

// Reports carry CR LF line ends; a log line holds one report, so line breaks become spaces
// and trailing breaks are dropped.
std::string oneline(const char *text);

// Appends "DATE TIME SOURCE TYPE category N id 0xID: LINE" to `file` and flushes it.
void appendeventline(std::FILE *file, const std::string &source, EventType type,
                     std::uint16_t category, std::uint32_t id, const std::string &line);

}  // namespace vorn::platform
