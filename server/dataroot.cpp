#include "dataroot.h"

#include "vorn/beneath.h"

namespace vorn::server {

std::unique_ptr<platform::BlockFile> DataRoot::openclientfile(const char *name,
                                                              bool *refused) const {
    *refused = false;
    if (dir_.empty()) return platform::openfile(name, platform::OpenMode::ReadWrite);
    return platform::openbeneath(dir_.c_str(), name, platform::OpenMode::ReadWrite, refused);
}

bool DataRoot::acceptablename(const char *name) const {
    return dir_.empty() || platform::staysbeneath(name);
}

std::string DataRoot::serverpath(const std::string &name) const {
    return dir_.empty() ? name : dir_ + "/" + name;
}

}  // namespace vorn::server
