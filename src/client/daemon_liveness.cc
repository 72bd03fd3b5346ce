// The liveness check that runs before every connection attempt: socket file, pid files, process path.
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <sstream>
#include <string>
#include <vector>

#include "descriptor.h"
#include "platform/platform.h"
#include "rpc_service_client_impl.h"

namespace rpc_sdk {

namespace {

constexpr size_t kMaxPasswdBuffer = 1 << 20;

// The pid-file candidates in order; the home-directory one only for a user other than root.
std::vector<std::string> pidFileCandidates() {
  std::vector<std::string> candidates{platform::kSystemPidFile};
  const uid_t uid = ::getuid();
  if (uid == 0) return candidates;
  // The size the system suggests is only a hint: an entry that does not fit is read again with a larger
  // buffer, up to a bound.
  const long hint = ::sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buffer(hint > 0 ? static_cast<size_t>(hint) : 1024);
  struct passwd entry {};
  struct passwd* found = nullptr;
  int rc = 0;
  while ((rc = ::getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found)) == ERANGE &&
         buffer.size() < kMaxPasswdBuffer) {
    buffer.resize(buffer.size() * 2);
  }
  if (rc == 0 && found != nullptr && found->pw_dir != nullptr) {
    candidates.push_back(std::string(found->pw_dir) + platform::kHomePidFileSuffix);
  }
  return candidates;
}

// A pid file holds a few digits: only this many bytes of one are read, whatever its size.
constexpr size_t kMaxPidFileRead = 4096;

// The first number in the first kMaxPidFileRead bytes of a pid file as formatted extraction reads it: 0
// when there is none, clamped to the int range. Only a regular file is opened and read: a FIFO or a device
// put at a pid-file path is skipped without being opened.
int readPid(const std::string& path) {
  const Descriptor file(platform::openRegularFile(path));
  const int fd = file.get();
  if (fd < 0) return 0;
  char bytes[kMaxPidFileRead];
  size_t have = 0;
  // A read that fails ends the input; what came before it still counts.
  while (have < sizeof bytes) {
    const ssize_t n = ::read(fd, bytes + have, sizeof bytes - have);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    have += static_cast<size_t>(n);
  }
  std::istringstream in(std::string(bytes, have));
  int pid = 0;
  in >> pid;
  return pid;
}

}  // namespace

std::string RpcServiceClientImpl::getProcessPath(int pid) { return platform::processPath(pid).text; }

bool RpcServiceClientImpl::isDaemonAlive() const {
  try {
    // Follows symbolic links. A status that cannot be taken for any reason counts as not alive.
    struct stat st {};
    if (::stat(socketPath.c_str(), &st) != 0 || !S_ISSOCK(st.st_mode)) return false;
    for (const std::string& candidate : pidFileCandidates()) {
      const int pid = readPid(candidate);
      if (pid <= 0) continue;
      const std::string path = getProcessPath(pid);
      if (!path.empty() && path.find("Tolvane") != std::string::npos) return true;
    }
    return false;
  } catch (...) {
    return false;
  }
}

}  // namespace rpc_sdk
