// POSIX implementation of opening inside a directory (vorn/beneath.h). The kernel resolves the
// name itself with RESOLVE_BENEATH (openat2), so a link swapped in between a check and the open
// can't lead outside either. Where openat2 is missing (kernels before 5.6, or a filter that
// forbids it) the name is walked here, one component at a time, to the same effect.
#include "vorn/beneath.h"

#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <deque>
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

// Directories from the root down to where the walk stands, each held open, so that ".."
// returns to the directory the walk came from, never to one a link points into.
class WalkPosition {
  public:
    explicit WalkPosition(int rootfd) : rootfd_(rootfd) {}
    ~WalkPosition() {
        for (int fd : dirs_) ::close(fd);
    }
    WalkPosition(const WalkPosition &) = delete;
    WalkPosition &operator=(const WalkPosition &) = delete;
    int here() const { return dirs_.empty() ? rootfd_ : dirs_.back(); }
    void enter(int fd) { dirs_.push_back(fd); }
    // False at the root: ".." would leave it.
    bool leave() {
        if (dirs_.empty()) return false;
        ::close(dirs_.back());
        dirs_.pop_back();
        return true;
    }

  private:
    int rootfd_;
    std::vector<int> dirs_;
};

constexpr int kMaxLinks = 40;  // as the kernel allows in one lookup

// The walk without openat2: one component at a time, every open with O_NOFOLLOW. A link is
// read and its text walked in its place (an absolute one leads outside); a link swapped in
// after it was looked at makes the O_NOFOLLOW open fail, so nothing is reached through it.
int walkbeneath(int rootfd, const char *name, OpenMode mode, bool *escaped) {
    if (name[0] == '/') {
        *escaped = true;
        return -1;
    }
    std::deque<std::string> todo;
    for (std::string &part : components(name)) todo.push_back(std::move(part));
    WalkPosition at(rootfd);
    int links = 0;
    while (!todo.empty()) {
        const std::string part = std::move(todo.front());
        todo.pop_front();
        if (part == "..") {
            if (!at.leave()) {
                *escaped = true;
                return -1;
            }
            continue;
        }
        struct stat st {};
        if (::fstatat(at.here(), part.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return -1;
        if (S_ISLNK(st.st_mode)) {
            char target[4096];
            const ssize_t n = ::readlinkat(at.here(), part.c_str(), target, sizeof target - 1);
            if (n <= 0 || ++links > kMaxLinks) return -1;
            target[n] = '\0';
            if (target[0] == '/') {
                *escaped = true;
                return -1;
            }
            std::vector<std::string> parts = components(target);
            todo.insert(todo.begin(), parts.begin(), parts.end());
            continue;
        }
        if (todo.empty()) return ::openat(at.here(), part.c_str(), openflags(mode) | O_NOFOLLOW);
        const int next =
            ::openat(at.here(), part.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (next < 0) return -1;
        at.enter(next);
    }
    return -1;  // the name is the root itself, which is no database file
}

// Opens root and runs `how` beneath it.
template <typename How>
std::unique_ptr<BlockFile> beneath(const char *root, How how) {
    Descriptor rootfd(::open(root, O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (rootfd.get() < 0) return nullptr;
    return adoptdescriptor(how(rootfd.get()));
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
    return beneath(root, [&](int rootfd) {
        const int fd = openat2beneath(rootfd, name, mode);
        if (fd >= 0) return fd;
        if (errno == ENOSYS || errno == EPERM) return walkbeneath(rootfd, name, mode, escaped);
        if (errno == EXDEV) *escaped = true;
        return -1;
    });
}

std::unique_ptr<BlockFile> openbeneathbywalk(const char *root, const char *name, OpenMode mode,
                                             bool *escaped) {
    *escaped = false;
    return beneath(root, [&](int rootfd) { return walkbeneath(rootfd, name, mode, escaped); });
}

}  // namespace vorn::platform
