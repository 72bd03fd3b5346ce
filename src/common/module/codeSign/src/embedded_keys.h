// The verification key built into the library: the key isTolvaneSign uses when its caller gives none.
#ifndef BRANNIC_SRC_COMMON_MODULE_CODESIGN_SRC_EMBEDDED_KEYS_H_
#define BRANNIC_SRC_COMMON_MODULE_CODESIGN_SRC_EMBEDDED_KEYS_H_

#include "codeSign/src/crypto.h"

namespace bnq::sign::embedded_keys {

// An RSA-2048 public key as a PEM "PUBLIC KEY" block of 451 characters (9 lines, each ending in a line
// feed). The build generates it from the configured key file (the development key unless a deployment key
// is configured); it is never written.
extern const char* const PUBLIC_KEY_PEM;

// Loads PUBLIC_KEY_PEM into `key`; true when PublicKey::loadFromString gave SUCCESS. On failure `key` is
// left as loadFromString leaves it.
bool initializeEmbeddedKeys(crypto::PublicKey& key);

}  // namespace bnq::sign::embedded_keys

#endif  // BRANNIC_SRC_COMMON_MODULE_CODESIGN_SRC_EMBEDDED_KEYS_H_
