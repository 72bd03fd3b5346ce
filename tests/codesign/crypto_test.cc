// Keys, signatures, digests and hex text.
#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <openssl/ec.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include "codeSign/src/crypto.h"
#include "test_support.h"

namespace bnq::sign::crypto {
namespace {

using testing::TempDir;
using testing::writeFile;

constexpr char kSha256Empty[] = "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";
constexpr char kSha512Empty[] =
    "cf83e1357eefb8bdf1542850d66d8007d620e4050b5715dc83f4a921d36ce9ce"
    "47d0d13c5d85f2b0ff8318d2877eec2f63b931bd47417a81a538327af927da3e";
constexpr char kSha256Abc[] = "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";

// Keys are slow to make: one RSA and one EC key for the whole suite, handed out as PEM text.
class CryptoTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    PrivateKey rsa = PrivateKey::generateRSA(2048);
    ASSERT_NE(rsa.get(), nullptr);
    rsa_pem_ = new std::string(privatePem(rsa.get()));
    PrivateKey ec(EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256"));
    ASSERT_NE(ec.get(), nullptr);
    ec_pem_ = new std::string(privatePem(ec.get()));
  }
  static void TearDownTestSuite() {
    delete rsa_pem_;
    delete ec_pem_;
  }

  // PEM text written by OpenSSL itself, so that the tests do not depend on the code under test.
  template <typename Write>
  static std::string pemOf(Write write) {
    BIO* bio = BIO_new(BIO_s_mem());
    EXPECT_EQ(write(bio), 1);
    char* data = nullptr;
    const long size = BIO_get_mem_data(bio, &data);
    std::string pem(data, static_cast<size_t>(size));
    BIO_free(bio);
    return pem;
  }
  static std::string privatePem(EVP_PKEY* key) {
    return pemOf([key](BIO* bio) { return PEM_write_bio_PrivateKey(bio, key, nullptr, nullptr, 0, nullptr, nullptr); });
  }

  static PrivateKey privateKey(const std::string& pem) {
    PrivateKey key;
    EXPECT_EQ(key.loadFromString(pem), ErrorCode::SUCCESS);
    return key;
  }
  static PrivateKey rsa() { return privateKey(*rsa_pem_); }
  static PrivateKey ec() { return privateKey(*ec_pem_); }

