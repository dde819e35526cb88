// A mutex that clang's thread-safety analysis knows about, and the attributes that say which
// mutex guards which data. With clang and -Wthread-safety the compiler checks every access
// to a GUARDED_BY member and every call of a REQUIRES function; elsewhere the macros expand
// to nothing. CI builds the server this way (scripts/threadsafety.sh).
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

#if defined(__clang__)
#define VORN_TSA(x) __attribute__((x))
#else
#define VORN_TSA(x)
#endif

#define CAPABILITY(x) VORN_TSA(capability(x))
#define SCOPED_CAPABILITY VORN_TSA(scoped_lockable)
#define GUARDED_BY(x) VORN_TSA(guarded_by(x))
#define REQUIRES(...) VORN_TSA(requires_capability(__VA_ARGS__))
#define ACQUIRE(...) VORN_TSA(acquire_capability(__VA_ARGS__))
#define RELEASE(...) VORN_TSA(release_capability(__VA_ARGS__))
#define EXCLUDES(...) VORN_TSA(locks_excluded(__VA_ARGS__))

namespace vorn::server {

class CAPABILITY("mutex") Mutex {
  public:
    void lock() ACQUIRE() { m_.lock(); }
    void unlock() RELEASE() { m_.unlock(); }

  private:
    friend class MutexLock;
    std::mutex m_;
};

// Holds a Mutex for its scope. Waiting on a condition variable gives the mutex up while it
// waits and holds it again when it returns, as std::condition_variable does; callers test
// their condition in a loop around wait, so that the analysis sees every read under the lock.
class SCOPED_CAPABILITY MutexLock {
  public:
    explicit MutexLock(Mutex &mutex) ACQUIRE(mutex) : lock_(mutex.m_) {}
    ~MutexLock() RELEASE() {}
    MutexLock(const MutexLock &) = delete;
    MutexLock &operator=(const MutexLock &) = delete;

    void wait(std::condition_variable &cv) { cv.wait(lock_); }
    // False once the deadline has passed.
    bool waituntil(std::condition_variable &cv, std::chrono::steady_clock::time_point deadline) {
        return cv.wait_until(lock_, deadline) == std::cv_status::no_timeout;
    }
    // Gives the mutex up before the scope ends (then the destructor does nothing).
    void unlock() RELEASE() { lock_.unlock(); }

  private:
    std::unique_lock<std::mutex> lock_;
};

}  // namespace vorn::server
