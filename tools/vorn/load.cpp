// vorn load FILE: makes a new database file from a dump (docs/DUMP.md) read on standard
// input. Every record gets the rid it had; the free identifiers are left on the free xlate
// chain in ascending order. A failed load removes the file it started.
#include <cstdio>
#include <iostream>
#include <string>

#include "command.h"
#include "dbfile.h"
#include "fsn/blocks.h"
#include "fsn/keysearch.h"
#include "fsn/keyupdate.h"
#include "fsn/restore.h"
#include "jsonl.h"
#include "progress.h"
#include "vorn/compress.h"

namespace vorn::tool {
namespace {

// What one line asks for, applied to the file being built.
class Loader {
  public:
    Loader(FSDATA *fs, CollectingReporter *reporter) : fs_(fs), reporter_(reporter) {}

    bool header(const JsonLine &line, std::string *why);
    bool apply(const JsonLine &line, std::string *why);
    bool finish(std::string *why);

  private:
    bool subfile(const JsonLine &line, std::string *why);
    bool record(const JsonLine &line, std::string *why);
    bool key(const JsonLine &line, std::string *why);

    FSDATA *fs_;
    CollectingReporter *reporter_;
    bool sawrecord_ = false;
};

const JsonValue *field(const JsonLine &line, const char *name, JsonValue::Kind kind) {
    const auto it = line.find(name);
    return it != line.end() && it->second.kind == kind ? &it->second : nullptr;
}

bool number(const JsonLine &line, const char *name, long long lo, long long hi, long long *out,
            std::string *why) {
    const JsonValue *v = field(line, name, JsonValue::Number);
    if (v == nullptr || v->number < lo || v->number > hi) {
        *why = std::string("\"") + name + "\" must be a number from " + std::to_string(lo) +
               " to " + std::to_string(hi);
        return false;
    }
    *out = v->number;
    return true;
}

bool hexfield(const JsonLine &line, const char *name, std::vector<std::uint8_t> *out,
              std::string *why) {
    const JsonValue *v = field(line, name, JsonValue::String);
    if (v == nullptr || !fromhex(v->text, out)) {
        *why = std::string("\"") + name + "\" must be a string of hexadecimal digit pairs";
        return false;
    }
    return true;
}

bool ridfield(const JsonLine &line, std::uint32_t *rid, std::string *why) {
    const JsonValue *v = field(line, "rid", JsonValue::String);
    long long value = 0;
    if (v == nullptr || v->text.size() != 8 ||
        !parsenumber("0x" + v->text, 0, 0xFFFFFFFF, &value) || (value >> 28) == 0) {
        *why = "\"rid\" must be eight hexadecimal digits naming sub-file 1 to 15";
        return false;
    }
    *rid = static_cast<std::uint32_t>(value);
    return true;
}

bool Loader::header(const JsonLine &line, std::string *why) {
    const JsonValue *tag = field(line, "vorn", JsonValue::String);
    long long version = 0, counter = 0, date = 0, appstat = 0, site = 0;
    if (tag == nullptr || tag->text != "dump") {
        *why = "the first line is not a dump header ({\"vorn\":\"dump\",...})";
        return false;
    }
    if (!number(line, "version", kDumpVersion, kDumpVersion, &version, why) ||
        !number(line, "counter", 0, 0xFFFFFFFF, &counter, why) ||
        !number(line, "businessdate", 0, 0xFFFFFFFF, &date, why) ||
        !number(line, "appstat", 0, 255, &appstat, why) ||
        !number(line, "sitenumber", -32768, 32767, &site, why)) {
        return false;
    }
    FSCB &cb = fs_->fscb;
    cb.cannumber[0] = static_cast<std::int16_t>(counter & 0xFFFF);
    cb.cannumber[1] = static_cast<std::int16_t>(counter >> 16);
    cb.businessdate = static_cast<std::uint32_t>(date);
    cb.appstat = static_cast<char>(appstat);
    cb.sitenumber = static_cast<std::int16_t>(site);
    changefscb(fs_);
    return true;
}

bool Loader::subfile(const JsonLine &line, std::string *why) {
    long long n = 0, dupkeys = 0, rlen = 0;
    std::vector<std::uint8_t> name;
    const JsonValue *types = field(line, "keytype", JsonValue::Array);
    if (!number(line, "subfile", 1, kSubFiles, &n, why) ||
        !number(line, "dupkeys", 0, 0xFFFF, &dupkeys, why) ||
        !number(line, "rlen", -32768, 32767, &rlen, why) || !hexfield(line, "name", &name, why)) {
        return false;
    }
    FDATA &f = fs_->fscb.f[n - 1];
    if (types == nullptr || types->items.size() != 16 || name.size() != sizeof f.name) {
        *why = "a sub-file line needs 16 key types and a 15-byte name";
        return false;
    }
    for (int k = 0; k < 16; ++k) {
        if (types->items[k] < -128 || types->items[k] > 127) {
            *why = "a key type is a signed byte";
            return false;
        }
        f.keytype[k] = static_cast<std::int8_t>(types->items[k]);
    }
    f.dupkeys = static_cast<std::int16_t>(static_cast<std::uint16_t>(dupkeys));
    f.rlen = static_cast<std::int16_t>(rlen);
    std::copy(name.begin(), name.end(), f.name);
    changefscb(fs_);
    return true;
}

bool Loader::record(const JsonLine &line, std::string *why) {
    std::uint32_t rid = 0;
    if (!ridfield(line, &rid, why)) return false;
    std::vector<std::uint8_t> bytes;
    std::uint8_t stored[kMaxStoredRecord];
    int len = 0;
    if (line.count("stored") != 0) {
        if (!hexfield(line, "stored", &bytes, why)) return false;
        if (bytes.empty() || bytes.size() > sizeof stored) {
            *why = "a stored form holds 1 to 1008 bytes";
            return false;
        }
        std::copy(bytes.begin(), bytes.end(), stored);
        len = static_cast<int>(bytes.size());
    } else {
        if (!hexfield(line, "data", &bytes, why)) return false;
        len = bytes.size() > 32767 ? -1
                                   : compress(stored, sizeof stored, bytes.data(),
                                              static_cast<std::int16_t>(bytes.size()));
        if (len <= 0) {
            *why = "the record is too long to store";
            return false;
        }
    }
    Fault fault;
    if (placerecordat(fs_, rid, stored, static_cast<std::int16_t>(len), &fault) == 0) {
        *why = "record " + ridtext(rid) + " cannot be stored: " + faulttext(fault);
        return false;
    }
    sawrecord_ = true;
    return true;
}

bool Loader::key(const JsonLine &line, std::string *why) {
    const JsonValue *fidtext = field(line, "key", JsonValue::String);
    long long fid = 0;
    std::uint32_t rid = 0;
    std::vector<std::uint8_t> value;
    if (fidtext == nullptr || fidtext->text.size() != 2 ||
        !parsenumber("0x" + fidtext->text, 0x10, 0xFF, &fid)) {
        *why = "\"key\" must be the index's fid byte in two hexadecimal digits";
        return false;
    }
    if (!hexfield(line, "value", &value, why) || !ridfield(line, &rid, why)) return false;
    if (value.size() > static_cast<std::size_t>(kMaxKeyValue)) {
        *why = "a key value holds at most 195 bytes";
        return false;
    }
    const std::uint8_t *built = bldkey(static_cast<std::uint8_t>(fid), rid,
                                       static_cast<std::int16_t>(value.size()), value.data());
    if (addkey(fs_, static_cast<std::int16_t>(value.size() + 1), built) == 0) {
        *why = "key of index " + fidtext->text + " for rid " + ridtext(rid) + " cannot be added (" +
               (reporter_->last().empty() ? "refused" : reporter_->last()) + ")";
        return false;
    }
    return true;
}

bool Loader::apply(const JsonLine &line, std::string *why) {
    if (line.count("rid") != 0 && line.count("key") == 0) return record(line, why);
    if (line.count("key") != 0) return key(line, why);
    if (line.count("subfile") != 0) {
        if (sawrecord_) {
            *why = "sub-file lines come before the records";
            return false;
        }
        return subfile(line, why);
    }
    *why = "a line that is neither a sub-file, a record nor a key";
    return false;
}

bool Loader::finish(std::string *why) {
    if (relinkfreexlate(fs_) == 0 || flushbuffs(fs_) == 0) {
        *why = "cannot write the file: " + reporter_->last();
        return false;
    }
    return true;
}

int loadlines(const std::string &path, std::istream &in) {
    CollectingReporter reporter;
    std::string why;
    long long spacing = kDefaultXblkfreq;
    std::string text;
    JsonLine line;
    if (!std::getline(in, text)) return fail("load", kExitUsage, "the dump is empty");
    if (!parsejsonline(text, &line, &why)) {
        return fail("load", kExitUsage, "line 1: %s", why.c_str());
    }
    if (line.count("spacing") != 0 && !number(line, "spacing", 2, 32767, &spacing, &why)) {
        return fail("load", kExitUsage, "line 1: %s", why.c_str());
    }
    auto fs = createdatabase(path, static_cast<std::int16_t>(spacing), false, &reporter, &why);
    if (fs == nullptr) return fail("load", kExitFailed, "%s", why.c_str());
    Loader loader(fs.get(), &reporter);
    Progress progress("load", "lines");
    std::uint64_t number = 1;
    bool ok = loader.header(line, &why);
    while (ok && std::getline(in, text)) {
        ++number;
        progress.update(number);
        if (text.empty()) continue;
        ok = parsejsonline(text, &line, &why) && loader.apply(line, &why);
    }
    if (ok && in.bad()) {
        why = "cannot read the dump";
        ok = false;
    }
    if (ok) ok = loader.finish(&why);
    fs.reset();
    if (!ok) {
        std::remove(path.c_str());
        return fail("load", kExitFailed, "line %llu: %s (%s not made)",
                    static_cast<unsigned long long>(number), why.c_str(), path.c_str());
    }
    return kExitOk;
}

int run(const Args &args) {
    const std::string &path = args.positional[0];
    if (path.size() > 63)
        return fail("load", kExitUsage, "a database path is at most 63 characters");
    if (fileexists(path)) return fail("load", kExitFailed, "%s exists already", path.c_str());
    return loadlines(path, std::cin);
}

}  // namespace

const Command &loadcommand() {
    static const Command c{
        "load",
        "FILE < DUMP",
        "make a new database file from a dump",
        "Reads a dump made by vorn dump (docs/DUMP.md) on standard input and makes FILE, which\n"
        "must not exist, with the same settings, the same records under the same rids, and\n"
        "the same keys. A failed load names the line and removes FILE.",
        {},
        1,
        1,
        run};
    return c;
}

}  // namespace vorn::tool
