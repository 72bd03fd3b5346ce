// The Linux build accepts a daemon only when its user namespace is not nested inside the host's and its
// executable carries a valid signature under the built-in verification key.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string>
#include <system_error>

#include "codeSign/src/crypto.h"
#include "codeSign/src/tolvane_check.h"
#include "descriptor.h"
#include "server_signature_check.h"
#include "user_namespace_linux.h"

namespace rpc_sdk {

namespace {

// No daemon executable comes near this size. The check's cost grows with the file, which the peer chooses,
// so a larger file is refused before any of it is read.
constexpr off_t kMaxServerExecutableSize = off_t{1} << 30;

// A name that opens the very file `fd` refers to, whatever has become of the name it was opened by.
std::string nameOfDescriptor(int fd) { return "/proc/self/fd/" + std::to_string(fd); }

// Whether the regular file behind `name` begins with the ELF magic.
bool beginsWithElfMagic(const std::string& name) {
  const Descriptor file(::open(name.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY));
  if (file.get() < 0) return false;
  unsigned char magic[4] = {};
  size_t have = 0;
  while (have < sizeof magic) {
    const ssize_t n = ::pread(file.get(), magic + have, sizeof magic - have, static_cast<off_t>(have));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    have += static_cast<size_t>(n);
  }
  static const unsigned char kElfMagic[4] = {0x7F, 'E', 'L', 'F'};
  return have == sizeof magic && std::memcmp(magic, kElfMagic, sizeof magic) == 0;
}

// Checks the file that `name` opens (links followed). A descriptor that cannot read is taken first, so that
// nothing but a regular file is ever opened for reading: only a regular ELF file of at most
// kMaxServerExecutableSize bytes goes on to the signature check, and that check reads the same file through
// the descriptor, so nothing can be swapped in between. `name` not opening gives false, or, when
// `throwUnlessAbsent` is set, an exception for every reason but the file's absence.
bool checkFile(const std::string& name, bool throwUnlessAbsent) {
  const Descriptor file(::open(name.c_str(), O_PATH | O_CLOEXEC));
  if (file.get() < 0) {
    const int error = errno;
    if (!throwUnlessAbsent || error == ENOENT || error == ENOTDIR) return false;
    throw std::filesystem::filesystem_error("cannot open the server executable", name,
                                            std::error_code(error, std::generic_category()));
  }
  struct stat st {};
  if (::fstat(file.get(), &st) != 0) return false;
  if (!S_ISREG(st.st_mode) || st.st_size > kMaxServerExecutableSize) return false;
  // Through a descriptor of its own, the library reads the signature section the file carries; it would
  // read a detached document for a file that is not ELF, and no document may stand in for an executable.
  const std::string opened = nameOfDescriptor(file.get());
  if (!beginsWithElfMagic(opened)) return false;
  // An empty key makes the library verify with its built-in key.
  return bnq::sign::isTolvaneSign(opened, std::optional<bnq::sign::crypto::PublicKey>()).is_valid;
}

}  // namespace

bool serverExecutableIsSigned(const platform::ProcessPath& executable) {
  // In a user namespace nested inside the host's, a process holds every capability, enough to point its
  // executable link at any file it may execute (prctl PR_SET_MM_MAP with exe_fd) while it runs other code:
  // for such a peer the link proves nothing. A namespace that cannot be placed counts the same. A peer
  // whose namespace cannot be opened is checked as one whose link cannot be read.
  if (!executable.userNamespace.empty()) {
    const NamespacePlace place = placeOfUserNamespace(executable.userNamespace);
    if (place == NamespacePlace::kInside || place == NamespacePlace::kUnknown) return false;
  }
  // The file that runs, when the platform gives it, whatever the path text says.
  if (!executable.runningFile.empty()) return checkFile(executable.runningFile, false);
  // The path text is the peer's own first argument. An executable is a regular file: a signed directory
  // must not pass for one (nor make the check walk a tree the peer chose).
  return checkFile(executable.text, true);
}

}  // namespace rpc_sdk
