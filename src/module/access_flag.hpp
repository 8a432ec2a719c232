#pragma once
// Per-object access flags: what keeps a call from seeing an object that
// another call is changing. See README.md beside this file for the model.
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <utility>

#include "module/boundary.hpp"

namespace quoranth::py {

enum class AccessMode { Shared, Exclusive };

// 0 free, 1..max-1 that many shared accesses, all bits set one exclusive
// access. Taken and released only with the interpreter lock held; a thread
// that waits for a flag reads it without the lock, hence the atomic.
class AccessFlag {
public:
    static constexpr std::uintptr_t exclusive = ~std::uintptr_t{0};

    template <AccessMode Mode>
    bool try_take() noexcept {
        const std::uintptr_t held = state_.load(std::memory_order_relaxed);
        if constexpr (Mode == AccessMode::Shared) {
            if (held >= exclusive - 1) return false;
            state_.store(held + 1, std::memory_order_relaxed);
        } else {
            if (held != 0) return false;
            state_.store(exclusive, std::memory_order_relaxed);
        }
        return true;
    }

    template <AccessMode Mode>
    void release() noexcept {
        if constexpr (Mode == AccessMode::Shared) {
            state_.store(state_.load(std::memory_order_relaxed) - 1, std::memory_order_relaxed);
        } else {
            state_.store(0, std::memory_order_relaxed);
        }
    }

    // Whether try_take<Mode> could succeed now (for a thread waiting without the lock).
    bool admits(AccessMode mode) const noexcept {
        const std::uintptr_t held = state_.load(std::memory_order_relaxed);
        return mode == AccessMode::Shared ? held < exclusive - 1 : held == 0;
    }

private:
    std::atomic<std::uintptr_t> state_{0};
};

// How many accesses the current thread holds, over all objects. A thread
// that holds none may wait for a flag another thread holds; one that holds
// any is refused instead, which is what rules out deadlock.
[[gnu::tls_model("initial-exec")]] inline thread_local std::size_t accesses_held = 0;

// Threads now waiting for some flag; releasing a flag wakes them only if any.
inline std::atomic<int> waiting_threads{0};

// The slow path of taking a flag that is held: refuses ("Already mutably
// borrowed" / "Already borrowed") if this thread holds any access, else
// waits with the interpreter lock released until the flag admits `mode`,
// then takes it. Throws PythonError if a signal handler raises meanwhile.
void wait_for(AccessFlag& flag, AccessMode mode);
void wake_waiters() noexcept;

// One access to one object's flag, released on scope exit (and movable into
// a holder that lives until the call ends).
template <AccessMode Mode>
class Access {
public:
    explicit Access(AccessFlag& flag) : flag_(&flag) {
        if (!flag.try_take<Mode>()) [[unlikely]] wait_for(flag, Mode);
        ++accesses_held;
    }
    Access(Access&& other) noexcept : flag_(std::exchange(other.flag_, nullptr)) {}
    Access(const Access&) = delete;
    Access& operator=(const Access&) = delete;
    Access& operator=(Access&&) = delete;
    ~Access() {
        if (flag_ == nullptr) return;
        flag_->release<Mode>();
        --accesses_held;
        if (waiting_threads.load(std::memory_order_relaxed) != 0) [[unlikely]] wake_waiters();
    }

private:
    AccessFlag* flag_;
};

}  // namespace quoranth::py
