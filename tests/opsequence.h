// A fixed random sequence of record and key operations through the exported API, for the
// tests that pin down the bytes a database file ends with and the answers on the way. Key
// walks forward and backward run with reads, inserts and deletes between their steps, so that
// every shortcut a walk may take is crossed by changes. Only mt19937 and plain arithmetic
// decide the sequence, so it is the same on every machine.
#pragma once

#include <cstdint>
#include <cstring>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "vornlink.h"

namespace vorn::test {

// FNV-1a, 64 bits.
inline std::uint64_t fnv(const void *data, std::size_t n, std::uint64_t h = 14695981039346656037u) {
    const auto *p = static_cast<const std::uint8_t *>(data);
    for (std::size_t i = 0; i < n; ++i) h = (h ^ p[i]) * 1099511628211u;
    return h;
}

// The hash of a database file's bytes, with the control block's file name (bytes 63..126,
// which hold the name the file was opened or created under) left out.
inline std::uint64_t filehash(const std::string &path, std::size_t *size = nullptr) {
    std::ifstream in(path, std::ios::binary);
    std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (size != nullptr) *size = bytes.size();
    for (std::size_t i = 63; i < 127 && i < bytes.size(); ++i) bytes[i] = 0;
    return fnv(bytes.data(), bytes.size());
}

class OpSequence {
  public:
    OpSequence(char instance, ::FS *fs, unsigned seed) : inst_(instance), fs_(fs), rng_(seed) {}

    // Runs `steps` operations; returns the hash of every answer given on the way.
    std::uint64_t run(int steps) {
        for (int step = 0; step < steps; ++step) {
            switch (pick(12)) {
                case 0:
                case 1:
                    addrecord();
                    break;
                case 2:
                    rewriterecord();
                    break;
                case 3:
                    deleterecord();
                    break;
                case 4:
                case 5:
                case 6:
                    addkey();
                    break;
                case 7:
                    deletekey();
                    break;
                case 8:
                case 9:
                    walkforward();
                    break;
                case 10:
                    walkbackward();
                    break;
                default:
                    probe();
                    break;
            }
            if (pick(200) == 0) note(static_cast<std::uint32_t>(fsflush(inst_, fs_)));
        }
        return answers_;
    }

  private:
    struct Key {
        std::uint8_t fid;
        std::string value;
        std::uint32_t rid;
    };

    int pick(int n) { return static_cast<int>(rng_() % static_cast<unsigned>(n)); }
    void note(std::uint32_t answer) { answers_ = fnv(&answer, sizeof answer, answers_); }
    void note(const char *bytes, std::size_t n) { answers_ = fnv(bytes, n, answers_); }

    std::string record() {
        std::string r(static_cast<std::size_t>(1 + pick(400)), '\0');
        const char fill = static_cast<char>('a' + pick(26));
        for (char &c : r) c = pick(4) == 0 ? static_cast<char>(pick(256)) : fill;
        return r;
    }
    std::uint8_t keyfid() { return pick(2) == 0 ? 0x11 : 0x19; }  // unique / duplicates
    std::string value(int maxlen) {
        std::string v(static_cast<std::size_t>(1 + pick(maxlen)), '\0');
        for (char &c : v) c = static_cast<char>('A' + pick(5));
        return v;
    }
    std::uint32_t anyrid() {
        return rids_.empty() ? 1 : rids_[pick(static_cast<int>(rids_.size()))];
    }

