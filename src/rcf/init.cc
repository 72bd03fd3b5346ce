#include "rcf/init.h"

#include <signal.h>

#include <mutex>

namespace RCF {
namespace {

std::mutex& initMutex() {
  static std::mutex m;
  return m;
}
long initCount = 0;

}  // namespace

RcfInit::RcfInit() {
  std::lock_guard<std::mutex> lock(initMutex());
  if (initCount++ == 0) {
    // Writes to a closed socket then fail with EPIPE instead of ending the process. The layer's own sockets
    // never raise SIGPIPE anyway (MSG_NOSIGNAL on Linux, SO_NOSIGPIPE on Darwin), so this only protects
    // other code of the host; it is never undone.
    struct sigaction sa {};
    sa.sa_handler = SIG_IGN;
    sigemptyset(&sa.sa_mask);
    // sigaction cannot fail for SIGPIPE with SIG_IGN; nothing would be left to do if it did.
    (void)sigaction(SIGPIPE, &sa, nullptr);
  }
}

RcfInit::~RcfInit() {
  std::lock_guard<std::mutex> lock(initMutex());
  --initCount;
}

}  // namespace RCF
