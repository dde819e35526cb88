// POSIX implementation of the service-registration seam: systemd unit files. The "service
// manager" is the unit directory; registering writes "<name>.service" there, complete or not
// at all (written under a temporary name, then linked into place, which fails when the name
// is taken).
#include "vorn/servicereg.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <system_error>

namespace vorn::platform {

struct ServiceManager {
    std::string root;     // $DESTDIR, or empty
    std::string unitdir;  // where new units go
};

struct Service {
    std::string path;
};

namespace {

constexpr char kUnitDir[] = "/etc/systemd/system";
// Every directory systemd loads system units from: a unit of the same name in any of them is
// an existing service (one in kUnitDir would silently override it).
constexpr const char *kSearchDirs[] = {"/etc/systemd/system", "/run/systemd/system",
                                       "/usr/lib/systemd/system", "/lib/systemd/system"};
constexpr std::size_t kMaxUnitName = 255;
constexpr char kSuffix[] = ".service";

std::uint32_t errorfor(int err) {
    switch (err) {
        case EEXIST:
            return kErrorServiceExists;
        case ENOSPC:
        case EDQUOT:
            return kErrorDiskFull;
        default:
            return kErrorAccessDenied;
    }
}

// Unit names allow letters, digits and ":-_."; '@' would make a template and '\' an escape.
// The name also names the service's state directory, so "." and ".." are refused.
bool validname(const char *name) {
    const std::size_t length = std::strlen(name);
    if (length == 0 || length + sizeof kSuffix - 1 > kMaxUnitName) return false;
    if (std::strspn(name, ".") == length) return false;
    for (const char *p = name; *p != '\0'; ++p) {
        const char c = *p;
        const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                        (c >= '0' && c <= '9') || c == ':' || c == '-' || c == '_' || c == '.';
        if (!ok) return false;
    }
    return true;
}

// A unit line ends at the line break: text with one can't be written faithfully.
bool oneline(const char *text) {
    return std::strpbrk(text, "\r\n") == nullptr;
}

// systemd expands "%x" specifiers in every setting: doubling keeps the text literal.
std::string escaped(const char *text) {
    std::string out;
    for (const char *p = text; *p != '\0'; ++p) {
        if (*p == '%') out += '%';
        out += *p;
    }
    return out;
}

// One double-quoted word of a command line holding `text` as it is: quotes and backslashes
// are escaped, control characters written as \xNN, "%" doubled against specifier expansion,
// and "$" doubled against variable expansion where the word is an argument (the program word
// is not expanded). Inside the quotes a leading "-", "@" or "+" is no command prefix.
std::string quoted(const char *text, bool argument) {
    static constexpr char kHex[] = "0123456789abcdef";
    std::string out = "\"";
    for (const char *p = text; *p != '\0'; ++p) {
        const auto c = static_cast<unsigned char>(*p);
        if (c == '"' || c == '\\') {
            out += '\\';
        } else if (c < 0x20 || c == 0x7F) {
            out += "\\x";
            out += kHex[c >> 4];
            out += kHex[c & 15];
            continue;
        } else if (c == '%' || (argument && c == '$')) {
            out += *p;
        }
        out += *p;
    }
    return out + "\"";
}

// systemd runs no program whose path holds a quote, a backslash or a control character.
bool runnable(const char *path) {
    for (const char *p = path; *p != '\0'; ++p) {
        const auto c = static_cast<unsigned char>(*p);
        if (c == '"' || c == '\'' || c == '\\' || c < 0x20 || c == 0x7F) return false;
    }
    return true;
}

// The command line that starts the program: its path as one word, or, for a path systemd
// can't run itself, the shell given the path as $0, which execs it in its own process (so
// the notifications still come from the service's main process) with any arguments after.
std::string command(const char *executable) {
    if (runnable(executable)) return quoted(executable, false);
    return "/bin/sh -c " + quoted("exec \"$0\" \"$@\"", true) + " " + quoted(executable, true);
}

// The service runs in a state directory of its own (/var/lib/<name>, made by systemd and
// owned by the service's user), where relative database names, temporary databases and the
// audit log resolve; it is also the data root, so clients reach only the files kept there.
std::string unittext(const char *name, const char *label, const char *executable) {
    std::string text = "# Registered by install: an on-demand service (not enabled at boot).\n";
    text += "[Unit]\n";
    text += "Description=" + escaped(label) + "\n";
    text += "\n";
    text += "[Service]\n";
    text += "Type=notify\n";
    text += "StateDirectory=" + std::string(name) + "\n";
    text += "WorkingDirectory=%S/" + std::string(name) + "\n";
    const std::string root = "/var/lib/" + std::string(name);
    text +=
        "ExecStart=" + command(executable) + " --data-root " + quoted(root.c_str(), true) + "\n";
    return text;
}

bool unitexists(const ServiceManager &manager, const std::string &file) {
    for (const char *dir : kSearchDirs) {
        std::error_code ec;
        if (std::filesystem::exists(manager.root + dir + "/" + file, ec)) return true;
    }
    return false;
}

bool writeall(int fd, const std::string &text) {
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

// Writes `text` to a new file `path` atomically; errno tells why it failed.
bool publish(const std::string &dir, const std::string &path, const std::string &text) {
    std::string temp = dir + "/.install-XXXXXX";
    const int fd = ::mkstemp(temp.data());
    if (fd < 0) return false;
    bool ok = ::fchmod(fd, 0644) == 0 && writeall(fd, text) && ::fsync(fd) == 0;
    int saved = errno;
    if (::close(fd) != 0 && ok) {
        ok = false;
        saved = errno;
    }
    if (ok && ::link(temp.c_str(), path.c_str()) != 0) {
        ok = false;
        saved = errno;
    }
    ::unlink(temp.c_str());
    errno = saved;
    return ok;
}

}  // namespace

ServiceManager *openservicemanager(std::uint32_t *error) {
    const char *destdir = std::getenv("DESTDIR");
    auto *manager = new (std::nothrow) ServiceManager;
    if (manager == nullptr) {
        *error = kErrorAccessDenied;
        return nullptr;
    }
    manager->root = destdir != nullptr ? destdir : "";
    manager->unitdir = manager->root + kUnitDir;
    std::error_code ec;
    std::filesystem::create_directories(manager->unitdir, ec);
    if (ec || ::access(manager->unitdir.c_str(), W_OK | X_OK) != 0) {
        delete manager;
        *error = kErrorAccessDenied;
        return nullptr;
    }
    return manager;
}

Service *createservice(ServiceManager *manager, const char *name, const char *label,
                       const char *executable, std::uint32_t *error) {
    if (manager == nullptr || name == nullptr || label == nullptr || executable == nullptr) {
        *error = kErrorInvalidParameter;
        return nullptr;
    }
    if (!validname(name)) {
        *error = kErrorInvalidName;
        return nullptr;
    }
    if (*executable == '\0' || !oneline(label) || !oneline(executable)) {
        *error = kErrorInvalidParameter;
        return nullptr;
    }
    const std::string file = std::string(name) + kSuffix;
    if (unitexists(*manager, file)) {
        *error = kErrorServiceExists;
        return nullptr;
    }
    auto *service = new (std::nothrow) Service{manager->unitdir + "/" + file};
    if (service == nullptr) {
        *error = kErrorAccessDenied;
        return nullptr;
    }
    if (!publish(manager->unitdir, service->path, unittext(name, label, executable))) {
        *error = errorfor(errno);
        delete service;
        return nullptr;
    }
    return service;
}

void closeservicehandle(Service *service) {
    delete service;
}

void closeservicemanager(ServiceManager *manager) {
    delete manager;
}

}  // namespace vorn::platform
