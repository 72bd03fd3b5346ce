// Text forms, the JSON forms of the records and the canonical JSON text.
#include <gtest/gtest.h>

#include <limits>
#include <optional>
#include <string>

#include "codeSign/src/json_text.h"
#include "codeSign/src/records.h"
#include "codeSign/src/types.h"
#include "test_support.h"

namespace bnq::sign {
namespace {

using testing::atNanos;
using testing::atSeconds;
using testing::parse;

TEST(TextForms, ErrorCodes) {
  const struct {
    int32_t code;
    const char* text;
  } cases[] = {
      {0, "Success"},          {-1, "Invalid argument"},     {-2, "File not found"},
      {-3, "Permission denied"}, {-4, "I/O error"},          {-5, "Invalid key"},
      {-6, "Signing failed"},  {-7, "Verification failed"},  {-8, "Invalid signature"},
      {-9, "Certificate expired"}, {-10, "Certificate not yet valid"}, {-11, "Algorithm mismatch"},
      {-12, "Section not found"}, {-13, "Corrupted data"},   {-14, "Manifest mismatch"},
      {-15, "File changed"},   {-16, "Section already exists"}, {-17, "Out of memory"},
      {-99, "Unknown error"},  {-18, "Unknown error code"},  {-98, "Unknown error code"},
      {1, "Unknown error code"}, {100, "Unknown error code"},
  };
  for (const auto& c : cases) {
    EXPECT_STREQ(errorCodeToString(static_cast<ErrorCode>(c.code)), c.text) << c.code;
  }
}

TEST(TextForms, Algorithms) {
  EXPECT_EQ(algorithmToString(Algorithm::RSA_SHA256), "RSA-SHA256");
  EXPECT_EQ(algorithmToString(Algorithm::RSA_SHA512), "RSA-SHA512");
  EXPECT_EQ(algorithmToString(Algorithm::ECDSA_SHA256), "ECDSA-SHA256");
  EXPECT_EQ(algorithmToString(static_cast<Algorithm>(7)), "unknown");
  EXPECT_EQ(hashAlgorithmToString(HashAlgorithm::SHA256), "SHA256");
  EXPECT_EQ(hashAlgorithmToString(HashAlgorithm::SHA512), "SHA512");
  EXPECT_EQ(hashAlgorithmToString(static_cast<HashAlgorithm>(2)), "unknown");

  const struct {
    const char* text;
    Algorithm expected;
  } cases[] = {
      {"RSA-SHA256", Algorithm::RSA_SHA256},     {"RSA_SHA256", Algorithm::RSA_SHA256},
      {"RSA-SHA512", Algorithm::RSA_SHA512},     {"RSA_SHA512", Algorithm::RSA_SHA512},
      {"ECDSA-SHA256", Algorithm::ECDSA_SHA256}, {"ECDSA_SHA256", Algorithm::ECDSA_SHA256},
      {"rsa-sha512", Algorithm::RSA_SHA256},     {" RSA-SHA512", Algorithm::RSA_SHA256},
      {"RSA-SHA512 ", Algorithm::RSA_SHA256},    {"", Algorithm::RSA_SHA256},
      {"unknown", Algorithm::RSA_SHA256},
  };
  for (const auto& c : cases) EXPECT_EQ(stringToAlgorithm(c.text), c.expected) << '"' << c.text << '"';
}

TEST(CanonicalJson, WorkedPayloadExample) {
  SignaturePayload payload;
  payload.version = 1;
  payload.algorithm = Algorithm::RSA_SHA256;
  const std::string expected =
      "{\n"
      "\t\"algorithm\" : \"RSA-SHA256\",\n"
      "\t\"binary_hash\" : \"\",\n"
      "\t\"certificate\" : \n"
      "\t{\n"
      "\t\t\"developer\" : \"\",\n"
      "\t\t\"not_after\" : 0,\n"
      "\t\t\"not_before\" : 0,\n"
      "\t\t\"pubkey_hash\" : \"\",\n"
      "\t\t\"skill_id\" : \"\"\n"
      "\t},\n"
      "\t\"manifest_hash\" : \"\",\n"
      "\t\"signed_at\" : 0,\n"
      "\t\"version\" : 1\n"
      "}";
  EXPECT_EQ(canonicalJson(payload.toJson()), expected);
}

TEST(CanonicalJson, ManifestWithAndWithoutEntries) {
  Manifest manifest;
  EXPECT_EQ(canonicalJson(manifest.toJson()),
            "{\n\t\"created_at\" : 0,\n\t\"entries\" : [],\n\t\"manifest_version\" : \"1.0\",\n\t\"version\" : 1\n}");

  ManifestEntry entry;
  entry.path = "bin/tool";
  entry.hash = "ab";
  entry.size = 18446744073709551615ULL;
  entry.modified_time = atSeconds(-3);
  manifest.entries = {entry, entry};
  manifest.entries[1].path = "a";
  EXPECT_EQ(canonicalJson(manifest.toJson()),
            "{\n\t\"created_at\" : 0,\n\t\"entries\" : \n\t[\n"
            "\t\t{\n\t\t\t\"hash\" : \"ab\",\n\t\t\t\"modified_time\" : -3,\n\t\t\t\"path\" : \"bin/tool\",\n"
            "\t\t\t\"size\" : 18446744073709551615\n\t\t},\n"
            "\t\t{\n\t\t\t\"hash\" : \"ab\",\n\t\t\t\"modified_time\" : -3,\n\t\t\t\"path\" : \"a\",\n"
            "\t\t\t\"size\" : 18446744073709551615\n\t\t}\n"
            "\t],\n\t\"manifest_version\" : \"1.0\",\n\t\"version\" : 1\n}");
}

TEST(CanonicalJson, StringEscapes) {
  const struct {
    std::string raw;
    std::string written;
  } cases[] = {
      {"caf\xc3\xa9", "caf\\u00e9"},
      {"\xf0\x9f\x98\x80", "\\ud83d\\ude00"},  // U+1F600 as a surrogate pair
      {"a\tb", "a\\tb"},
      {"a/b", "a/b"},
      {"\"\\", "\\\"\\\\"},
      {"\b\f\n\r", "\\b\\f\\n\\r"},
      {std::string("\x01\x1f", 2), "\\u0001\\u001f"},
      {"x\xffy", "x\\ufffdy"},            // not UTF-8
      {"\xc0\xaf", "\\ufffd"},            // overlong "/"
      {"~\x7f", "~\x7f"},
  };
  for (const auto& c : cases) {
    Certificate cert;
    cert.developer = c.raw;
    ManifestEntry entry;
    entry.path = c.raw;
    const std::string cert_text = canonicalJson(cert.toJson());
    EXPECT_NE(cert_text.find("\"developer\" : \"" + c.written + "\","), std::string::npos) << cert_text;
    const std::string entry_text = canonicalJson(entry.toJson());
    EXPECT_NE(entry_text.find("\"path\" : \"" + c.written + "\","), std::string::npos) << entry_text;
  }
}

TEST(JsonForms, TimesAreTruncatedTowardZero) {
  const struct {
    int64_t nanos;
    int64_t seconds;
  } cases[] = {{1999999999, 1}, {-1500000000, -1}, {-999999999, 0}, {0, 0}, {5000000000, 5}};
  for (const auto& c : cases) {
    Certificate cert;
    cert.not_before = atNanos(c.nanos);
    EXPECT_EQ(cert.toJson()["not_before"].asInt64(), c.seconds) << c.nanos;
    EXPECT_TRUE(cert.toJson()["not_before"].isInt64());
  }
}

TEST(JsonForms, DefaultsForMissingKeysAndNullRoots) {
  for (const char* text : {"{}", "null"}) {
    const SignaturePayload payload = SignaturePayload::fromJson(parse(text));
    EXPECT_EQ(payload.version, 1u) << text;
    EXPECT_EQ(payload.algorithm, Algorithm::RSA_SHA256);
    EXPECT_EQ(payload.signed_at, TimePoint{});
    EXPECT_EQ(payload.binary_hash, "");
    EXPECT_EQ(payload.manifest_hash, "");
    EXPECT_EQ(canonicalJson(payload.certificate.toJson()), canonicalJson(Certificate().toJson()));

    const Manifest manifest = Manifest::fromJson(parse(text));
    EXPECT_EQ(manifest.version, 1u);
    EXPECT_EQ(manifest.manifest_version, "1.0");
    EXPECT_EQ(manifest.created_at, TimePoint{});
    EXPECT_TRUE(manifest.entries.empty());
  }
  // A key that is present is converted, even when null: the zero value, not the default.
  EXPECT_EQ(SignaturePayload::fromJson(parse(R"({"version": null})")).version, 0u);
  EXPECT_EQ(Manifest::fromJson(parse(R"({"version": null})")).version, 0u);
  EXPECT_EQ(Manifest::fromJson(parse(R"({"manifest_version": null})")).manifest_version, "");
  EXPECT_EQ(SignaturePayload::fromJson(parse(R"({"algorithm": null})")).algorithm, Algorithm::RSA_SHA256);
  EXPECT_EQ(SignaturePayload::fromJson(parse(R"({"certificate": null, "x": [1]})")).certificate.skill_id, "");
}

TEST(JsonForms, ManifestEntriesOfEveryShape) {
  EXPECT_TRUE(Manifest::fromJson(parse(R"({"entries": {}})")).entries.empty());
  EXPECT_TRUE(Manifest::fromJson(parse(R"({"entries": "x"})")).entries.empty());
  const Manifest one = Manifest::fromJson(parse(R"({"entries": [null]})"));
  ASSERT_EQ(one.entries.size(), 1u);
  EXPECT_EQ(one.entries[0].path, "");
  EXPECT_EQ(one.entries[0].hash, "");
  EXPECT_EQ(one.entries[0].size, 0u);
  EXPECT_EQ(one.entries[0].modified_time, TimePoint{});
  EXPECT_THROW(Manifest::fromJson(parse(R"({"entries": [{}, 7]})")), Json::Exception);

  const Manifest two = Manifest::fromJson(parse(R"({"entries": [{"path": "b"}, {"path": "./a//c"}]})"));
  ASSERT_EQ(two.entries.size(), 2u);
  EXPECT_EQ(two.entries[0].path.string(), "b");
  EXPECT_EQ(two.entries[1].path.string(), "./a//c");  // kept as written
}

TEST(JsonForms, RootsThatAreNotObjectsAreRefused) {
  for (const char* text : {"[]", "5", "\"x\"", "true", "[{}]"}) {
    const Json::Value value = parse(text);
    EXPECT_THROW(Certificate::fromJson(value), Json::Exception) << text;
    EXPECT_THROW(SignaturePayload::fromJson(value), Json::Exception) << text;
    EXPECT_THROW(ManifestEntry::fromJson(value), Json::Exception) << text;
    EXPECT_THROW(Manifest::fromJson(value), Json::Exception) << text;
  }
  EXPECT_THROW(SignaturePayload::fromJson(parse(R"({"certificate": []})")), Json::Exception);
}

// One row per JSON value and conversion: the field read back as text, or no value when the read must fail.
TEST(JsonForms, ConversionTable) {
  using Reader = std::string (*)(const Json::Value&);
  const Reader text = [](const Json::Value& v) { return Certificate::fromJson(v).skill_id; };
  const Reader int32 = [](const Json::Value& v) { return std::to_string(SignaturePayload::fromJson(v).version); };
  const Reader seconds = [](const Json::Value& v) {
    return std::to_string(SignaturePayload::fromJson(v).signed_at.time_since_epoch().count());
  };
  const Reader uint64 = [](const Json::Value& v) { return std::to_string(ManifestEntry::fromJson(v).size); };
  const Reader manifest_int32 = [](const Json::Value& v) { return std::to_string(Manifest::fromJson(v).version); };
  const std::string max_ns = std::to_string(std::numeric_limits<int64_t>::max());
  const std::string min_ns = std::to_string(std::numeric_limits<int64_t>::min());

  const struct {
    Reader read;
    const char* key;
    const char* value;
    std::optional<std::string> expected;
  } cases[] = {
      {text, "skill_id", R"("a\u00e9")", "a\xc3\xa9"},
      {text, "skill_id", "null", ""},
      {text, "skill_id", "42", "42"},
      {text, "skill_id", "-7", "-7"},
      {text, "skill_id", "2.5", "2.5"},
      {text, "skill_id", "0.1", "0.10000000000000001"},
      {text, "skill_id", "true", "true"},
      {text, "skill_id", "false", "false"},
      {text, "skill_id", "[]", std::nullopt},
      {text, "skill_id", "{}", std::nullopt},

      {int32, "version", "5", "5"},
      {int32, "version", "-1", "4294967295"},
      {int32, "version", "2147483647", "2147483647"},
      {int32, "version", "-2147483648", "2147483648"},
      {int32, "version", "2147483648", std::nullopt},
      {int32, "version", "4294967295", std::nullopt},
      {int32, "version", "2.9", "2"},
      {int32, "version", "-2.9", "4294967294"},
      {int32, "version", "true", "1"},
      {int32, "version", "false", "0"},
      {int32, "version", "null", "0"},
      {int32, "version", R"("1")", std::nullopt},
      {int32, "version", "[]", std::nullopt},
      {int32, "version", "{}", std::nullopt},
      {manifest_int32, "version", "-1", "4294967295"},
      {manifest_int32, "version", "1e10", std::nullopt},

      {seconds, "signed_at", "5", "5000000000"},
      {seconds, "signed_at", "-1", "-1000000000"},
      {seconds, "signed_at", "1.9", "1000000000"},
      {seconds, "signed_at", "-1.9", "-1000000000"},
      {seconds, "signed_at", "true", "1000000000"},
      {seconds, "signed_at", "false", "0"},
      {seconds, "signed_at", "null", "0"},
      {seconds, "signed_at", R"("5")", std::nullopt},
      {seconds, "signed_at", "[5]", std::nullopt},
      {seconds, "signed_at", "{}", std::nullopt},
      {seconds, "signed_at", "9223372036854775808", std::nullopt},
      {seconds, "signed_at", "9223372036854775808.0", std::nullopt},  // 2^63 as a real
      {seconds, "signed_at", "1e300", std::nullopt},
      // Past the nanosecond range: held at its ends.
      {seconds, "signed_at", "9223372036854775807", max_ns},
      {seconds, "signed_at", "-9223372036854775808", min_ns},
      {seconds, "signed_at", "9223372037", max_ns},
      {seconds, "signed_at", "9223372036", "9223372036000000000"},

      {uint64, "size", "0", "0"},
      {uint64, "size", "18446744073709551615", "18446744073709551615"},
      {uint64, "size", "2.9", "2"},
      {uint64, "size", "true", "1"},
      {uint64, "size", "false", "0"},
      {uint64, "size", "null", "0"},
      {uint64, "size", "-1", std::nullopt},
      {uint64, "size", "-0.5", std::nullopt},
      {uint64, "size", "18446744073709551616.0", std::nullopt},  // 2^64 as a real
      {uint64, "size", R"("1")", std::nullopt},
      {uint64, "size", "[]", std::nullopt},
  };
  for (const auto& c : cases) {
    const std::string json = std::string("{\"") + c.key + "\": " + c.value + "}";
    const Json::Value value = parse(json);
    if (c.expected) {
      EXPECT_EQ(c.read(value), *c.expected) << json;
    } else {
      EXPECT_THROW(c.read(value), Json::Exception) << json;
    }
  }
}

TEST(JsonForms, RoundTripsAndTheirLimits) {
  SignaturePayload payload;
  payload.version = 2147483647;
  payload.algorithm = Algorithm::ECDSA_SHA256;
  payload.signed_at = atSeconds(1700000000);
  payload.binary_hash = "00ff";
  payload.manifest_hash = "4cd451004d210208";
  payload.certificate.skill_id = "skill.one";
  payload.certificate.developer = "Zo\xc3\xab";
  payload.certificate.pubkey_hash = "abc";
  payload.certificate.not_before = atSeconds(-5);
  payload.certificate.not_after = atSeconds(4102444800);
  const std::string text = canonicalJson(payload.toJson());
  const SignaturePayload back = SignaturePayload::fromJson(parse(text));
  EXPECT_EQ(canonicalJson(back.toJson()), text);
  EXPECT_EQ(back.certificate.developer, "Zo\xc3\xab");
  EXPECT_EQ(back.certificate.not_before, atSeconds(-5));

  // An algorithm outside the enumeration is written "unknown" and read back as RSA-SHA256.
  payload.algorithm = static_cast<Algorithm>(7);
  EXPECT_EQ(payload.toJson()["algorithm"].asString(), "unknown");
  EXPECT_EQ(SignaturePayload::fromJson(payload.toJson()).algorithm, Algorithm::RSA_SHA256);

  // A version above the signed 32-bit range is written as it is, but cannot be read back.
  payload.version = 4294967295u;
  const std::string wide = canonicalJson(payload.toJson());
  EXPECT_NE(wide.find("\"version\" : 4294967295"), std::string::npos);
  EXPECT_THROW(SignaturePayload::fromJson(parse(wide)), Json::Exception);

  Manifest manifest;
  manifest.version = 3;
  manifest.manifest_version = "2.0";
  manifest.created_at = atSeconds(12);
  ManifestEntry entry;
  entry.path = "dir/f\xc3\xa9.txt";
  entry.hash = "aa";
  entry.size = 8193;
  entry.modified_time = atSeconds(99);
  manifest.entries = {entry};
  const std::string manifest_text = canonicalJson(manifest.toJson());
  EXPECT_EQ(canonicalJson(Manifest::fromJson(parse(manifest_text)).toJson()), manifest_text);
}

}  // namespace
}  // namespace bnq::sign
