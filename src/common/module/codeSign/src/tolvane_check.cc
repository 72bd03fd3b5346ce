#include "codeSign/src/tolvane_check.h"

#include <chrono>
#include <utility>

#include <json/value.h>
#include <json/writer.h>

#include "codeSign/src/embedded_keys.h"
#include "codeSign/src/json_text.h"
#include "codeSign/src/verifier.h"

namespace bnq::sign {
namespace fs = std::filesystem;

namespace {

Json::Int64 wholeSeconds(TimePoint t) {
  return static_cast<Json::Int64>(std::chrono::duration_cast<std::chrono::seconds>(t.time_since_epoch()).count());
}

Json::Value arrayOf(const std::vector<std::string>& items) {
  Json::Value array(Json::arrayValue);
  for (const std::string& item : items) array.append(item);
  return array;
}

Json::Value toJson(const TolvaneCheckResult& r) {
  Json::Value root(Json::objectValue);
  root["is_valid"] = r.is_valid;
  root["has_signature"] = r.has_signature;
  root["error_code"] = r.error_code;
  root["error_message"] = r.error_message;
  root["is_directory"] = r.is_directory;
  if (r.has_signature || r.is_valid) {
    root["skill_id"] = r.skill_id;
    root["developer"] = r.developer;
    root["pubkey_hash"] = r.pubkey_hash;
    root["algorithm"] = r.algorithm;
    root["signed_at"] = wholeSeconds(r.signed_at);
    root["valid_until"] = wholeSeconds(r.valid_until);
  }
  if (r.is_directory && (!r.modified.empty() || !r.added.empty() || !r.removed.empty())) {
    Json::Value integrity(Json::objectValue);
    integrity["modified"] = arrayOf(r.modified);
    integrity["added"] = arrayOf(r.added);
    integrity["removed"] = arrayOf(r.removed);
    root["integrity"] = std::move(integrity);
  }
  return root;
}

}  // namespace

TolvaneCheckResult isTolvaneSign(const fs::path& path, std::optional<crypto::PublicKey> key) {
  TolvaneCheckResult result;
  if (!fs::exists(path)) {
    result.error_code = static_cast<int32_t>(ErrorCode::FILE_NOT_FOUND);
    result.error_message = "Path does not exist: " + path.native();
    return result;
  }
  if (!key) {
    crypto::PublicKey embedded;
    if (embedded.loadFromString(std::string(embedded_keys::PUBLIC_KEY_PEM)) != ErrorCode::SUCCESS) {
      result.error_code = static_cast<int32_t>(ErrorCode::INVALID_KEY);
      result.error_message = "Failed to load embedded public key";
      return result;
    }
    key = std::move(embedded);
  }

  VerifyOptions options;
  options.public_key = std::move(key);
  key.reset();
  options.skip_time_check = false;
  options.reserved_flag = false;
  Verifier verifier(std::move(options));
  VerifyResult verdict = verifier.verify(path);

  result.error_code = verdict.error_code;
  result.has_signature = verdict.error_code != static_cast<int32_t>(ErrorCode::SECTION_NOT_FOUND) &&
                         verdict.error_code != static_cast<int32_t>(ErrorCode::FILE_NOT_FOUND);
  result.is_valid = verdict.is_valid;
  result.error_message = std::move(verdict.error_message);
  if (result.has_signature || result.is_valid) {
    result.skill_id = std::move(verdict.skill_id);
    result.developer = std::move(verdict.developer);
    result.pubkey_hash = std::move(verdict.pubkey_hash);
    result.signed_at = verdict.not_before;
    result.valid_until = verdict.not_after;
    result.algorithm = "RSA-SHA256";
  }
  result.is_directory = fs::is_directory(path);
  result.modified = std::move(verdict.modified);
  result.added = std::move(verdict.added);
  result.removed = std::move(verdict.removed);
  return result;
}

std::string exportSignatureInfo(const TolvaneCheckResult& result) { return canonicalJson(toJson(result)); }

std::string exportSignatureInfoPretty(const TolvaneCheckResult& result) {
  Json::StreamWriterBuilder builder;
  builder["indentation"] = "  ";
  return writeJson(builder, toJson(result));
}

}  // namespace bnq::sign
