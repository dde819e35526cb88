// vornstat: asks a running vornserv's status interface and prints each reply on a line.
//   vornstat [--pipe NAME] REQUEST...   (default pipe "vorn"; e.g. vornstat total "file x")
// Exit status 0 when every request was answered, 1 when the pipe can't be reached or a reply
// doesn't come, 2 for a wrong command line.
#include <cctype>
#include <cstdio>
#include <cstring>
#include <string>

#include "vorn/pipe.h"

namespace {

constexpr int kReplyWaitMs = 5000;
constexpr std::size_t kReplyBuffer = 256;

// The server ends the conversation on a request that starts with "exit" in any case.
bool isexit(const char *request) {
    for (int i = 0; i < 4; ++i) {
        if (std::toupper(static_cast<unsigned char>(request[i])) != "EXIT"[i]) return false;
    }
    return true;
}

int usage() {
    std::fprintf(stderr, "usage: vornstat [--pipe NAME] REQUEST...\n");
    return 2;
}

// Sends one request and prints its reply; an "exit" request gets none. False on failure.
bool ask(vorn::platform::PipeHandle pipe, const char *request) {
    const std::size_t length = std::strlen(request);
    if (vorn::platform::pipewrite(pipe, request, length) != static_cast<long>(length)) {
        return false;
    }
    if (!vorn::platform::pipewait(pipe, kReplyWaitMs)) return false;
    char reply[kReplyBuffer + 1];
    const long got = vorn::platform::piperead(pipe, reply, kReplyBuffer);
    if (got <= 0) return false;
    reply[got] = '\0';  // the reply carries its own terminator; this one guards a cut reply
    std::printf("%s\n", reply);
    return true;
}

}  // namespace

int main(int argc, char **argv) {
    const char *name = "vorn";
    int first = 1;
    if (argc > 1 && std::strcmp(argv[1], "--pipe") == 0) {
        if (argc < 3) return usage();
        name = argv[2];
        first = 3;
    }
    if (first >= argc) return usage();
    const vorn::platform::PipeHandle pipe = vorn::platform::pipeconnect(name);
    if (pipe == vorn::platform::kNoPipe) {
        std::fprintf(stderr, "vornstat: no status pipe \"%s\" (is vornserv running?)\n", name);
        return 1;
    }
    int status = 0;
    for (int i = first; i < argc && status == 0; ++i) {
        if (isexit(argv[i])) break;
        if (!ask(pipe, argv[i])) {
            std::fprintf(stderr, "vornstat: no reply to \"%s\"\n", argv[i]);
            status = 1;
        }
    }
    vorn::platform::pipeclose(pipe);
    return status;
}
