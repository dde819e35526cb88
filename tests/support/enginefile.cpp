#include "support/enginefile.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>

#include "fsn/blocks.h"

namespace vorn::test {

void RecordingReporter::failure(std::int16_t code, const char *clienttext, const char *servertext) {
    failures.push_back(
        {code, clienttext != nullptr ? clienttext : "", servertext != nullptr ? servertext : ""});
}

bool RecordingReporter::has(std::int16_t code) const {
    for (const Failure &f : failures) {
        if (f.code == code) return true;
    }
    return false;
}

std::vector<std::uint8_t> newdatabasebytes(std::int16_t xblkfreq, ImageKind kind) {
    std::vector<std::uint8_t> bytes(3 * kBlockSize);
    FSCB cb;
    newcontrolblock(&cb, kind, xblkfreq, nullptr);
    std::memcpy(bytes.data(), &cb, kBlockSize);
    newxlateblock(reinterpret_cast<XBLOCK *>(bytes.data() + kBlockSize), 0);
    newdatablock(reinterpret_cast<DB *>(bytes.data() + 2 * kBlockSize));
    return bytes;
}

bool writewholefile(const std::string &path, const std::vector<std::uint8_t> &bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char *>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
    return static_cast<bool>(out);
}

std::vector<std::uint8_t> readwholefile(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

bool makedatabasefile(const std::string &path, std::int16_t xblkfreq) {
    return writewholefile(path, newdatabasebytes(xblkfreq));
}

std::unique_ptr<FSDATA> openengine(std::unique_ptr<platform::BlockFile> file, Flavor flavor,
                                   Reporter *reporter, bool readonly) {
    if (file == nullptr) return nullptr;
    auto fs = newfsdata(flavor, reporter);
    fs->fsp = std::move(file);
    fs->readonly = readonly ? 1 : 0;
    if (readfscb(fs.get()) == 0) return nullptr;
    return fs;
}

std::unique_ptr<FSDATA> openenginepath(const std::string &path, Flavor flavor, Reporter *reporter,
                                       bool readonly) {
    auto mode = readonly ? platform::OpenMode::ReadOnly : platform::OpenMode::ReadWrite;
    return openengine(platform::openfile(path.c_str(), mode), flavor, reporter, readonly);
}

MemDatabase::MemDatabase(Flavor flavor, std::int16_t xblkfreq) {
    data->bytes = newdatabasebytes(xblkfreq);
    fs = openengine(std::make_unique<MemFile>(data), flavor, &reporter);
}

std::int16_t MemDatabase::flush() {
    if (fs->flavor == Flavor::Server && flushfscb(fs.get()) == 0) return 0;
    return flushbuffs(fs.get());
}

bool MemDatabase::reopen(Flavor flavor, bool readonly) {
    fs = openengine(std::make_unique<MemFile>(data), flavor, &reporter, readonly);
    return fs != nullptr;
}

TempDir::TempDir() {
    // A new directory with a random name under the system's temporary folder (TMPDIR on
    // Linux, TEMP on Windows); create_directory fails when the name is taken.
    std::error_code ec;
    const std::filesystem::path base = std::filesystem::temp_directory_path(ec);
    if (ec) return;
    std::random_device random;
    for (int attempt = 0; attempt < 100 && path_.empty(); ++attempt) {
        char name[32];
        std::snprintf(name, sizeof name, "vorntest-%08x", static_cast<unsigned>(random()));
        const std::filesystem::path candidate = base / name;
        if (std::filesystem::create_directory(candidate, ec)) path_ = candidate.string();
    }
}

TempDir::~TempDir() {
    if (path_.empty()) return;
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

}  // namespace vorn::test
