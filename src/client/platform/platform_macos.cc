// macOS services of the daemon client: stat before open for pid files, proc_pidpath, LOCAL_PEERCRED and
// LOCAL_PEERPID, sleep_for. On Linux the same code runs on the stand-in services of
// macos_services_standin.h.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <cstddef>
#include <cstdint>
#include <string>
#include <thread>

#include "platform/macos_services.h"
#include "platform/platform.h"

namespace rpc_sdk {
namespace platform {

const char* const kSystemPidFile = "/Library/Application Support/Tolvane/run/Tolvane.pid";
const char* const kHomePidFileSuffix = "/Library/Application Support/Tolvane/run/Tolvane.pid";

namespace {
constexpr uint32_t kPathBufferSize = 4096;
}  // namespace

int openRegularFile(const std::string& path) {
  // macOS cannot locate a file without opening it: its type is taken first, and only a regular file is
  // opened (without waiting, should a FIFO have been put there in between) and kept when it is still the
  // file whose type was taken.
  struct stat before {};
  if (::stat(path.c_str(), &before) != 0 || !S_ISREG(before.st_mode)) return -1;
  const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return -1;
  struct stat opened {};
  if (::fstat(fd, &opened) != 0 || !S_ISREG(opened.st_mode) || opened.st_dev != before.st_dev ||
      opened.st_ino != before.st_ino) {
    ::close(fd);
    return -1;
  }
  return fd;
}

ProcessPath processPath(int pid) {
  char buffer[kPathBufferSize] = {};
  if (proc_pidpath(pid, buffer, kPathBufferSize) <= 0) return ProcessPath{};
  return ProcessPath{std::string(buffer, ::strnlen(buffer, kPathBufferSize)), "", ""};
}

bool peerProcessId(int fd, int* pid) {
  struct xucred cred {};
  socklen_t len = sizeof cred;
  if (macosGetsockopt(fd, SOL_LOCAL, LOCAL_PEERCRED, &cred, &len) < 0) return false;
  int peer = 0;
  len = sizeof peer;
  if (macosGetsockopt(fd, SOL_LOCAL, LOCAL_PEERPID, &peer, &len) < 0) peer = 0;
  *pid = peer;
  return true;
}

void pauseMs(int ms) {
  if (ms <= 0) return;
  std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

}  // namespace platform
}  // namespace rpc_sdk
