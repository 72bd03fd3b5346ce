#include "codeSign/src/manifest_loader.h"

#include <fstream>

#include "codeSign/src/json_text.h"

namespace bnq::sign {

std::optional<Manifest> ManifestLoader::parse(std::istream& in) {
  try {
    const std::optional<Json::Value> root = parseJson(in);
    if (!root) return std::nullopt;
    return Manifest::fromJson(*root);
  } catch (...) {
    // The conversion's Json::Exception, or memory running out.
    return std::nullopt;
  }
}

std::optional<Manifest> ManifestLoader::load(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  if (!in.is_open()) return std::nullopt;
  return parse(in);
}

std::optional<Manifest> ManifestLoader::loadFromDirectory(const std::filesystem::path& directory) {
  const std::filesystem::path file = directory / "meta-inf" / "manifest.json";
  const std::filesystem::file_status status = std::filesystem::status(file);
  if (!std::filesystem::exists(status)) return std::nullopt;
  // A FIFO or a device would block the open or never end.
  if (!std::filesystem::is_regular_file(status)) return std::nullopt;
  return load(file);
}

}  // namespace bnq::sign
