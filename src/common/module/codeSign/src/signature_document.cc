#include "codeSign/src/signature_document.h"

#include <fstream>

#include "codeSign/src/crypto.h"
#include "codeSign/src/json_text.h"

namespace bnq::sign {

std::optional<SignatureData> parseSignatureDocument(std::istream& in) {
  try {
    const std::optional<Json::Value> root = parseJson(in);
    if (!root) return std::nullopt;
    // A document without "payload" keeps this payload: window [epoch, epoch], so it has ended.
    SignatureData data;
    data.version = static_cast<uint32_t>(root->get("version", 1).asInt());
    data.signature = crypto::hexToBytes(root->get("signature", "").asString());
    if (root->isMember("payload")) data.payload = SignaturePayload::fromJson((*root)["payload"]);
    return data;
  } catch (...) {
    // Json::Exception from a conversion, std::invalid_argument from the hex text, or no memory: in every
    // case the document is simply unreadable.
    return std::nullopt;
  }
}

std::optional<SignatureData> readSignatureDocument(const std::filesystem::path& document) {
  const std::filesystem::file_status status = std::filesystem::status(document);
  if (!std::filesystem::exists(status)) return std::nullopt;
  // A FIFO or a device would block the open or never end; neither can be a signature document.
  if (!std::filesystem::is_regular_file(status)) return std::nullopt;
  std::ifstream in(document, std::ios::binary);
  if (!in.is_open()) return std::nullopt;
  return parseSignatureDocument(in);
}

}  // namespace bnq::sign
