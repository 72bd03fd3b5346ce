// How the checks read files: a file is read up to the size its open found and no further, and a signature
// document or a manifest larger than its bound is refused before any byte is read.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "codeSign/src/crypto.h"
#include "codeSign/src/manifest_generator.h"
#include "codeSign/src/manifest_loader.h"
#include "codeSign/src/verifier.h"
#include "elf_support.h"
#include "signing.h"
#include "signing_fixture.h"

namespace bnq::sign {
namespace {

namespace fs = std::filesystem;
using testing::writeFile;
using Names = std::vector<std::string>;

class FileReadingTest : public testing::SigningTest {
 protected:
  // In a new directory `name`: "file.txt" signed with its ".sig", and a signed tree "tree" holding "a.txt"
  // and "sub/b.txt".
  void makeSigned(const std::string& name) {
    const fs::path root = dir_ / name;
    fs::create_directories(root / "tree" / "sub");
    file_ = root / "file.txt";
    writeFile(file_, "signed content");
    signing::signFile(file_, devKey(), valid());
    tree_ = root / "tree";
    writeFile(tree_ / "a.txt", "alpha");
    writeFile(tree_ / "sub" / "b.txt", "beta");
    signing::signDirectory(tree_, devKey(), valid(), SignConfig{});
  }
  fs::path sigOf(const fs::path& file) const { return fs::path(file.string() + ".sig"); }
  fs::path metaInf(const char* name) const { return tree_ / "meta-inf" / name; }
  VerifyResult checkFile() { return devVerifier().verifyFile(file_); }
  VerifyResult checkTree() { return devVerifier().verifyDirectory(tree_); }
  fs::path file_, tree_;
};

// A file that another process keeps extending (holes, no disk used) faster than it could be hashed: each
// check reads the size its open found, sees that the file did not end there, and ends, not valid.
TEST_F(FileReadingTest, GrowingFilesAreReadOnlyToTheSizeTheirOpenFound) {
  struct Case {
    const char* what;
    std::function<fs::path()> growing;
    std::function<bool()> check;  // true when the outcome is right
  };
  const Case cases[] = {
      {"a hashed file", [&] { return file_; },
       [&] {
         const std::string as_signed = crypto::computeStringHash("signed content", HashAlgorithm::SHA256);
         return crypto::computeFileHash(file_, HashAlgorithm::SHA256) != as_signed;
       }},
      {"the checked file", [&] { return file_; }, [&] { return checkFile().error_code == -15; }},
      {"a listed file", [&] { return tree_ / "a.txt"; },
       [&] {
         const VerifyResult r = checkTree();
         return r.error_code == -14 && r.modified == Names{"a.txt"};
       }},
      {"a file being listed", [&] { return tree_ / "a.txt"; },
       [&] {
         (void)ManifestGenerator(SignConfig{}).generate(tree_);
         return true;
       }},
  };
  for (const Case& c : cases) {
    makeSigned(std::string("growing-") + std::to_string(&c - cases));
    const testing::FileExtender extender(c.growing(), off_t{16} << 20);
    EXPECT_EQ(testing::exitCodeWithin(std::chrono::seconds(10), [&] { return c.check() ? 0 : 1; }), 0) << c.what;
  }
}

// A genuine signature document is a few KiB and a manifest lists a tree: a document of more than 1 MiB, or a
// manifest of more than 256 MiB, is unreadable whatever it holds. Padded to exactly the bound they are read.
TEST_F(FileReadingTest, DocumentsAreReadUpToTheirBound) {
  makeSigned("bounds");
  struct Case {
    const char* what;
    fs::path document;
    uint64_t bound;
    bool sparse;  // padded with a hole (NUL bytes, which end the JSON text) rather than with blanks
    std::function<VerifyResult()> check;
    const char* refused;
  };
  const Case cases[] = {
      {"a .sig", sigOf(file_), uint64_t{1} << 20, false, [&] { return checkFile(); },
       "No signature file found (.signed.sig)"},
      {"signature.json", metaInf("signature.json"), uint64_t{1} << 20, false, [&] { return checkTree(); },
       "No signature found"},
      {"manifest.json", metaInf("manifest.json"), uint64_t{256} << 20, true, [&] { return checkTree(); },
       "Manifest not found"},
  };
  for (const Case& c : cases) {
    const std::string content = testing::readBytes(c.document);
    for (const uint64_t size : {c.bound, c.bound + 1}) {
      if (c.sparse) {
        writeFile(c.document, content);
        fs::resize_file(c.document, size);
      } else {
        writeFile(c.document, content + std::string(size - content.size(), ' '));
      }
      const VerifyResult r = c.check();
      if (size == c.bound) {
        EXPECT_TRUE(r.is_valid) << c.what << " of " << size << " bytes: " << r.error_message;
      } else {
        EXPECT_EQ(r.error_message, c.refused) << c.what << " of " << size << " bytes";
      }
    }
    writeFile(c.document, content);
  }
}

}  // namespace
}  // namespace bnq::sign
