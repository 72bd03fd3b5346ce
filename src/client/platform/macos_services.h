// The macOS services that the macOS build of the client uses: the real ones on macOS, the stand-ins
// elsewhere.
#ifndef BRANNIC_SRC_CLIENT_PLATFORM_MACOS_SERVICES_H_
#define BRANNIC_SRC_CLIENT_PLATFORM_MACOS_SERVICES_H_

#if defined(__APPLE__)
#include <libproc.h>
#include <sys/socket.h>
#include <sys/types.h>
#include <sys/ucred.h>
#include <sys/un.h>

inline int macosGetsockopt(int fd, int level, int name, void* value, socklen_t* len) {
  return ::getsockopt(fd, level, name, value, len);
}
#else
#include "platform/macos_services_standin.h"
#endif

#endif  // BRANNIC_SRC_CLIENT_PLATFORM_MACOS_SERVICES_H_
