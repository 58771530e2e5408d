// Linked into the module by the zig toolchain only (cmake/zig.cmake).
//
// zig links its compiler runtime as one object, which brings generic memcpy,
// memmove, memset, memcmp and bcmp with it, and an object's definition wins
// over glibc's. glibc's are chosen per CPU at load time and are much faster
// on the copies and compares the reader and grouping do, so these
// definitions, which take precedence over the runtime's weak ones, jump
// straight to glibc's (by their x86-64 symbol versions).
#include <cstddef>

#if defined(__x86_64__)
extern "C" {
void* glibc_memcpy(void*, const void*, std::size_t) noexcept __asm__("memcpy@GLIBC_2.14");
void* glibc_memmove(void*, const void*, std::size_t) noexcept __asm__("memmove@GLIBC_2.2.5");
void* glibc_memset(void*, int, std::size_t) noexcept __asm__("memset@GLIBC_2.2.5");
int glibc_memcmp(const void*, const void*, std::size_t) noexcept __asm__("memcmp@GLIBC_2.2.5");
int glibc_bcmp(const void*, const void*, std::size_t) noexcept __asm__("bcmp@GLIBC_2.2.5");

void* memcpy(void* d, const void* s, std::size_t n) { [[clang::musttail]] return glibc_memcpy(d, s, n); }
void* memmove(void* d, const void* s, std::size_t n) { [[clang::musttail]] return glibc_memmove(d, s, n); }
void* memset(void* d, int c, std::size_t n) { [[clang::musttail]] return glibc_memset(d, c, n); }
int memcmp(const void* a, const void* b, std::size_t n) { [[clang::musttail]] return glibc_memcmp(a, b, n); }
int bcmp(const void* a, const void* b, std::size_t n) { [[clang::musttail]] return glibc_bcmp(a, b, n); }
}
#endif
