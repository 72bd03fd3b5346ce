// The liveness check that runs before every connection attempt: socket file, pid files, process path.
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include <fstream>
#include <string>
#include <vector>

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

// The first number in a pid file as formatted extraction reads it: 0 when there is none, clamped to the
// int range.
int readPid(const std::string& file) {
  std::ifstream in(file);
  if (!in.is_open()) return 0;
  int pid = 0;
  in >> pid;
  return pid;
}

}  // namespace

std::string RpcServiceClientImpl::getProcessPath(int pid) { return platform::processPath(pid); }

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
