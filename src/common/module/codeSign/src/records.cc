#include "codeSign/src/records.h"

#include <limits>

namespace bnq::sign {
namespace {

constexpr int64_t kNanosPerSecond = 1000000000;

Json::Value secondsJson(TimePoint time) {
  // Integer division truncates toward zero: 1.5 s before the epoch gives -1.
  return Json::Value(static_cast<Json::Int64>(time.time_since_epoch().count() / kNanosPerSecond));
}

// JsonCpp's range test for real numbers lets the first value past the top through (2^63 for Int64, 2^64
// for UInt64) and then converts it with undefined behaviour, so those are refused here first.
void refuseRealOutside(const Json::Value& value, double low, double high_exclusive, const char* what) {
  if (value.type() != Json::realValue) return;
  const double d = value.asDouble();
  if (!(d >= low && d < high_exclusive)) Json::throwLogicError(what);
}

TimePoint readSeconds(const Json::Value& value) {
  refuseRealOutside(value, -0x1p63, 0x1p63, "double out of Int64 range");
  const Json::Int64 seconds = value.asInt64();
  // Seconds beyond the nanosecond range are held at its ends rather than overflowing.
  constexpr int64_t kMaxSeconds = std::numeric_limits<int64_t>::max() / kNanosPerSecond;
  constexpr int64_t kMinSeconds = std::numeric_limits<int64_t>::min() / kNanosPerSecond;
  if (seconds > kMaxSeconds) return TimePoint::max();
  if (seconds < kMinSeconds) return TimePoint::min();
  return TimePoint(std::chrono::nanoseconds(seconds * kNanosPerSecond));
}

uint64_t readUInt64(const Json::Value& value) {
  refuseRealOutside(value, 0.0, 0x1p64, "double out of UInt64 range");
  return value.asUInt64();
}

uint32_t readVersion(const Json::Value& value) {
  // Read signed, stored unsigned: a negative number keeps its bit pattern.
  return static_cast<uint32_t>(value.asInt());
}

}  // namespace

Json::Value Certificate::toJson() const {
  Json::Value json;
  json["skill_id"] = skill_id;
  json["developer"] = developer;
  json["pubkey_hash"] = pubkey_hash;
  json["not_before"] = secondsJson(not_before);
  json["not_after"] = secondsJson(not_after);
  return json;
}

Certificate Certificate::fromJson(const Json::Value& json) {
  Certificate cert;
  cert.skill_id = json.get("skill_id", "").asString();
  cert.developer = json.get("developer", "").asString();
  cert.pubkey_hash = json.get("pubkey_hash", "").asString();
  cert.not_before = readSeconds(json.get("not_before", 0));
  cert.not_after = readSeconds(json.get("not_after", 0));
  return cert;
}

Json::Value SignaturePayload::toJson() const {
  Json::Value json;
  json["version"] = Json::Value(static_cast<Json::UInt>(version));
  json["algorithm"] = algorithmToString(algorithm);
  json["signed_at"] = secondsJson(signed_at);
  json["binary_hash"] = binary_hash;
  json["manifest_hash"] = manifest_hash;
  json["certificate"] = certificate.toJson();
  return json;
}

SignaturePayload SignaturePayload::fromJson(const Json::Value& json) {
  SignaturePayload payload;
  payload.version = readVersion(json.get("version", 1));
  payload.algorithm = stringToAlgorithm(json.get("algorithm", "RSA-SHA256").asString());
  payload.signed_at = readSeconds(json.get("signed_at", 0));
  payload.binary_hash = json.get("binary_hash", "").asString();
  payload.manifest_hash = json.get("manifest_hash", "").asString();
  if (json.isMember("certificate")) payload.certificate = Certificate::fromJson(json["certificate"]);
  return payload;
}

Json::Value ManifestEntry::toJson() const {
  Json::Value json;
  json["path"] = path.string();
  json["hash"] = hash;
  json["size"] = Json::Value(static_cast<Json::UInt64>(size));
  json["modified_time"] = secondsJson(modified_time);
  return json;
}

ManifestEntry ManifestEntry::fromJson(const Json::Value& json) {
  ManifestEntry entry;
  entry.path = std::filesystem::path(json.get("path", "").asString());
  entry.hash = json.get("hash", "").asString();
  entry.size = readUInt64(json.get("size", 0));
  entry.modified_time = readSeconds(json.get("modified_time", 0));
  return entry;
}

Json::Value Manifest::toJson() const {
  Json::Value json;
  json["version"] = Json::Value(static_cast<Json::UInt>(version));
  json["manifest_version"] = manifest_version;
  json["created_at"] = secondsJson(created_at);
  Json::Value list(Json::arrayValue);
  for (const ManifestEntry& entry : entries) list.append(entry.toJson());
  json["entries"] = std::move(list);
  return json;
}

Manifest Manifest::fromJson(const Json::Value& json) {
  Manifest manifest;
  manifest.version = readVersion(json.get("version", 1));
  manifest.manifest_version = json.get("manifest_version", "1.0").asString();
  manifest.created_at = readSeconds(json.get("created_at", 0));
  if (json.isMember("entries")) {
    const Json::Value& list = json["entries"];
    if (list.isArray()) {
      manifest.entries.reserve(list.size());
      for (const Json::Value& element : list) manifest.entries.push_back(ManifestEntry::fromJson(element));
    }
  }
  return manifest;
}

}  // namespace bnq::sign
