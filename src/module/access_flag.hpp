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

// Shared access, released on scope exit; refused with "Already mutably borrowed".
class SharedAccess {
public:
    explicit SharedAccess(AccessFlag& flag) : flag_(&flag) {
        if (!flag.try_shared()) raise(PyExc_RuntimeError, "Already mutably borrowed");
    }
    SharedAccess(SharedAccess&& other) noexcept : flag_(std::exchange(other.flag_, nullptr)) {}
    SharedAccess(const SharedAccess&) = delete;
    SharedAccess& operator=(const SharedAccess&) = delete;
    SharedAccess& operator=(SharedAccess&&) = delete;
    ~SharedAccess() {
        if (flag_) flag_->release_shared();
    }

private:
    AccessFlag* flag_;
};

// Exclusive access, released on scope exit; refused with "Already borrowed".
class ExclusiveAccess {
public:
    explicit ExclusiveAccess(AccessFlag& flag) : flag_(&flag) {
        if (!flag.try_exclusive()) raise(PyExc_RuntimeError, "Already borrowed");
    }
    ExclusiveAccess(ExclusiveAccess&& other) noexcept : flag_(std::exchange(other.flag_, nullptr)) {}
    ExclusiveAccess(const ExclusiveAccess&) = delete;
    ExclusiveAccess& operator=(const ExclusiveAccess&) = delete;
    ExclusiveAccess& operator=(ExclusiveAccess&&) = delete;
    ~ExclusiveAccess() {
        if (flag_) flag_->release_exclusive();
    }

private:
    AccessFlag* flag_;
};

}  // namespace quoranth::py
