#include "module/access_flag.hpp"

#include <chrono>
#include <condition_variable>
#include <mutex>

#include "module/boundary.hpp"

namespace quoranth::py {

namespace {

// One signal for all flags: waiting is rare, and a woken thread that finds
// its own flag still held simply waits again.
std::mutex wait_mutex;
std::condition_variable flag_released;

// A waiter wakes up this often even unnoticed, so that the main thread
// handles Ctrl-C while it waits.
constexpr auto signal_check_interval = std::chrono::milliseconds(20);

}  // namespace

void wake_waiters() noexcept {
    // Taking the mutex orders the release before the waiter's next look at
    // the flag, so no wake-up is lost between its look and its sleep.
    { std::lock_guard<std::mutex> lock(wait_mutex); }
    flag_released.notify_all();
}

void wait_until_admits(AccessFlag& flag, AccessMode mode) {
    waiting_threads.fetch_add(1, std::memory_order_relaxed);
    struct Leave {
        ~Leave() { waiting_threads.fetch_sub(1, std::memory_order_relaxed); }
    } leave;
    while (!flag.admits(mode)) {
        Py_BEGIN_ALLOW_THREADS
        {
            std::unique_lock<std::mutex> lock(wait_mutex);
            flag_released.wait_for(lock, signal_check_interval, [&] { return flag.admits(mode); });
        }
        Py_END_ALLOW_THREADS
        if (PyErr_CheckSignals() < 0) throw PythonError{};
    }
}

}  // namespace quoranth::py
