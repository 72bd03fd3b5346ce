// Darwin: socket() takes no flags, so non-blocking and close-on-exec are set through fcntl; there is no
// MSG_NOSIGNAL, so each socket gets SO_NOSIGPIPE; strerror_r is the XSI one, which returns an int.
#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include "darwin_sockets.h"
#include "socket_calls.h"

namespace RCF {
namespace sockets {
namespace {

bool setUp(int fd) {
  const int fdFlags = ::fcntl(fd, F_GETFD);
  if (fdFlags < 0 || ::fcntl(fd, F_SETFD, fdFlags | FD_CLOEXEC) < 0) return false;
  const int statusFlags = ::fcntl(fd, F_GETFL);
  if (statusFlags < 0 || ::fcntl(fd, F_SETFL, statusFlags | O_NONBLOCK) < 0) return false;
  const int on = 1;
  return darwin::setSocketOption(fd, SOL_SOCKET, SO_NOSIGPIPE, &on, sizeof on) == 0;
}

}  // namespace

int openStreamSocket() {
  // Until F_SETFD, an exec in another thread would inherit the descriptor: Darwin cannot create a socket
  // closed on exec.
  const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
  if (fd < 0) return -1;
  if (setUp(fd)) return fd;
  const int err = errno;
  (void)::close(fd);
  errno = err;
  return -1;
}

// The socket is non-blocking and has SO_NOSIGPIPE: no flags are needed.
ssize_t sendSome(int fd, const void* data, std::size_t size) { return darwin::sendOn(fd, data, size, 0); }

std::string errnoText(int err) {
  char buf[256] = {};
  // An unknown value (EINVAL) or a text too long (ERANGE) leaves buf undefined.
  if (::strerror_r(err, buf, sizeof buf) != 0) return "Unknown error " + std::to_string(err);
  buf[sizeof buf - 1] = '\0';
  return std::string(buf);
}

}  // namespace sockets
}  // namespace RCF
