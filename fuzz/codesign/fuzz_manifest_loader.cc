// Reads arbitrary text as a stored manifest. The loader must never throw; a manifest it accepts must
// write and read back to the same canonical text, unless its version came from a negative number: the
// version is read as a signed 32-bit number and kept unsigned, so -1 is written as 4294967295, which the
// reader refuses.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <sstream>
#include <string>

#include "codeSign/src/json_text.h"
#include "codeSign/src/manifest_loader.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::istringstream in(std::string(reinterpret_cast<const char*>(data), size));
  const std::optional<bnq::sign::Manifest> read = bnq::sign::ManifestLoader::parse(in);
  if (!read || read->version > static_cast<uint32_t>(INT32_MAX)) return 0;
  const std::string text = bnq::sign::canonicalJson(read->toJson());
  std::istringstream again(text);
  const std::optional<bnq::sign::Manifest> back = bnq::sign::ManifestLoader::parse(again);
  if (!back || bnq::sign::canonicalJson(back->toJson()) != text) std::abort();
  return 0;
}
