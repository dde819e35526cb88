// A scripted server for the client library's network tests: a thread with a real socket on
// 127.0.0.1 (port 0), accepting one connection and answering each request with whatever the
// test's responder says, optionally in pieces or cut short. Every request is recorded.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "api/linkstate.h"
#include "support/enginefile.h"
#include "vorn/platform.h"
#include "vorn/socket.h"
#include "vorn/wire.h"

namespace vorn::test {

struct Request {
    std::uint8_t call0 = 0, call1 = 0;
    FS fs{};
    std::vector<std::uint8_t> data;
    std::size_t size = 0;  // bytes the request had on the wire
};

struct Reply {
    std::vector<std::uint8_t> bytes;  // what goes back (header and data)
    std::vector<std::size_t> pieces;  // sizes of the sends; the rest goes in one last send
    bool closeafter = false;          // close the connection after sending `bytes`
};

// The usual reply: the request's block with error 0, then `data` (len set to its size).
inline Reply answer(const Request &req, const std::vector<std::uint8_t> &data = {},
                    const std::function<void(FS &)> &edit = nullptr) {
    FS fs = req.fs;
    fs.error = 0;
    fs.errororigin = ' ';
    fs.len = static_cast<std::int16_t>(data.size());
    if (edit) edit(fs);
    Reply r;
    r.bytes.resize(kReplyHeader);
    std::memcpy(r.bytes.data(), &fs, kReplyHeader);
    r.bytes.insert(r.bytes.end(), data.begin(), data.end());
    return r;
}

// A failure reply with origin 'L'.
inline Reply refuse(const Request &req, std::int32_t code) {
    return answer(req, {}, [code](FS &fs) {
        fs.errororigin = kServerOrigin;
        fs.error = code;
    });
}

class ScriptedPeer {
  public:
    using Responder = std::function<Reply(const Request &)>;

    explicit ScriptedPeer(Responder responder = nullptr) : responder_(std::move(responder)) {
        // The peer's own start of the socket layer, paired with a clean-up (Windows needs it).
        EXPECT_TRUE(platform::socketstartup());
        listener_ = platform::tcpsocket();
        EXPECT_NE(listener_, platform::kNoSocket);
        std::uint32_t loopback = 0;
        std::uint16_t unused = 0;
        EXPECT_TRUE(platform::parseaddress("127.0.0.1", &loopback, &unused));
        EXPECT_TRUE(platform::tcpbind(listener_, loopback, 0));
        EXPECT_TRUE(platform::tcplisten(listener_, 4));
        port_ = platform::boundport(listener_);
        thread_ = std::thread([this] { serve(); });
    }
    ~ScriptedPeer() {
        platform::shutdownboth(listener_);
        platform::closesocket(listener_);
        {
            std::lock_guard<std::mutex> lock(mu_);
            if (conn_ != platform::kNoSocket) platform::shutdownboth(conn_);
        }
        thread_.join();
        if (conn_ != platform::kNoSocket) platform::closesocket(conn_);
        platform::socketcleanup();
    }
    ScriptedPeer(const ScriptedPeer &) = delete;
    ScriptedPeer &operator=(const ScriptedPeer &) = delete;

    std::string address() const { return "127.0.0.1:" + std::to_string(port_); }
    void respond(Responder responder) {
        std::lock_guard<std::mutex> lock(mu_);
        responder_ = std::move(responder);
    }
    std::vector<Request> requests() const {
        std::lock_guard<std::mutex> lock(mu_);
        return requests_;
    }
    Request last() const {
        std::lock_guard<std::mutex> lock(mu_);
        return requests_.empty() ? Request{} : requests_.back();
    }
    void clear() {
        std::lock_guard<std::mutex> lock(mu_);
        requests_.clear();
    }

