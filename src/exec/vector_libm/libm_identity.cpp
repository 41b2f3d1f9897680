// The build-id is read from the PT_NOTE segments of the loaded object that holds the symbol,
// found by its load address; nothing is read from disk. The features are the library's own
// record of them (glibc 2.33 and later), which its tunables edit.
#include "exec/vector_libm/libm_identity.hpp"

#include <cstdint>
#include <cstdio>
#include <cstring>

#if defined(__GLIBC__)
#include <dlfcn.h>
#include <elf.h>
#include <gnu/libc-version.h>
#include <link.h>
#endif
#if defined(__GLIBC__) && defined(__x86_64__) && __has_include(<sys/platform/x86.h>)
#include <sys/platform/x86.h>
#define QV_GLIBC_CPU_FEATURES 1
#else
#define QV_GLIBC_CPU_FEATURES 0
#endif

namespace qv {

namespace {

#if defined(__GLIBC__)
struct Search {
    std::uintptr_t base;
    std::string build_id;
};

std::string hex(const unsigned char* bytes, std::size_t n) {
    std::string out;
    char two[3];
    for (std::size_t i = 0; i < n; ++i) {
        std::snprintf(two, sizeof two, "%02x", bytes[i]);
        out += two;
    }
    return out;
}

int find_build_id(dl_phdr_info* info, std::size_t, void* data) {
    auto& search = *static_cast<Search*>(data);
    if (info->dlpi_addr != search.base) return 0;
    for (int i = 0; i < info->dlpi_phnum; ++i) {
        const ElfW(Phdr)& ph = info->dlpi_phdr[i];
        if (ph.p_type != PT_NOTE) continue;
        auto* p = reinterpret_cast<const unsigned char*>(info->dlpi_addr + ph.p_vaddr);
        const unsigned char* end = p + ph.p_memsz;
        while (p + sizeof(ElfW(Nhdr)) <= end) {
            ElfW(Nhdr) note;
            std::memcpy(&note, p, sizeof note);
            const unsigned char* name = p + sizeof note;
            const unsigned char* desc = name + ((note.n_namesz + 3) & ~3u);
            if (note.n_type == NT_GNU_BUILD_ID && note.n_namesz == 4 &&
                std::memcmp(name, "GNU", 4) == 0 && desc + note.n_descsz <= end) {
                search.build_id = hex(desc, note.n_descsz);
                return 1;
            }
            p = desc + ((note.n_descsz + 3) & ~3u);
        }
    }
    return 1;
}
#endif

void read_features(LibmIdentity& id) {
#if QV_GLIBC_CPU_FEATURES
    id.fma = CPU_FEATURE_ACTIVE(FMA);
    id.avx2 = CPU_FEATURE_ACTIVE(AVX2);
    id.fma4 = CPU_FEATURE_ACTIVE(FMA4);
#elif defined(__x86_64__) && defined(__GNUC__)
    __builtin_cpu_init();
    id.fma = __builtin_cpu_supports("fma");
    id.avx2 = __builtin_cpu_supports("avx2");
    id.fma4 = __builtin_cpu_supports("fma4");
#else
    (void)id;
#endif
}

}  // namespace

LibmIdentity libm_identity(const void* symbol) {
    LibmIdentity id;
#if defined(__GLIBC__)
    id.version = gnu_get_libc_version();
    Dl_info info;
    if (dladdr(symbol, &info) != 0) {
        Search search{reinterpret_cast<std::uintptr_t>(info.dli_fbase), {}};
        // dlpi_addr is the load bias: the base of a shared object whose first segment is at 0.
        dl_iterate_phdr(find_build_id, &search);
        id.build_id = search.build_id;
    }
#else
    (void)symbol;
#endif
    read_features(id);
    return id;
}

bool version_at_least(const std::string& version, int major, int minor) {
    int have_major = 0, have_minor = 0;
    if (std::sscanf(version.c_str(), "%d.%d", &have_major, &have_minor) != 2) return false;
    return have_major > major || (have_major == major && have_minor >= minor);
}

}  // namespace qv
