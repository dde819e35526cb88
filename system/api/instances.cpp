// Instances: fsinit claims one and connects it to a server, closefs releases it.
#include "linkstate.h"

using namespace vorn::link;

char fsinit(const char *name) {
    lserrno = 0;
    int n = 0;
    while (n < kInstances && instanceinuse[n] != 0) ++n;
    if (n == kInstances) return -1;
    instanceinuse[n] = 1;
    const std::int8_t rc = netinit(static_cast<char>(n), name);
    if (rc != 0) {
        // The caller is never told the number of an instance that failed: release it.
        instanceinuse[n] = 0;
        return static_cast<char>(rc);
    }
    return static_cast<char>(n);
}

std::int16_t closefs(char instance) {
    lserrno = 0;
    const int n = instanceindex(instance);
    if (n < 0) return 0;
    // Databases still open on the instance stay open; only the connection ends.
    instanceinuse[n] = 0;
    return netclose(instance);
}

char *getnwloginname(char instance) {
    lserrno = 0;
    return getloginname(instance);
}

std::int16_t checkforshare(const char * /*fname*/) {
    lserrno = 0;
    return 1;
}
