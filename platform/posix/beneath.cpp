// POSIX implementation of opening inside a directory (vorn/beneath.h). The kernel resolves the
// name itself with RESOLVE_BENEATH (openat2), so a link swapped in between a check and the open
// can't lead outside either. Where openat2 is missing (kernels before 5.6, or a filter that
// forbids it) the name is walked one component at a time without following any link, and ".."
// is judged by the text: with no link followed, the text's parent is the real parent.
#include "vorn/beneath.h"

#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "descriptor.h"

namespace vorn::platform {
namespace {

// A descriptor closed when it goes out of scope.
class Descriptor {
  public:
    explicit Descriptor(int fd) : fd_(fd) {}
    ~Descriptor() {
        if (fd_ >= 0) ::close(fd_);
    }
    Descriptor(const Descriptor &) = delete;
    Descriptor &operator=(const Descriptor &) = delete;
    int get() const { return fd_; }
    void reset(int fd) {
        if (fd_ >= 0) ::close(fd_);
        fd_ = fd;
    }

  private:
    int fd_;
};

std::vector<std::string> components(const char *name) {
    std::vector<std::string> parts;
    std::string part;
    for (const char *p = name;; ++p) {
        if (*p == '/' || *p == '\0') {
            if (!part.empty() && part != ".") parts.push_back(part);
            part.clear();
            if (*p == '\0') return parts;
        } else {
            part += *p;
        }
    }
}

int openflags(OpenMode mode) {
    return (mode == OpenMode::ReadOnly ? O_RDONLY : O_RDWR) | O_CLOEXEC;
}

// openat2 with RESOLVE_BENEATH; -1 with errno (ENOSYS where the call is missing).
int openat2beneath(int dirfd, const char *name, OpenMode mode) {
    open_how how{};
    how.flags = static_cast<std::uint64_t>(openflags(mode));
    how.resolve = RESOLVE_BENEATH | RESOLVE_NO_MAGICLINKS;
    long fd;
    do {
        fd = ::syscall(SYS_openat2, dirfd, name, &how, sizeof how);
    } while (fd < 0 && (errno == EINTR || errno == EAGAIN));
    return static_cast<int>(fd);
}

// True when `part` in `dirfd` is a symbolic link.
bool islink(int dirfd, const std::string &part) {
    struct stat st {};
    return ::fstatat(dirfd, part.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode);
}

// The walk without openat2: every component opened with O_NOFOLLOW, so any link is refused.
int walkbeneath(int rootfd, const char *name, OpenMode mode, bool *escaped) {
    if (!staysbeneath(name)) {
        *escaped = true;
        errno = EXDEV;
        return -1;
    }
    std::vector<std::string> parts = components(name);
    if (parts.empty()) return -1;
    // Resolve ".." by the text: "a/b/../c" is "a/c".
    std::vector<std::string> path;
    for (std::string &part : parts) {
        if (part == "..") {
            path.pop_back();  // never empty: staysbeneath said so
        } else {
            path.push_back(std::move(part));
        }
    }
    if (path.empty()) return -1;
    Descriptor dir(::dup(rootfd));
    for (std::size_t i = 0; i + 1 < path.size(); ++i) {
        const int next =
            ::openat(dir.get(), path[i].c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (next < 0) {
            *escaped = islink(dir.get(), path[i]);
            return -1;
        }
        dir.reset(next);
    }
    const int fd = ::openat(dir.get(), path.back().c_str(), openflags(mode) | O_NOFOLLOW);
    if (fd < 0) *escaped = islink(dir.get(), path.back());
    return fd;
}

}  // namespace

bool staysbeneath(const char *name) {
    if (name[0] == '/') return false;
    long depth = 0;
    for (const std::string &part : components(name)) {
        depth += part == ".." ? -1 : 1;
        if (depth < 0) return false;
    }
    return true;
}

std::unique_ptr<BlockFile> openbeneath(const char *root, const char *name, OpenMode mode,
                                       bool *escaped) {
    *escaped = false;
    Descriptor rootfd(::open(root, O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (rootfd.get() < 0) return nullptr;
    int fd = openat2beneath(rootfd.get(), name, mode);
    if (fd < 0 && (errno == ENOSYS || errno == EPERM)) {
        fd = walkbeneath(rootfd.get(), name, mode, escaped);
    } else if (fd < 0 && (errno == EXDEV || errno == ELOOP)) {
        *escaped = true;  // outside the root, or a link of /proc's kind
    }
    return adoptdescriptor(fd);
}

}  // namespace vorn::platform
