// Linux services of the daemon client: located descriptors for pid files, /proc for process paths,
// SO_PEERCRED for the peer, nanosleep.
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>

#include "descriptor.h"
#include "platform/platform.h"

namespace rpc_sdk {
namespace platform {

const char* const kSystemPidFile = "/var/.data/Tolvane/run/Tolvane.pid";
const char* const kHomePidFileSuffix = "/.data/Tolvane/run/Tolvane.pid";

namespace {

constexpr size_t kPathBufferSize = 4096;

// The text of buffer[0, length) up to its first NUL.
std::string upToNul(const char* buffer, size_t length) { return std::string(buffer, ::strnlen(buffer, length)); }

}  // namespace

int openRegularFile(const std::string& path) {
  // A descriptor that cannot read locates the file without opening it; only a regular file is then opened
  // for reading, through that descriptor, so nothing can be swapped in between.
  const Descriptor located(::open(path.c_str(), O_PATH | O_CLOEXEC));
  if (located.get() < 0) return -1;
  struct stat st {};
  if (::fstat(located.get(), &st) != 0 || !S_ISREG(st.st_mode)) return -1;
  const std::string reopen = "/proc/self/fd/" + std::to_string(located.get());
  return ::open(reopen.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY);
}

ProcessPath processPath(int pid) {
  char name[64];
  char buffer[kPathBufferSize];
  std::snprintf(name, sizeof name, "/proc/%d/ns/user", pid);
  const std::string userNamespace = name;
  std::snprintf(name, sizeof name, "/proc/%d/exe", pid);
  const ssize_t n = ::readlink(name, buffer, kPathBufferSize - 1);
  // The link's text may name a file that was removed or renamed over since ("<path> (deleted)"), or a path
  // of another mount namespace; the link itself still opens the file that runs.
  if (n != -1) return ProcessPath{upToNul(buffer, static_cast<size_t>(n)), name, userNamespace};

  // The link of another user's process cannot be read: fall back to its first command-line argument.
  std::snprintf(name, sizeof name, "/proc/%d/cmdline", pid);
  std::FILE* file = std::fopen(name, "r");
  if (file == nullptr) return ProcessPath{};
  const size_t got = std::fread(buffer, 1, kPathBufferSize - 1, file);
  std::fclose(file);
  if (got == 0) return ProcessPath{};
  return ProcessPath{upToNul(buffer, got), "", userNamespace};
}

bool peerProcessId(int fd, int* pid) {
  struct ucred cred {};
  socklen_t len = sizeof cred;
  if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) < 0) return false;
  *pid = cred.pid;
  return true;
}

void pauseMs(int ms) {
  if (ms <= 0) return;
  struct timespec remaining {};
  remaining.tv_sec = ms / 1000;
  remaining.tv_nsec = static_cast<long>(ms % 1000) * 1000000L;
  struct timespec left {};
  while (::nanosleep(&remaining, &left) == -1) {
    if (errno != EINTR) return;
    remaining = left;
  }
}

}  // namespace platform
}  // namespace rpc_sdk
