// The slot mutexes: one recursive mutex per file slot, shared by every connection. Mutex i
// guards fsdatatbl[i], the record it points to, whoary[i] and ridtbl[i]. A file table makes its
// table of them once; each connection "opens" them by keeping its own array of handles, which it
// passes to every operation.
//
// For clang's thread-safety analysis a slot mutex is a capability named by the handle it is
// reached through: a function that needs slot i held says REQUIRES(held[i]), and the caller
// takes the mutex with SlotLock lock(held[i]) through the same handles.
#pragma once

#include <array>
#include <memory>

#include "mutex.h"
#include "vorn/namedmutex.h"

namespace vorn::server {

inline constexpr int kSlots = 100;

// The platform's named mutex as a capability the analysis can follow.
class CAPABILITY("slot mutex") SlotMutex {
  public:
    explicit SlotMutex(const char *name) : mutex_(name) {}
    void lock() ACQUIRE() { mutex_.lock(); }
    void unlock() RELEASE() { mutex_.unlock(); }
    const char *name() const { return mutex_.name(); }

  private:
    platform::NamedMutex mutex_;
};

// Holds a slot mutex for its scope.
class SCOPED_CAPABILITY SlotLock {
  public:
    explicit SlotLock(SlotMutex &mutex) ACQUIRE(mutex) : mutex_(mutex) { mutex_.lock(); }
    ~SlotLock() RELEASE() {
        if (held_) mutex_.unlock();
    }
    SlotLock(const SlotLock &) = delete;
    SlotLock &operator=(const SlotLock &) = delete;
    // Gives the mutex up before the scope ends.
    void unlock() RELEASE() {
        mutex_.unlock();
        held_ = false;
    }

  private:
    SlotMutex &mutex_;
    bool held_ = true;
};

// One connection's handles to the 100 slot mutexes of a file table.
struct SlotMutexes {
    std::array<SlotMutex *, kSlots> m{};
    SlotMutex &operator[](int slot) const { return *m[static_cast<std::size_t>(slot)]; }
};

// The 100 slot mutexes themselves, "mutex000" to "mutex099", made with their file table and
// alive as long as it is.
class SlotMutexTable {
  public:
    SlotMutexTable();
    // A connection's handles (the mutexes are not owned by them).
    SlotMutexes open() const;
    // The name of mutex i, "mutex%03d" (the system's name of the mutex on Windows).
    const char *name(int slot) const;

  private:
    std::array<std::unique_ptr<SlotMutex>, kSlots> mutexes_;
};

// Drops a connection's handles; the mutexes themselves live as long as their table.
void closeslotmutexes(SlotMutexes *handles);

}  // namespace vorn::server
