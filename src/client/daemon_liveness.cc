// The liveness check that runs before every connection attempt: socket file, pid files, process path.
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <istream>
#include <streambuf>
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

// An input stream buffer over a descriptor that it owns. A read that fails or would block ends the input.
class FdInputBuffer : public std::streambuf {
 public:
  explicit FdInputBuffer(int fd) : fd_(fd) {}
  ~FdInputBuffer() override { ::close(fd_); }
  FdInputBuffer(const FdInputBuffer&) = delete;
  FdInputBuffer& operator=(const FdInputBuffer&) = delete;

 protected:
  int_type underflow() override {
    ssize_t n = 0;
    do {
      n = ::read(fd_, chunk_, sizeof chunk_);
    } while (n < 0 && errno == EINTR);
    if (n <= 0) return traits_type::eof();
    setg(chunk_, chunk_, chunk_ + n);
    return traits_type::to_int_type(chunk_[0]);
  }

 private:
  int fd_;
  char chunk_[512];
};

// The first number in a pid file as formatted extraction reads it: 0 when there is none, clamped to the
// int range. Only a regular file is read: the file is opened without waiting, so a FIFO or a device put
// at a pid-file path is skipped instead of blocking the caller.
int readPid(const std::string& file) {
  const int fd = ::open(file.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return 0;
  FdInputBuffer buffer(fd);
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) return 0;
  std::istream in(&buffer);
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
