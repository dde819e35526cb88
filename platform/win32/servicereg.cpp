// Win32 implementation of the service-registration seam: the service control manager's
// OpenSCManager and CreateService. The error numbers are the manager's own.
#include "vorn/servicereg.h"

#include <windows.h>

namespace vorn::platform {

struct ServiceManager {
    SC_HANDLE handle;
};

struct Service {
    SC_HANDLE handle;
};

ServiceManager *openservicemanager(std::uint32_t *error) {
    const SC_HANDLE h = ::OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CREATE_SERVICE);
    if (h == nullptr) {
        *error = ::GetLastError();
        return nullptr;
    }
    return new ServiceManager{h};
}

Service *createservice(ServiceManager *manager, const char *name, const char *label,
                       const char *executable, std::uint32_t *error) {
    // Own process, started on demand, normal error control, the local system account.
    const SC_HANDLE h =
        ::CreateServiceA(manager->handle, name, label, SERVICE_ALL_ACCESS,
                         SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL,
                         executable, nullptr, nullptr, nullptr, nullptr, nullptr);
    if (h == nullptr) {
        *error = ::GetLastError();
        return nullptr;
    }
    return new Service{h};
}

void closeservicehandle(Service *service) {
    if (service == nullptr) return;
    ::CloseServiceHandle(service->handle);
    delete service;
}

void closeservicemanager(ServiceManager *manager) {
    if (manager == nullptr) return;
    ::CloseServiceHandle(manager->handle);
    delete manager;
}

}  // namespace vorn::platform
