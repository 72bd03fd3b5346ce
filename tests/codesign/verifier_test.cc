// The signature-data check of the Verifier: certificate window, signature, flags.
#include <gtest/gtest.h>

#include <chrono>
#include <optional>
#include <string>
#include <utility>

#include <openssl/evp.h>

#include "codeSign/src/crypto.h"
#include "codeSign/src/json_text.h"
#include "codeSign/src/records.h"
#include "codeSign/src/verifier.h"
#include "test_support.h"

namespace bnq::sign {
namespace {

using std::chrono::hours;
using std::chrono::milliseconds;
using std::chrono::nanoseconds;

TimePoint now() { return std::chrono::time_point_cast<nanoseconds>(std::chrono::system_clock::now()); }

std::string signedMessage(const SignatureData& data) { return canonicalJson(data.payload.toJson()); }

class VerifierTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { keys_ = new crypto::KeyPair(crypto::KeyPair::generateRSA(2048)); }
  static void TearDownTestSuite() { delete keys_; }

  static crypto::PublicKey publicKey() { return crypto::PublicKey::fromPrivateKey(keys_->private_key); }
  static VerifyOptions withKey(bool skip_time_check = false) {
    VerifyOptions options;
    options.public_key = publicKey();
    options.skip_time_check = skip_time_check;
    return options;
  }

  // Signature data with the given window, signed with the suite's key.
  static SignatureData signedData(TimePoint not_before, TimePoint not_after) {
    SignatureData data;
    data.payload.binary_hash = "abc";
    data.payload.certificate.skill_id = "skill";
    data.payload.certificate.developer = "dev";
    data.payload.certificate.pubkey_hash = "hash";
    data.payload.certificate.not_before = not_before;
    data.payload.certificate.not_after = not_after;
    data.signature = crypto::signData(signedMessage(data), keys_->private_key, Algorithm::RSA_SHA256);
    return data;
  }

  static void resign(SignatureData& data) {
    data.signature = crypto::signData(signedMessage(data), keys_->private_key, Algorithm::RSA_SHA256);
  }

