#include "lib/platform/vdso_getrandom.hpp"

#if defined(__linux__) && (defined(__x86_64__) || defined(__aarch64__))
#include <elf.h>
#include <sys/auxv.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstring>
#include <memory>

namespace quoranth::platform {

namespace {

using VdsoGetrandomFn = long (*)(void* buffer, std::size_t size, unsigned flags, void* state, std::size_t state_size);

// What the kernel says its per-thread state needs (the vDSO call asked with
// a null buffer and size ~0 fills this in).
struct StateParams {
    std::uint32_t size_of_opaque_state;
    std::uint32_t mmap_prot;
    std::uint32_t mmap_flags;
    std::uint32_t reserved[13];
};

struct Vdso {
    VdsoGetrandomFn getrandom = nullptr;
    StateParams params{};
};

// The vDSO's symbol `name`, found through its DT_HASH symbol table.
void* vdso_symbol(const char* name) noexcept {
    const auto base = static_cast<std::uintptr_t>(getauxval(AT_SYSINFO_EHDR));
    if (base == 0) return nullptr;
    const auto* header = reinterpret_cast<const Elf64_Ehdr*>(base);
    const auto* segments = reinterpret_cast<const Elf64_Phdr*>(base + header->e_phoff);
    std::uintptr_t load_bias = 0;
    const Elf64_Dyn* dynamic = nullptr;
    bool loaded = false;
    for (int i = 0; i < header->e_phnum; ++i) {
        if (segments[i].p_type == PT_LOAD && !loaded) {
            load_bias = base + segments[i].p_offset - segments[i].p_vaddr;
            loaded = true;
        } else if (segments[i].p_type == PT_DYNAMIC) {
            dynamic = reinterpret_cast<const Elf64_Dyn*>(base + segments[i].p_offset);
        }
    }
    if (!loaded || dynamic == nullptr) return nullptr;
    const Elf64_Sym* symbols = nullptr;
    const char* names = nullptr;
    const std::uint32_t* hash = nullptr;
    for (; dynamic->d_tag != DT_NULL; ++dynamic) {
        if (dynamic->d_tag == DT_SYMTAB) symbols = reinterpret_cast<const Elf64_Sym*>(load_bias + dynamic->d_un.d_ptr);
        if (dynamic->d_tag == DT_STRTAB) names = reinterpret_cast<const char*>(load_bias + dynamic->d_un.d_ptr);
        if (dynamic->d_tag == DT_HASH) hash = reinterpret_cast<const std::uint32_t*>(load_bias + dynamic->d_un.d_ptr);
    }
    if (symbols == nullptr || names == nullptr || hash == nullptr) return nullptr;
    for (std::uint32_t i = 0; i < hash[1]; ++i) {  // hash[1]: the number of symbols
        const Elf64_Sym& symbol = symbols[i];
        if (symbol.st_shndx != SHN_UNDEF && std::strcmp(names + symbol.st_name, name) == 0) {
            return reinterpret_cast<void*>(load_bias + symbol.st_value);
        }
    }
    return nullptr;
}

const Vdso& vdso() noexcept {
    static const Vdso found = [] {
        Vdso v;
        auto* fn = reinterpret_cast<VdsoGetrandomFn>(vdso_symbol("__vdso_getrandom"));
        if (fn != nullptr && fn(nullptr, 0, 0, &v.params, ~std::size_t{0}) == 0 && v.params.size_of_opaque_state > 0 &&
            v.params.size_of_opaque_state <= static_cast<std::uint32_t>(sysconf(_SC_PAGESIZE))) {
            v.getrandom = fn;
        }
        return v;
    }();
    return found;
}

// One page per thread holds the thread's state, mapped as the kernel asks
// (it wipes the page in a forked child and may drop it under memory
// pressure; the vDSO then reseeds). Unmapped when the thread ends.
struct StateUnmap {
    void operator()(void* state) const noexcept { munmap(state, static_cast<std::size_t>(sysconf(_SC_PAGESIZE))); }
};

void* thread_state(const Vdso& v) noexcept {
    thread_local std::unique_ptr<void, StateUnmap> state;
    thread_local bool failed = false;
    if (!state && !failed) {
        void* page = mmap(nullptr, static_cast<std::size_t>(sysconf(_SC_PAGESIZE)), static_cast<int>(v.params.mmap_prot),
                          static_cast<int>(v.params.mmap_flags), -1, 0);
        if (page == MAP_FAILED) failed = true;
        else state.reset(page);
    }
    return state.get();
}

}  // namespace

long vdso_getrandom(std::uint8_t* buffer, std::size_t size) noexcept {
    const Vdso& v = vdso();
    if (v.getrandom == nullptr) return 0;
    void* state = thread_state(v);
    if (state == nullptr) return 0;
    return v.getrandom(buffer, size, 0, state, v.params.size_of_opaque_state);
}

}  // namespace quoranth::platform

#else

namespace quoranth::platform {

long vdso_getrandom(std::uint8_t*, std::size_t) noexcept { return 0; }

}  // namespace quoranth::platform

#endif
