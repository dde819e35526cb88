// Win32 implementation of the file part of the platform seam: handles from CreateFile, reads
// and writes at an offset given in an OVERLAPPED record (synchronous handles, so each call
// completes before it returns and carries its own offset; no shared file pointer).
#include <windows.h>

#include <atomic>
#include <cstdio>

#include "vorn/platform.h"

namespace vorn::platform {
namespace {

// One call moves at most this much, so a length always fits a DWORD and a long.
constexpr std::size_t kMaxTransfer = 1u << 30;

OVERLAPPED at(std::uint64_t offset) {
    OVERLAPPED o{};
    o.Offset = static_cast<DWORD>(offset & 0xFFFFFFFFu);
    o.OffsetHigh = static_cast<DWORD>(offset >> 32);
    return o;
}

class Win32File final : public BlockFile {
  public:
    explicit Win32File(HANDLE h) : h_(h) {}
    ~Win32File() override { ::CloseHandle(h_); }
    Win32File(const Win32File &) = delete;
    Win32File &operator=(const Win32File &) = delete;

    long readat(void *buf, std::size_t n, std::uint64_t offset) override {
        if (n > kMaxTransfer) n = kMaxTransfer;
        OVERLAPPED o = at(offset);
        DWORD got = 0;
        if (!::ReadFile(h_, buf, static_cast<DWORD>(n), &got, &o)) {
            return ::GetLastError() == ERROR_HANDLE_EOF ? 0 : -1;
        }
        return static_cast<long>(got);
    }

    long writeat(const void *buf, std::size_t n, std::uint64_t offset) override {
        std::size_t done = 0;
        const auto *p = static_cast<const char *>(buf);
        while (done < n) {
            const std::size_t chunk = n - done < kMaxTransfer ? n - done : kMaxTransfer;
            OVERLAPPED o = at(offset + done);
            DWORD put = 0;
            if (!::WriteFile(h_, p + done, static_cast<DWORD>(chunk), &put, &o) || put == 0) break;
            done += put;
        }
        if (done < n) return done > 0 ? static_cast<long>(done) : -1;
        return static_cast<long>(done);
    }

    std::int64_t length() override {
        LARGE_INTEGER size{};
        if (!::GetFileSizeEx(h_, &size)) return -1;
        return size.QuadPart;
    }

    bool truncate(std::uint64_t length) override {
        LARGE_INTEGER at{};
        at.QuadPart = static_cast<LONGLONG>(length);
        return ::SetFilePointerEx(h_, at, nullptr, FILE_BEGIN) && ::SetEndOfFile(h_);
    }

    bool sync() override { return ::FlushFileBuffers(h_) != 0; }

    // Byte-range locks are mandatory on Windows, so the lock covers one byte far past any
    // data: it excludes other lockers and never a reader or writer of the file's contents.
    bool trylock() override {
        if (locked_) return true;
        OVERLAPPED beyond{};
        beyond.OffsetHigh = 0x7FFFFFFF;
        locked_ = ::LockFileEx(h_, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0,
                               &beyond) != 0;
        return locked_;
    }

    HANDLE handle() const { return h_; }

  private:
    HANDLE h_;
    bool locked_ = false;
};

// Other processes may read and write the file too (the library reads a database that the
// server writes); a database open here can still be renamed or deleted by its owner.
constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

std::unique_ptr<BlockFile> open(const char *path, DWORD access, DWORD disposition) {
    if (path == nullptr) return nullptr;
    const HANDLE h = ::CreateFileA(path, access, kShareAll, nullptr, disposition,
                                   FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return nullptr;
    return std::make_unique<Win32File>(h);
}

}  // namespace

std::unique_ptr<BlockFile> openfile(const char *path, OpenMode mode) {
    const DWORD access = mode == OpenMode::ReadOnly ? GENERIC_READ : GENERIC_READ | GENERIC_WRITE;
    return open(path, access, OPEN_EXISTING);
}

std::unique_ptr<BlockFile> createfile(const char *path) {
    return open(path, GENERIC_READ | GENERIC_WRITE, CREATE_ALWAYS);
}

std::unique_ptr<BlockFile> createexclusive(const char *path) {
    return open(path, GENERIC_READ | GENERIC_WRITE, CREATE_NEW);
}

bool removefile(const char *path) {
    return path != nullptr && ::DeleteFileA(path) != 0;
}

std::string maketempname() {
    // Six base-36 digits from the process id, a counter and the clock, as on every system:
    // "vt" + 6 + ".tmp" is 12 characters, a name every file system takes.
    static std::atomic<unsigned> counter{0};
    unsigned long long v = static_cast<unsigned long long>(::GetCurrentProcessId()) * 7919ULL +
                           counter.fetch_add(1) * 104729ULL +
                           static_cast<unsigned long long>(std::time(nullptr));
    char digits[7];
    for (int i = 5; i >= 0; --i) {
        digits[i] = "0123456789abcdefghijklmnopqrstuvwxyz"[v % 36];
        v /= 36;
    }
    digits[6] = '\0';
    return std::string("vt") + digits + ".tmp";
}

std::tm localnow() {
    const std::time_t now = std::time(nullptr);
    std::tm out{};
    ::localtime_s(&out, &now);
    return out;
}

bool fileidentity(BlockFile &file, FileIdentity *identity) {
    if (BlockFile *inner = file.inner()) return fileidentity(*inner, identity);
    auto *win = dynamic_cast<Win32File *>(&file);
    if (win == nullptr) return false;
    BY_HANDLE_FILE_INFORMATION info{};
    if (!::GetFileInformationByHandle(win->handle(), &info)) return false;
    identity->device = info.dwVolumeSerialNumber;
    identity->inode = (static_cast<std::uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
    return true;
}

const char *systemclientlog() {
    return "c:\\checkerr.log";
}

}  // namespace vorn::platform
