#include "codeSign/src/internal/signature_document.h"

#include <string>

#include "codeSign/src/crypto.h"
#include "codeSign/src/internal/file_reading.h"
#include "codeSign/src/json_text.h"

namespace bnq::sign {
namespace {

// The document of a parsed root; `parse` gives the root, or nothing when the text does not parse.
template <typename Parse>
std::optional<SignatureData> readDocument(Parse parse) {
  try {
    const std::optional<Json::Value> root = parse();
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

}  // namespace

std::optional<SignatureData> parseSignatureDocument(std::istream& in) {
  return readDocument([&in] { return parseJson(in); });
}

std::optional<SignatureData> readSignatureDocument(const std::filesystem::path& document) {
  // Opened once, for reading only when it is a regular file: a FIFO or a device, also one put in place of a
  // regular file a moment ago, is no document and is never opened; one larger than any genuine document is
  // never read.
  const std::optional<std::string> text =
      readRegularFile(document, OpenFailure::kRaiseUnlessAbsent, kMaxSignatureDocumentSize);
  if (!text) return std::nullopt;
  return readDocument([&text] { return parseJson(text->data(), text->size()); });
}

}  // namespace bnq::sign
