#include "journalfile.h"

#include <algorithm>
#include <cstring>

namespace vorn {
namespace {

constexpr std::uint64_t startof(std::uint64_t blk) {
    return blk * kBlockSize;
}

}  // namespace

JournaledFile::JournaledFile(std::unique_ptr<platform::BlockFile> file,
                             std::unique_ptr<platform::BlockFile> journal, bool durable)
    : file_(std::move(file)), journal_(std::move(journal)), durable_(durable) {
    length_ = file_->length();
    logicalend_ = length_ > 0 ? static_cast<std::uint64_t>(length_) : 0;
}

bool JournaledFile::loadheld(std::uint64_t blk, std::uint8_t *bytes) {
    const long got = file_->readat(bytes, kBlockSize, startof(blk));
    if (got < 0) return false;
    std::memset(bytes + got, 0, kBlockSize - static_cast<std::size_t>(got));
    return true;
}

std::vector<JournaledFile::HeldBlock>::iterator JournaledFile::heldfrom(std::uint64_t blk) {
    return std::lower_bound(held_.begin(), held_.end(), blk,
                            [](const HeldBlock &h, std::uint64_t b) { return h.blk < b; });
}

JournaledFile::HeldBlock *JournaledFile::findheld(std::uint64_t blk) {
    const auto at = heldfrom(blk);
    return at != held_.end() && at->blk == blk ? &*at : nullptr;
}

std::unique_ptr<JournaledFile::Held> JournaledFile::takeimage() {
    if (spare_.empty()) return std::unique_ptr<Held>(new Held);  // its bytes are set by the caller
    std::unique_ptr<Held> image = std::move(spare_.back());
    spare_.pop_back();
    return image;
}

JournaledFile::Held *JournaledFile::hold(std::uint64_t blk, bool load) {
    const auto at = heldfrom(blk);
    if (at != held_.end() && at->blk == blk) return at->image.get();
    std::unique_ptr<Held> image = takeimage();
    if (load && !loadheld(blk, image->bytes)) {
        spare_.push_back(std::move(image));
        return nullptr;
    }
    return held_.insert(at, HeldBlock{blk, std::move(image)})->image.get();
}

long JournaledFile::readat(void *buf, std::size_t n, std::uint64_t offset) {
    if (held_.empty()) return file_->readat(buf, n, offset);
    if (offset >= logicalend_) return 0;
    n = static_cast<std::size_t>(std::min<std::uint64_t>(n, logicalend_ - offset));
    auto *out = static_cast<std::uint8_t *>(buf);
    std::uint64_t at = offset;
    const std::uint64_t end = offset + n;
    while (at < end) {
        const std::uint64_t blk = at / kBlockSize;
        const std::uint64_t upto = std::min(startof(blk + 1), end);
        const auto piece = static_cast<std::size_t>(upto - at);
        if (const HeldBlock *found = findheld(blk)) {
            std::memcpy(out + (at - offset), found->image->bytes + (at - startof(blk)), piece);
        } else {
            const long got = file_->readat(out + (at - offset), piece, at);
            if (got < 0) return got;
            // Past the file's end but before the operation's: a hole, which reads as zeros.
            std::memset(out + (at - offset) + got, 0, piece - static_cast<std::size_t>(got));
        }
        at = upto;
    }
    return static_cast<long>(n);
}

long JournaledFile::writeat(const void *buf, std::size_t n, std::uint64_t offset) {
    if (!active_) {
        // With deferred operations held, the write joins them: writing them here would
        // commit them behind the back of whoever waits for their commit.
        const bool joining = !held_.empty();
        if (begin() == Outcome::Pending) return -1;
        const long put = writeat(buf, n, offset);
        if (joining) {
            defer();
            return put;
        }
        return commit() == Outcome::Done ? put : -1;
    }
    const auto *in = static_cast<const std::uint8_t *>(buf);
    std::uint64_t at = offset;
    const std::uint64_t end = offset + n;
    while (at < end) {
        const std::uint64_t blk = at / kBlockSize;
        const std::uint64_t upto = std::min(startof(blk + 1), end);
        // A whole block needs nothing of the old one.
        const bool whole = at == startof(blk) && upto == startof(blk + 1);
        Held *held = hold(blk, !whole);
        if (held == nullptr) return at > offset ? static_cast<long>(at - offset) : -1;
        std::memcpy(held->bytes + (at - startof(blk)), in + (at - offset),
                    static_cast<std::size_t>(upto - at));
        logicalend_ = std::max(logicalend_, upto);
        at = upto;
    }
    return static_cast<long>(n);
}

std::int64_t JournaledFile::length() {
    if (!held_.empty()) return static_cast<std::int64_t>(logicalend_);
    return file_->length();
}

bool JournaledFile::truncate(std::uint64_t length) {
    if (active_ || !held_.empty() || !file_->truncate(length)) return false;
    length_ = static_cast<std::int64_t>(length);
    logicalend_ = length;
    return true;
}

JournaledFile::Outcome JournaledFile::begin() {
    Outcome outcome = Outcome::Done;
    if (owing_) {
        outcome = rollback();
        if (outcome == Outcome::Pending) return outcome;
    }
    active_ = true;
    if (!held_.empty()) return outcome;  // on top of the deferred operations
    if (length_ < 0) length_ = file_->length();
    logicalend_ = length_ > 0 ? static_cast<std::uint64_t>(length_) : 0;
    return outcome;
}

void JournaledFile::defer() {
    active_ = false;
    if (held_.empty()) finish();
}

void JournaledFile::finish() {
    // A few images are kept for the next operations; a large batch's others are given back.
    constexpr std::size_t kKeptImages = 16;
    for (HeldBlock &h : held_) {
        if (spare_.size() < kKeptImages) spare_.push_back(std::move(h.image));
    }
    held_.clear();
    active_ = false;
    logicalend_ = length_ > 0 ? static_cast<std::uint64_t>(length_) : 0;
}

// The held blocks that existed before the operation: those the journal keeps images of.
// Appended blocks need none, since a rollback cuts the file back to its old length.
std::uint32_t JournaledFile::journalcount() const {
    const auto oldlength = static_cast<std::uint64_t>(length_);
    std::uint32_t count = 0;
    while (count < held_.size() && startof(held_[count].blk) < oldlength) ++count;
    return count;
}

// The journal is put together in journalbytes_: each original image is read straight into
// its entry, and the header sealed over them, for one write.
bool JournaledFile::writejournal(std::uint32_t count) {
    const std::size_t size = kJournalHeader + static_cast<std::size_t>(count) * kJournalEntry;
    if (journalbytes_.size() < size) journalbytes_.resize(size);
    std::uint8_t *entry = journalbytes_.data() + kJournalHeader;
    for (std::uint32_t i = 0; i < count; ++i, entry += kJournalEntry) {
        const std::uint64_t blk = held_[i].blk;
        const auto number = static_cast<std::uint32_t>(blk);
        std::memcpy(entry, &number, sizeof number);
        if (!loadheld(blk, entry + 4)) return false;
    }
    if (journal_ == nullptr) return true;
    sealjournal(journalbytes_.data(), count, static_cast<std::uint64_t>(length_));
    const bool written =
        journal_->writeat(journalbytes_.data(), size, 0) == static_cast<long>(size);
    return written && (!durable_ || journal_->sync());
}

bool JournaledFile::writeblocks() {
    // Neighbouring blocks go out in one write; a block without neighbours straight from its
    // image.
    std::size_t run = 0;
    while (run < held_.size()) {
        std::size_t next = run + 1;
        while (next < held_.size() && held_[next].blk == held_[run].blk + (next - run)) ++next;
        const std::uint64_t offset = startof(held_[run].blk);
        const auto bytes = static_cast<std::size_t>(
            std::min<std::uint64_t>(startof(next - run), logicalend_ - offset));
        const std::uint8_t *from = held_[run].image->bytes;
        if (next - run > 1) {
            run_.clear();
            for (std::size_t i = run; i < next; ++i) {
                const std::uint8_t *image = held_[i].image->bytes;
                run_.insert(run_.end(), image, image + kBlockSize);
            }
            from = run_.data();
        }
        if (file_->writeat(from, bytes, offset) != static_cast<long>(bytes)) return false;
        run = next;
    }
    return true;
}

JournaledFile::Outcome JournaledFile::commit() {
    if (held_.empty()) {
        finish();
        return Outcome::Done;
    }
    if (length_ < 0) {
        finish();
        return Outcome::RolledBack;
    }
    const std::uint32_t count = journalcount();
    if (!writejournal(count)) {
        // The file is untouched. A journal left whole would only put back what is there.
        if (journal_ != nullptr) emptyjournal(*journal_);
        finish();
        return Outcome::RolledBack;
    }
    const bool done =
        writeblocks() && (!durable_ || file_->sync()) &&
        (journal_ == nullptr || (emptyjournal(*journal_) && (!durable_ || journal_->sync())));
    if (done) {
        length_ = static_cast<std::int64_t>(logicalend_);
        finish();
        return Outcome::Done;
    }
    owed_.oldlength = static_cast<std::uint64_t>(length_);
    entriesof(journalbytes_.data() + kJournalHeader, count, &owed_);
    owing_ = true;
    finish();
    return rollback();
}

JournaledFile::Outcome JournaledFile::rollback() {
    const bool restored = restoreimages(*file_, owed_) && (!durable_ || file_->sync()) &&
                          (journal_ == nullptr || emptyjournal(*journal_));
    if (!restored) return Outcome::Pending;
    owing_ = false;
    length_ = static_cast<std::int64_t>(owed_.oldlength);
    logicalend_ = owed_.oldlength;
    owed_ = JournalContent{};
    return Outcome::RolledBack;
}

}  // namespace vorn
