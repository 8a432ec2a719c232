#include "lib/platform/random_bytes.hpp"

#if defined(_WIN32)
#include <windows.h>
#include <bcrypt.h>

namespace quoranth::platform {

namespace {
using RtlGenRandomFn = BOOLEAN(WINAPI*)(PVOID, ULONG);

// SystemFunction036 (RtlGenRandom) has no import library entry; load it by name.
bool rtl_gen_random(std::uint8_t* buffer, ULONG size) {
    static const auto fn = reinterpret_cast<RtlGenRandomFn>(
        GetProcAddress(LoadLibraryA("advapi32.dll"), "SystemFunction036"));
    return fn != nullptr && fn(buffer, size) != 0;
}
}  // namespace

std::uint32_t fill_random_bytes(std::uint8_t* buffer, std::size_t size) noexcept {
    constexpr std::size_t max_chunk = 0xFFFFFFFFu;
    while (size > 0) {
        const ULONG chunk = static_cast<ULONG>(size < max_chunk ? size : max_chunk);
        const NTSTATUS status = BCryptGenRandom(nullptr, buffer, chunk, BCRYPT_USE_SYSTEM_PREFERRED_RNG);
        const bool failed = (static_cast<std::uint32_t>(status) & 0xC0000000u) == 0xC0000000u;
        if (failed && !rtl_gen_random(buffer, chunk)) {
            return static_cast<std::uint32_t>(status) & 0x7FFFFFFFu;
        }
        buffer += chunk;
        size -= chunk;
    }
    return 0;
}

void on_fork_in_child(void (*)()) noexcept {}

}  // namespace quoranth::platform

#else
#include <cerrno>
#include <pthread.h>
#include <sys/random.h>

#include "lib/platform/vdso_getrandom.hpp"

namespace quoranth::platform {

std::uint32_t fill_random_bytes(std::uint8_t* buffer, std::size_t size) noexcept {
    while (size > 0) {
        // The kernel's generator through the vDSO where it has one (no
        // system call), else the system call.
        long got = vdso_getrandom(buffer, size);
        if (got == -EINTR) continue;
        if (got < 0) return static_cast<std::uint32_t>(-got);
        if (got == 0) got = getrandom(buffer, size, 0);
        if (got < 0) {
            if (errno == EINTR) continue;
            return static_cast<std::uint32_t>(errno);
        }
        // Short reads happen for large requests or on signals; keep reading.
        buffer += got;
        size -= static_cast<std::size_t>(got);
    }
    return 0;
}

void on_fork_in_child(void (*handler)()) noexcept { pthread_atfork(nullptr, nullptr, handler); }

}  // namespace quoranth::platform
#endif
