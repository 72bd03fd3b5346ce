// The Darwin facilities of the layer's Darwin socket calls beyond POSIX: the option SO_NOSIGPIPE, set with
// setsockopt, and send() on a socket that has it. On macOS they are the system's own; elsewhere (the macOS
// flavour built on Linux) the layer's stand-in supplies them.
#ifndef BRANNIC_SRC_RCF_DARWIN_SOCKETS_H_
#define BRANNIC_SRC_RCF_DARWIN_SOCKETS_H_

#if defined(__APPLE__)
#include <sys/socket.h>
#include <sys/types.h>

#include <cstddef>

namespace RCF {
namespace darwin {

inline int setSocketOption(int fd, int level, int name, const void* value, socklen_t len) {
  return ::setsockopt(fd, level, name, value, len);
}

inline ssize_t sendOn(int fd, const void* data, std::size_t size, int flags) {
  return ::send(fd, data, size, flags);
}

}  // namespace darwin
}  // namespace RCF
#else
#include "darwin_sockets_standin.h"
#endif

#endif  // BRANNIC_SRC_RCF_DARWIN_SOCKETS_H_
