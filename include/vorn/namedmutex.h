// The named-mutex part of the platform seam: a recursive mutex known by a name, which the
// server makes one of per file slot ("mutex000" .. "mutex099").
//
// On Windows it is the named kernel mutex of CreateMutex: every thread that opens the name
// gets the same mutex. Elsewhere it is a recursive mutex of this process that keeps the name
// for diagnostics.
#pragma once

namespace vorn::platform {

class NamedMutex {
  public:
    // Creates or opens the mutex `name` (at most 15 characters are kept). Throws
    // std::system_error when the system has no mutex to give.
    explicit NamedMutex(const char *name);
    ~NamedMutex();
    NamedMutex(const NamedMutex &) = delete;
    NamedMutex &operator=(const NamedMutex &) = delete;

    // Recursive: the owner may lock again and unlocks as often as it locked.
    void lock();
    void unlock();
    const char *name() const { return name_; }

  private:
    char name_[16];
    void *mutex_;  // the implementation's mutex
};

}  // namespace vorn::platform
