// Linux implementations of the macOS services used by the macOS build of the client.
#include "platform/macos_services_standin.h"

#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {
std::atomic<bool> g_failPeerPid{false};
}  // namespace

int proc_pidpath(int pid, void* buffer, uint32_t buffersize) {
  if (buffer == nullptr || buffersize == 0) return 0;
  char name[64];
  std::snprintf(name, sizeof name, "/proc/%d/exe", pid);
  auto* out = static_cast<char*>(buffer);
  const ssize_t n = ::readlink(name, out, buffersize - 1);
  if (n <= 0) return 0;
  out[n] = '\0';
  return static_cast<int>(n);
}

int macosGetsockopt(int fd, int level, int name, void* value, socklen_t* len) {
  if (level != SOL_LOCAL || value == nullptr || len == nullptr) {
    errno = EINVAL;
    return -1;
  }
  struct ucred cred {};
  socklen_t credLen = sizeof cred;
  if (name == LOCAL_PEERCRED) {
    if (*len < sizeof(struct xucred)) {
      errno = EINVAL;
      return -1;
    }
    if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &credLen) < 0) return -1;
    struct xucred out {};
    out.cr_version = 0;
    out.cr_uid = cred.uid;
    out.cr_ngroups = 1;
    out.cr_groups[0] = cred.gid;
    std::memcpy(value, &out, sizeof out);
    *len = sizeof out;
    return 0;
  }
  if (name == LOCAL_PEERPID) {
    if (g_failPeerPid.load() || *len < sizeof(int)) {
      errno = g_failPeerPid.load() ? ENOTCONN : EINVAL;
      return -1;
    }
    if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &credLen) < 0) return -1;
    const int pid = cred.pid;
    std::memcpy(value, &pid, sizeof pid);
    *len = sizeof pid;
    return 0;
  }
  errno = ENOPROTOOPT;
  return -1;
}

void macosStandinFailPeerPid(bool fail) { g_failPeerPid.store(fail); }
