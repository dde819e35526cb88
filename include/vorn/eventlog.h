// The event log part of the platform seam. On Linux reports go to syslog under the source
// name and, when a file is given, are also appended to that file one line each.
#pragma once

#include <cstdint>

namespace vorn::platform {

enum class EventType { Error, Warning, Information };

// Event identifiers of the server's message table.
inline constexpr std::uint32_t kEventInformation = 0x40000100;
inline constexpr std::uint32_t kEventWarning = 0x80000101;
inline constexpr std::uint32_t kEventError = 0xC0000102;

// Registers the event source; `logfile` (may be null) also receives every report.
// Returns false on failure.
bool openeventlog(const char *source, const char *logfile);
// Reports one event with one insertion string. Safe from any thread.
void reportevent(EventType type, std::uint16_t category, std::uint32_t id, const char *text);
// Deregisters the event source. Harmless when not open.
void closeeventlog();

}  // namespace vorn::platform
