// Directory verification: the signature document in "meta-inf", then the tree against "manifest.json".

#include <sys/types.h>

#include <map>
#include <set>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

#include "codeSign/src/crypto.h"
#include "codeSign/src/internal/file_reading.h"
#include "codeSign/src/internal/manifest_walk.h"
#include "codeSign/src/internal/signature_document.h"
#include "codeSign/src/json_text.h"
#include "codeSign/src/manifest_loader.h"
#include "codeSign/src/verifier.h"

namespace bnq::sign {
namespace fs = std::filesystem;

std::optional<SignatureData> Verifier::loadFromDirectory(const fs::path& directory) {
  return readSignatureDocument(directory / "meta-inf" / "signature.json");
}

VerifyResult Verifier::verifyDirectory(const fs::path& directory) {
  VerifyResult result;
  const std::optional<SignatureData> data = loadFromDirectory(directory);
  if (!data) {
    result.error_code = static_cast<int32_t>(ErrorCode::SECTION_NOT_FOUND);
    result.error_message = "No signature found";
    return result;
  }
  const std::optional<Manifest> manifest = ManifestLoader::loadFromDirectory(directory);
  if (!manifest) {
    result.error_code = static_cast<int32_t>(ErrorCode::SECTION_NOT_FOUND);
    result.error_message = "Manifest not found";
    return result;
  }
  result = verifySignatureData(*data, canonicalJson(data->payload.toJson()));
  if (!result.is_valid) return result;

  VerifyResult integrity = verifyManifestIntegrity(*manifest, directory);
  if (!integrity.is_valid) return integrity;
  result.manifest_valid = integrity.manifest_valid;
  result.modified = std::move(integrity.modified);
  result.added = std::move(integrity.added);
  result.removed = std::move(integrity.removed);
  result.is_valid = true;
  return result;
}

VerifyResult Verifier::verifyManifestIntegrity(const Manifest& manifest, const fs::path& directory) {
  VerifyResult result;
  result.manifest_valid = true;
  // The listed paths, held where the manifest holds them: a path costs memory by its elements, and a
  // manifest may list as many of them as its bounds admit.
  const auto by_path = [](const fs::path* a, const fs::path* b) { return *a < *b; };
  std::set<const fs::path*, decltype(by_path)> listed(by_path);
  // The digest of each file reached so far, by device and inode: a file that many entries reach is read
  // once, and each entry is compared with that one digest.
  std::map<std::pair<dev_t, ino_t>, std::string> digests;
  for (const ManifestEntry& entry : manifest.entries) {
    listed.insert(&entry.path);
    // An entry names a file of the tree. An absolute path would reach any file of the machine (and the
    // manifest is not signed), an empty one the tree itself: either is modified, and nothing is looked up.
    if (entry.path.empty() || entry.path.is_absolute()) {
      result.modified.push_back(entry.path.native());
      result.manifest_valid = false;
      continue;
    }
    const fs::path full = directory / entry.path;
    // Found first, so that a present file is looked up once; only when that fails does its status (links
    // followed) tell a missing file from one that exists, and raise for any other failure.
    const OpenedFile file(full);
    if (!file.isOpen() && !fs::exists(fs::status(full))) {
      result.removed.push_back(entry.path.native());
      result.manifest_valid = false;
      continue;
    }
    // A file that exists but cannot be read, is not a regular file (never opened for reading) or changes
    // while it is read gives no digest and counts as modified whatever its listed hash.
    std::string digest;
    if (file.isOpen()) {
      const auto known = digests.try_emplace({file.status().st_dev, file.status().st_ino});
      if (known.second) known.first->second = crypto::computeOpenedFileHash(file, HashAlgorithm::SHA256);
      digest = known.first->second;
    }
    if (digest.empty() || digest != entry.hash) {
      result.modified.push_back(entry.path.native());
      result.manifest_valid = false;
    }
  }

  // The rescan lists paths without opening them: a new file is added whether or not it can be read, and a
  // tree that cannot be listed whole raises instead of passing for one without new files.
  std::vector<fs::path> present;
  scanWholeDirectory(SignConfig{}, directory, present);
  for (const fs::path& path : present) {
    if (listed.count(&path) == 0) {
      result.added.push_back(path.generic_string());
      result.manifest_valid = false;
    }
  }

  if (result.manifest_valid) {
    result.is_valid = true;
  } else {
    result.error_code = static_cast<int32_t>(ErrorCode::MANIFEST_MISMATCH);
    result.error_message = "Manifest verification failed";
  }
  return result;
}

}  // namespace bnq::sign
