// The entry point isTolvaneSign, Verifier::verify, the built-in key and the JSON exports of a result.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include <openssl/evp.h>

#include "codeSign/src/embedded_keys.h"
#include "codeSign/src/tolvane_check.h"
#include "codeSign/src/verifier.h"
#include "elf_support.h"
#include "signing.h"
#include "signing_fixture.h"

namespace bnq::sign {
namespace {

namespace fs = std::filesystem;
using testing::writeFile;

class TolvaneCheckTest : public testing::SigningTest {
 protected:
  static std::optional<crypto::PublicKey> devPublic() { return crypto::PublicKey::fromPrivateKey(devKey()); }
};

TEST_F(TolvaneCheckTest, MissingPathsAndVerifyDispatch) {
  fs::create_symlink("nowhere", dir_ / "dangling");
  for (const fs::path& p : {dir_ / "missing", dir_ / "dangling"}) {
    const TolvaneCheckResult r = isTolvaneSign(p, devPublic());
    EXPECT_EQ(r.error_code, -2);
    EXPECT_EQ(r.error_message, "Path does not exist: " + p.native());
    EXPECT_FALSE(r.is_valid || r.has_signature || r.is_directory);
    EXPECT_EQ(r.algorithm, "");
    const VerifyResult v = devVerifier().verify(p);
    EXPECT_EQ(v.error_code, -2);
    EXPECT_EQ(v.error_message, "Path does not exist");
  }
  fs::create_directory(dir_ / "d");
  writeFile(dir_ / "f", "f");
  fs::create_symlink("d", dir_ / "to-dir");
  fs::create_symlink("f", dir_ / "to-file");
  Verifier verifier = devVerifier();
  EXPECT_EQ(verifier.verify(dir_ / "to-dir").error_message, "No signature found");
  EXPECT_EQ(verifier.verify(dir_ / "to-file").error_message, "No signature file found (.signed.sig)");
  EXPECT_EQ(verifier.verify(dir_ / "d").error_message, "No signature found");
}

TEST_F(TolvaneCheckTest, HasSignatureAndIdentityGroup) {
  writeFile(dir_ / "unsigned.txt", "x");
  const fs::path expired = signedElf("expired", ended());
  const fs::path other = signedElf("other", valid(), &otherKey());
  const fs::path good = signedElf("good", valid());
  fs::create_directory(dir_ / "plain-dir");
  struct Case {
    fs::path path;
    int32_t code;
    bool has_signature, is_directory;
  };
  const Case cases[] = {
      {dir_ / "unsigned.txt", -12, false, false},
      {dir_ / "plain-dir", -12, false, true},
      {expired, -9, true, false},
      {other, -8, true, false},
      {good, 0, true, false},
  };
  for (const Case& c : cases) {
    const TolvaneCheckResult r = isTolvaneSign(c.path, devPublic());
    EXPECT_EQ(r.error_code, c.code) << c.path;
    EXPECT_EQ(r.is_valid, c.code == 0) << c.path;
    EXPECT_EQ(r.has_signature, c.has_signature) << c.path;
    EXPECT_EQ(r.is_directory, c.is_directory) << c.path;
    EXPECT_EQ(r.algorithm, c.has_signature ? "RSA-SHA256" : "") << c.path;
    EXPECT_EQ(r.skill_id, c.has_signature ? "skill.one" : "") << c.path;
    EXPECT_EQ(r.signed_at != TimePoint{}, c.has_signature) << c.path;
    EXPECT_EQ(r.valid_until != TimePoint{}, c.has_signature) << c.path;
  }

  // A file that exists but may not be opened counts as signed: -4 with has_signature.
  fs::permissions(dir_.path(), fs::perms::owner_all | fs::perms::others_read | fs::perms::others_exec);
  fs::permissions(good, fs::perms::none);
  EXPECT_EQ(testing::inUnprivilegedChild([&] {
              const TolvaneCheckResult r = isTolvaneSign(good, devPublic());
              return r.error_code == -4 && r.has_signature && r.algorithm == "RSA-SHA256" ? 0 : 1;
            }),
            0);
}

TEST_F(TolvaneCheckTest, DirectoryResultsCarryTheLists) {
  const fs::path tree = dir_ / "tree";
  fs::create_directory(tree);
  writeFile(tree / "a", "a");
  signing::signDirectory(tree, devKey(), valid(), SignConfig{});
  TolvaneCheckResult r = isTolvaneSign(tree, devPublic());
  EXPECT_TRUE(r.is_valid && r.is_directory);
  writeFile(tree / "a", "changed");
  writeFile(tree / "b", "new");
  r = isTolvaneSign(tree, devPublic());
  EXPECT_EQ(r.error_code, -14);
  EXPECT_TRUE(r.has_signature && r.is_directory);
  EXPECT_EQ(r.modified, std::vector<std::string>{"a"});
  EXPECT_EQ(r.added, std::vector<std::string>{"b"});
  EXPECT_EQ(r.algorithm, "RSA-SHA256");
  EXPECT_EQ(r.skill_id, "") << "a failed manifest check carries no identity";
}

TEST_F(TolvaneCheckTest, BuiltInKey) {
  const std::string pem = embedded_keys::PUBLIC_KEY_PEM;
  EXPECT_EQ(pem.size(), 451u);
  EXPECT_EQ(pem, testing::readBytes(BNQ_BUILTIN_PUBLIC_KEY_FILE));
  crypto::PublicKey key;
  ASSERT_TRUE(embedded_keys::initializeEmbeddedKeys(key));
  EXPECT_EQ(EVP_PKEY_get_bits(key.get()), 2048);

  const fs::path good = signedElf("good", valid());
  crypto::PublicKey builtin;
  ASSERT_TRUE(embedded_keys::initializeEmbeddedKeys(builtin));
  const TolvaneCheckResult with_empty = isTolvaneSign(good, std::nullopt);
  const TolvaneCheckResult with_builtin = isTolvaneSign(good, std::move(builtin));
  EXPECT_EQ(exportSignatureInfo(with_empty), exportSignatureInfo(with_builtin));
  if (!BNQ_BUILTIN_KEY_IS_DEV) GTEST_SKIP() << "a deployment key is built in; the development key signs nothing";
  EXPECT_TRUE(with_empty.is_valid) << with_empty.error_message;
}

TEST_F(TolvaneCheckTest, KeyWithoutOpenSslKeyChecksNoSignature) {
  const fs::path file = dir_ / "f.txt";
  writeFile(file, "content");
  SignatureData data = signing::signFile(file, devKey(), valid());
  data.signature.assign(256, 0xAB);
  signing::writeJsonFile(dir_ / "f.txt.sig", signing::signatureDocument(data));
  EXPECT_EQ(isTolvaneSign(file, devPublic()).error_code, -8);
  EXPECT_TRUE(isTolvaneSign(file, crypto::PublicKey{}).is_valid);
}

TEST(TolvaneExportTest, MembersOrderAndIndentation) {
  TolvaneCheckResult fresh;
  EXPECT_EQ(exportSignatureInfo(fresh),
            "{\n\t\"error_code\" : -99,\n\t\"error_message\" : \"\",\n\t\"has_signature\" : false,\n"
            "\t\"is_directory\" : false,\n\t\"is_valid\" : false\n}");

  TolvaneCheckResult r;
  r.has_signature = true;
  r.error_code = -14;
  r.error_message = "Manifest verification failed";
  r.algorithm = "RSA-SHA256";
  r.signed_at = testing::atNanos(-1500000000);
  r.valid_until = testing::atNanos(1999999999);
  r.is_directory = true;
  r.added = {"x"};
  const std::string tab = exportSignatureInfo(r);
  EXPECT_EQ(tab,
            "{\n\t\"algorithm\" : \"RSA-SHA256\",\n\t\"developer\" : \"\",\n\t\"error_code\" : -14,\n"
            "\t\"error_message\" : \"Manifest verification failed\",\n\t\"has_signature\" : true,\n"
            "\t\"integrity\" : \n\t{\n\t\t\"added\" : \n\t\t[\n\t\t\t\"x\"\n\t\t],\n\t\t\"modified\" : [],\n"
            "\t\t\"removed\" : []\n\t},\n\t\"is_directory\" : true,\n\t\"is_valid\" : false,\n"
            "\t\"pubkey_hash\" : \"\",\n\t\"signed_at\" : -1,\n\t\"skill_id\" : \"\",\n\t\"valid_until\" : 1\n}");
  std::string spaces = tab;
  for (size_t i = 0; (i = spaces.find('\t', i)) != std::string::npos; i += 2) spaces.replace(i, 1, "  ");
  EXPECT_EQ(exportSignatureInfoPretty(r), spaces);

  // No "integrity" for a directory with empty lists, nor for a file whatever its lists hold.
  r.added.clear();
  EXPECT_EQ(exportSignatureInfo(r).find("integrity"), std::string::npos);
  r.is_directory = false;
  r.removed = {"y"};
  EXPECT_EQ(exportSignatureInfo(r).find("integrity"), std::string::npos);
}

TEST_F(TolvaneCheckTest, SignToolCommandLine) {
  const std::string tool = BNQ_SIGN_TOOL;
  const std::string key = BNQ_DEV_PRIVATE_KEY;
  const fs::path out = dir_ / "signed";
  const std::string pub = (dir_ / "dev.pub").string();
  ASSERT_TRUE(crypto::PublicKey::fromPrivateKey(devKey()).saveToFile(pub) == ErrorCode::SUCCESS);
  auto run = [](const std::string& command) { return WEXITSTATUS(std::system((command + " >/dev/null 2>&1").c_str())); };
  EXPECT_EQ(run(tool + " sign-elf --key " + key + " --skill-id s --developer d " + BNQ_FIXTURE_ELF + " " + out.string()), 0);
  EXPECT_EQ(run(tool + " check --public-key " + pub + " " + out.string()), 0);
  EXPECT_EQ(isTolvaneSign(out, devPublic()).developer, "d");
  EXPECT_EQ(run(tool + " sign-elf --key " + key + " --not-before -7200 --not-after -3600 " + out.string() + " " +
                (dir_ / "expired").string()),
            0);
  EXPECT_EQ(isTolvaneSign(dir_ / "expired", devPublic()).error_code, -9);
  writeFile(dir_ / "f.txt", "f");
  EXPECT_EQ(run(tool + " sign-file --key " + key + " " + (dir_ / "f.txt").string()), 0);
  EXPECT_TRUE(isTolvaneSign(dir_ / "f.txt", devPublic()).is_valid);
  fs::create_directory(dir_ / "tree");
  writeFile(dir_ / "tree" / "a", "a");
  EXPECT_EQ(run(tool + " sign-dir --key " + key + " " + (dir_ / "tree").string()), 0);
  EXPECT_TRUE(isTolvaneSign(dir_ / "tree", devPublic()).is_valid);
  EXPECT_EQ(run(tool + " sign-elf " + out.string()), 2) << "usage errors exit with 2";
  EXPECT_EQ(run(tool + " check --public-key " + pub + " " + (dir_ / "missing").string()), 1);
}

}  // namespace
}  // namespace bnq::sign
