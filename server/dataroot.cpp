#include "dataroot.h"

#include "vorn/beneath.h"

namespace vorn::server {
namespace {

std::string root;  // written once before any connection, read-only afterwards

}  // namespace

void setdataroot(const std::string &dir) {
    root = dir;
}

const std::string &dataroot() {
    return root;
}

std::unique_ptr<platform::BlockFile> openclientfile(const char *name, bool *refused) {
    *refused = false;
    if (root.empty()) return platform::openfile(name, platform::OpenMode::ReadWrite);
    return platform::openbeneath(root.c_str(), name, platform::OpenMode::ReadWrite, refused);
}

bool acceptablename(const char *name) {
    return root.empty() || platform::staysbeneath(name);
}

std::string serverpath(const std::string &name) {
    return root.empty() ? name : root + "/" + name;
}

}  // namespace vorn::server
