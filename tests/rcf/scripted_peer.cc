#include "scripted_peer.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <stdexcept>

namespace brannic_test {
namespace {

std::atomic<int> peerCounter{0};

// Waits for `fd` or the stop pipe; false when stopping.
bool waitReadable(int fd, int stopFd, int timeoutMs = -1) {
  pollfd p[2] = {{fd, POLLIN, 0}, {stopFd, POLLIN, 0}};
  for (;;) {
    const int r = ::poll(p, 2, timeoutMs);
    if (r < 0 && errno == EINTR) continue;
    return r > 0 && p[1].revents == 0;
  }
}

// Sleeps `ms`; true when the peer is stopping.
bool stopsWithin(int stopFd, int ms) {
  pollfd p{stopFd, POLLIN, 0};
  return ::poll(&p, 1, ms) > 0;
}

bool readExactly(int fd, int stopFd, std::string& out, std::size_t n) {
  char buf[4096];
  while (n > 0) {
    if (!waitReadable(fd, stopFd)) return false;
    const ssize_t r = ::recv(fd, buf, std::min(n, sizeof buf), 0);
    if (r <= 0) return false;
    out.append(buf, static_cast<std::size_t>(r));
    n -= static_cast<std::size_t>(r);
  }
  return true;
}

}  // namespace

ScriptedPeer::ScriptedPeer(std::vector<PeerStep> steps, bool accept, int backlog) : steps_(std::move(steps)) {
  path_ = "/tmp/brannic-rcf-peer-" + std::to_string(getpid()) + "-" + std::to_string(peerCounter++) + ".sock";
  ::unlink(path_.c_str());
  listenFd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::memcpy(addr.sun_path, path_.c_str(), path_.size());
  if (listenFd_ < 0 || ::bind(listenFd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      ::listen(listenFd_, backlog) != 0 || ::pipe2(stopPipe_, O_CLOEXEC) != 0) {
    throw std::runtime_error("ScriptedPeer: cannot listen on " + path_);
  }
  if (accept) thread_ = std::thread([this] { run(); });
}

ScriptedPeer::~ScriptedPeer() {
  const char c = 's';
  (void)!::write(stopPipe_[1], &c, 1);
  if (thread_.joinable()) thread_.join();
  ::close(listenFd_);
  ::close(stopPipe_[0]);
  ::close(stopPipe_[1]);
  ::unlink(path_.c_str());
}

std::vector<std::string> ScriptedPeer::requests() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return requests_;
}

void ScriptedPeer::run() {
  std::size_t step = 0;
  while (waitReadable(listenFd_, stopPipe_[0])) {
    const int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    ++connections_;
    const bool go_on = serveConnection(fd, step);
    ::close(fd);
    if (!go_on) return;
  }
}

// Serves one connection; false when the peer is stopping.
bool ScriptedPeer::serveConnection(int fd, std::size_t& step) {
  for (;;) {
    std::string request;
    if (!readExactly(fd, stopPipe_[0], request, 4)) return true;
    const std::size_t len = static_cast<unsigned char>(request[0]) |
                            static_cast<std::size_t>(static_cast<unsigned char>(request[1])) << 8 |
                            static_cast<std::size_t>(static_cast<unsigned char>(request[2])) << 16 |
                            static_cast<std::size_t>(static_cast<unsigned char>(request[3])) << 24;
    if (len > (2u << 20) || !readExactly(fd, stopPipe_[0], request, len)) return true;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      requests_.push_back(request);
    }
    if (step >= steps_.size()) return true;
    const PeerStep& s = steps_[step++];
    switch (s.kind) {
      case PeerStep::kClose:
        return true;
      case PeerStep::kSilent:
        while (waitReadable(fd, stopPipe_[0])) {
          char c;
          if (::recv(fd, &c, 1, 0) <= 0) return true;
        }
        return false;
      case PeerStep::kDribble:
        for (char c : s.bytes) {
          if (stopsWithin(stopPipe_[0], s.delayMs)) return false;
          if (::send(fd, &c, 1, MSG_NOSIGNAL) != 1) return true;
        }
        break;
      case PeerStep::kReply:
      case PeerStep::kReplyThenClose:
        if (s.delayMs > 0 && stopsWithin(stopPipe_[0], s.delayMs)) return false;
        if (!s.bytes.empty() &&
            ::send(fd, s.bytes.data(), s.bytes.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(s.bytes.size())) {
          return true;
        }
        if (s.kind == PeerStep::kReplyThenClose) return true;
        break;
    }
  }
}

}  // namespace brannic_test
