// The Linux build accepts a daemon only when its executable carries a valid signature under the built-in
// verification key.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string>

#include "codeSign/src/crypto.h"
#include "codeSign/src/tolvane_check.h"
#include "server_signature_check.h"

namespace rpc_sdk {

namespace {

// An empty key makes the library verify with its built-in key.
bool carriesValidSignature(const std::filesystem::path& file) {
  return bnq::sign::isTolvaneSign(file, std::optional<bnq::sign::crypto::PublicKey>()).is_valid;
}

// Whether the file opens as a regular file that begins with the ELF magic.
bool isElfFile(const std::string& file) {
  const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  if (fd < 0) return false;
  struct stat st {};
  unsigned char magic[4] = {};
  size_t have = 0;
  if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
    while (have < sizeof magic) {
      const ssize_t n = ::pread(fd, magic + have, sizeof magic - have, static_cast<off_t>(have));
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      have += static_cast<size_t>(n);
    }
  }
  ::close(fd);
  static const unsigned char kElfMagic[4] = {0x7F, 'E', 'L', 'F'};
  return have == sizeof magic && std::memcmp(magic, kElfMagic, sizeof magic) == 0;
}

}  // namespace

bool serverExecutableIsSigned(const platform::ProcessPath& executable) {
  if (!executable.runningFile.empty()) {
    // The file that runs can vouch for itself only through its own signature section: the library reads a
    // detached document for a file that is not ELF, and no document may stand in for what runs.
    return isElfFile(executable.runningFile) && carriesValidSignature(executable.runningFile);
  }
  // The path text is the peer's own first argument. An executable is a file: a signed directory must not
  // pass for one (nor make the check walk a tree the peer chose).
  const std::filesystem::path named(executable.text);
  if (!std::filesystem::is_regular_file(named)) return false;
  return carriesValidSignature(named);
}

}  // namespace rpc_sdk
