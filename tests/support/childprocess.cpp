#include "support/childprocess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <charconv>
#include <sstream>
#include <thread>

extern char **environ;

namespace vorn::test {

int remainingms(Clock::time_point deadline) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

ChildProcess::~ChildProcess() {
    kill();
    if (out_ >= 0) ::close(out_);
}

bool ChildProcess::start(const std::string &path, const std::vector<std::string> &args,
                         const std::string &dir, const std::vector<std::string> &env) {
    // Everything the child needs is built before the fork: it only calls async-signal-safe
    // functions between fork and exec.
    std::vector<std::string> argstore{path};
    argstore.insert(argstore.end(), args.begin(), args.end());
    std::vector<char *> argv;
    for (std::string &a : argstore) argv.push_back(a.data());
    argv.push_back(nullptr);
    std::vector<std::string> envstore(env);
    for (char **e = environ; *e != nullptr; ++e) envstore.emplace_back(*e);
    std::vector<char *> envp;
    for (std::string &e : envstore) envp.push_back(e.data());
    envp.push_back(nullptr);
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) return false;
    const pid_t parent = ::getpid();
    pid_ = ::fork();
    if (pid_ < 0) {
        ::close(fds[0]);
        ::close(fds[1]);
        return false;
    }
    if (pid_ == 0) {
        // A test process that aborts must not leave its servers running.
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (::getppid() != parent) ::_exit(125);
        ::dup2(fds[1], 1);
        if (::chdir(dir.c_str()) != 0) ::_exit(126);
        ::execve(path.c_str(), argv.data(), envp.data());
        ::_exit(127);
    }
    ::close(fds[1]);
    out_ = fds[0];
    return true;
}

std::string ChildProcess::waitline(const std::string &prefix, int ms) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(ms);
    for (;;) {
        std::istringstream lines(output_);
        std::string line;
        while (std::getline(lines, line)) {
            if (line.rfind(prefix, 0) == 0 && !lines.eof()) return line;
        }
        if (!readsome(remainingms(deadline))) return "";
    }
}

std::string ChildProcess::output(int ms) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(ms);
    while (readsome(remainingms(deadline))) {
    }
    return output_;
}

void ChildProcess::signal(int sig) const {
    // kill() with a pid of -1 would reach every process of this user.
    if (pid_ > 0) ::kill(pid_, sig);
}

bool ChildProcess::running() const {
    return pid_ > 0;
}

int ChildProcess::wait(int ms) {
    if (pid_ <= 0) return -1;
    const auto deadline = Clock::now() + std::chrono::milliseconds(ms);
    for (;;) {
        int status = 0;
        if (::waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;
            return WIFEXITED(status) ? WEXITSTATUS(status) : -2;
        }
        if (remainingms(deadline) == 0) {
            kill();
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

bool ChildProcess::readsome(int ms) {
    if (out_ < 0) return false;
    pollfd p{out_, POLLIN, 0};
    if (::poll(&p, 1, ms) <= 0) return false;
    char buf[4096];
    const ssize_t n = ::read(out_, buf, sizeof buf);
    if (n <= 0) return false;
    output_.append(buf, static_cast<std::size_t>(n));
    return true;
}

void ChildProcess::kill() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
    pid_ = -1;
}

std::uint16_t listeningport(ChildProcess &child, int ms) {
    const std::string line = child.waitline("vornserv listening on ", ms);
    const std::size_t colon = line.rfind(':');
    if (colon == std::string::npos) return 0;
    std::uint16_t port = 0;
    const char *first = line.data() + colon + 1;
    const char *last = line.data() + line.size();
    const auto [end, error] = std::from_chars(first, last, port);
    return error == std::errc{} && end == last ? port : 0;
}

RunResult runprogram(const std::string &path, const std::vector<std::string> &args,
                     const std::vector<std::string> &env) {
    ChildProcess child;
    if (!child.start(path, args, ".", env)) return {-1, ""};
    std::string out = child.output(20000);
    return {child.wait(20000), out};
}

}  // namespace vorn::test
