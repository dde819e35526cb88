// Win32 implementation of opening beneath a directory. The name is first judged by its text
// (no drive, no root, no ".." above the start; both separators count), then the file is
// opened and the system's final path of what was opened (links and junctions resolved) must
// lie inside the final path of the root; otherwise the open is refused as an escape.
#include "vorn/beneath.h"

#include <windows.h>

#include <cwctype>
#include <string>

namespace vorn::platform {
namespace {

bool separator(char c) {
    return c == '/' || c == '\\';
}

// The final path of whatever `path` names (a directory too), in upper case; empty on failure.
std::wstring finalpath(const std::string &path) {
    const HANDLE h =
        ::CreateFileA(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                      nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE) return {};
    std::wstring out(MAX_PATH, L'\0');
    DWORD n = ::GetFinalPathNameByHandleW(h, out.data(), static_cast<DWORD>(out.size()), 0);
    if (n >= out.size()) {
        out.resize(n + 1);
        n = ::GetFinalPathNameByHandleW(h, out.data(), static_cast<DWORD>(out.size()), 0);
    }
    ::CloseHandle(h);
    if (n == 0 || n >= out.size()) return {};
    out.resize(n);
    for (wchar_t &c : out) c = static_cast<wchar_t>(std::towupper(c));
    return out;
}

bool inside(const std::wstring &root, const std::wstring &file) {
    if (root.empty() || file.size() <= root.size()) return false;
    if (file.compare(0, root.size(), root) != 0) return false;
    return root.back() == L'\\' || file[root.size()] == L'\\';
}

}  // namespace

bool staysbeneath(const char *name) {
    if (name[0] == '\0' || separator(name[0]) || name[1] == ':') return false;
    long depth = 0;
    const char *part = name;
    for (const char *p = name;; ++p) {
        if (*p != '\0' && !separator(*p)) continue;
        const std::string piece(part, p);
        if (piece == "..") {
            if (--depth < 0) return false;
        } else if (!piece.empty() && piece != ".") {
            ++depth;
        }
        if (*p == '\0') return true;
        part = p + 1;
    }
}

std::unique_ptr<BlockFile> openbeneath(const char *root, const char *name, OpenMode mode,
                                       bool *escaped) {
    *escaped = false;
    if (!staysbeneath(name)) {
        *escaped = true;
        return nullptr;
    }
    const std::string path = std::string(root) + "\\" + name;
    const std::wstring file = finalpath(path);
    if (file.empty()) return nullptr;  // no such file, or no access
    if (!inside(finalpath(root), file)) {
        *escaped = true;
        return nullptr;
    }
    return openfile(path.c_str(), mode);
}

std::unique_ptr<BlockFile> openbeneathbywalk(const char *root, const char *name, OpenMode mode,
                                             bool *escaped) {
    return openbeneath(root, name, mode, escaped);
}

}  // namespace vorn::platform
