// The signature check of the daemon's executable, the last step of the peer check. The build links the
// real check (Linux) or one that accepts every path (macOS, which has no such step).
#ifndef BRANNIC_CLIENT_SERVER_SIGNATURE_CHECK_H_
#define BRANNIC_CLIENT_SERVER_SIGNATURE_CHECK_H_

#include <string>

namespace rpc_sdk {

// True when the executable at path carries a valid signature under the built-in key. May throw on a
// file-system error; the caller counts that as a refused peer.
bool serverExecutableIsSigned(const std::string& path);

}  // namespace rpc_sdk

#endif  // BRANNIC_CLIENT_SERVER_SIGNATURE_CHECK_H_
