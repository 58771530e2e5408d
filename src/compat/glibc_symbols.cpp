// Older glibc symbols for the C++ runtime linked into the module.
//
// The module carries libstdc++ and libgcc's unwinder inside (linked
// statically), and the copies that the build machine's compiler ships were
// built against its own, new glibc: a few of their references name symbols
// that glibc added late (2.32 to 2.38), and one such reference would keep the
// module from loading on any older system. The linker redirects each of those
// references here (--wrap=SYMBOL sends a reference to SYMBOL to
// __wrap_SYMBOL; see CMakeLists.txt), and each is served with what glibc has
// had since 2.17:
//
// - the pthread once, key and read-write lock calls, which moved from libpthread
//   into libc in 2.34 under a new version, are bound to their first version;
// - __libc_single_threaded (2.32) becomes a flag that always says "maybe
//   several threads", so the runtime always uses atomic reference counts;
// - __isoc23_strtoul (2.38), the C23 spelling of strtoul, calls strtoul;
// - arc4random (2.36) asks the kernel for random bytes (getrandom);
// - _dl_find_object (2.35), with which the unwinder finds the exception
//   tables of the object holding an address, is answered by walking the
//   loaded objects' program headers (dl_iterate_phdr), which is how the
//   unwinder found them before 2.35.
//
// Only the x86-64 symbol versions are named; the build adds this file for
// x86-64 glibc systems alone.
#include <features.h>

#if defined(__x86_64__) && defined(__GLIBC__)

#include <dlfcn.h>
#include <fcntl.h>
#include <link.h>
#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>

// The first versions of the calls, bound by name and version.
extern "C" {
int kelo_once(pthread_once_t*, void (*)());
int kelo_key_create(pthread_key_t*, void (*)(void*));
int kelo_key_delete(pthread_key_t);
void* kelo_getspecific(pthread_key_t);
int kelo_setspecific(pthread_key_t, const void*);
int kelo_rdlock(pthread_rwlock_t*);
int kelo_wrlock(pthread_rwlock_t*);
int kelo_unlock(pthread_rwlock_t*);
unsigned long kelo_strtoul(const char*, char**, int);
}
__asm__(".symver kelo_once, pthread_once@GLIBC_2.2.5");
__asm__(".symver kelo_key_create, pthread_key_create@GLIBC_2.2.5");
__asm__(".symver kelo_key_delete, pthread_key_delete@GLIBC_2.2.5");
__asm__(".symver kelo_getspecific, pthread_getspecific@GLIBC_2.2.5");
__asm__(".symver kelo_setspecific, pthread_setspecific@GLIBC_2.2.5");
__asm__(".symver kelo_rdlock, pthread_rwlock_rdlock@GLIBC_2.2.5");
__asm__(".symver kelo_wrlock, pthread_rwlock_wrlock@GLIBC_2.2.5");
__asm__(".symver kelo_unlock, pthread_rwlock_unlock@GLIBC_2.2.5");
__asm__(".symver kelo_strtoul, strtoul@GLIBC_2.2.5");

extern "C" {

__attribute__((visibility("hidden"))) int __wrap_pthread_once(pthread_once_t* once, void (*init)()) {
  return kelo_once(once, init);
}
__attribute__((visibility("hidden"))) int __wrap_pthread_key_create(pthread_key_t* key, void (*done)(void*)) {
  return kelo_key_create(key, done);
}
__attribute__((visibility("hidden"))) int __wrap_pthread_key_delete(pthread_key_t key) { return kelo_key_delete(key); }
__attribute__((visibility("hidden"))) void* __wrap_pthread_getspecific(pthread_key_t key) {
  return kelo_getspecific(key);
}
__attribute__((visibility("hidden"))) int __wrap_pthread_setspecific(pthread_key_t key, const void* value) {
  return kelo_setspecific(key, value);
}
__attribute__((visibility("hidden"))) int __wrap_pthread_rwlock_rdlock(pthread_rwlock_t* lock) {
  return kelo_rdlock(lock);
}
__attribute__((visibility("hidden"))) int __wrap_pthread_rwlock_wrlock(pthread_rwlock_t* lock) {
  return kelo_wrlock(lock);
}
__attribute__((visibility("hidden"))) int __wrap_pthread_rwlock_unlock(pthread_rwlock_t* lock) {
  return kelo_unlock(lock);
}

__attribute__((visibility("hidden"))) char __wrap___libc_single_threaded = 0;

__attribute__((visibility("hidden"))) unsigned long __wrap___isoc23_strtoul(const char* text, char** end, int base) {
  return kelo_strtoul(text, end, base);
}

__attribute__((visibility("hidden"))) std::uint32_t __wrap_arc4random() {
  std::uint32_t value = 0;
  auto* at = reinterpret_cast<unsigned char*>(&value);
  std::size_t got = 0;
  while (got < sizeof value) {
    long n = syscall(SYS_getrandom, at + got, sizeof value - got, 0);
    if (n < 0 && errno == ENOSYS) {  // a kernel before 3.17
      const int fd = open("/dev/urandom", O_RDONLY | O_CLOEXEC);
      n = fd < 0 ? -1 : read(fd, at + got, sizeof value - got);
      if (fd >= 0) close(fd);
      if (n <= 0) break;
    }
    if (n > 0) {
      got += static_cast<std::size_t>(n);
    } else if (n == 0 || errno != EINTR) {
      break;
    }
  }
  return value;
}

__attribute__((visibility("hidden"))) int __wrap__dl_find_object(void* address, struct dl_find_object* result) {
  struct Search {
    std::uintptr_t pc;
    struct dl_find_object* out;
    bool found;
  } search{reinterpret_cast<std::uintptr_t>(address), result, false};
  dl_iterate_phdr(
      [](struct dl_phdr_info* info, std::size_t, void* data) -> int {
        auto* s = static_cast<Search*>(data);
        const ElfW(Phdr)* eh = nullptr;
        bool inside = false;
        std::uintptr_t start = ~std::uintptr_t{0};
        std::uintptr_t end = 0;
        for (ElfW(Half) i = 0; i < info->dlpi_phnum; ++i) {
          const ElfW(Phdr) & ph = info->dlpi_phdr[i];
          if (ph.p_type == PT_GNU_EH_FRAME) eh = &ph;
          if (ph.p_type != PT_LOAD) continue;
          const std::uintptr_t from = info->dlpi_addr + ph.p_vaddr;
          const std::uintptr_t to = from + ph.p_memsz;
          if (from < start) start = from;
          if (to > end) end = to;
          if (s->pc >= from && s->pc < to) inside = true;
        }
        if (!inside) return 0;
        std::memset(s->out, 0, sizeof *s->out);
        s->out->dlfo_map_start = reinterpret_cast<void*>(start);
        s->out->dlfo_map_end = reinterpret_cast<void*>(end);
        s->out->dlfo_eh_frame = eh != nullptr ? reinterpret_cast<void*>(info->dlpi_addr + eh->p_vaddr) : nullptr;
        s->found = true;
        return 1;
      },
      &search);
  return search.found ? 0 : -1;
}

}  // extern "C"

#endif