  static crypto::KeyPair* keys_;
};
crypto::KeyPair* VerifierTest::keys_ = nullptr;

struct Flags {
  int32_t code;
  bool is_valid, time_valid, certificate_valid, not_yet_valid, signature_valid;
};

void expectOutcome(const VerifyResult& r, const Flags& f, const SignatureData& data) {
  EXPECT_EQ(r.error_code, f.code);
  EXPECT_EQ(r.is_valid, f.is_valid);
  EXPECT_EQ(r.time_valid, f.time_valid);
  EXPECT_EQ(r.certificate_valid, f.certificate_valid);
  EXPECT_EQ(r.not_yet_valid, f.not_yet_valid);
  EXPECT_EQ(r.signature_valid, f.signature_valid);
  EXPECT_FALSE(r.manifest_valid);
  const char* message = f.code == -10 ? "Certificate not yet valid"
                        : f.code == -9 ? "Certificate expired"
                        : f.code == -8 ? "Signature verification failed"
                                       : "";
  EXPECT_EQ(r.error_message, message);
  // The identity and the window are copied whatever the outcome.
  const Certificate& cert = data.payload.certificate;
  EXPECT_EQ(r.skill_id, cert.skill_id);
  EXPECT_EQ(r.developer, cert.developer);
  EXPECT_EQ(r.pubkey_hash, cert.pubkey_hash);
  EXPECT_EQ(r.not_before, cert.not_before);
  EXPECT_EQ(r.not_after, cert.not_after);
}

constexpr Flags kNotYetValid{-10, false, false, false, true, false};
constexpr Flags kExpired{-9, false, false, false, false, false};
constexpr Flags kBadSignature{-8, false, true, true, false, false};
constexpr Flags kValid{0, true, true, true, false, true};

TEST_F(VerifierTest, CertificateWindow) {
  const TimePoint t = now();
  const TimePoint epoch{};
  const struct {
    const char* name;
    TimePoint not_before, not_after;
    bool skip;
    Flags expected;
  } cases[] = {
      {"current", t - hours(1), t + hours(1), false, kValid},
      {"starts now", t, t + hours(1), false, kValid},
      {"ended", t - hours(2), t - hours(1), false, kExpired},
      {"ended, skipped", t - hours(2), t - hours(1), true, kValid},
      {"ended a millisecond ago", t - hours(1), t - milliseconds(1), false, kExpired},
      {"ends within the second", t - hours(1), t + milliseconds(500), false, kValid},
      {"not begun", t + hours(1), t + hours(2), false, kNotYetValid},
      {"not begun, skipped", t + hours(1), t + hours(2), true, kValid},
      {"future start, past end", t + hours(1), t - hours(1), false, kNotYetValid},
      {"empty certificate", epoch, epoch, false, kExpired},
      {"empty certificate, skipped", epoch, epoch, true, kValid},
      {"widest", TimePoint::min(), TimePoint::max(), false, kValid},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const SignatureData data = signedData(c.not_before, c.not_after);
    Verifier verifier(withKey(c.skip));
    expectOutcome(verifier.verifySignatureData(data, signedMessage(data)), c.expected, data);
  }
}

TEST_F(VerifierTest, SignatureWithAndWithoutKey) {
  const TimePoint t = now();
  SignatureData good = signedData(t - hours(1), t + hours(1));
  SignatureData unsigned_data = good;
  unsigned_data.signature.clear();
  SignatureData tampered = good;
  tampered.signature[10] ^= 0x40;

  const auto noKey = [] { return VerifyOptions(); };
  const auto emptyKey = [] {
    VerifyOptions options;
    options.public_key = crypto::PublicKey();
    return options;
  };
  const auto otherKey = [] {
    VerifyOptions options;
    options.public_key = crypto::PublicKey(EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256"));
    return options;
  };
  const auto key = [] { return withKey(); };

  const struct {
    const char* name;
    VerifyOptions (*options)();
    const SignatureData* data;
    std::string message_suffix;
    Flags expected;
  } cases[] = {
      {"good signature", key, &good, "", kValid},
      {"message changed", key, &good, " ", kBadSignature},
      {"signature changed", key, &tampered, "", kBadSignature},
      {"no signature", key, &unsigned_data, "", kBadSignature},
      {"other key", otherKey, &good, "", kBadSignature},
      {"no key, no signature", noKey, &unsigned_data, "", kValid},
      {"no key, changed signature", noKey, &tampered, "", kValid},
      {"key object without a key", emptyKey, &unsigned_data, "", kValid},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Verifier verifier(c.options());
    expectOutcome(verifier.verifySignatureData(*c.data, signedMessage(*c.data) + c.message_suffix), c.expected,
                  *c.data);
  }
}

// The canonical text writes each of these pairs of byte strings alike (an invalid sequence as U+FFFD), so a
// signature over the first would also cover the second. With a key, a signed text that is not valid UTF-8
// therefore fails the signature; without one only the window counts, as for any other data.
TEST_F(VerifierTest, SignedTextsMustBeValidUtf8) {
  const struct {
    const char* what;
    std::string signed_text, forged_text;
  } pairs[] = {
      {"a wrong continuation byte", "Caf\xef\xbf\xbd)", "Caf\xc3)"},
      {"a value above U+10FFFF", "\xef\xbf\xbd", "\xf4\x90\x80\x80"},
      {"a sequence cut at the end", "Caf\xef\xbf\xbd", "Caf\xc3"},
      {"an overlong sequence", "\xef\xbf\xbd", "\xc0\xaf"},
      {"a surrogate", "\xef\xbf\xbd", "\xed\xa0\x80"},
  };
  const struct {
    const char* name;
    std::string& (*text)(SignaturePayload&);
  } fields[] = {
      {"skill_id", [](SignaturePayload& p) -> std::string& { return p.certificate.skill_id; }},
      {"developer", [](SignaturePayload& p) -> std::string& { return p.certificate.developer; }},
      {"pubkey_hash", [](SignaturePayload& p) -> std::string& { return p.certificate.pubkey_hash; }},
      {"binary_hash", [](SignaturePayload& p) -> std::string& { return p.binary_hash; }},
      {"manifest_hash", [](SignaturePayload& p) -> std::string& { return p.manifest_hash; }},
  };
  const TimePoint t = now();
  for (const auto& field : fields) {
    for (const auto& pair : pairs) {
      SCOPED_TRACE(std::string(field.name) + ", " + pair.what);
      SignatureData genuine = signedData(t - hours(1), t + hours(1));
      field.text(genuine.payload) = pair.signed_text;
      resign(genuine);
      SignatureData forged = genuine;
      field.text(forged.payload) = pair.forged_text;
      ASSERT_EQ(signedMessage(forged), signedMessage(genuine));

      expectOutcome(Verifier(withKey()).verifySignatureData(genuine, signedMessage(genuine)), kValid, genuine);
      expectOutcome(Verifier(withKey()).verifySignatureData(forged, signedMessage(forged)), kBadSignature, forged);
      expectOutcome(Verifier(VerifyOptions()).verifySignatureData(forged, signedMessage(forged)), kValid, forged);
    }
  }
  // The window is still tested first.
  SignatureData expired = signedData(t - hours(2), t - hours(1));
  expired.payload.certificate.developer = "Caf\xc3";
  resign(expired);
  expectOutcome(Verifier(withKey()).verifySignatureData(expired, signedMessage(expired)), kExpired, expired);
}

TEST_F(VerifierTest, DeclaredAlgorithmPlaysNoPart) {
  const TimePoint t = now();
  for (const Algorithm declared : {Algorithm::RSA_SHA512, Algorithm::ECDSA_SHA256, static_cast<Algorithm>(9)}) {
    SignatureData data = signedData(t - hours(1), t + hours(1));
    data.payload.algorithm = declared;
    data.signature = crypto::signData(signedMessage(data), keys_->private_key, declared);
    Verifier verifier(withKey());
    expectOutcome(verifier.verifySignatureData(data, signedMessage(data)), kValid, data);
  }
  // An EC key checks an EC signature through the same call, though RSA-SHA256 is what it is told.
  crypto::PrivateKey ec(EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256"));
  SignatureData data = signedData(t - hours(1), t + hours(1));
  data.signature = crypto::signData(signedMessage(data), ec, Algorithm::ECDSA_SHA256);
  VerifyOptions options;
  options.public_key = crypto::PublicKey::fromPrivateKey(ec);
  Verifier verifier(std::move(options));
  expectOutcome(verifier.verifySignatureData(data, signedMessage(data)), kValid, data);
}

TEST_F(VerifierTest, OptionsAreReplacedAndChecksAreIndependent) {
  const TimePoint t = now();
  const SignatureData good = signedData(t - hours(1), t + hours(1));
  const SignatureData expired = signedData(t - hours(2), t - hours(1));
  SignatureData unsigned_data = good;
  unsigned_data.signature.clear();

  Verifier verifier(withKey());
  expectOutcome(verifier.verifySignatureData(expired, signedMessage(expired)), kExpired, expired);
  expectOutcome(verifier.verifySignatureData(good, signedMessage(good)), kValid, good);
  expectOutcome(verifier.verifySignatureData(unsigned_data, signedMessage(unsigned_data)), kBadSignature,
                unsigned_data);

  verifier.setOptions(VerifyOptions());  // key dropped
  expectOutcome(verifier.verifySignatureData(unsigned_data, signedMessage(unsigned_data)), kValid, unsigned_data);
  verifier.setOptions(withKey(true));  // key back, window skipped
  expectOutcome(verifier.verifySignatureData(expired, signedMessage(expired)), kValid, expired);
  expectOutcome(verifier.verifySignatureData(unsigned_data, signedMessage(unsigned_data)), kBadSignature,
                unsigned_data);

  Verifier moved(std::move(verifier));
  expectOutcome(moved.verifySignatureData(expired, signedMessage(expired)), kValid, expired);
}

}  // namespace
}  // namespace bnq::sign
