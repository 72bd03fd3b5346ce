// The signature check of the daemon's executable, the last step of the peer check. The build links the
// real check (Linux) or one that accepts every peer (macOS, which has no such step).
#ifndef BRANNIC_SRC_CLIENT_SERVER_SIGNATURE_CHECK_H_
#define BRANNIC_SRC_CLIENT_SERVER_SIGNATURE_CHECK_H_

#include "platform/platform.h"

namespace rpc_sdk {

// True when the peer's executable carries a valid signature under the built-in key. Where the platform
// gives the file the peer runs (executable.runningFile), that file is checked; otherwise the file that the
// path text names is. Only a regular ELF file of at most 1 GiB counts, by the signature embedded in it.
// Linux: before any file is read, a peer whose user namespace (executable.userNamespace) lies inside the
// host's, or opens but cannot be placed, is refused; one in the host's own namespace, or beyond its reach,
// or whose namespace does not open, goes on to the file.
// May throw on a file-system error; the caller counts that as a refused peer.
bool serverExecutableIsSigned(const platform::ProcessPath& executable);

}  // namespace rpc_sdk

#endif  // BRANNIC_SRC_CLIENT_SERVER_SIGNATURE_CHECK_H_
