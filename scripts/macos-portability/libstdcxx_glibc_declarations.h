// Declarations that libstdc++'s headers expect of glibc and that glibc gives only with GNU extensions on:
// libstdc++ is configured for glibc with them, but the portability check compiles in strict POSIX mode.
// Included before every other header; the names are poisoned afterwards (linux_only_names_poison.h), so a
// checked source still cannot use them.
#ifndef BRANNIC_SCRIPTS_MACOS_PORTABILITY_LIBSTDCXX_GLIBC_DECLARATIONS_H_
#define BRANNIC_SCRIPTS_MACOS_PORTABILITY_LIBSTDCXX_GLIBC_DECLARATIONS_H_

#include <pthread.h>
#include <time.h>

extern "C" {
int pthread_cond_clockwait(pthread_cond_t* cond, pthread_mutex_t* mutex, clockid_t clock,
                           const struct timespec* abstime);
int pthread_mutex_clocklock(pthread_mutex_t* mutex, clockid_t clock, const struct timespec* abstime);
int pthread_rwlock_clockrdlock(pthread_rwlock_t* lock, clockid_t clock, const struct timespec* abstime);
int pthread_rwlock_clockwrlock(pthread_rwlock_t* lock, clockid_t clock, const struct timespec* abstime);
}

#endif  // BRANNIC_SCRIPTS_MACOS_PORTABILITY_LIBSTDCXX_GLIBC_DECLARATIONS_H_
