// macOS services of the daemon client: proc_pidpath, LOCAL_PEERCRED and LOCAL_PEERPID, sleep_for.
// On Linux the same code runs on the stand-in services of macos_services_standin.h.
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

ProcessPath processPath(int pid) {
  char buffer[kPathBufferSize] = {};
  if (proc_pidpath(pid, buffer, kPathBufferSize) <= 0) return ProcessPath{};
  return ProcessPath{std::string(buffer, ::strnlen(buffer, kPathBufferSize)), ""};
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
