// Placeholder until the key tree checker lands: reports the root only.
#include "check.h"

namespace vorn {

std::vector<std::uint32_t> checkkeytree(FSDATA *fsdata, std::vector<Finding> &) {
    if (fsdata->fscb.rootkb == 0) return {};
    return {fsdata->fscb.rootkb};
}

}  // namespace vorn
