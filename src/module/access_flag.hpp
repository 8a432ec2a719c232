#pragma once
#include <atomic>
#include <cstdint>
#include <utility>

#include "module/errors.hpp"

namespace quoranth::py {

// Per-object access state: 0 free, 1..max-1 shared accesses, all bits set one
// exclusive access. Python code that runs inside a call (a __float__ hook, say)
// can re-enter the module; the flag keeps it from seeing an object mid-change.
// Every call holds the interpreter lock, so relaxed loads and stores suffice.
class AccessFlag {
public:
    static constexpr std::uintptr_t exclusive = ~std::uintptr_t{0};

    bool try_shared() noexcept {
        const std::uintptr_t held = state_.load(std::memory_order_relaxed);
        if (held >= exclusive - 1) return false;
        state_.store(held + 1, std::memory_order_relaxed);
        return true;
    }
    void release_shared() noexcept {
        state_.store(state_.load(std::memory_order_relaxed) - 1, std::memory_order_relaxed);
    }
    bool try_exclusive() noexcept {
        if (state_.load(std::memory_order_relaxed) != 0) return false;
        state_.store(exclusive, std::memory_order_relaxed);
        return true;
    }
    void release_exclusive() noexcept { state_.store(0, std::memory_order_relaxed); }

private:
    std::atomic<std::uintptr_t> state_{0};
};

enum class AccessMode { Shared, Exclusive };

// An access to one object's flag, released on scope exit (and movable into a
// holder that outlives the conversion that took it). Refused with
// "Already mutably borrowed" (shared) or "Already borrowed" (exclusive).
template <AccessMode Mode>
class Access {
public:
    explicit Access(AccessFlag& flag) : flag_(&flag) {
        if constexpr (Mode == AccessMode::Shared) {
            if (!flag.try_shared()) raise(PyExc_RuntimeError, "Already mutably borrowed");
        } else {
            if (!flag.try_exclusive()) raise(PyExc_RuntimeError, "Already borrowed");
        }
    }
    Access(Access&& other) noexcept : flag_(std::exchange(other.flag_, nullptr)) {}
    Access(const Access&) = delete;
    Access& operator=(const Access&) = delete;
    Access& operator=(Access&&) = delete;
    ~Access() {
        if (flag_ == nullptr) return;
        if constexpr (Mode == AccessMode::Shared) flag_->release_shared();
        else flag_->release_exclusive();
    }

private:
    AccessFlag* flag_;
};

using SharedAccess = Access<AccessMode::Shared>;
using ExclusiveAccess = Access<AccessMode::Exclusive>;

}  // namespace quoranth::py
