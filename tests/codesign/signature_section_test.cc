// The binary form of SignatureData and the manifest hash.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "codeSign/src/json_text.h"
#include "codeSign/src/records.h"
#include "test_support.h"

namespace bnq::sign {
namespace {

using testing::atNanos;
using testing::atSeconds;

std::vector<uint8_t> header(uint32_t version, uint32_t length) {
  return {static_cast<uint8_t>(version >> 24), static_cast<uint8_t>(version >> 16),
          static_cast<uint8_t>(version >> 8),  static_cast<uint8_t>(version),
          static_cast<uint8_t>(length >> 24),  static_cast<uint8_t>(length >> 16),
          static_cast<uint8_t>(length >> 8),   static_cast<uint8_t>(length)};
}

std::vector<uint8_t> section(uint32_t version, uint32_t length, const std::string& rest) {
  std::vector<uint8_t> bytes = header(version, length);
  bytes.insert(bytes.end(), rest.begin(), rest.end());
  return bytes;
}

TEST(SignatureSection, SerializeLayout) {
  SignatureData data;
  data.version = 1;
  data.signature = {0xde, 0x00, 0xff};
  std::vector<uint8_t> expected = {0, 0, 0, 1, 0, 0, 0, 3, 0xde, 0x00, 0xff};
  const std::string text = canonicalJson(SignaturePayload().toJson());
  ASSERT_EQ(text.substr(0, 2), "{\n");
  ASSERT_EQ(text.back(), '}');
  expected.insert(expected.end(), text.begin(), text.end());
  EXPECT_EQ(data.serialize(), expected);

  data.version = 0x01020304;
  data.signature.assign(0x0102, 7);
  const std::vector<uint8_t> bytes = data.serialize();
  EXPECT_EQ(std::vector<uint8_t>(bytes.begin(), bytes.begin() + 8), header(0x01020304, 0x0102));
}

TEST(SignatureSection, RoundTrips) {
  const struct {
    uint32_t version;
    std::vector<uint8_t> signature;
    Algorithm algorithm;
    uint32_t payload_version;
  } cases[] = {
      {1, {}, Algorithm::RSA_SHA256, 1},
      {0, {0}, Algorithm::RSA_SHA512, 0},
      {0xffffffff, std::vector<uint8_t>(256, 0xab), Algorithm::ECDSA_SHA256, 2147483647},
      {7, {'{', '}', 0, '\n'}, Algorithm::RSA_SHA256, 42},
  };
  for (const auto& c : cases) {
    SignatureData data;
    data.version = c.version;
    data.signature = c.signature;
    data.payload.version = c.payload_version;
    data.payload.algorithm = c.algorithm;
    data.payload.signed_at = atSeconds(1700000000);
    data.payload.binary_hash = "hash";
    data.payload.certificate.developer = "dev \xc3\xa9";
    data.payload.certificate.not_before = atSeconds(-1);
    data.payload.certificate.not_after = atSeconds(4102444800);
    const std::optional<SignatureData> back = SignatureData::deserialize(data.serialize());
    ASSERT_TRUE(back) << c.version;
    EXPECT_EQ(back->version, c.version);
    EXPECT_EQ(back->signature, c.signature);
    EXPECT_EQ(canonicalJson(back->payload.toJson()), canonicalJson(data.payload.toJson()));
  }

  // Sub-second parts are lost, and a payload version past the signed 32-bit range is not read back.
  SignatureData data;
  data.payload.signed_at = atNanos(1500000000);
  EXPECT_EQ(SignatureData::deserialize(data.serialize())->payload.signed_at, atSeconds(1));
  data.payload.version = 2147483648u;
  EXPECT_FALSE(SignatureData::deserialize(data.serialize()));
}

TEST(SignatureSection, AcceptedPayloadTexts) {
  const std::optional<SignatureData> null_payload = SignatureData::deserialize(section(2, 0, "null"));
  ASSERT_TRUE(null_payload);
  EXPECT_EQ(null_payload->version, 2u);
  EXPECT_TRUE(null_payload->signature.empty());
  EXPECT_EQ(canonicalJson(null_payload->payload.toJson()), canonicalJson(SignaturePayload().toJson()));

  const std::string texts[] = {
      "{}",
      "{\"version\": 3}\nnot json at all",
      "\xef\xbb\xbf{\"version\": 3}",
      "// leading comment\n{\"version\": 3 /* inline */}",
      "{\"version\": 3,}",
      "  \n\t{\"version\": 3}  ",
  };
  for (const std::string& text : texts) {
    const std::optional<SignatureData> data = SignatureData::deserialize(section(1, 2, "xy" + text));
    ASSERT_TRUE(data) << text;
    EXPECT_EQ(data->signature, (std::vector<uint8_t>{'x', 'y'}));
    EXPECT_EQ(data->payload.version, text == "{}" ? 1u : 3u) << text;
  }
}

TEST(SignatureSection, RefusedLayouts) {
  const std::string payload = "{}";
  const uint32_t fits = static_cast<uint32_t>(payload.size());
  std::vector<std::vector<uint8_t>> cases = {
      {},
      {0, 0, 0, 1, 0, 0, 0},                      // 7 bytes
      header(1, 0),                               // no payload text
      section(1, fits, payload),                  // the signature takes every byte: empty payload
      section(1, fits + 1, payload),              // one byte past the end
      section(1, 0x80000000u, payload),
      section(1, 0xffffffffu, payload),
      section(1, 0, " \n\t "),                    // blank payload
      section(1, 0, "[1]"),
      section(1, 0, "5"),
      section(1, 0, "\"text\""),
      section(1, 0, "{\"version\": \"x\"}"),
      section(1, 0, "{\"certificate\": {\"not_after\": []}}"),
      section(1, 0, "{\"version\": 1"),
      section(1, 0, "{'version': 1}"),
      section(1, 0, std::string(1001, '[') + std::string(1001, ']')),  // past the reader's stack limit
      section(1, 0, std::string(100000, '[')),
  };
  for (size_t i = 0; i < cases.size(); ++i) {
    EXPECT_FALSE(SignatureData::deserialize(cases[i])) << "case " << i;
  }
  // Nesting within the limit parses, and a member the payload does not know is ignored.
  const std::string deep = "{\"x\": " + std::string(900, '[') + std::string(900, ']') + "}";
  EXPECT_TRUE(SignatureData::deserialize(section(1, 0, deep)));
}

TEST(ManifestHash, WorkedValues) {
  EXPECT_EQ(polynomialHashHex("abc"), "0000000000017862");
  EXPECT_EQ(polynomialHashHex("\xc3\xa9"), "fffffffffffff846");
  EXPECT_EQ(polynomialHashHex(""), "0000000000000000");

  Manifest manifest;
  EXPECT_EQ(canonicalJson(manifest.toJson()),
            "{\n\t\"created_at\" : 0,\n\t\"entries\" : [],\n\t\"manifest_version\" : \"1.0\",\n\t\"version\" : 1\n}");
  EXPECT_EQ(manifest.computeHash(), "4cd451004d210208");
}

TEST(ManifestHash, OrderCountsAndSubSecondPartsDoNot) {
  ManifestEntry a;
  a.path = "a";
  a.hash = "11";
  ManifestEntry b;
  b.path = "b";
  b.hash = "22";
  Manifest first;
  first.entries = {a, b};
  Manifest second;
  second.entries = {b, a};
  EXPECT_NE(first.computeHash(), second.computeHash());
  EXPECT_EQ(first.computeHash().size(), 16u);

  Manifest later = first;
  later.created_at = atNanos(999999999);
  later.entries[0].modified_time = atNanos(500000000);
  EXPECT_EQ(first.computeHash(), later.computeHash());
  later.created_at = atSeconds(1);
  EXPECT_NE(first.computeHash(), later.computeHash());
}

}  // namespace
}  // namespace bnq::sign