    void addrecord() {
        const std::string r = record();
        const std::uint32_t rid = fsadd(inst_, fs_, r.data(), static_cast<std::int16_t>(r.size()),
                                        static_cast<std::uint8_t>(pick(2) == 0 ? 0x10 : 0x20));
        note(rid);
        if (rid != 0) rids_.push_back(rid);
    }
    void rewriterecord() {
        const std::string r = record();
        note(static_cast<std::uint32_t>(
            fswrite(inst_, fs_, r.data(), static_cast<std::int16_t>(r.size()), anyrid())));
    }
    void deleterecord() {
        if (rids_.empty()) return;
        const int at = pick(static_cast<int>(rids_.size()));
        note(static_cast<std::uint32_t>(fsdelete(inst_, fs_, rids_[at])));
        rids_.erase(rids_.begin() + at);
    }
    void addkey() {
        Key k{keyfid(), value(pick(8) == 0 ? 150 : 14), anyrid()};
        const std::int16_t added = fsaddkey(
            inst_, fs_, k.fid, k.rid, static_cast<std::int16_t>(k.value.size()), k.value.data());
        note(static_cast<std::uint32_t>(added));
        if (added != 0) keys_.push_back(k);
    }
    void deletekey() {
        if (keys_.empty()) return;
        const int at = pick(static_cast<int>(keys_.size()));
        Key k = keys_[at];
        note(static_cast<std::uint32_t>(fsdeletekey(
            inst_, fs_, k.fid, k.rid, static_cast<std::int16_t>(k.value.size()), k.value.data())));
        keys_.erase(keys_.begin() + at);
    }
    // A change in the middle of a walk: a key added or deleted, or a record read.
    void disturb() {
        switch (pick(8)) {
            case 0:
                addkey();
                break;
            case 1:
                deletekey();
                break;
            case 2:
                char rec[2048];
                note(static_cast<std::uint32_t>(fsread(inst_, fs_, anyrid(), rec)));
                break;
            default:
                break;
        }
    }
    // Steps from (rid, buf) with the given step function, noting every answer.
    template <typename Step>
    void walk(std::uint8_t fid, std::uint32_t rid, std::int16_t len, char *buf, Step stepfn) {
        for (int n = pick(80); rid != 0 && n > 0; --n) {
            note(rid);
            note(buf, static_cast<std::size_t>(len));
            disturb();
            rid = stepfn(inst_, fs_, fid, rid, len, buf);
            // The value's length is not returned locally: the walk knows it from the keys.
            if (rid != 0) len = lengthof(fid, rid, buf, len);
        }
        note(rid);
    }
    // The length of the stored value of (fid, rid) starting like buf, or len when unknown.
    std::int16_t lengthof(std::uint8_t fid, std::uint32_t rid, const char *buf, std::int16_t len) {
        for (const Key &k : keys_) {
            if (k.fid == fid && k.rid == rid &&
                k.value.compare(0, k.value.size(), buf, k.value.size()) == 0) {
                return static_cast<std::int16_t>(k.value.size());
            }
        }
        return len;
    }
    void walkforward() {
        const std::uint8_t fid = keyfid();
        char buf[200] = {};
        const std::uint32_t rid = fsfirstkey(inst_, fs_, fid, buf);
        walk(fid, rid, lengthof(fid, rid, buf, 0), buf, fsnextkey);
    }
    void walkbackward() {
        const std::uint8_t fid = keyfid();
        char buf[200];
        std::string above(150, 'Z');
        std::memcpy(buf, above.data(), above.size());
        const std::uint32_t rid =
            fslastkey(inst_, fs_, fid, static_cast<std::int16_t>(above.size()), buf);
        walk(fid, rid, lengthof(fid, rid, buf, 0), buf, fsprevkey);
    }
    void probe() {
        const std::uint8_t fid = keyfid();
        std::string v = value(14);
        char buf[200];
        std::memcpy(buf, v.data(), v.size());
        note(fsfindkey(inst_, fs_, fid, static_cast<std::int16_t>(v.size()), buf));
        char rec[2048];
        note(static_cast<std::uint32_t>(fsread(inst_, fs_, anyrid(), rec)));
        std::uint32_t rid = fsfirst(inst_, fs_, 0x10);
        for (int n = pick(20); rid != 0 && n > 0; --n) rid = fsnext(inst_, fs_, rid);
        note(rid);
    }

    char inst_;
    ::FS *fs_;
    std::mt19937 rng_;
    std::uint64_t answers_ = 14695981039346656037u;
    std::vector<std::uint32_t> rids_;
    std::vector<Key> keys_;
};

}  // namespace vorn::test
