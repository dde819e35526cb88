#include "journal.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace vorn {
namespace {

constexpr char kMagic[8] = {'V', 'O', 'R', 'N', 'J', 'N', 'L', '1'};

std::uint64_t fnv1a(std::uint64_t hash, const std::uint8_t *p, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) {
        hash ^= p[i];
        hash *= 0x100000001b3ULL;
    }
    return hash;
}

constexpr std::uint64_t kFnvBasis = 0xcbf29ce484222325ULL;

// FNV-1a taken over little-endian 8-byte words instead of bytes (the tail byte by byte):
// eight times fewer steps over the kilobytes of images each operation writes.
std::uint64_t fnv1awords(std::uint64_t hash, const std::uint8_t *p, std::size_t n) {
    std::size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        std::uint64_t word;
        std::memcpy(&word, p + i, sizeof word);
        hash ^= word;
        hash *= 0x100000001b3ULL;
    }
    return fnv1a(hash, p + i, n - i);
}

// The checksum over header bytes 8..23 and the entries that follow the header.
std::uint64_t checksum(const std::uint8_t *header, const std::uint8_t *entries, std::size_t n) {
    return fnv1awords(fnv1awords(kFnvBasis, header + 8, 16), entries, n);
}

template <typename T>
T getat(const std::uint8_t *p) {
    T v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

template <typename T>
void putat(std::uint8_t *p, T v) {
    std::memcpy(p, &v, sizeof v);
}

// Reads a journal entry by entry into `content`; false when one is out of range.
bool decodeentries(const std::uint8_t *p, std::uint32_t count, JournalContent *content) {
    content->blocks.resize(count);
    content->images.resize(static_cast<std::size_t>(count) * kBlockSize);
    for (std::uint32_t i = 0; i < count; ++i, p += kJournalEntry) {
        const auto blk = getat<std::uint32_t>(p);
        // Only blocks that existed before the operation have images.
        if (blk > kMaxBlock || static_cast<std::uint64_t>(blk) * kBlockSize >= content->oldlength) {
            return false;
        }
        content->blocks[i] = blk;
        std::memcpy(content->images.data() + static_cast<std::size_t>(i) * kBlockSize, p + 4,
                    kBlockSize);
    }
    return true;
}

// Reads through a journal's images, up to the old length.
class JournalView final : public platform::BlockFile {
  public:
    JournalView(std::unique_ptr<platform::BlockFile> db, JournalContent content)
        : db_(std::move(db)), content_(std::move(content)) {}

    long readat(void *buf, std::size_t n, std::uint64_t offset) override {
        const std::uint64_t end = content_.oldlength;
        if (offset >= end) return 0;
        n = static_cast<std::size_t>(std::min<std::uint64_t>(n, end - offset));
        const long got = db_->readat(buf, n, offset);
        if (got < 0) return got;
        // Bytes the file no longer has (it never shrinks, but be safe) read as zeros.
        auto *out = static_cast<std::uint8_t *>(buf);
        std::memset(out + got, 0, n - static_cast<std::size_t>(got));
        for (std::size_t i = 0; i < content_.blocks.size(); ++i) {
            const std::uint64_t start = static_cast<std::uint64_t>(content_.blocks[i]) * kBlockSize;
            const std::uint64_t from = std::max(start, offset);
            const std::uint64_t to = std::min(start + kBlockSize, offset + n);
            if (from >= to) continue;
            std::memcpy(out + (from - offset), content_.image(i) + (from - start), to - from);
        }
        return static_cast<long>(n);
    }
    long writeat(const void *, std::size_t, std::uint64_t) override { return -1; }
    std::int64_t length() override { return static_cast<std::int64_t>(content_.oldlength); }

  private:
    std::unique_ptr<platform::BlockFile> db_;
    JournalContent content_;
};

}  // namespace

std::string journalpath(const char *dbpath) {
    static constexpr std::size_t kNameMax = 255;  // longest name of one directory entry
    static constexpr char kSuffix[] = "-journal";
    std::string path(dbpath);
    const std::size_t slash = path.find_last_of('/');
    const std::size_t base = slash == std::string::npos ? 0 : slash + 1;
    if (path.size() - base + sizeof kSuffix - 1 <= kNameMax) return path + kSuffix;
    // A name too long to take the suffix keeps its start and gets a hash of the whole name.
    const auto *p = reinterpret_cast<const std::uint8_t *>(path.data() + base);
    char hash[18];
    std::snprintf(hash, sizeof hash, "~%016llx",
                  static_cast<unsigned long long>(fnv1a(kFnvBasis, p, path.size() - base)));
    const std::size_t keep = kNameMax - (sizeof hash - 1) - (sizeof kSuffix - 1);
    return path.substr(0, base + keep) + hash + kSuffix;
}

void sealjournal(std::uint8_t *bytes, std::uint32_t count, std::uint64_t oldlength) {
    std::memcpy(bytes, kMagic, sizeof kMagic);
    putat<std::uint32_t>(bytes + 8, count);
    putat<std::uint32_t>(bytes + 12, 0);
    putat<std::uint64_t>(bytes + 16, oldlength);
    const std::size_t entries = static_cast<std::size_t>(count) * kJournalEntry;
    putat<std::uint64_t>(bytes + 24, checksum(bytes, bytes + kJournalHeader, entries));
}

