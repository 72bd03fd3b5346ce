// Preloaded (LD_PRELOAD) into a child Node process by the JavaScript tests: malloc and calloc fail with
// ENOMEM when brannic.node itself calls them, and only then. BRANNIC_FAIL_ALLOC names which of the two
// fail ("malloc", "calloc", or both separated by a comma); without it the shim changes nothing.
// Calls from anywhere else, operator new included (it calls malloc from libstdc++), go to glibc as usual.
#define _GNU_SOURCE
#include <errno.h>
#include <link.h>
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

extern void* __libc_malloc(size_t size);
extern void* __libc_calloc(size_t count, size_t size);

enum { kFailMalloc = 1, kFailCalloc = 2 };

// Set once the C library is ready to read the environment; before that nothing fails.
static int failing;

__attribute__((constructor)) static void readChoice(void) {
  const char* choice = getenv("BRANNIC_FAIL_ALLOC");
  if (choice == NULL) return;
  if (strstr(choice, "malloc") != NULL) failing |= kFailMalloc;
  if (strstr(choice, "calloc") != NULL) failing |= kFailCalloc;
}

struct Lookup {
  uintptr_t address;
  int inModule;
};

static int endsWith(const char* text, const char* suffix) {
  const size_t n = strlen(text);
  const size_t m = strlen(suffix);
  return n >= m && strcmp(text + n - m, suffix) == 0;
}

static int findObject(struct dl_phdr_info* info, size_t size, void* data) {
  (void)size;
  struct Lookup* lookup = data;
  for (ElfW(Half) i = 0; i < info->dlpi_phnum; ++i) {
    const ElfW(Phdr)* ph = &info->dlpi_phdr[i];
    if (ph->p_type != PT_LOAD) continue;
    const uintptr_t start = (uintptr_t)info->dlpi_addr + (uintptr_t)ph->p_vaddr;
    if (lookup->address >= start && lookup->address - start < (uintptr_t)ph->p_memsz) {
      lookup->inModule = info->dlpi_name != NULL && endsWith(info->dlpi_name, "/brannic.node");
      return 1;
    }
  }
  return 0;
}

// Whether `caller` lies in the mapping of brannic.node.
static int calledFromModule(void* caller) {
  struct Lookup lookup = {(uintptr_t)caller, 0};
  dl_iterate_phdr(findObject, &lookup);
  return lookup.inModule;
}

void* malloc(size_t size) {
  if ((failing & kFailMalloc) != 0 && calledFromModule(__builtin_return_address(0))) {
    errno = ENOMEM;
    return NULL;
  }
  return __libc_malloc(size);
}

void* calloc(size_t count, size_t size) {
  if ((failing & kFailCalloc) != 0 && calledFromModule(__builtin_return_address(0))) {
    errno = ENOMEM;
    return NULL;
  }
  return __libc_calloc(count, size);
}
