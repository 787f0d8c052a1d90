#include "kelplat/sync.h"

#include <pthread.h>

#include <new>

namespace kel::sync {

struct Mutex::Impl {
    pthread_mutex_t m;
};

Mutex::Mutex() noexcept : impl_(new (std::nothrow) Impl) {
    if (impl_ == nullptr) return;
    pthread_mutexattr_t attr;
    bool ok = pthread_mutexattr_init(&attr) == 0;
    if (ok) {
        // Error checking turns misuse into a failure the caller can report.
        ok = pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_ERRORCHECK) == 0 &&
             pthread_mutex_init(&impl_->m, &attr) == 0;
        pthread_mutexattr_destroy(&attr);
    }
    if (!ok) {
        delete impl_;
        impl_ = nullptr;
    }
}

Mutex::~Mutex() {
    if (impl_ == nullptr) return;
    pthread_mutex_destroy(&impl_->m);
    delete impl_;
}

bool Mutex::lock() noexcept { return impl_ != nullptr && pthread_mutex_lock(&impl_->m) == 0; }
bool Mutex::unlock() noexcept { return impl_ != nullptr && pthread_mutex_unlock(&impl_->m) == 0; }

struct RwLock::Impl {
    pthread_rwlock_t l;
};

RwLock::RwLock(Preference preference) noexcept : impl_(new (std::nothrow) Impl) {
    if (impl_ == nullptr) return;
    pthread_rwlockattr_t attr;
    bool ok = pthread_rwlockattr_init(&attr) == 0;
    if (ok && preference == Preference::Writers) {
        ok = pthread_rwlockattr_setkind_np(&attr, PTHREAD_RWLOCK_PREFER_WRITER_NONRECURSIVE_NP) == 0;
    }
    if (ok) ok = pthread_rwlock_init(&impl_->l, &attr) == 0;
    pthread_rwlockattr_destroy(&attr);
    if (!ok) {
        delete impl_;
        impl_ = nullptr;
    }
}

RwLock::~RwLock() {
    if (impl_ == nullptr) return;
    pthread_rwlock_destroy(&impl_->l);
    delete impl_;
}

bool RwLock::lock_shared() noexcept {
    return impl_ != nullptr && pthread_rwlock_rdlock(&impl_->l) == 0;
}
bool RwLock::unlock_shared() noexcept {
    return impl_ != nullptr && pthread_rwlock_unlock(&impl_->l) == 0;
}
bool RwLock::lock() noexcept { return impl_ != nullptr && pthread_rwlock_wrlock(&impl_->l) == 0; }
bool RwLock::unlock() noexcept { return impl_ != nullptr && pthread_rwlock_unlock(&impl_->l) == 0; }

}  // namespace kel::sync
