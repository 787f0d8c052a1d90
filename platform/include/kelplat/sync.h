// Locks whose operations report failure instead of aborting, so that a
// caller can write its own diagnostic line.
#pragma once

namespace kel::sync {

// Plain (non-recursive) mutex. Locking it twice from one thread, or
// unlocking it from a thread that does not hold it, fails.
class Mutex {
public:
    Mutex() noexcept;
    ~Mutex();
    Mutex(const Mutex &) = delete;
    Mutex &operator=(const Mutex &) = delete;

    bool valid() const noexcept { return impl_ != nullptr; }
    bool lock() noexcept;
    bool unlock() noexcept;

private:
    struct Impl;
    Impl *impl_;
};

// Many readers or one writer. By default a steady stream of readers may
// keep a writer waiting; with Preference::Writers a waiting writer holds
// new readers back, and a thread must then never take the lock shared
// twice.
class RwLock {
public:
    enum class Preference { Readers, Writers };
    explicit RwLock(Preference preference = Preference::Readers) noexcept;
    ~RwLock();
    RwLock(const RwLock &) = delete;
    RwLock &operator=(const RwLock &) = delete;

    bool valid() const noexcept { return impl_ != nullptr; }
    bool lock_shared() noexcept;
    bool unlock_shared() noexcept;
    bool lock() noexcept;
    bool unlock() noexcept;

private:
    struct Impl;
    Impl *impl_;
};

}  // namespace kel::sync
