// POSIX implementation of the file part of the platform seam.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "descriptor.h"
#include "vorn/platform.h"

namespace vorn::platform {
namespace {

// Positioned reads and writes on a descriptor. Reads deliberately do not go through a memory
// mapping: a file truncated under an open mapping (another process recreating the database,
// say) would kill the process with SIGBUS on the next read, where pread just reports a short
// read that the engine turns into an error code.
class PosixFile final : public BlockFile {
  public:
    explicit PosixFile(int fd) : fd_(fd) {}
    ~PosixFile() override { ::close(fd_); }
    PosixFile(const PosixFile &) = delete;
    PosixFile &operator=(const PosixFile &) = delete;

    long readat(void *buf, std::size_t n, std::uint64_t offset) override {
        ssize_t got;
        do {
            got = ::pread(fd_, buf, n, static_cast<off_t>(offset));
        } while (got < 0 && errno == EINTR);
        return static_cast<long>(got);
    }

    long writeat(const void *buf, std::size_t n, std::uint64_t offset) override {
        std::size_t done = 0;
        const auto *p = static_cast<const char *>(buf);
        while (done < n) {
            ssize_t put = ::pwrite(fd_, p + done, n - done, static_cast<off_t>(offset + done));
            if (put < 0 && errno == EINTR) continue;
            if (put <= 0) break;
            done += static_cast<std::size_t>(put);
        }
        if (done < n) return done > 0 ? static_cast<long>(done) : -1;
        return static_cast<long>(done);
    }

    std::int64_t length() override {
        struct stat st {};
        if (::fstat(fd_, &st) != 0) return -1;
        return st.st_size;
    }

    bool truncate(std::uint64_t length) override {
        int rc;
        do {
            rc = ::ftruncate(fd_, static_cast<off_t>(length));
        } while (rc != 0 && errno == EINTR);
        return rc == 0;
    }

    bool sync() override {
        int rc;
        do {
            rc = ::fdatasync(fd_);
        } while (rc != 0 && errno == EINTR);
        return rc == 0;
    }

    // flock belongs to the open file description: another open of the same file, in this
    // process or another, is refused while this one holds it, and it ends with the process.
    bool trylock() override {
        int rc;
        do {
            rc = ::flock(fd_, LOCK_EX | LOCK_NB);
        } while (rc != 0 && errno == EINTR);
        return rc == 0;
    }

    int fd() const { return fd_; }

  private:
    int fd_;
};

std::unique_ptr<BlockFile> wrap(int fd) {
    if (fd < 0) return nullptr;
    return std::make_unique<PosixFile>(fd);
}

}  // namespace

std::unique_ptr<BlockFile> adoptdescriptor(int fd) {
    return wrap(fd);
}

std::unique_ptr<BlockFile> openfile(const char *path, OpenMode mode) {
    int flags = (mode == OpenMode::ReadOnly ? O_RDONLY : O_RDWR) | O_CLOEXEC;
    return wrap(::open(path, flags));
}

std::unique_ptr<BlockFile> createfile(const char *path) {
    return wrap(::open(path, O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
}

std::unique_ptr<BlockFile> createexclusive(const char *path) {
    return wrap(::open(path, O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
}

bool removefile(const char *path) {
    return ::unlink(path) == 0;
}

std::string maketempname() {
    // Six base-36 digits from the process id, a counter and the clock: unique enough that
    // the exclusive create rarely has to try again; callers retry on a collision.
    static std::atomic<unsigned> counter{0};
    unsigned long v = static_cast<unsigned long>(::getpid()) * 7919UL +
                      counter.fetch_add(1) * 104729UL + static_cast<unsigned long>(::time(nullptr));
    char digits[7];
    for (int i = 5; i >= 0; --i) {
        digits[i] = "0123456789abcdefghijklmnopqrstuvwxyz"[v % 36];
        v /= 36;
    }
    digits[6] = '\0';
    return std::string("vt") + digits + ".tmp";
}

const char *systemclientlog() {
    return nullptr;
}

std::tm localnow() {
    std::time_t now = std::time(nullptr);
    std::tm out{};
    ::localtime_r(&now, &out);
    return out;
}

bool fileidentity(BlockFile &file, FileIdentity *identity) {
    if (BlockFile *inner = file.inner()) return fileidentity(*inner, identity);
    auto *posix = dynamic_cast<PosixFile *>(&file);
    if (posix == nullptr) return false;
    struct stat st {};
    if (::fstat(posix->fd(), &st) != 0) return false;
    identity->device = static_cast<std::uint64_t>(st.st_dev);
    identity->inode = static_cast<std::uint64_t>(st.st_ino);
    return true;
}

}  // namespace vorn::platform
