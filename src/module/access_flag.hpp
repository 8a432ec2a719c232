#pragma once
// Per-object access flags: what keeps a call from seeing an object that
// another call is changing. See README.md beside this file for the model.
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <utility>


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

// How many accesses the current thread holds, over all objects.
inline thread_local std::size_t accesses_held = 0;

// Threads now waiting for some flag; releasing a flag wakes them only if any.
inline std::atomic<int> waiting_threads{0};

// A flag found held while this thread already holds an access. The frame
// decides: refused ("Already mutably borrowed" for shared, "Already
// borrowed" for exclusive access), or, if every access the thread holds was
// taken by this very call and the flag is another thread's, wait and retry.
struct Busy {
    AccessFlag* flag;
    AccessMode mode;
    const char* refusal() const noexcept {
        return mode == AccessMode::Shared ? "Already mutably borrowed" : "Already borrowed";
    }
};

// Waits, with the interpreter lock released, until `flag` admits `mode`.
// Throws PythonError (boundary.hpp) if a signal handler raises meanwhile.
void wait_until_admits(AccessFlag& flag, AccessMode mode);
void wake_waiters() noexcept;

// One access to one object's flag, released on scope exit (and movable into
// a holder that lives until the call ends).
template <AccessMode Mode>
class Access {
public:
    explicit Access(AccessFlag& flag) : flag_(&flag) {
        // A thread that holds no access can wait: it blocks no one meanwhile,
        // so no cycle of waiting threads can form.
        while (!flag.try_take<Mode>()) [[unlikely]] {
            if (accesses_held != 0) throw Busy{&flag, Mode};
            wait_until_admits(flag, Mode);
        }
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
