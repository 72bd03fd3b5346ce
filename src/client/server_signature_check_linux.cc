// The Linux build accepts a daemon only when its executable carries a valid signature under the built-in
// verification key.
#include <filesystem>
#include <optional>

#include "codeSign/src/crypto.h"
#include "codeSign/src/tolvane_check.h"
#include "server_signature_check.h"

namespace rpc_sdk {

bool serverExecutableIsSigned(const std::string& path) {
  const std::filesystem::path executable(path);
  // An executable is a file. Where the path came from the peer's own first argument, a signed directory
  // must not pass for one (nor make the check walk a tree the peer chose).
  if (!std::filesystem::is_regular_file(executable)) return false;
  // An empty key makes the library verify with its built-in key.
  const bnq::sign::TolvaneCheckResult result =
      bnq::sign::isTolvaneSign(executable, std::optional<bnq::sign::crypto::PublicKey>());
  return result.is_valid;
}

}  // namespace rpc_sdk
