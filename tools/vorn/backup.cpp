// vorn backup ADDR NAME DEST [--file PATH]: a consistent copy of a database that a running
// server serves. The tool opens NAME through the server at ADDR and takes the file's
// exclusive lock with reads allowed. The server applies each request whole and writes its
// blocks and header before it answers, so once the lock is granted the file on disk is a
// state the database really had, and no other user can change its records, keys or layout
// until the unlock. Only the control values (counter pair, business date, status flag) stay
// open to other users; they live in the control block, which is therefore copied last and
// matched against what the server answers. The file is read where this machine sees it
// (PATH, default NAME); the lock is released and the copy checked. Readers go on reading
// throughout; writers are refused only while the copy runs.
#include <cstdio>
#include <cstring>
#include <memory>

#include "command.h"
#include "dbfile.h"
#include "fsn/check.h"
#include "progress.h"
#include "vornlink.h"

namespace vorn::tool {
namespace {

// One server connection with one open database, closed in reverse order.
class ServerFile {
  public:
    ~ServerFile() {
        if (locked_) fsexclusiveunlock(instance_, fs_);
        if (fs_ != nullptr) fsclose(instance_, fs_);
        if (instance_ >= 0) closefs(instance_);
    }
    bool open(const std::string &addr, const std::string &name, std::string *why) {
        instance_ = fsinit(addr.c_str());
        if (instance_ < 0) {
            *why = "cannot connect to a server at " + addr;
            return false;
        }
        fs_ = fsopen(instance_, name.c_str(), 0, 0);
        if (fs_ == nullptr) {
            *why = "the server cannot open " + name;
            return false;
        }
        return true;
    }
    // Blocks until the server grants the lock (it is refused while others hold record locks).
    bool lock() { return locked_ = fsexclusivelock(instance_, fs_, 1) == 1; }
    bool unlock() {
        locked_ = false;
        return fsexclusiveunlock(instance_, fs_) == 1;
    }
    // What the server holds, to tell that the copy is of the served file.
    std::uint32_t counter() { return fsgetcannumber(instance_, fs_, 0); }
    std::uint32_t businessdate() { return fsgetbusinessdate(instance_, fs_); }
    std::uint32_t first(std::uint8_t fid) { return fsfirst(instance_, fs_, fid); }
    std::uint32_t last(std::uint8_t fid) { return fslast(instance_, fs_, fid); }