  private:
    static bool receiveexactly(platform::Socket s, void *buf, std::size_t n) {
        auto *p = static_cast<std::uint8_t *>(buf);
        std::size_t got = 0;
        while (got < n) {
            const long r = platform::recvsome(s, p + got, n - got);
            if (r <= 0) return false;
            got += static_cast<std::size_t>(r);
        }
        return true;
    }

    void serve() {
        const platform::Socket c = platform::tcpaccept(listener_);
        if (c == platform::kNoSocket) return;
        {
            std::lock_guard<std::mutex> lock(mu_);
            conn_ = c;
        }
        for (;;) {
            std::uint8_t head[kRequestHeader];
            if (!receiveexactly(c, head, sizeof head)) return;
            Request req;
            req.call0 = head[0];
            req.call1 = head[1];
            std::memcpy(&req.fs, head + 2, kFsSize);
            if (req.fs.len < 0 || req.fs.len > 1024) return;
            req.data.resize(static_cast<std::size_t>(req.fs.len));
            if (!req.data.empty() && !receiveexactly(c, req.data.data(), req.data.size())) return;
            req.size = kRequestHeader + req.data.size();
            Responder responder;
            {
                std::lock_guard<std::mutex> lock(mu_);
                requests_.push_back(req);
                responder = responder_;
            }
            const Reply reply = responder ? responder(req) : answer(req);
            std::size_t at = 0;
            for (std::size_t piece : reply.pieces) {
                platform::sendall(c, reply.bytes.data() + at, piece);
                at += piece;
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
            }
            if (at < reply.bytes.size()) {
                platform::sendall(c, reply.bytes.data() + at, reply.bytes.size() - at);
            }
            if (reply.closeafter) {
                platform::shutdownboth(c);
                return;
            }
        }
    }

    platform::Socket listener_ = platform::kNoSocket;
    platform::Socket conn_ = platform::kNoSocket;
    std::uint16_t port_ = 0;
    std::thread thread_;
    mutable std::mutex mu_;
    Responder responder_;
    std::vector<Request> requests_;
};

// Each test runs in a fresh temporary working directory, where the client log lands; every
// instance is released afterwards.
class LinkTest : public ::testing::Test {
  protected:
    void SetUp() override {
        olddir_ = std::filesystem::current_path();
        std::filesystem::current_path(dir_.path());
        // A system-wide client log (Windows) starts empty for each test too.
        if (platform::systemclientlog() != nullptr) std::remove(platform::systemclientlog());
    }
    void TearDown() override {
        for (int n = 0; n < link::kInstances; ++n) {
            if (link::instanceinuse[n] != 0) closefs(static_cast<char>(n));
        }
        std::filesystem::current_path(olddir_);
    }
    // Where the library appends its log lines: the system's client log where there is one
    // (Windows), else the current directory's.
    static const char *clientlogfile() {
        const char *system = platform::systemclientlog();
        return system != nullptr ? system : link::kClientLog;
    }
    static std::string clientlog() {
        std::ifstream in(clientlogfile(), std::ios::binary);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }
    // The newest entry of the error ring.
    static std::int16_t lasterr() {
        return link::err[(link::errindex + link::kErrRing - 1) % link::kErrRing];
    }

    TempDir dir_;
    std::filesystem::path olddir_;
};

// A local instance with one temporary database open in it; the database is closed afterwards
// unless the test closed it and cleared fs_.
class LinkTempTest : public LinkTest {
  protected:
    void SetUp() override {
        LinkTest::SetUp();
        instance_ = fsinit(nullptr);
        ASSERT_EQ(instance_, 0);
        fs_ = fsopentemp(instance_);
        ASSERT_NE(fs_, nullptr);
        name_ = link::fsdataary[0][fs_->fsdatanum]->fscb.fsname;
    }
    void TearDown() override {
        if (fs_ != nullptr) fsclosetemp(instance_, fs_);
        LinkTest::TearDown();
    }

    char instance_ = -1;
    ::FS *fs_ = nullptr;
    std::string name_;
};

}  // namespace vorn::test