  static std::string* rsa_pem_;
  static std::string* ec_pem_;
  TempDir dir_;
};
std::string* CryptoTest::rsa_pem_ = nullptr;
std::string* CryptoTest::ec_pem_ = nullptr;

TEST_F(CryptoTest, SaveAndLoadKeys) {
  const PrivateKey key = rsa();
  const PublicKey pub = PublicKey::fromPrivateKey(key);
  const auto priv_path = dir_ / "key.pem";
  const auto pub_path = dir_ / "key.pub";
  writeFile(priv_path, "old content that is longer than nothing");
  ASSERT_EQ(::chmod(priv_path.c_str(), 0644), 0);
  ASSERT_EQ(key.saveToFile(priv_path), ErrorCode::SUCCESS);
  ASSERT_EQ(pub.saveToFile(pub_path), ErrorCode::SUCCESS);

  struct stat st {};
  ASSERT_EQ(::stat(priv_path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0600u);
  const mode_t mask = ::umask(0);
  ::umask(mask);
  ASSERT_EQ(::stat(pub_path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0666u & ~mask);

  PrivateKey priv_back;
  EXPECT_EQ(priv_back.loadFromFile(priv_path), ErrorCode::SUCCESS);
  PublicKey pub_back;
  EXPECT_EQ(pub_back.loadFromFile(pub_path), ErrorCode::SUCCESS);
  const std::vector<uint8_t> signature = signData("message", priv_back, Algorithm::RSA_SHA256);
  EXPECT_TRUE(verifySignature("message", signature, pub_back, Algorithm::RSA_SHA256));
  EXPECT_EQ(pub_back.getHash(), pub.getHash());

  // Empty objects save nothing.
  EXPECT_EQ(PrivateKey().saveToFile(dir_ / "none.pem"), ErrorCode::INVALID_KEY);
  EXPECT_EQ(PublicKey().saveToFile(dir_ / "none.pub"), ErrorCode::INVALID_KEY);
  EXPECT_FALSE(std::filesystem::exists(dir_ / "none.pem"));
  EXPECT_FALSE(std::filesystem::exists(dir_ / "none.pub"));
  EXPECT_EQ(key.saveToFile(dir_ / "missing-dir" / "key.pem"), ErrorCode::IO_ERROR);
  EXPECT_EQ(pub.saveToFile(dir_.path()), ErrorCode::IO_ERROR);
}

TEST_F(CryptoTest, FailedLoadsKeepOrDropTheKey) {
  const auto garbage = dir_ / "garbage.pem";
  writeFile(garbage, "-----BEGIN PUBLIC KEY-----\nnot base64\n-----END PUBLIC KEY-----\n");

  PrivateKey priv = rsa();
  EXPECT_EQ(priv.loadFromFile(dir_ / "missing.pem"), ErrorCode::FILE_NOT_FOUND);
  EXPECT_NE(priv.get(), nullptr);
  EXPECT_EQ(priv.loadFromFile(garbage), ErrorCode::INVALID_KEY);
  EXPECT_EQ(priv.get(), nullptr);

  PublicKey pub = PublicKey::fromPrivateKey(rsa());
  EXPECT_EQ(pub.loadFromFile(dir_ / "missing.pem"), ErrorCode::FILE_NOT_FOUND);
  EXPECT_NE(pub.get(), nullptr);
  EXPECT_EQ(pub.loadFromFile(garbage), ErrorCode::INVALID_KEY);
  EXPECT_EQ(pub.get(), nullptr);

  // A private-key PEM is no public key, and the texts of other things are no keys at all.
  for (const std::string& text : {*rsa_pem_, *ec_pem_, std::string(), std::string("PUBLIC KEY")}) {
    PublicKey p = PublicKey::fromPrivateKey(rsa());
    EXPECT_EQ(p.loadFromString(text), ErrorCode::INVALID_KEY);
    EXPECT_EQ(p.get(), nullptr);
  }
  const PrivateKey source = rsa();
  PrivateKey from_public;
  const std::string pub_pem = pemOf([&](BIO* bio) { return PEM_write_bio_PUBKEY(bio, source.get()); });
  EXPECT_EQ(from_public.loadFromString(pub_pem), ErrorCode::INVALID_KEY);

  // An encrypted private key is refused without asking for a pass phrase.
  char pass[] = "secret";
  const std::string enc_pem = pemOf([&](BIO* bio) {
    return PEM_write_bio_PrivateKey(bio, source.get(), EVP_aes_128_cbc(), nullptr, 0, nullptr, pass);
  });
  ASSERT_NE(enc_pem.find("ENCRYPTED"), std::string::npos);
  EXPECT_EQ(from_public.loadFromString(enc_pem), ErrorCode::INVALID_KEY);
  const auto enc_path = dir_ / "encrypted.pem";
  writeFile(enc_path, enc_pem);
  EXPECT_EQ(from_public.loadFromFile(enc_path), ErrorCode::INVALID_KEY);
}

// A key file is read like every other file the library reads: only a regular file, of at most 1 MiB. A FIFO
// (an open would release its waiting writer, and the read would last as long as the writer writes), a device
// (/dev/zero never ends) and a larger file give at once what a file that cannot be opened gives, and the key
// held is kept. A directory opens and holds no key.
TEST_F(CryptoTest, KeyFilesAreReadOnlyAsRegularFilesWithinTheirBound) {
  const PrivateKey source = rsa();
  const std::string public_pem = pemOf([&](BIO* bio) { return PEM_write_bio_PUBKEY(bio, source.get()); });
  constexpr size_t kBound = size_t{1} << 20;
  const auto padded = [&](const char* name, const std::string& pem, size_t size) {
    writeFile(dir_ / name, pem + std::string(size - pem.size(), '\n'));
    return dir_ / name;
  };
  const std::filesystem::path fifo = dir_ / "fifo";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  const struct {
    const char* what;
    std::filesystem::path private_file, public_file;
    ErrorCode expected;
  } cases[] = {
      {"keys padded to the bound", padded("at.pem", *rsa_pem_, kBound), padded("at.pub", public_pem, kBound),
       ErrorCode::SUCCESS},
      {"keys padded one byte beyond it", padded("beyond.pem", *rsa_pem_, kBound + 1),
       padded("beyond.pub", public_pem, kBound + 1), ErrorCode::FILE_NOT_FOUND},
      {"a FIFO whose writer waits", fifo, fifo, ErrorCode::FILE_NOT_FOUND},
      {"/dev/zero", "/dev/zero", "/dev/zero", ErrorCode::FILE_NOT_FOUND},
      {"a directory", dir_.path(), dir_.path(), ErrorCode::INVALID_KEY},
  };
  for (const auto& c : cases) {
    testing::WaitingWriter writer(fifo);
    const auto loads = [&] {
      PrivateKey private_key = ec();
      PublicKey public_key = PublicKey::fromPrivateKey(ec());
      if (private_key.loadFromFile(c.private_file) != c.expected) return 1;
      if (public_key.loadFromFile(c.public_file) != c.expected) return 2;
      // A key read, or the key held kept; none after a file that holds none.
      const bool held = c.expected != ErrorCode::INVALID_KEY;
      return (private_key.get() != nullptr) == held && (public_key.get() != nullptr) == held ? 0 : 3;
    };
    EXPECT_EQ(testing::exitCodeWithin(std::chrono::seconds(5), loads), 0) << c.what;
    EXPECT_TRUE(writer.stillWaiting()) << c.what << ": the FIFO was opened for reading";
  }
}

// Only the SubjectPublicKeyInfo form in a "PUBLIC KEY" block is a public key, through either loader. OpenSSL
// itself would also take a PKCS#1 "RSA PUBLIC KEY" block; that block is passed over like a block of any
// other type, and so is a "PUBLIC KEY" block that does not decode.
TEST_F(CryptoTest, PublicKeyLoadersReadOnlyPublicKeyBlocks) {
  const PrivateKey first = rsa(), second = ec();
  const auto block = [&](const char* name, const std::vector<uint8_t>& der) {
    return pemOf([&](BIO* bio) {
      return PEM_write_bio(bio, name, "", der.data(), static_cast<long>(der.size())) > 0 ? 1 : 0;
    });
  };
  const auto derOf = [](int (*encode)(const EVP_PKEY*, unsigned char**), const PrivateKey& key) {
    unsigned char* der = nullptr;
    const int length = encode(key.get(), &der);
    EXPECT_GT(length, 0);
    const std::vector<uint8_t> bytes(der, der + length);
    OPENSSL_free(der);
    return bytes;
  };
  const std::vector<uint8_t> spki = derOf(i2d_PUBKEY, first), pkcs1 = derOf(i2d_PublicKey, first);
  const std::string second_spki = block("PUBLIC KEY", derOf(i2d_PUBKEY, second));
  enum Loaded { kNone, kFirst, kSecond };
  const struct {
    const char* what;
    std::string pem;
    Loaded loaded;
  } cases[] = {
      {"SubjectPublicKeyInfo", block("PUBLIC KEY", spki), kFirst},
      {"text before the block", "a comment line\n" + block("PUBLIC KEY", spki), kFirst},
      {"PKCS#1", block("RSA PUBLIC KEY", pkcs1), kNone},
      {"PKCS#1, then SubjectPublicKeyInfo", block("RSA PUBLIC KEY", pkcs1) + second_spki, kSecond},
      {"SubjectPublicKeyInfo labelled as PKCS#1", block("RSA PUBLIC KEY", spki), kNone},
      {"PKCS#1 labelled as a public key", block("PUBLIC KEY", pkcs1), kNone},
      {"PKCS#1 labelled as a public key, then a good one", block("PUBLIC KEY", pkcs1) + second_spki, kSecond},
      {"another type, then SubjectPublicKeyInfo", block("CERTIFICATE", spki) + second_spki, kSecond},
      {"a private key, then SubjectPublicKeyInfo", *ec_pem_ + block("PUBLIC KEY", spki), kFirst},
  };
  const auto path = dir_ / "key.pub";
  for (const auto& c : cases) {
    writeFile(path, c.pem);
    PublicKey from_text = PublicKey::fromPrivateKey(first), from_file = PublicKey::fromPrivateKey(first);
    const ErrorCode expected = c.loaded == kNone ? ErrorCode::INVALID_KEY : ErrorCode::SUCCESS;
    EXPECT_EQ(from_text.loadFromString(c.pem), expected) << c.what;
    EXPECT_EQ(from_file.loadFromFile(path), expected) << c.what;
    for (const PublicKey* key : {&from_text, &from_file}) {
      switch (c.loaded) {
        case kNone:
          EXPECT_EQ(key->get(), nullptr) << c.what;
          break;
        case kFirst:
        case kSecond:
          ASSERT_NE(key->get(), nullptr) << c.what;
          EXPECT_EQ(EVP_PKEY_eq(key->get(), (c.loaded == kFirst ? first : second).get()), 1) << c.what;
          break;
      }
    }
  }
}

TEST_F(CryptoTest, KeysMoveAndShare) {
  PrivateKey a = rsa();
  EVP_PKEY* raw = a.get();
  PrivateKey b(std::move(a));
  EXPECT_EQ(a.get(), nullptr);
  EXPECT_EQ(b.get(), raw);
  PrivateKey& alias = b;
  b = std::move(alias);
  EXPECT_EQ(b.get(), raw);
  PrivateKey c = ec();
  c = std::move(b);  // frees the EC key
  EXPECT_EQ(c.get(), raw);
  EXPECT_EQ(b.get(), nullptr);

  PublicKey p = PublicKey::fromPrivateKey(c);
  PublicKey& p_alias = p;
  p = std::move(p_alias);
  EXPECT_EQ(p.get(), raw);
  EXPECT_EQ(PublicKey::fromPrivateKey(PrivateKey()).get(), nullptr);

  // Both members of a pair hold the one key, and each outlives the other.
  std::vector<uint8_t> signature;
  {
    KeyPair pair = KeyPair::generateRSA(2048);
    ASSERT_NE(pair.private_key.get(), nullptr);
    EXPECT_EQ(pair.private_key.get(), pair.public_key.get());
    PublicKey survivor = std::move(pair.public_key);
    { PrivateKey gone = std::move(pair.private_key); signature = signData("x", gone, Algorithm::RSA_SHA256); }
    EXPECT_TRUE(verifySignature("x", signature, survivor, Algorithm::RSA_SHA256));
  }
  {
    KeyPair pair = KeyPair::generateRSA(2048);
    PrivateKey survivor = std::move(pair.private_key);
    { PublicKey gone = std::move(pair.public_key); }
    EXPECT_FALSE(signData("y", survivor, Algorithm::RSA_SHA256).empty());
  }
  const KeyPair refused = KeyPair::generateRSA(16);
  EXPECT_EQ(refused.private_key.get(), nullptr);
  EXPECT_EQ(refused.public_key.get(), nullptr);
  EXPECT_EQ(PrivateKey::generateRSA(-1).get(), nullptr);
}

TEST_F(CryptoTest, SignaturesVerifyWhateverTheAlgorithmArgument) {
  const Algorithm algorithms[] = {Algorithm::RSA_SHA256, Algorithm::RSA_SHA512, Algorithm::ECDSA_SHA256};
  const std::string message = "the signed message";
  for (const PrivateKey& key : {rsa(), ec()}) {
    const PublicKey pub = PublicKey::fromPrivateKey(key);
    for (const Algorithm sign_as : algorithms) {
      const std::vector<uint8_t> signature = signData(message, key, sign_as);
      ASSERT_FALSE(signature.empty());
      for (const Algorithm verify_as : algorithms) {
        EXPECT_TRUE(verifySignature(message, signature, pub, verify_as));
        const std::vector<uint8_t> bytes(message.begin(), message.end());
        EXPECT_TRUE(verifySignature(bytes, signature, pub, verify_as));
      }
      EXPECT_FALSE(verifySignature(message + ".", signature, pub, sign_as));
      std::vector<uint8_t> flipped = signature;
      flipped[flipped.size() / 2] ^= 0x01;
      EXPECT_FALSE(verifySignature(message, flipped, pub, sign_as));
    }
    // Empty data signs and verifies; an empty signature never verifies.
    const std::vector<uint8_t> empty_sig = signData(std::vector<uint8_t>(), key, Algorithm::RSA_SHA256);
    EXPECT_TRUE(verifySignature(std::string(), empty_sig, pub, Algorithm::RSA_SHA256));
    EXPECT_FALSE(verifySignature(message, {}, pub, Algorithm::RSA_SHA256));
  }
  // RSA signatures do not verify under the EC key, and nothing verifies or signs without a key.
  const std::vector<uint8_t> rsa_sig = signData(message, rsa(), Algorithm::RSA_SHA256);
  EXPECT_EQ(rsa_sig.size(), 256u);
  EXPECT_FALSE(verifySignature(message, rsa_sig, PublicKey::fromPrivateKey(ec()), Algorithm::RSA_SHA256));
  EXPECT_FALSE(verifySignature(message, rsa_sig, PublicKey(), Algorithm::RSA_SHA256));
  EXPECT_TRUE(signData(message, PrivateKey(), Algorithm::RSA_SHA256).empty());
}

TEST_F(CryptoTest, EcdsaSignatureIsExactlyItsDer) {
  const PrivateKey key = ec();
  bool saw_short = false;
  for (int i = 0; i < 64; ++i) {
    const std::vector<uint8_t> signature = signData("message " + std::to_string(i), key, Algorithm::ECDSA_SHA256);
    const unsigned char* p = signature.data();
    ECDSA_SIG* parsed = d2i_ECDSA_SIG(nullptr, &p, static_cast<long>(signature.size()));
    ASSERT_NE(parsed, nullptr);
    EXPECT_EQ(p, signature.data() + signature.size());  // no trailing bytes after the DER
    unsigned char* der = nullptr;
    const int der_length = i2d_ECDSA_SIG(parsed, &der);
    ECDSA_SIG_free(parsed);
    EXPECT_EQ(std::vector<uint8_t>(der, der + der_length), signature);
    OPENSSL_free(der);
    saw_short = saw_short || signature.size() < 72;
  }
  EXPECT_TRUE(saw_short);  // shorter than the maximum OpenSSL first reports
}

TEST_F(CryptoTest, PublicKeyHashIsOverTheKeyTypesOwnDer) {
  for (const PrivateKey& key : {rsa(), ec()}) {
    // The PKCS#1 (RSA) or point (EC) bytes inside the SubjectPublicKeyInfo, found without i2d_PublicKey.
    unsigned char* spki = nullptr;
    const int spki_length = i2d_PUBKEY(key.get(), &spki);
    ASSERT_GT(spki_length, 0);
    const unsigned char* cursor = spki;
    X509_PUBKEY* parsed = d2i_X509_PUBKEY(nullptr, &cursor, spki_length);
    ASSERT_NE(parsed, nullptr);
    const unsigned char* inner = nullptr;
    int inner_length = 0;
    ASSERT_EQ(X509_PUBKEY_get0_param(nullptr, &inner, &inner_length, nullptr, parsed), 1);
    const std::vector<uint8_t> inner_bytes(inner, inner + inner_length);
    const std::vector<uint8_t> spki_bytes(spki, spki + spki_length);
    X509_PUBKEY_free(parsed);
    OPENSSL_free(spki);

    const std::string hash = PublicKey::fromPrivateKey(key).getHash();
    EXPECT_EQ(hash, computeDataHash(inner_bytes, HashAlgorithm::SHA256));
    EXPECT_NE(hash, computeDataHash(spki_bytes, HashAlgorithm::SHA256));
  }
  EXPECT_EQ(PublicKey().getHash(), "");
}

TEST_F(CryptoTest, FailuresLeaveTheErrorQueueAsItWas) {
  ERR_clear_error();
  PublicKey pub;
  EXPECT_EQ(pub.loadFromString("-----BEGIN PUBLIC KEY-----\nAAAA\n-----END PUBLIC KEY-----\n"),
            ErrorCode::INVALID_KEY);
  EXPECT_FALSE(verifySignature("m", {1, 2, 3}, PublicKey::fromPrivateKey(rsa()), Algorithm::RSA_SHA256));
  EXPECT_EQ(ERR_peek_error(), 0u);

  // An entry the host process left is kept.
  ERR_raise(ERR_LIB_USER, 42);
  const unsigned long host_error = ERR_peek_error();
  EXPECT_EQ(pub.loadFromString("not a key"), ErrorCode::INVALID_KEY);
  EXPECT_EQ(ERR_get_error(), host_error);
  EXPECT_EQ(ERR_get_error(), 0u);
}

TEST(Hex, BothDirections) {
  EXPECT_EQ(bytesToHex({0, 255, 10}), "00ff0a");
  EXPECT_EQ(bytesToHex({}), "");
  const struct {
    const char* hex;
    std::vector<uint8_t> bytes;
  } cases[] = {
      {"00ff0a", {0x00, 0xff, 0x0a}}, {"00FF0A", {0x00, 0xff, 0x0a}}, {"0A1b", {0x0a, 0x1b}},
      {"abc", {0xab, 0x0c}},          {"1g", {0x01}},                 {"-1", {0xff}},
      {" f", {0x0f}},                 {"+a", {0x0a}},                 {"", {}},
      {"0", {0x00}},                  {"abcde", {0xab, 0xcd, 0x0e}},  {"0x", {0x00}},
  };
  for (const auto& c : cases) EXPECT_EQ(hexToBytes(c.hex), c.bytes) << c.hex;
  for (const char* bad : {"g1", "00zz", "--", "  ", "0gg0"}) {
    EXPECT_THROW(hexToBytes(bad), std::invalid_argument) << bad;
  }
}

TEST(Digests, KnownValues) {
  EXPECT_EQ(computeDataHash({}, HashAlgorithm::SHA256), kSha256Empty);
  EXPECT_EQ(computeDataHash({}, HashAlgorithm::SHA512), kSha512Empty);
  EXPECT_EQ(computeDataHash({}, static_cast<HashAlgorithm>(9)), kSha512Empty);
  EXPECT_EQ(computeStringHash("abc", HashAlgorithm::SHA256), kSha256Abc);
  EXPECT_EQ(computeDataHash({'a', 'b', 'c'}, HashAlgorithm::SHA256), kSha256Abc);
}

TEST(Digests, FileHashes) {
  TempDir dir;
  for (const size_t size : {size_t{0}, size_t{1}, size_t{8191}, size_t{8192}, size_t{8193}, size_t{3 * 8192 + 5}}) {
    std::string content(size, '\0');
    for (size_t i = 0; i < size; ++i) content[i] = static_cast<char>((i * 131 + 7) % 251);
    const auto path = dir / ("f" + std::to_string(size));
    writeFile(path, content);
    for (const HashAlgorithm algorithm : {HashAlgorithm::SHA256, HashAlgorithm::SHA512}) {
      EXPECT_EQ(computeFileHash(path, algorithm), computeStringHash(content, algorithm)) << size;
    }
  }
  EXPECT_EQ(computeFileHash(dir / "f0", HashAlgorithm::SHA256), kSha256Empty);
  EXPECT_EQ(computeFileHash(dir / "missing", HashAlgorithm::SHA256), "");
  EXPECT_EQ(computeFileHash(dir.path(), HashAlgorithm::SHA256), kSha256Empty);  // opens, reads nothing
}

// A FIFO without a writer would block the open for ever, and a device such as /dev/zero would never end:
// neither is read, and each gives "" at once.
TEST(Digests, FilesThatAreNotRegularGiveNothingAtOnce) {
  TempDir dir;
  const std::filesystem::path fifo = dir / "fifo", socket_path = dir / "socket";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  const int listener = ::socket(AF_UNIX, SOCK_STREAM, 0);
  ASSERT_GE(listener, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, socket_path.c_str(), sizeof address.sun_path - 1);
  ASSERT_EQ(::bind(listener, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
  for (const std::filesystem::path& path : {fifo, socket_path, std::filesystem::path("/dev/zero")}) {
    EXPECT_EQ(testing::exitCodeWithin(std::chrono::seconds(5),
                                      [&] { return computeFileHash(path, HashAlgorithm::SHA256).empty() ? 0 : 1; }),
              0)
        << path;
  }
  ::close(listener);
}

}  // namespace
}  // namespace bnq::sign::crypto