void encodejournal(const JournalContent &content, std::vector<std::uint8_t> *out) {
    const auto count = static_cast<std::uint32_t>(content.blocks.size());
    out->resize(kJournalHeader + static_cast<std::size_t>(count) * kJournalEntry);
    std::uint8_t *p = out->data() + kJournalHeader;
    for (std::uint32_t i = 0; i < count; ++i, p += kJournalEntry) {
        putat<std::uint32_t>(p, content.blocks[i]);
        std::memcpy(p + 4, content.image(i), kBlockSize);
    }
    sealjournal(out->data(), count, content.oldlength);
}

void entriesof(const std::uint8_t *entries, std::uint32_t count, JournalContent *content) {
    content->blocks.resize(count);
    content->images.resize(static_cast<std::size_t>(count) * kBlockSize);
    for (std::uint32_t i = 0; i < count; ++i, entries += kJournalEntry) {
        content->blocks[i] = getat<std::uint32_t>(entries);
        std::memcpy(content->images.data() + static_cast<std::size_t>(i) * kBlockSize, entries + 4,
                    kBlockSize);
    }
}

JournalState readjournal(platform::BlockFile &journal, JournalContent *content) {
    std::uint8_t header[kJournalHeader];
    const long got = journal.readat(header, sizeof header, 0);
    if (got < 0) return JournalState::Unreadable;
    if (got < static_cast<long>(sizeof header)) return JournalState::Empty;
    if (std::memcmp(header, kMagic, sizeof kMagic) != 0) {
        const bool zero =
            std::all_of(header, header + sizeof header, [](auto b) { return b == 0; });
        return zero ? JournalState::Empty : JournalState::Damaged;
    }
    const auto count = getat<std::uint32_t>(header + 8);
    content->oldlength = getat<std::uint64_t>(header + 16);
    const std::int64_t size = journal.length();
    if (size < 0) return JournalState::Unreadable;
    const std::uint64_t need = static_cast<std::uint64_t>(count) * kJournalEntry;
    if (count > kMaxBlock + 1 || need > static_cast<std::uint64_t>(size) - kJournalHeader) {
        return JournalState::Damaged;  // its write was cut short
    }
    std::vector<std::uint8_t> entries(static_cast<std::size_t>(need));
    if (need > 0 && journal.readat(entries.data(), entries.size(), kJournalHeader) !=
                        static_cast<long>(entries.size())) {
        return JournalState::Damaged;
    }
    if (checksum(header, entries.data(), entries.size()) != getat<std::uint64_t>(header + 24) ||
        !decodeentries(entries.data(), count, content)) {
        return JournalState::Damaged;
    }
    return JournalState::Valid;
}

bool emptyjournal(platform::BlockFile &journal) {
    static const std::uint8_t zeros[kJournalHeader] = {};
    return journal.writeat(zeros, sizeof zeros, 0) == static_cast<long>(sizeof zeros);
}

bool restoreimages(platform::BlockFile &db, const JournalContent &content) {
    for (std::size_t i = 0; i < content.blocks.size(); ++i) {
        const std::uint64_t start = static_cast<std::uint64_t>(content.blocks[i]) * kBlockSize;
        // A partial trailing block is put back as long as it was.
        const auto n = static_cast<std::size_t>(
            std::min<std::uint64_t>(kBlockSize, content.oldlength - start));
        if (db.writeat(content.image(i), n, start) != static_cast<long>(n)) return false;
    }
    return db.truncate(content.oldlength);
}

std::unique_ptr<platform::BlockFile> journalview(std::unique_ptr<platform::BlockFile> db,
                                                 JournalContent content) {
    return std::make_unique<JournalView>(std::move(db), std::move(content));
}

std::unique_ptr<platform::BlockFile> openrecovered(const char *path, std::string *note) {
    if (note != nullptr) note->clear();
    auto db = platform::openfile(path, platform::OpenMode::ReadOnly);
    if (db == nullptr) return nullptr;
    const std::string jpath = journalpath(path);
    auto journal = platform::openfile(jpath.c_str(), platform::OpenMode::ReadWrite);
    const bool writable = journal != nullptr;
    if (!writable) journal = platform::openfile(jpath.c_str(), platform::OpenMode::ReadOnly);
    if (journal == nullptr) return db;
    JournalContent content;
    if (readjournal(*journal, &content) != JournalState::Valid) return db;
    // A server that has the file open holds the journal's lock: its journal is live, not
    // left by a crash, and only that server may settle it.
    if (!journal->trylock()) {
        if (note != nullptr) *note = jpath + " belongs to a running server; read as it is";
        return db;
    }
    if (writable) {
        auto rw = platform::openfile(path, platform::OpenMode::ReadWrite);
        if (rw != nullptr && restoreimages(*rw, content) && rw->sync() && emptyjournal(*journal)) {
            if (note != nullptr) *note = "rolled back an interrupted operation from " + jpath;
            return db;
        }
    }
    if (note != nullptr) {
        *note = jpath +
                " holds an interrupted operation that can't be rolled back here; "
                "read as it was before that operation";
    }
    return journalview(std::move(db), std::move(content));
}

}  // namespace vorn
