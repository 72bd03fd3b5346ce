#include "codeSign/src/manifest_loader.h"

#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "codeSign/src/internal/file_reading.h"
#include "codeSign/src/internal/json_cost.h"
#include "codeSign/src/json_text.h"

namespace bnq::sign {
namespace {

// Manifest::fromJson of `root`, except that each element of "entries" is let go as soon as it has been
// converted, so that the parsed document and the manifest made of it are not held whole at once. The
// result, or the failure, is the one Manifest::fromJson gives: the entries are converted alike (from the
// last one back, each into its place), and any failure makes the whole conversion fail.
Manifest convert(Json::Value root) {
  Json::Value list;
  if (!root.isObject() || !root.isMember("entries") || !root["entries"].isArray()) return Manifest::fromJson(root);
  root.removeMember("entries", &list);
  Manifest manifest = Manifest::fromJson(root);
  std::vector<ManifestEntry> entries(list.size());
  for (Json::ArrayIndex index = list.size(); index-- > 0;) {
    entries[index] = ManifestEntry::fromJson(std::as_const(list)[index]);
    list.resize(index);
  }
  manifest.entries = std::move(entries);
  return manifest;
}

// The manifest in `text`, which is let go once parsed; empty when it costs more than the bounds allow, does
// not parse or does not convert.
std::optional<Manifest> readManifest(std::string text) {
  try {
    if (!isWithinJsonCost(text.data(), text.size(), {kMaxManifestElements, kMaxManifestTextLength})) {
      return std::nullopt;
    }
    std::optional<Json::Value> root = parseJson(text.data(), text.size());
    std::string().swap(text);
    if (!root) return std::nullopt;
    return convert(std::move(*root));
  } catch (...) {
    // The conversion's Json::Exception, or memory running out.
    return std::nullopt;
  }
}

// Opened once, for reading only when it is a regular file: a FIFO or a device, also one put in place of a
// regular file a moment ago, is no manifest and is never opened; a file larger than any genuine manifest is
// never read.
std::optional<Manifest> readManifestFile(const std::filesystem::path& file, OpenFailure on_failure) {
  std::optional<std::string> text = readRegularFile(file, on_failure, kMaxManifestSize);
  if (!text) return std::nullopt;
  return readManifest(std::move(*text));
}

}  // namespace

std::optional<Manifest> ManifestLoader::parse(std::istream& in) {
  std::string text;
  try {
    std::ostringstream bytes;
    bytes << in.rdbuf();
    text = bytes.str();
  } catch (...) {
    return std::nullopt;
  }
  return readManifest(std::move(text));
}

std::optional<Manifest> ManifestLoader::load(const std::filesystem::path& file) {
  return readManifestFile(file, OpenFailure::kNothing);
}

std::optional<Manifest> ManifestLoader::loadFromDirectory(const std::filesystem::path& directory) {
  return readManifestFile(directory / "meta-inf" / "manifest.json", OpenFailure::kRaiseUnlessAbsent);
}

}  // namespace bnq::sign
