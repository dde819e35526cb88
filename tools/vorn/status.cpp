// vorn status [--pipe NAME] REQUEST...: asks a running vornserv's status interface and prints
// each reply on a line (default pipe "vorn"; e.g. vorn status total "file x"). Exit status 0
// when every request was answered, 1 when the pipe can't be reached or a reply doesn't come,
// 2 for a wrong command line.
#include <cctype>
#include <cstdio>
#include <cstring>
#include <string>

#include "command.h"
#include "vorn/pipe.h"

namespace vorn::tool {
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

// Sends one request and prints its reply; an "exit" request gets none. False on failure.
bool ask(platform::PipeHandle pipe, const char *request) {
    const std::size_t length = std::strlen(request);
    if (platform::pipewrite(pipe, request, length) != static_cast<long>(length)) {
        return false;
    }
    if (!platform::pipewait(pipe, kReplyWaitMs)) return false;
    char reply[kReplyBuffer + 1];
    const long got = platform::piperead(pipe, reply, kReplyBuffer);
    if (got <= 0) return false;
    reply[got] = '\0';  // the reply carries its own terminator; this one guards a cut reply
    std::printf("%s\n", reply);
    return true;
}

int run(const Args &args) {
    const std::string name = args.value("--pipe", "vorn");
    if (name.empty()) return fail("status", kExitUsage, "--pipe wants a name");
    const platform::PipeHandle pipe = platform::pipeconnect(name.c_str());
    if (pipe == platform::kNoPipe) {
        return fail("status", kExitFailed, "no status pipe \"%s\" (is vornserv running?)",
                    name.c_str());
    }
    int status = kExitOk;
    for (const std::string &request : args.positional) {
        if (isexit(request.c_str())) break;
        if (!ask(pipe, request.c_str())) {
            status = fail("status", kExitFailed, "no reply to \"%s\"", request.c_str());
            break;
        }
    }
    platform::pipeclose(pipe);
    return status;
}

}  // namespace

const Command &statuscommand() {
    static const Command c{
        "status",
        "[--pipe NAME] REQUEST...",
        "ask a running server's status interface",
        "Sends each REQUEST to the status pipe of a running vornserv (default name \"vorn\")\n"
        "and prints each reply on a line, e.g. vorn status total \"file demo.vdb\".\n"
        "docs/OPERATIONS.md lists the requests.",
        {{"--pipe", true}},
        1,
        1 << 20,
        run};
    return c;
}

}  // namespace vorn::tool
