// install: registers a program as an on-demand service of its own process with the local
// service manager.
//
//   install service_name service_label executable
//
// Progress goes to standard output. A failed step prints its name and the service manager's
// error number and ends the program with that number as its exit status (as far as an exit
// status can hold it).
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "vorn/service.h"
#include "vorn/servicereg.h"

namespace {

constexpr char kUsage[] =
    "Usage:\n"
    "   install service_name service_label executable\n"
    "           service_name is the name used internally by the SCM\n"
    "           service_label is the name that appears in the Services applet\n"
    "              (for multiple words, put them in double quotes)\n"
    "           executable is the full path to the EXE\n"
    "\n";

// Exit status after the usage text: the command line was wrong, nothing was changed.
constexpr int kUsageStatus = 1;

[[noreturn]] void ErrorHandler(const char *step, std::uint32_t error) {
    std::printf("%s\nError number: %lu\n", step, static_cast<unsigned long>(error));
    std::fflush(stdout);
    std::exit(vorn::platform::exitstatusfor(error));
}

}  // namespace

int main(int argc, char **argv) {
    using namespace vorn::platform;
    if (argc != 4) {
        std::fputs(kUsage, stdout);
        return kUsageStatus;
    }
    std::fputs("Starting...\n", stdout);
    std::uint32_t error = 0;
    ServiceManager *manager = openservicemanager(&error);
    if (manager == nullptr) ErrorHandler("In OpenScManager", error);
    Service *service = createservice(manager, argv[1], argv[2], argv[3], &error);
    if (service == nullptr) ErrorHandler("In CreateService", error);
    std::fputs("Service installed\n", stdout);
    closeservicehandle(service);
    closeservicemanager(manager);
    std::fputs("Ending...\n", stdout);
    return 0;
}
