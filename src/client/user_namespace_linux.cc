// Finds where another process's user namespace lies by walking up from it with NS_GET_PARENT.
#include "user_namespace_linux.h"

#include <fcntl.h>
#include <linux/nsfs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>

#include <cerrno>
#include <optional>

#include "descriptor.h"

namespace rpc_sdk {

namespace {

// The kernel makes a user namespace only under one at most 32 levels below the initial namespace, so no
// namespace lies more than 33 levels below it, and no walk up is longer.
constexpr int kMaxNesting = 33;

bool sameFile(const struct stat& a, const struct stat& b) { return a.st_dev == b.st_dev && a.st_ino == b.st_ino; }

}  // namespace

NamespacePlace placeOfUserNamespace(const std::string& name) {
  struct stat own {};
  if (::stat("/proc/self/ns/user", &own) != 0) return NamespacePlace::kUnknown;
  std::optional<Descriptor> current;
  current.emplace(::open(name.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY));
  if (current->get() < 0) {
    // Refused to this process, or gone with the process: as for its executable link. Any other failure
    // leaves the place unknown.
    const int error = errno;
    const bool unreadable = error == EACCES || error == EPERM || error == ENOENT || error == ESRCH;
    return unreadable ? NamespacePlace::kUnreadable : NamespacePlace::kUnknown;
  }
  struct stat st {};
  if (::fstat(current->get(), &st) != 0) return NamespacePlace::kUnknown;
  if (sameFile(st, own)) return NamespacePlace::kOwn;
  for (int step = 0; step < kMaxNesting; ++step) {
    // The kernel gives the parent only while it lies within this process's namespace, its own included:
    // the step beyond that is refused with EPERM, as is the step up from the initial namespace.
    const int parent = ::ioctl(current->get(), NS_GET_PARENT);
    if (parent < 0) return errno == EPERM ? NamespacePlace::kOutside : NamespacePlace::kUnknown;
    current.emplace(parent);
    if (::fstat(current->get(), &st) != 0) return NamespacePlace::kUnknown;
    if (sameFile(st, own)) return NamespacePlace::kInside;
  }
  return NamespacePlace::kUnknown;
}

}  // namespace rpc_sdk
