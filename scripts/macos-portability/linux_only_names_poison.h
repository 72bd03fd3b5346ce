// Names that glibc offers and macOS does not, poisoned for the macOS portability check
// (scripts/check-macos-portability.sh). It is included after the system headers, so only
// the checked source's own uses of these names fail. glibc declares several of them even without GNU
// extensions, so a strict POSIX mode alone would not catch them. Macros are undefined first so that
// poisoning them draws no warning of its own.
#ifndef BRANNIC_SCRIPTS_MACOS_PORTABILITY_LINUX_ONLY_NAMES_POISON_H_
#define BRANNIC_SCRIPTS_MACOS_PORTABILITY_LINUX_ONLY_NAMES_POISON_H_

// Socket creation and options.
#undef SOCK_NONBLOCK
#undef SOCK_CLOEXEC
#undef MSG_NOSIGNAL
#undef MSG_MORE
#undef MSG_CMSG_CLOEXEC
#undef SO_PEERCRED
#undef SO_PEERSEC
#pragma GCC poison SOCK_NONBLOCK SOCK_CLOEXEC MSG_NOSIGNAL MSG_MORE MSG_CMSG_CLOEXEC SO_PEERCRED SO_PEERSEC
#pragma GCC poison ucred accept4

// Descriptors and event sources.
#undef O_PATH
#undef O_TMPFILE
#pragma GCC poison pipe2 dup3 O_PATH O_TMPFILE
#pragma GCC poison epoll_create epoll_create1 epoll_ctl epoll_wait epoll_pwait ppoll
#pragma GCC poison eventfd signalfd timerfd_create timerfd_settime memfd_create
#pragma GCC poison inotify_init inotify_init1 inotify_add_watch

// Processes, threads, time and randomness.
#pragma GCC poison prctl gettid clock_nanosleep getrandom
#pragma GCC poison pthread_cond_clockwait pthread_mutex_clocklock pthread_rwlock_clockrdlock
#pragma GCC poison pthread_rwlock_clockwrlock
#pragma GCC poison program_invocation_name program_invocation_short_name

// GNU C library extensions. <malloc.h> is there even in strict POSIX mode, so its names are
// poisoned too.
#undef TEMP_FAILURE_RETRY
#pragma GCC poison TEMP_FAILURE_RETRY memrchr mempcpy
#pragma GCC poison malloc_trim

// The C library's own mark: macOS has no glibc, so a source's glibc-only branches are left out here as
// they are there, and what such a branch does not guard meets the poison above.
#undef __GLIBC__
#undef __GLIBC_MINOR__

#endif  // BRANNIC_SCRIPTS_MACOS_PORTABILITY_LINUX_ONLY_NAMES_POISON_H_
