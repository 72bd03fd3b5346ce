// Directory verification: the signature document and the manifest in "meta-inf", and the tree against it.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "codeSign/src/json_text.h"
#include "codeSign/src/manifest_loader.h"
#include "codeSign/src/verifier.h"
#include "signing.h"
#include "signing_fixture.h"

namespace bnq::sign {
namespace {

namespace fs = std::filesystem;
using testing::writeFile;
using Names = std::vector<std::string>;
using testing::ChildUse;
using testing::useOfChild;

class DirectoryVerifierTest : public testing::SigningTest {
 protected:
  void SetUp() override {
    tree_ = dir_ / "tree";
    fs::create_directories(tree_ / "sub");
    writeFile(tree_ / "a.txt", "alpha");
    writeFile(tree_ / "sub" / "b.txt", "beta");
    writeFile(tree_ / "gone.txt", "soon gone");
  }
  void sign(const signing::SignOptions& options = valid()) {
    signing::signDirectory(tree_, devKey(), options, SignConfig{});
  }
  // Rewrites the stored manifest through `edit`, keeping the signature.
  template <typename Edit>
  void editManifest(Edit edit) {
    Manifest m = *ManifestLoader::loadFromDirectory(tree_);
    edit(m);
    signing::writeJsonFile(tree_ / "meta-inf" / "manifest.json", m.toJson());
  }

  // Lets others (the user nobody) reach the tree and read all of it.
  void openToOthers() {
    fs::permissions(dir_.path(), fs::perms::others_read | fs::perms::others_exec, fs::perm_options::add);
    fs::permissions(tree_, fs::perms::others_read | fs::perms::others_exec, fs::perm_options::add);
    for (const fs::directory_entry& e : fs::recursive_directory_iterator(tree_)) {
      const fs::perms others =
          e.is_directory() ? fs::perms::others_read | fs::perms::others_exec : fs::perms::others_read;
      fs::permissions(e.path(), others, fs::perm_options::add);
    }
  }
  // Whether verifying the tree as an unprivileged user raises a file-system error.
  bool raisesUnprivileged() {
    return testing::inUnprivilegedChild([&] {
             try {
               devVerifier().verifyDirectory(tree_);
             } catch (const fs::filesystem_error&) {
               return 0;
             }
             return 1;
           }) == 0;
  }

