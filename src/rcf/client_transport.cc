#include "rcf/client_transport.h"

#include <errno.h>
#include <poll.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>

#include "rcf/exception.h"
#include "socket_calls.h"
#include "wire.h"

namespace RCF {
namespace {

using Clock = std::chrono::steady_clock;
using sockets::errnoText;

// Milliseconds left until `deadline`, rounded up, at least 0.
int remainingMs(Clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::microseconds>(deadline - Clock::now()).count();
  if (left <= 0) return 0;
  return static_cast<int>(std::min<long long>((left + 999) / 1000, 1 << 30));
}

bool isDisconnectError(int err) {
  return err == EPIPE || err == ECONNRESET || err == ECONNABORTED || err == ECONNREFUSED || err == ENOTCONN;
}

[[noreturn]] void peerDisconnected() {
  throw Exception(RcfError_PeerDisconnect, "Unexpected peer disconnection.");
}

}  // namespace

BsdClientTransport::~BsdClientTransport() { close(); }

void BsdClientTransport::close() {
  if (fd_ >= 0) {
    // The descriptor is gone after close() whatever it returns; there is nothing to retry.
    (void)::close(fd_);
    fd_ = -1;
  }
}

void BsdClientTransport::connect(const std::string& path, Deadline deadline) {
  close();
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  if (path.empty() || path.find('\0') != std::string::npos || path.size() >= sizeof addr.sun_path) {
    throw Exception(RcfError_Endpoint, "Invalid Unix local socket path: '" + path + "'.");
  }
  memcpy(addr.sun_path, path.data(), path.size());
  const auto addrLen = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + path.size());

  for (;;) {
    const int fd = sockets::openStreamSocket();
    if (fd < 0) {
      const int err = errno;
      throw Exception(RcfError_Socket, "Failed to create socket: " + errnoText(err) + ".");
    }
    fd_ = fd;
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&addr), addrLen) == 0) return;
    const int err = errno;
    if (err == EINPROGRESS) {
      waitFor(POLLOUT, deadline, true);
      int soError = 0;
      socklen_t len = sizeof soError;
      if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &soError, &len) != 0) soError = errno;
      if (soError == 0) return;
      close();
      throw Exception(RcfError_ConnectFailed, "Failed to connect to '" + path + "': " + errnoText(soError) + ".");
    }
    close();
    if (err != EAGAIN && err != EINTR) {
      throw Exception(RcfError_ConnectFailed, "Failed to connect to '" + path + "': " + errnoText(err) + ".");
    }
    // The listener's backlog is full (a Unix socket does not queue the attempt): try again shortly.
    const int left = remainingMs(deadline);
    if (left == 0) throw Exception(RcfError_ConnectTimeout, "Client connect timed out.");
    if (::poll(nullptr, 0, std::min(left, 5)) < 0 && errno != EINTR) {
      const int perr = errno;
      throw Exception(RcfError_Socket, "poll failed: " + errnoText(perr) + ".");
    }
  }
}

// Zero-time-out readability test, then a one-byte peek. A connected socket with nothing to read is alive.
// End of stream or a reset means closed; so do unsolicited bytes, since nothing may arrive between calls.
// The socket is non-blocking, so neither this peek nor any other receive waits.
bool BsdClientTransport::isAlive() const {
  if (fd_ < 0) return false;
  pollfd p{fd_, POLLIN, 0};
  int r;
  do {
    r = ::poll(&p, 1, 0);
  } while (r < 0 && errno == EINTR);
  if (r < 0) return false;
  if (r == 0) return true;
  char c;
  const ssize_t n = ::recv(fd_, &c, 1, MSG_PEEK);
  if (n < 0) return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
  return false;
}

void BsdClientTransport::waitFor(short events, Deadline deadline, bool connecting) {
  for (;;) {
    const int left = remainingMs(deadline);
    if (left == 0) {
      if (connecting) throw Exception(RcfError_ConnectTimeout, "Client connect timed out.");
      throw Exception(RcfError_CallTimeout, "Remote call timed out.");
    }
    pollfd p{fd_, events, 0};
    const int r = ::poll(&p, 1, left);
    if (r > 0) return;  // readable, writable, or an error/hang-up that the next operation reports
    if (r < 0 && errno != EINTR) {
      const int err = errno;
      throw Exception(RcfError_Socket, "poll failed: " + errnoText(err) + ".");
    }
  }
}

void BsdClientTransport::send(const std::string& data, Deadline deadline) {
  std::size_t sent = 0;
  while (sent < data.size()) {
    const ssize_t n = sockets::sendSome(fd_, data.data() + sent, data.size() - sent);
    if (n > 0) {
      sent += static_cast<std::size_t>(n);
      continue;
    }
    const int err = errno;
    if (n < 0 && (err == EAGAIN || err == EWOULDBLOCK)) {
      waitFor(POLLOUT, deadline, false);
    } else if (n < 0 && err == EINTR) {
      continue;
    } else if (n < 0 && isDisconnectError(err)) {
      peerDisconnected();
    } else {
      throw Exception(RcfError_Socket, "Socket send failed: " + errnoText(err) + ".");
    }
  }
}

void BsdClientTransport::receiveExactly(unsigned char* data, std::size_t size, Deadline deadline, bool waitFirst) {
  std::size_t got = 0;
  if (waitFirst) waitFor(POLLIN, deadline, false);
  while (got < size) {
    const ssize_t n = ::recv(fd_, data + got, size - got, 0);
    if (n > 0) {
      got += static_cast<std::size_t>(n);
      continue;
    }
    if (n == 0) peerDisconnected();
    const int err = errno;
    if (err == EAGAIN || err == EWOULDBLOCK) {
      waitFor(POLLIN, deadline, false);
    } else if (err == EINTR) {
      continue;
    } else if (isDisconnectError(err)) {
      peerDisconnected();
    } else {
      throw Exception(RcfError_Socket, "Socket receive failed: " + errnoText(err) + ".");
    }
  }
}

void BsdClientTransport::receiveFrame(std::string& body, std::size_t limit, Deadline deadline) {
  unsigned char prefix[4];
  receiveExactly(prefix, sizeof prefix, deadline, true);
  const std::size_t length = wire::loadLe32(prefix);
  if (length == 0) throw Exception(RcfError_Protocol, "Received a message of length 0.");
  if (length > limit) {
    throw Exception(RcfError_ClientMessageLength, "Received a message of " + std::to_string(length) +
                                                      " bytes, above the limit of " + std::to_string(limit) + ".");
  }
  body.resize(length);
  receiveExactly(reinterpret_cast<unsigned char*>(&body[0]), length, deadline, false);
}

}  // namespace RCF
