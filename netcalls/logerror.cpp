// The client log: every transport failure is one line appended to a text file. Each line
// opens and closes the file, so it is on disk when the call returns and several processes
// may append to the same log. Binary mode: every line ends in exactly the "\r\n" written
// (a text-mode stream on Windows would turn it into "\r\r\n").
#include <cstdio>

#include "netcalls.h"
#include "vorn/platform.h"

namespace vorn::link {

void logerror(const char *strptr) {
    // On Windows the log lives at the root of drive C:; where that can't be written (no
    // rights there), the current directory takes it.
    const char *system = platform::systemclientlog();
    std::FILE *log = system != nullptr ? std::fopen(system, "ab") : nullptr;
    if (log == nullptr) log = std::fopen(kClientLog, "ab");
    if (log == nullptr) return;  // a log that can't be opened loses the line silently
    std::fputs(strptr != nullptr ? strptr : "", log);
    std::fputs("\r\n", log);
    std::fclose(log);
}

}  // namespace vorn::link