  private:
    char instance_ = -1;
    FS *fs_ = nullptr;
    bool locked_ = false;
};

// What the server says of the file, to be matched by the copy's control block: the first and
// last rid of every sub-file (which no one can change while the lock is held) and the control
// values (which other users may still change: they are not refused by the lock).
struct ServedView {
    std::uint32_t first[kSubFiles], last[kSubFiles];
    std::uint32_t counter, businessdate;
};

ServedView askserver(ServerFile &server) {
    ServedView v{};
    for (int n = 0; n < kSubFiles; ++n) {
        v.first[n] = server.first(static_cast<std::uint8_t>((n + 1) << 4));
        v.last[n] = server.last(static_cast<std::uint8_t>((n + 1) << 4));
    }
    v.counter = server.counter();
    v.businessdate = server.businessdate();
    return v;
}

bool matches(const ServedView &v, const FSCB &cb) {
    const std::uint32_t counter =
        static_cast<std::uint16_t>(cb.cannumber[0]) |
        static_cast<std::uint32_t>(static_cast<std::uint16_t>(cb.cannumber[1])) << 16;
    if (counter != v.counter || cb.businessdate != v.businessdate) return false;
    for (int n = 0; n < kSubFiles; ++n) {
        const std::uint32_t frid = cb.f[n].frid, lrid = cb.f[n].lrid;
        const bool empty = frid == 0 || frid == kEmptyFrid;
        if ((empty ? 0 : frid) != v.first[n] || (empty ? 0 : lrid) != v.last[n]) return false;
    }
    return true;
}

// Copies the blocks after the control block, which stay as they are while the lock is held.
bool copyblocks(platform::BlockFile &in, platform::BlockFile &out, std::string *why) {
    const std::int64_t length = in.length();
    std::vector<std::uint8_t> buf(256 * kBlockSize);
    Progress progress("backup", "bytes");
    for (std::int64_t at = kBlockSize; at < length;) {
        const std::size_t n =
            static_cast<std::size_t>(std::min<std::int64_t>(length - at, buf.size()));
        const auto offset = static_cast<std::uint64_t>(at);
        if (in.readat(buf.data(), n, offset) != static_cast<long>(n) ||
            out.writeat(buf.data(), n, offset) != static_cast<long>(n)) {
            *why = "copying the file failed";
            return false;
        }
        at += static_cast<std::int64_t>(n);
        progress.update(static_cast<std::uint64_t>(at), static_cast<std::uint64_t>(length));
    }
    return true;
}

// Copies the control block last, as the server sees it: a control value that another user
// changes while the copy runs is written to the file's control block at once, so the block is
// read again until it agrees with what the server answers. A block that never agrees belongs
// to another file than the one the server serves.
bool copycontrolblock(ServerFile &server, platform::BlockFile &in, platform::BlockFile &out,
                      std::string *why) {
    constexpr int kTries = 5;
    FSCB cb;
    for (int i = 0; i < kTries; ++i) {
        const ServedView view = askserver(server);
        if (in.readat(&cb, sizeof cb, 0) != static_cast<long>(sizeof cb)) break;
        if (!matches(view, cb)) continue;
        if (out.writeat(&cb, sizeof cb, 0) != static_cast<long>(sizeof cb)) {
            *why = "writing the copy failed";
            return false;
        }
        return true;
    }
    *why =
        "the file does not match what the server says of it (give the path of the file the "
        "server serves with --file)";
    return false;
}

bool copyfile(ServerFile &server, const std::string &from, const std::string &to,
              std::string *why) {
    auto in = platform::openfile(from.c_str(), platform::OpenMode::ReadOnly);
    if (in == nullptr) {
        *why = "cannot open " + from + " (give the path this machine sees with --file)";
        return false;
    }
    auto out = platform::createexclusive(to.c_str());
    if (out == nullptr) {
        *why = fileexists(to) ? to + " exists already" : "cannot create " + to;
        return false;
    }
    return copyblocks(*in, *out, why) && copycontrolblock(server, *in, *out, why);
}

int run(const Args &args) {
    const std::string &addr = args.positional[0];
    const std::string &name = args.positional[1];
    const std::string &dest = args.positional[2];
    const std::string path = args.value("--file", name);
    if (fileexists(dest)) return fail("backup", kExitFailed, "%s exists already", dest.c_str());
    ServerFile server;
    std::string why;
    if (!server.open(addr, name, &why)) return fail("backup", kExitFailed, "%s", why.c_str());
    if (!server.lock()) {
        return fail("backup", kExitFailed, "the server refused the exclusive lock on %s",
                    name.c_str());
    }
    bool ok = copyfile(server, path, dest, &why);
    if (!server.unlock() && ok) {
        why = "the server refused to release the exclusive lock";
        ok = false;
    }
    if (ok && hasfaults(checkpath(dest.c_str()))) {
        why = "the copy has faults (vorn check " + dest + " lists them)";
        return fail("backup", kExitFailed, "%s", why.c_str());
    }
    if (!ok) {
        std::remove(dest.c_str());
        return fail("backup", kExitFailed, "%s", why.c_str());
    }
    std::printf("backed up %s to %s\n", name.c_str(), dest.c_str());
    return kExitOk;
}

}  // namespace

const Command &backupcommand() {
    static const Command c{
        "backup",
        "ADDR NAME DEST [--file PATH]",
        "copy a database a running server serves, consistently",
        "Opens NAME through the server at ADDR (host[:port]), takes the file's exclusive lock\n"
        "with reads allowed, copies the file to DEST (which must not exist), releases the lock\n"
        "and checks the copy. Readers are never held up; writers are refused only while the\n"
        "copy runs. The file is read where this machine sees it: NAME, or PATH with --file\n"
        "when the server's working directory differs. Run it on the server's machine.",
        {{"--file", true}},
        3,
        3,
        run};
    return c;
}

}  // namespace vorn::tool
