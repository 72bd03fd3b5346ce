// Linux implementation of the layer's Darwin socket facilities. A socket is known by its device and inode
// numbers: unlike its descriptor number, Linux gives them to no later socket (the inode counter would have
// to wrap).
#include "darwin_sockets_standin.h"

#include <sys/stat.h>

#include <cerrno>
#include <map>
#include <mutex>
#include <utility>

namespace RCF {
namespace darwin {
namespace {

using SocketId = std::pair<dev_t, ino_t>;

struct Records {
  std::mutex mutex;
  std::map<SocketId, std::size_t> indexOf;  // into inOrder
  std::vector<SocketRecord> inOrder;

  SocketRecord& of(const SocketId& id) {
    const auto found = indexOf.emplace(id, inOrder.size());
    if (found.second) inOrder.emplace_back();
    return inOrder[found.first->second];
  }
};

Records& records() {
  static Records r;
  return r;
}

// The identity of the socket at fd; false (errno set) when fd is not an open socket.
bool socketId(int fd, SocketId* id) {
  struct stat st {};
  if (::fstat(fd, &st) != 0) return false;
  if (!S_ISSOCK(st.st_mode)) {
    errno = ENOTSOCK;
    return false;
  }
  *id = SocketId(st.st_dev, st.st_ino);
  return true;
}

}  // namespace

int setSocketOption(int fd, int level, int name, const void* value, socklen_t len) {
  if (level != SOL_SOCKET || name != SO_NOSIGPIPE) return ::setsockopt(fd, level, name, value, len);
  if (value == nullptr || len != sizeof(int)) {
    errno = EINVAL;
    return -1;
  }
  SocketId id;
  if (!socketId(fd, &id)) return -1;
  const bool on = *static_cast<const int*>(value) != 0;
  Records& r = records();
  std::lock_guard<std::mutex> lock(r.mutex);
  r.of(id).noSigpipe = on;
  return 0;
}

ssize_t sendOn(int fd, const void* data, std::size_t size, int flags) {
  SocketId id;
  if (!socketId(fd, &id)) return -1;
  bool noSigpipe = false;
  {
    Records& r = records();
    std::lock_guard<std::mutex> lock(r.mutex);
    SocketRecord& record = r.of(id);
    if (record.sends++ == 0) record.noSigpipeAtFirstSend = record.noSigpipe;
    noSigpipe = record.noSigpipe;
  }
  return ::send(fd, data, size, noSigpipe ? flags | MSG_NOSIGNAL : flags);
}

std::vector<SocketRecord> standinSockets() {
  Records& r = records();
  std::lock_guard<std::mutex> lock(r.mutex);
  return r.inOrder;
}

}  // namespace darwin
}  // namespace RCF
