#include "dbfile.h"

#include <sys/stat.h>

#include <cstdio>

#include "fsn/blocks.h"
#include "fsn/check.h"
#include "fsn/format.h"

namespace vorn::tool {

void CollectingReporter::failure(std::int16_t code, const char *clienttext,
                                 const char *servertext) {
    last_ = "engine error " + std::to_string(code);
    const char *text = clienttext != nullptr ? clienttext : servertext;
    if (text != nullptr) {
        std::string t = text;
        while (!t.empty() && (t.back() == '\n' || t.back() == '\r')) t.pop_back();
        last_ += ": " + t;
    }
}

std::unique_ptr<FSDATA> openreadonly(const std::string &path, Reporter *reporter,
                                     std::string *why) {
    auto fs = openforcheck(path.c_str(), why);
    if (fs == nullptr) return nullptr;
    fs->reporter = reporter;
    if (!hassignature(fs->fscb)) {
        *why = path + " is not a database file (no signature)";
        return nullptr;
    }
    return fs;
}

std::unique_ptr<FSDATA> openreadwrite(const std::string &path, Reporter *reporter,
                                      std::string *why) {
    auto file = platform::openfile(path.c_str(), platform::OpenMode::ReadWrite);
    if (file == nullptr) {
        *why = "cannot open " + path + " for writing";
        return nullptr;
    }
    auto fs = newfsdata(Flavor::Library, reporter);
    fs->fsp = std::move(file);
    if (readfscb(fs.get()) == 0 || !hassignature(fs->fscb)) {
        *why = path + " is not a database file";
        return nullptr;
    }
    return fs;
}

std::unique_ptr<FSDATA> createdatabase(const std::string &path, std::int16_t spacing, bool replace,
                                       Reporter *reporter, std::string *why) {
    auto file =
        replace ? platform::createfile(path.c_str()) : platform::createexclusive(path.c_str());
    if (file == nullptr) {
        *why = fileexists(path) && !replace ? path + " exists already" : "cannot create " + path;
        return nullptr;
    }
    if (writenewfile(*file, ImageKind::Database, spacing, nullptr) != kNewFileBlocks) {
        *why = "cannot write " + path;
        return nullptr;
    }
    file.reset();
    return openreadwrite(path, reporter, why);
}

bool fileexists(const std::string &path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0;
}

std::string faulttext(const Fault &fault) {
    std::string t = fault.text;
    while (!t.empty() && (t.back() == '\n' || t.back() == '\r' || t.back() == '.')) t.pop_back();
    return t.empty() ? "engine error " + std::to_string(fault.code) : t;
}

std::string ridtext(std::uint32_t rid) {
    char text[16];
    std::snprintf(text, sizeof text, "%08lx", static_cast<unsigned long>(rid));
    return text;
}

}  // namespace vorn::tool