  fs::path tree_;
};

TEST_F(DirectoryVerifierTest, IntactTreePassesWithItsIdentity) {
  sign();
  const VerifyResult r = devVerifier().verifyDirectory(tree_);
  EXPECT_TRUE(r.is_valid) << r.error_message;
  EXPECT_EQ(r.error_code, 0);
  EXPECT_EQ(r.skill_id, "skill.one");
  EXPECT_TRUE(r.manifest_valid && r.signature_valid && r.time_valid && r.certificate_valid);
  EXPECT_TRUE(r.modified.empty() && r.added.empty() && r.removed.empty());
}

TEST_F(DirectoryVerifierTest, ModifiedAddedAndRemovedTogether) {
  sign();
  writeFile(tree_ / "a.txt", "changed");
  fs::remove(tree_ / "gone.txt");
  writeFile(tree_ / "sub" / "new.log", "new");
  // Left out by the rescan's defaults, so not added: hidden files and files directly inside meta-inf.
  writeFile(tree_ / ".env", "hidden");
  writeFile(tree_ / "meta-inf" / "notes.txt", "notes");
  const VerifyResult r = devVerifier().verifyDirectory(tree_);
  EXPECT_EQ(r.error_code, -14);
  EXPECT_EQ(r.error_message, "Manifest verification failed");
  EXPECT_EQ(r.modified, (Names{"a.txt"}));
  EXPECT_EQ(r.removed, (Names{"gone.txt"}));
  EXPECT_EQ(r.added, (Names{"sub/new.log"}));
  EXPECT_EQ(r.skill_id, "");
  EXPECT_EQ(r.not_after, TimePoint{});
  EXPECT_FALSE(r.signature_valid || r.manifest_valid || r.time_valid);
}

TEST_F(DirectoryVerifierTest, HiddenAndMetaInfFilesAloneKeepItValid) {
  sign();
  writeFile(tree_ / ".env", "hidden");
  writeFile(tree_ / "meta-inf" / "notes.txt", "notes");
  EXPECT_TRUE(devVerifier().verifyDirectory(tree_).is_valid);
  fs::create_directory(tree_ / "meta-inf" / "sub");
  writeFile(tree_ / "meta-inf" / "sub" / "x", "x");
  EXPECT_EQ(devVerifier().verifyDirectory(tree_).added, (Names{"meta-inf/sub/x"}));
}

TEST_F(DirectoryVerifierTest, FilesTheSignerExcludedShowUpAsAdded) {
  SignConfig config;
  config.exclude_patterns = {"*.txt"};
  config.exclude_paths = {"gone.txt"};
  signing::signDirectory(tree_, devKey(), valid(), config);
  const VerifyResult r = devVerifier().verifyDirectory(tree_);
  EXPECT_EQ(r.error_code, -14);
  EXPECT_EQ(r.added.size(), 3u);
}

TEST_F(DirectoryVerifierTest, MissingDocumentsAndWindow) {
  EXPECT_EQ(devVerifier().verifyDirectory(tree_).error_message, "No signature found");
  sign();
  fs::remove(tree_ / "meta-inf" / "manifest.json");
  EXPECT_EQ(devVerifier().verifyDirectory(tree_).error_message, "Manifest not found");
  sign();
  fs::remove(tree_ / "meta-inf" / "signature.json");
  EXPECT_EQ(devVerifier().verifyDirectory(tree_).error_message, "No signature found");

  // An ended window fails before any file is read: a changed file is not reported.
  sign(ended());
  writeFile(tree_ / "a.txt", "changed");
  VerifyResult r = devVerifier().verifyDirectory(tree_);
  EXPECT_EQ(r.error_code, -9);
  EXPECT_TRUE(r.modified.empty());
  EXPECT_EQ(r.developer, "Dev One");
  // Another key's signature.
  signing::signDirectory(tree_, otherKey(), valid(), SignConfig{});
  EXPECT_EQ(devVerifier().verifyDirectory(tree_).error_code, -8);
  // A document without "payload" has a window that ended at the epoch.
  signing::writeJsonFile(tree_ / "meta-inf" / "signature.json", Json::Value(Json::objectValue));
  EXPECT_EQ(devVerifier().verifyDirectory(tree_).error_code, -9);
}

TEST_F(DirectoryVerifierTest, EntryPathsAndHashesAreTakenAsWritten) {
  sign();
  // "./a.txt" matches its file, but the rescan reports a.txt as added.
  editManifest([](Manifest& m) {
    for (ManifestEntry& e : m.entries) {
      if (e.path == "a.txt") e.path = "./a.txt";
    }
  });
  VerifyResult r = devVerifier().verifyDirectory(tree_);
  EXPECT_TRUE(r.modified.empty());
  EXPECT_EQ(r.added, (Names{"a.txt"}));

  // Capital-letter hashes count as modified; an entry through ".." is looked up where it leads.
  sign();
  writeFile(dir_ / "outside.txt", "outside");
  editManifest([&](Manifest& m) {
    for (ManifestEntry& e : m.entries) {
      if (e.path == "a.txt") {
        for (char& c : e.hash) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
      }
    }
    m.entries.push_back(
        ManifestEntry{"../outside.txt", crypto::computeFileHash(dir_ / "outside.txt", HashAlgorithm::SHA256), 0, {}});
  });
  r = devVerifier().verifyDirectory(tree_);
  EXPECT_EQ(r.modified, (Names{"a.txt"}));
  EXPECT_TRUE(r.removed.empty());
  EXPECT_TRUE(r.added.empty());
}

// An entry names a file of the tree: an absolute one would let "manifest.json", which nothing ties to the
// signature, test any file of the machine against a guessed hash, and an empty one names the tree itself.
// Either is modified whatever its hash, and nothing is looked up for it.
TEST_F(DirectoryVerifierTest, AbsoluteAndEmptyEntriesAreModified) {
  const fs::path outside = dir_ / "outside.txt";
  writeFile(outside, "outside");
  const std::string outside_hash = crypto::computeFileHash(outside, HashAlgorithm::SHA256);
  const struct {
    fs::path path;
    std::string hash;
  } cases[] = {
      {outside, outside_hash},
      {"/nowhere/at/all", "00"},
      {"", crypto::computeFileHash(tree_, HashAlgorithm::SHA256)},
  };
  for (const auto& c : cases) {
    sign();
    editManifest([&](Manifest& m) { m.entries.push_back(ManifestEntry{c.path, c.hash, 0, {}}); });
    const VerifyResult r = devVerifier().verifyDirectory(tree_);
    EXPECT_EQ(r.modified, (Names{c.path.string()})) << c.path;
    EXPECT_TRUE(r.removed.empty()) << c.path;
  }
}

// Each file is hashed once however many entries reach it, yet every entry is compared on its own with that
// hash, and a file reached by no other entry has a hash of its own.
TEST_F(DirectoryVerifierTest, EntriesReachingOneFileAreEachComparedWithItsHash) {
  fs::create_symlink("a.txt", tree_ / "alias");
  const std::string a = crypto::computeFileHash(tree_ / "a.txt", HashAlgorithm::SHA256);
  const std::string b = crypto::computeFileHash(tree_ / "sub" / "b.txt", HashAlgorithm::SHA256);
  Manifest m;
  m.entries = {{"a.txt", a, 0, {}},     {"./a.txt", "00", 0, {}},   {"sub/../a.txt", a, 0, {}},
               {"alias", a, 0, {}},     {"sub/b.txt", a, 0, {}},    {"a.txt", "00", 0, {}},
               {"sub/b.txt", b, 0, {}}, {"gone.txt", "00", 0, {}}};
  const VerifyResult r = devVerifier().verifyManifestIntegrity(m, tree_);
  EXPECT_EQ(r.modified, (Names{"./a.txt", "sub/b.txt", "a.txt", "gone.txt"}));
  EXPECT_TRUE(r.removed.empty());
}

TEST_F(DirectoryVerifierTest, EmptyManifestOverAnEmptyTree) {
  const fs::path empty = dir_ / "empty";
  fs::create_directory(empty);
  signing::signDirectory(empty, devKey(), valid(), SignConfig{});
  EXPECT_TRUE(devVerifier().verifyDirectory(empty).is_valid);
  writeFile(empty / "one", "1");
  EXPECT_EQ(devVerifier().verifyDirectory(empty).added, (Names{"one"}));
}

TEST_F(DirectoryVerifierTest, LinksInsideAndOutside) {
  fs::create_symlink("a.txt", tree_ / "alias");
  sign();
  EXPECT_TRUE(devVerifier().verifyDirectory(tree_).is_valid) << "a link to a listed file adds nothing";
  writeFile(dir_ / "far.txt", "far");
  fs::create_symlink(dir_ / "far.txt", tree_ / "far-link");
  const VerifyResult r = devVerifier().verifyDirectory(tree_);
  ASSERT_EQ(r.added.size(), 1u);
  EXPECT_EQ(r.added[0], "../far.txt");
}

TEST_F(DirectoryVerifierTest, FileSystemErrorsAreRaised) {
  sign();
  // A listed entry whose status is a loop of links.
  fs::create_symlink("looped", tree_ / "looped");
  editManifest([](Manifest& m) { m.entries.push_back(ManifestEntry{"looped", "00", 0, {}}); });
  EXPECT_THROW(devVerifier().verifyDirectory(tree_), fs::filesystem_error);
  fs::remove(tree_ / "looped");

  // A name too long for the file system, in an entry.
  sign();
  editManifest([](Manifest& m) { m.entries.push_back(ManifestEntry{std::string(300, 'n'), "00", 0, {}}); });
  EXPECT_THROW(devVerifier().verifyDirectory(tree_), fs::filesystem_error);

  // A subdirectory that may not be read ends the rescan.
  sign();
  fs::permissions(dir_.path(), fs::perms::owner_all | fs::perms::others_read | fs::perms::others_exec);
  fs::permissions(tree_, fs::perms::owner_all | fs::perms::others_read | fs::perms::others_exec, fs::perm_options::replace);
  for (const char* p : {"meta-inf", "meta-inf/signature.json", "meta-inf/manifest.json", "a.txt", "gone.txt", "sub/b.txt"}) {
    fs::permissions(tree_ / p, fs::perms::others_read, fs::perm_options::add);
  }
  fs::permissions(tree_ / "meta-inf", fs::perms::others_exec, fs::perm_options::add);
  fs::permissions(tree_ / "sub", fs::perms::none);
  EXPECT_TRUE(raisesUnprivileged());
  fs::permissions(tree_ / "sub", fs::perms::owner_all | fs::perms::others_read | fs::perms::others_exec);

  // A new directory that may be listed but not searched: the rescan sees the file in it but cannot resolve
  // its path, which raises rather than leaving the file out of `added` unseen.
  sign();
  for (const char* p : {"meta-inf/signature.json", "meta-inf/manifest.json"}) {
    fs::permissions(tree_ / p, fs::perms::others_read, fs::perm_options::add);
  }
  fs::create_directory(tree_ / "locked");
  writeFile(tree_ / "locked" / "x", "unseen");
  fs::permissions(tree_ / "locked", fs::perms::owner_all | fs::perms::others_read, fs::perm_options::replace);
  EXPECT_TRUE(raisesUnprivileged());
  fs::permissions(tree_ / "locked", fs::perms::owner_all);
}

// What the verifier cannot see is not taken for absent: a new file it may not read is still added, and a top
// directory it may enter but not list raises. A top directory that does not exist lists nothing.
TEST_F(DirectoryVerifierTest, WhatTheVerifierCannotSeeIsNotValid) {
  sign();
  writeFile(tree_ / "secret.txt", "new and unreadable");
  openToOthers();
  fs::permissions(tree_ / "secret.txt", fs::perms::owner_read | fs::perms::owner_write, fs::perm_options::replace);
  EXPECT_EQ(testing::inUnprivilegedChild([&] {
              const VerifyResult r = devVerifier().verifyDirectory(tree_);
              return r.error_code == -14 && r.added == Names{"secret.txt"} && r.modified.empty() ? 0 : 1;
            }),
            0);
  fs::remove(tree_ / "secret.txt");

  fs::permissions(tree_, fs::perms::owner_all | fs::perms::others_exec, fs::perm_options::replace);
  EXPECT_TRUE(raisesUnprivileged());
  fs::permissions(tree_, fs::perms::owner_all, fs::perm_options::replace);

  const Manifest nothing;
  EXPECT_TRUE(devVerifier().verifyManifestIntegrity(nothing, dir_ / "nowhere").is_valid);
}

constexpr long kOneGiBInKiB = long{1} << 20;

// Whatever manifest.json holds within the loader's bounds, a check of the tree holds less than 1 GiB: the
// cheapest texts with the costliest trees (empty objects, nulls beside texts of the longest length) up to
// the cost bound are read, one element more is unreadable before it is parsed.
TEST_F(DirectoryVerifierTest, ManifestsAtTheCostBoundStayUnderOneGiB) {
#ifdef BNQ_SANITIZED
  GTEST_SKIP() << "the sanitizers' runtime holds memory of its own";
#endif
  sign();
  // `{"entries":[` costs 6; an empty object in the list 3, a null 2, an object holding one text 5.
  const uint64_t empty_objects = (kMaxManifestElements - 6) / 3;
  const std::string long_entry = "{\"hash\":\"" + std::string(kMaxManifestTextLength, 'f') + "\"}";
  const uint64_t long_entries = 1600;
  const uint64_t nulls = (kMaxManifestElements - 6 - 5 * long_entries) / 2;
  ASSERT_EQ(6 + 3 * empty_objects, kMaxManifestElements);
  ASSERT_EQ(6 + 2 * nulls + 5 * long_entries, kMaxManifestElements);
  const struct Case {
    const char* what;
    uint64_t empty_objects, nulls, long_entries;
    bool read;
  } cases[] = {
      {"empty objects at the bound", empty_objects, 0, 0, true},
      {"one more empty object", empty_objects + 1, 0, 0, false},
      {"nulls and long texts at the bound", 0, nulls, long_entries, true},
      {"one more null", 0, nulls + 1, long_entries, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    {
      std::ofstream out(tree_ / "meta-inf" / "manifest.json", std::ios::binary | std::ios::trunc);
      out << "{\"entries\":[";
      const char* separator = "";
      for (uint64_t i = 0; i < c.empty_objects; ++i, separator = ",") out << separator << "{}";
      for (uint64_t i = 0; i < c.nulls; ++i, separator = ",") out << separator << "null";
      for (uint64_t i = 0; i < c.long_entries; ++i, separator = ",") out << separator << long_entry;
      out << "]}";
      ASSERT_TRUE(out.good());
    }
    ASSERT_LE(fs::file_size(tree_ / "meta-inf" / "manifest.json"), kMaxManifestSize);
    const uint64_t entries = c.empty_objects + c.nulls + c.long_entries;
    const ChildUse use = useOfChild([&] {
      const VerifyResult r = devVerifier().verifyDirectory(tree_);
      // Every entry has an empty path, which is modified; the files of the tree are added.
      if (c.read) return r.error_code == -14 && r.modified.size() == entries && r.added.size() == 3 ? 0 : 1;
      return r.error_message == "Manifest not found" ? 0 : 1;
    });
    EXPECT_EQ(use.status, 0);
    EXPECT_GT(use.peak_kib, 0);
    EXPECT_LT(use.peak_kib, kOneGiBInKiB);
    std::printf("  %s: %.1f s, peak %ld MiB\n", c.what, use.seconds, use.peak_kib >> 10);
  }
}

// A genuine tree of half a million files, three directory levels down, signed by the generator, verifies.
TEST_F(DirectoryVerifierTest, HalfAMillionFilesVerify) {
#ifdef BNQ_SANITIZED
  GTEST_SKIP() << "too slow under the sanitizers, whose runtime also holds memory of its own";
#endif
  const fs::path tree = dir_ / "large";
  constexpr int kFiles = 500000;
  char name[64];
  for (int i = 0; i < kFiles; ++i) {
    if (i % 500 == 0) {
      std::snprintf(name, sizeof name, "d%d/e%d/f%d", i / 50000, i / 5000 % 10, i / 500 % 10);
      fs::create_directories(tree / name);
    }
    std::snprintf(name, sizeof name, "d%d/e%d/f%d/file-%06d.txt", i / 50000, i / 5000 % 10, i / 500 % 10, i);
    const int fd = ::open((tree / name).c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    ASSERT_GE(fd, 0) << name;
    ASSERT_EQ(::write(fd, name, std::strlen(name)), static_cast<ssize_t>(std::strlen(name)));
    ::close(fd);
  }
  // Signed in a child too, so that this process does not grow (a child would count what it shares).
  const ChildUse signing = useOfChild([&] {
    return signing::signDirectory(tree, devKey(), valid(), SignConfig{}).entries.size() == kFiles ? 0 : 1;
  });
  ASSERT_EQ(signing.status, 0);
  const ChildUse check = useOfChild([&] {
    const VerifyResult r = devVerifier().verifyDirectory(tree);
    return r.is_valid && r.manifest_valid ? 0 : 1;
  });
  EXPECT_EQ(check.status, 0);
  EXPECT_LT(check.peak_kib, kOneGiBInKiB);
  std::printf("  manifest of %ju bytes; signing %.1f s, peak %ld MiB; check %.1f s, peak %ld MiB\n",
              static_cast<uintmax_t>(fs::file_size(tree / "meta-inf" / "manifest.json")), signing.seconds,
              signing.peak_kib >> 10, check.seconds, check.peak_kib >> 10);
}

}  // namespace
}  // namespace bnq::sign
