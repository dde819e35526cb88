// The service-registration part of the platform seam, used by the installer: open the local
// service manager with the right to create services, and register a program as an on-demand
// service of its own process. Failures carry the service manager's error numbers.
//
// On Linux a registration is a systemd unit file "<name>.service" in /etc/systemd/system
// (under $DESTDIR when set): Type=notify, the label as Description, the executable as the
// command, no [Install] section (started on demand, never enabled).
#pragma once

#include <cstdint>

namespace vorn::platform {

// Error numbers of the service manager.
inline constexpr std::uint32_t kErrorAccessDenied = 5;
inline constexpr std::uint32_t kErrorInvalidParameter = 87;
inline constexpr std::uint32_t kErrorDiskFull = 112;
inline constexpr std::uint32_t kErrorInvalidName = 123;
inline constexpr std::uint32_t kErrorServiceExists = 1073;

struct ServiceManager;  // an open service manager
struct Service;         // a registered service

// Opens the local service manager with the right to create services. Null on failure with
// *error set (kErrorAccessDenied when the unit directory can't be made or written).
ServiceManager *openservicemanager(std::uint32_t *error);

// Registers `executable` (the command line of the service program, not checked) as the
// on-demand service `name` shown as `label`. Null on failure with *error set:
// kErrorServiceExists when `name` is taken, kErrorInvalidName for a name the service manager
// can't hold, kErrorInvalidParameter for a label or command with a line break,
// kErrorAccessDenied (kErrorDiskFull) when the registration can't be written.
Service *createservice(ServiceManager *manager, const char *name, const char *label,
                       const char *executable, std::uint32_t *error);

void closeservicehandle(Service *service);
void closeservicemanager(ServiceManager *manager);

}  // namespace vorn::platform
