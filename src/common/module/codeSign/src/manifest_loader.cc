#include "codeSign/src/manifest_loader.h"

#include <string>

#include "codeSign/src/internal/file_reading.h"
#include "codeSign/src/json_text.h"

namespace bnq::sign {
namespace {

// The manifest of a parsed root; `parse` gives the root, or nothing when the text does not parse.
template <typename Parse>
std::optional<Manifest> readManifest(Parse parse) {
  try {
    const std::optional<Json::Value> root = parse();
    if (!root) return std::nullopt;
    return Manifest::fromJson(*root);
  } catch (...) {
    // The conversion's Json::Exception, or memory running out.
    return std::nullopt;
  }
}

// Opened once, for reading only when it is a regular file: a FIFO or a device, also one put in place of a
// regular file a moment ago, is no manifest and is never opened; a file larger than any genuine manifest is
// never read.
std::optional<Manifest> readManifestFile(const std::filesystem::path& file, OpenFailure on_failure) {
  const std::optional<std::string> text = readRegularFile(file, on_failure, kMaxManifestSize);
  if (!text) return std::nullopt;
  return readManifest([&text] { return parseJson(text->data(), text->size()); });
}

}  // namespace

std::optional<Manifest> ManifestLoader::parse(std::istream& in) {
  return readManifest([&in] { return parseJson(in); });
}

std::optional<Manifest> ManifestLoader::load(const std::filesystem::path& file) {
  return readManifestFile(file, OpenFailure::kNothing);
}

std::optional<Manifest> ManifestLoader::loadFromDirectory(const std::filesystem::path& directory) {
  return readManifestFile(directory / "meta-inf" / "manifest.json", OpenFailure::kRaiseUnlessAbsent);
}

}  // namespace bnq::sign
