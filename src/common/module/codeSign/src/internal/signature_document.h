// The signature document: the JSON text {"version", "signature" (hex), "payload"} that lies beside a signed
// non-ELF file as "<file>.sig", and in a signed directory as "meta-inf/signature.json".
#ifndef BRANNIC_SRC_COMMON_MODULE_CODESIGN_SRC_INTERNAL_SIGNATURE_DOCUMENT_H_
#define BRANNIC_SRC_COMMON_MODULE_CODESIGN_SRC_INTERNAL_SIGNATURE_DOCUMENT_H_

#include <cstdint>
#include <filesystem>
#include <istream>
#include <optional>

#include "codeSign/src/records.h"

namespace bnq::sign {

// A genuine signature document is a few KiB; a stored one larger than this is unreadable, decided from its
// status before any byte is read.
inline constexpr uint64_t kMaxSignatureDocumentSize = uint64_t{1} << 20;

// Reads a document from `in` with the default reader settings (comments and trailing commas accepted).
// Absent members read as version 1, no signature bytes, and a payload whose certificate window ended at the
// epoch; a JSON null root reads as if every member were absent. Empty when the text does not parse, or a
// member cannot be converted (a root that is neither object nor null, a non-integer "version", a "signature"
// that is not hex text, a "payload" that SignaturePayload::fromJson refuses, memory running out). Never
// throws.
std::optional<SignatureData> parseSignatureDocument(std::istream& in);

// Reads the document stored at `document`, opened once (OpenedFile). Empty when it does not exist (a
// dangling link included), cannot be opened, is not a regular file (a FIFO, a socket or a device is never
// opened for reading), is larger than kMaxSignatureDocumentSize or does not read. When it cannot be found,
// a status query that fails for another reason than the file's absence (a parent that may not be
// searched, a loop of links, a name too long) throws std::filesystem::filesystem_error.
std::optional<SignatureData> readSignatureDocument(const std::filesystem::path& document);

}  // namespace bnq::sign

#endif  // BRANNIC_SRC_COMMON_MODULE_CODESIGN_SRC_INTERNAL_SIGNATURE_DOCUMENT_H_
