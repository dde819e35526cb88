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

bool JournaledFile::loadheld(std::uint64_t blk, Held *held) {
    const long got = file_->readat(held->bytes, kBlockSize, startof(blk));
    if (got < 0) return false;
    std::memset(held->bytes + got, 0, kBlockSize - static_cast<std::size_t>(got));
    return true;
}

JournaledFile::Held *JournaledFile::hold(std::uint64_t blk) {
    auto found = held_.find(blk);
    if (found != held_.end()) return &found->second;
    Held fresh;
    if (!loadheld(blk, &fresh)) return nullptr;
    return &held_.emplace(blk, fresh).first->second;
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
        auto found = held_.find(blk);
        if (found != held_.end()) {
            std::memcpy(out + (at - offset), found->second.bytes + (at - startof(blk)), piece);
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
        Held *held;
        if (at == startof(blk) && upto == startof(blk + 1)) {
            held = &held_[blk];  // a whole block: nothing of the old one is needed
        } else {
            held = hold(blk);
            if (held == nullptr) return at > offset ? static_cast<long>(at - offset) : -1;
        }
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
    held_.clear();
    active_ = false;
    logicalend_ = length_ > 0 ? static_cast<std::uint64_t>(length_) : 0;
}

bool JournaledFile::writejournal(JournalContent *content) {
    content->oldlength = static_cast<std::uint64_t>(length_);
    for (const auto &[blk, held] : held_) {
        if (startof(blk) >= content->oldlength) break;  // appended: rollback cuts it off
        const std::size_t at = content->images.size();
        content->blocks.push_back(static_cast<std::uint32_t>(blk));
        content->images.resize(at + kBlockSize);
        Held original;
        if (!loadheld(blk, &original)) return false;
        std::memcpy(content->images.data() + at, original.bytes, kBlockSize);
    }
    if (journal_ == nullptr) return true;
    encodejournal(*content, &scratch_);
    const bool written = journal_->writeat(scratch_.data(), scratch_.size(), 0) ==
                         static_cast<long>(scratch_.size());
    return written && (!durable_ || journal_->sync());
}

bool JournaledFile::writeblocks() {
    // Neighbouring blocks go out in one write.
    auto run = held_.begin();
    while (run != held_.end()) {
        auto next = run;
        std::uint64_t blk = run->first;
        scratch_.clear();
        while (next != held_.end() && next->first == blk) {
            const std::uint64_t start = startof(blk);
            const auto n =
                static_cast<std::size_t>(std::min<std::uint64_t>(kBlockSize, logicalend_ - start));
            scratch_.insert(scratch_.end(), next->second.bytes, next->second.bytes + n);
            ++next;
            ++blk;
        }
        const std::uint64_t offset = startof(run->first);
        if (file_->writeat(scratch_.data(), scratch_.size(), offset) !=
            static_cast<long>(scratch_.size())) {
            return false;
        }
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
    JournalContent content;
    if (!writejournal(&content)) {
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
    owed_ = std::move(content);
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
