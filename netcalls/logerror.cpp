// The client log: every transport failure is one line appended to a text file. Each line
// opens and closes the file, so it is on disk when the call returns and several processes
// may append to the same log.
#include <cstdio>

#include "netcalls.h"

namespace vorn::link {

void logerror(const char *strptr) {
    std::FILE *log = std::fopen(kClientLog, "a");
    if (log == nullptr) return;  // a log that can't be opened loses the line silently
    std::fputs(strptr != nullptr ? strptr : "", log);
    std::fputs("\r\n", log);
    std::fclose(log);
}

}  // namespace vorn::link
