// RawSocket: a plain client socket for sending hand-made frames to a server in tests.
#ifndef BRANNIC_TESTS_DAEMON_RAW_SOCKET_H_
#define BRANNIC_TESTS_DAEMON_RAW_SOCKET_H_

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <stdexcept>
#include <string>

namespace brannic_test {

class RawSocket {
 public:
  explicit RawSocket(const std::string& path) {
    fd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd_ < 0) throw std::runtime_error("socket failed");
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::memcpy(addr.sun_path, path.c_str(), path.size());
    if (::connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
      ::close(fd_);
      throw std::runtime_error("connect to " + path + " failed");
    }
  }
  ~RawSocket() { ::close(fd_); }
  RawSocket(const RawSocket&) = delete;
  RawSocket& operator=(const RawSocket&) = delete;

  void send(const std::string& bytes) {
    if (::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(bytes.size())) {
      throw std::runtime_error("send failed");
    }
  }

  // Ends what this side sends; the peer reads the end once it has read everything before it.
  void shutdownWrite() {
    if (::shutdown(fd_, SHUT_WR) != 0) throw std::runtime_error("shutdown failed");
  }

  // Reads one frame (length prefix included) within `timeoutMs`; empty when the peer closed or sent
  // nothing in time (then `closed` says which).
  std::string readFrame(int timeoutMs, bool* closed = nullptr) {
    std::string out;
    bool eof = false;
    if (!readExactly(out, 4, timeoutMs, eof)) {
      if (closed) *closed = eof;
      return {};
    }
    const std::size_t len = static_cast<unsigned char>(out[0]) | static_cast<std::size_t>(static_cast<unsigned char>(out[1])) << 8 |
                            static_cast<std::size_t>(static_cast<unsigned char>(out[2])) << 16 |
                            static_cast<std::size_t>(static_cast<unsigned char>(out[3])) << 24;
    if (len > (1u << 20) || !readExactly(out, len, timeoutMs, eof)) {
      if (closed) *closed = eof;
      return {};
    }
    if (closed) *closed = false;
    return out;
  }

  // True when the peer closes the connection within `timeoutMs` without sending anything.
  bool closedWithin(int timeoutMs) {
    bool closed = false;
    return readFrame(timeoutMs, &closed).empty() && closed;
  }

 private:
  bool readExactly(std::string& out, std::size_t n, int timeoutMs, bool& eof) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    std::size_t got = 0;
    char buf[4096];
    while (got < n) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - std::chrono::steady_clock::now());
      pollfd p{fd_, POLLIN, 0};
      if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) <= 0) return false;
      const ssize_t r = ::recv(fd_, buf, std::min(sizeof buf, n - got), 0);
      if (r <= 0) {
        eof = true;
        return false;
      }
      out.append(buf, static_cast<std::size_t>(r));
      got += static_cast<std::size_t>(r);
    }
    return true;
  }

  int fd_ = -1;
};

}  // namespace brannic_test

#endif  // BRANNIC_TESTS_DAEMON_RAW_SOCKET_H_
