// Linux: the socket is made non-blocking and close-on-exec by socket() itself, each send carries
// MSG_NOSIGNAL, and strerror_r is the GNU one.
#include <string.h>
#include <sys/socket.h>

#include "socket_calls.h"

namespace RCF {
namespace sockets {

int openStreamSocket() { return ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0); }

ssize_t sendSome(int fd, const void* data, std::size_t size) {
  return ::send(fd, data, size, MSG_NOSIGNAL | MSG_DONTWAIT);
}

std::string errnoText(int err) {
  char buf[256];
  // GNU strerror_r returns the text, which may or may not be in buf.
  return std::string(strerror_r(err, buf, sizeof buf));
}

}  // namespace sockets
}  // namespace RCF
