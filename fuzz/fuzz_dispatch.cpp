// Fuzz target: the server's receive-and-dispatch path fed an arbitrary byte stream. The input is
// what a client sends on one connection; a connection thread's body (talkToClient) receives it
// from one end of a socket pair, frames it into requests, carries each out and sends the
// replies, which a second thread reads and drops. The server's names resolve inside a scratch
// data root that holds two small databases, "a.db" and "b.db", put back before every input.
// An input that starts with "VDB" and a 16-bit length n brings its own "a.db": the n bytes
// that follow (the stream comes after them), so that the handlers meet damaged files too.
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "connection.h"
#include "fsn/format.h"
#include "server.h"

namespace {

namespace fs = std::filesystem;

std::string root;

void writeimage(const std::string &path) {
    auto file = vorn::platform::createfile(path.c_str());
    if (file == nullptr ||
        vorn::writenewfile(*file, vorn::ImageKind::Database, vorn::kDefaultXblkfreq,
                           path.c_str()) != vorn::kNewFileBlocks) {
        std::abort();
    }
}

void setup() {
    std::string pattern = (fs::temp_directory_path() / "vornfuzz-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) std::abort();
    root = pattern;
    std::atexit([] {
        std::error_code ec;
        fs::remove_all(root, ec);
    });
}

void writebytes(const std::string &path, const std::uint8_t *bytes, std::size_t n) {
    auto file = vorn::platform::createfile(path.c_str());
    if (file == nullptr || (n > 0 && file->writeat(bytes, n, 0) != static_cast<long>(n))) {
        std::abort();
    }
}

constexpr char kImageMark[] = "VDB";
constexpr std::size_t kImageHeader = 5;  // the mark and the length

// The bytes of "a.db" an input brings, if any: {start, length}; the stream follows.
std::pair<std::size_t, std::size_t> ownimage(const std::uint8_t *data, std::size_t size) {
    if (size < kImageHeader || std::memcmp(data, kImageMark, 3) != 0) return {0, 0};
    const std::size_t n = std::min<std::size_t>(data[3] | data[4] << 8, size - kImageHeader);
    return {kImageHeader, n};
}

// Puts the databases back and removes what the last input left.
void reset(const std::uint8_t *data, std::size_t size) {
    std::error_code ec;
    for (const auto &entry : fs::directory_iterator(root, ec)) fs::remove_all(entry.path(), ec);
    const auto [start, n] = ownimage(data, size);
    if (start != 0) {
        writebytes(root + "/a.db", data + start, n);
    } else {
        writeimage(root + "/a.db");
    }
    writeimage(root + "/b.db");
}

// The server the inputs reach, made once over the scratch data root.
vorn::server::Server &server() {
    static vorn::server::Server instance([] {
        vorn::server::ServerConfig config;
        config.files.dataroot = vorn::server::DataRoot(root);
        return config;
    }());
    return instance;
}

// Writes the whole stream, ends it, and reads every reply until the server closes.
void client(int fd, const std::uint8_t *data, std::size_t size) {
    std::size_t sent = 0;
    while (sent < size) {
        const ssize_t n = ::send(fd, data + sent, size - sent, MSG_NOSIGNAL);
        if (n <= 0) break;
        sent += static_cast<std::size_t>(n);
    }
    ::shutdown(fd, SHUT_WR);
    char sink[4096];
    while (::recv(fd, sink, sizeof sink, 0) > 0) {
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    static const bool ready = (setup(), true);
    (void)ready;
    reset(data, size);
    const auto [start, n] = ownimage(data, size);
    const std::size_t skip = start + n;
    int pair[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) std::abort();
    std::thread peer(client, pair[1], data + skip, size - skip);
    vorn::server::talkToClient(server(), pair[0]);  // closes pair[0]
    peer.join();
    ::close(pair[1]);
    // Temporary databases belong to no connection: close them as a stopping server does.
    server().files.fscloseall();
    return 0;
}
