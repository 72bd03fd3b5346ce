/* A minimal blocking client of the recorded Ping exchange: the baseline of the layer's benchmark. */
#ifndef BRANNIC_BENCH_RCF_RAW_PING_CLIENT_H_
#define BRANNIC_BENCH_RCF_RAW_PING_CLIENT_H_

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Connects a blocking Unix stream socket to `path`; -1 on failure. */
int raw_ping_connect(const char* path);
/* Writes the recorded Ping request frame and reads the whole reply frame into buf; returns the reply's
   length (prefix included) or -1. */
long raw_ping(int fd, unsigned char* buf, size_t cap);

#ifdef __cplusplus
}
#endif

#endif  // BRANNIC_BENCH_RCF_RAW_PING_CLIENT_H_
