#include "codeSign/src/embedded_keys.h"

#include <string>

namespace bnq::sign::embedded_keys {

bool initializeEmbeddedKeys(crypto::PublicKey& key) {
  return key.loadFromString(std::string(PUBLIC_KEY_PEM)) == ErrorCode::SUCCESS;
}

}  // namespace bnq::sign::embedded_keys
