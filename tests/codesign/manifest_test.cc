// SignConfig's exclusion test, the manifest generator's walk and counts, and the manifest loader.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <string>
#include <tuple>
#include <vector>

#include "codeSign/src/crypto.h"
#include "codeSign/src/internal/json_cost.h"
#include "codeSign/src/manifest_generator.h"
#include "codeSign/src/manifest_loader.h"
#include "test_support.h"

namespace bnq::sign {
namespace {

namespace fs = std::filesystem;
using testing::TempDir;
using testing::writeFile;

TEST(SignConfigTest, PatternsAndExactPaths) {
  struct Case {
    std::vector<std::string> patterns;
    std::vector<fs::path> paths;
    const char* relative;
    bool excluded;
  };
  const Case cases[] = {
      {{"*.log"}, {}, "a.log", true},
      {{"*.log"}, {}, "logs/old/b.log", true},
      {{"?.txt"}, {}, "a.txt", true},
      {{"?.txt"}, {}, "sub/a.txt", true},  // through its file name
      {{"?.txt"}, {}, "ab.txt", false},
      {{"build"}, {}, "x/build", true},
      {{"build"}, {}, "build/out.o", false},
      {{"build/*"}, {}, "build/deep/out.o", true},
      {{"data.bin"}, {}, "dataXbin", false},
      {{"a+b.txt"}, {}, "aab.txt", true},
      {{"a+b.txt"}, {}, "a+b.txt", false},
      {{"[ab]c"}, {}, "bc", true},
      {{"["}, {}, "[", false},
      {{"(", "*.tmp"}, {}, "x.tmp", true},  // an invalid pattern is passed over, the next still applies
      {{""}, {}, "a", false},
      {{"*"}, {}, "line\nbreak", false},  // "*" does not match a line feed
      {{}, {"sub/file.txt"}, "sub/file.txt", true},
      {{}, {"sub/file.txt"}, "sub/other.txt", false},
      {{}, {"sub"}, "sub/file.txt", false},
      {{}, {"sub//file.txt"}, "sub/file.txt", true},
      {{}, {"sub/file.txt/"}, "sub/file.txt", false},
      {{}, {"./a"}, "a", false},
  };
  for (const Case& c : cases) {
    SignConfig config;
    config.exclude_patterns = c.patterns;
    config.exclude_paths = c.paths;
    EXPECT_EQ(config.shouldExclude(c.relative), c.excluded) << c.relative;
    EXPECT_EQ(ManifestGenerator(config).shouldInclude(c.relative), !c.excluded) << c.relative;
  }
}

std::vector<std::string> scan(const fs::path& dir, const SignConfig& config = {}) {
  std::vector<fs::path> files;
  ManifestGenerator(config).scanDirectory(dir, files);
  std::vector<std::string> texts;
  for (const fs::path& p : files) texts.push_back(p.generic_string());
  std::sort(texts.begin(), texts.end());
  return texts;
}

using Names = std::vector<std::string>;

TEST(ManifestGeneratorTest, WalkRulesForMetaInfAndHiddenFiles) {
  TempDir dir;
  for (const char* d : {"meta-inf/sub", "sub/meta-inf", "META-INF", ".cache", "sub2"}) fs::create_directories(dir / d);
  for (const char* f : {"meta-inf/manifest.json", "meta-inf/signature.json", "meta-inf/sub/x", "sub/meta-inf/y",
                        "META-INF/z", ".env", "sub2/.keep", ".cache/visible", "top.txt", "sub2/meta-inf"}) {
    writeFile(dir / f, f);
  }
  EXPECT_EQ(scan(dir.path()), (Names{".cache/visible", "META-INF/z", "meta-inf/sub/x", "sub2/meta-inf", "top.txt"}));
  SignConfig hidden;
  hidden.include_hidden = true;
  EXPECT_EQ(scan(dir.path(), hidden), (Names{".cache/visible", ".env", "META-INF/z", "meta-inf/sub/x",
                                             "sub2/.keep", "sub2/meta-inf", "top.txt"}));
}

TEST(ManifestGeneratorTest, SizeLimitAndLinks) {
  TempDir dir, outside;
  writeFile(dir / "100", std::string(100, 'a'));
  writeFile(dir / "101", std::string(101, 'a'));
  SignConfig limit;
  limit.max_file_size = 100;
  EXPECT_EQ(scan(dir.path(), limit), (Names{"100"}));
  EXPECT_EQ(scan(dir.path()), (Names{"100", "101"}));

  TempDir links;
  writeFile(links / "real.txt", "real");
  writeFile(outside / "far.txt", "far");
  fs::create_directory(outside / "subdir");
  writeFile(outside / "subdir" / "inner.txt", "inner");
  fs::create_symlink("real.txt", links / "alias");
  fs::create_symlink(outside / "far.txt", links / "far-link");
  fs::create_symlink(outside / "subdir", links / "dir-link");  // not followed
  fs::create_symlink("missing", links / "dangling");
  const std::string far = fs::path(fs::weakly_canonical(outside.path()) / "far.txt")
                              .lexically_relative(fs::weakly_canonical(links.path()))
                              .generic_string();
  Names expected{far, "real.txt", "real.txt"};
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(scan(links.path()), expected);
  EXPECT_EQ(far.rfind("../", 0), 0u);
}

TEST(ManifestGeneratorTest, GenerateEntriesCountsAndCallback) {
  TempDir dir;
  writeFile(dir / "a", "alpha");
  writeFile(dir / "b", "beta");
  writeFile(dir / "c", "gamma");
  ManifestGenerator generator{SignConfig{}};
  std::vector<std::tuple<std::string, uint64_t, uint64_t>> calls;
  std::string vanished;
  generator.setProgressCallback([&](const fs::path& p, uint64_t done, uint64_t total) {
    calls.emplace_back(p.string(), done, total);
    if (done == 1) {  // a file not yet handled vanishes between walk and hashing
      vanished = p == "a" ? "b" : "a";
      fs::remove(dir / vanished);
    }
  });
  const TimePoint before = std::chrono::time_point_cast<std::chrono::nanoseconds>(std::chrono::system_clock::now());
  const Manifest m = generator.generate(dir.path());
  EXPECT_EQ(m.version, 1u);
  EXPECT_EQ(m.manifest_version, "1.0");
  EXPECT_GE(m.created_at, before);
  ASSERT_EQ(calls.size(), 3u);
  for (uint64_t i = 0; i < 3; ++i) {
    EXPECT_EQ(std::get<1>(calls[i]), i + 1);
    EXPECT_EQ(std::get<2>(calls[i]), 3u);
  }
  EXPECT_EQ(m.entries.size(), 2u) << "the vanished file has a callback but no entry";
  EXPECT_EQ(generator.processedCount(), 3u);
  EXPECT_EQ(generator.totalCount(), 3u);
  // Entries come in walk order, which is the order of the callback calls.
  std::vector<std::string> reported;
  for (const auto& call : calls) {
    if (std::get<0>(call) != vanished) reported.push_back(std::get<0>(call));
  }
  ASSERT_EQ(reported.size(), 2u);
  EXPECT_EQ(m.entries[0].path.string(), reported[0]);
  EXPECT_EQ(m.entries[1].path.string(), reported[1]);
  for (const ManifestEntry& e : m.entries) {
    EXPECT_EQ(e.hash, crypto::computeFileHash(dir / e.path.string(), HashAlgorithm::SHA256));
    EXPECT_EQ(e.size, fs::file_size(dir / e.path.string()));
    const auto age = std::chrono::system_clock::now() - e.modified_time;
    EXPECT_LT(std::chrono::abs(age), std::chrono::minutes(5));
  }

  // A directory that does not exist, or an empty one, gives no entries and no callback.
  calls.clear();
  EXPECT_TRUE(generator.generate(dir / "missing").entries.empty());
  TempDir empty;
  EXPECT_TRUE(generator.generate(empty.path()).entries.empty());
  EXPECT_TRUE(calls.empty());
}

TEST(ManifestGeneratorTest, WalkErrorsAreRaised) {
  TempDir dir;
  fs::create_directory(dir / "sub");
  fs::create_symlink("loop", dir / "sub" / "loop");  // a link to itself: its status is a loop
  EXPECT_THROW(ManifestGenerator(SignConfig{}).generate(dir.path()), fs::filesystem_error);
}

TEST(ManifestLoaderTest, LoadFromDirectory) {
  TempDir dir;
  EXPECT_FALSE(ManifestLoader::loadFromDirectory(dir.path()).has_value());
  fs::create_directory(dir / "meta-inf");
  struct Case {
    const char* text;
    bool loads;
  };
  const Case cases[] = {{"[]", false}, {"5", false}, {"\"x\"", false}, {"{", false}, {"{}", true},
                        {"null", true}, {"// c\n{\"entries\": [{\"path\": \"a\", \"hash\": \"h\"},],}", true}};
  for (const Case& c : cases) {
    writeFile(dir / "meta-inf" / "manifest.json", c.text);
    EXPECT_EQ(ManifestLoader::loadFromDirectory(dir.path()).has_value(), c.loads) << c.text;
  }
  const std::optional<Manifest> m = ManifestLoader::load(dir / "meta-inf" / "manifest.json");
  ASSERT_TRUE(m.has_value());
  ASSERT_EQ(m->entries.size(), 1u);
  EXPECT_EQ(m->entries[0].path, "a");
  writeFile(dir / "meta-inf" / "manifest.json", "{}");
  EXPECT_EQ(ManifestLoader::loadFromDirectory(dir.path())->manifest_version, "1.0");

  fs::remove(dir / "meta-inf" / "manifest.json");
  fs::create_symlink("manifest.json", dir / "meta-inf" / "manifest.json");
  EXPECT_THROW(ManifestLoader::loadFromDirectory(dir.path()), fs::filesystem_error);
}

// What a text costs once parsed is told from its bytes as the reader tokenises them: each row's text costs
// exactly `cost`, so it passes a bound of `cost` and fails one of `cost` - 1.
TEST(ManifestLoaderTest, CostIsCountedAsTheReaderReadsTheText) {
  const struct {
    const char* text;
    uint64_t cost;
  } cases[] = {
      {"{}", 2},
      {"null", 1},
      {"[{}, null, 0, \"x\", true, []]", 2 + 3 + 2 + 2 + 2 + 2 + 3},
      {"{\"a\": 1, \"b\": {\"c\": [\"d\"]}}", 2 + 2 + 3 + 3 + 2},  // member names cost nothing
      {"{\"k\": \"v\",}", 2 + 2},                                     // a trailing comma
      {"\"a/b\\/c\\u002Fd\\u002fe\"", 1 + 4},                             // "/" however it is written
      {"{\"x/y\": 1}", 2 + 2 + 1},                                    // also in a member name
      {"\"\\\"{[/*\"", 1 + 1},                                          // an escaped quote ends no text
      {"/* {} \"x\" */ // [[ \"\n null", 2 + 1},                        // comments, whatever they hold
      {"{/*c*/\"k\"/*c*/: 1}", 2 + 2 + 2},                             // a name after a comment
      {"{} [] junk", 2 + 2 + 1},                                      // text after the first value too
      {"[12.5e3,-1]", 2 + 2 + 2},
  };
  for (const auto& c : cases) {
    const size_t size = std::strlen(c.text);
    EXPECT_TRUE(isWithinJsonCost(c.text, size, {c.cost, 100})) << c.text;
    EXPECT_FALSE(isWithinJsonCost(c.text, size, {c.cost - 1, 100})) << c.text;
  }
  // A text's length is counted as written, escapes included.
  EXPECT_TRUE(isWithinJsonCost("[\"\\u00e9\"]", 10, {10, 6}));
  EXPECT_FALSE(isWithinJsonCost("[\"\\u00e9\"]", 10, {10, 5}));

  // The loader's own bound on a text, for a hash and for a path.
  TempDir dir;
  for (const char* key : {"hash", "path"}) {
    for (const size_t length : {kMaxManifestTextLength, kMaxManifestTextLength + 1}) {
      writeFile(dir / "manifest.json",
                std::string("{\"entries\": [{\"") + key + "\": \"" + std::string(length, 'x') + "\"}]}");
      EXPECT_EQ(ManifestLoader::load(dir / "manifest.json").has_value(), length == kMaxManifestTextLength)
          << key << " of " << length << " bytes";
    }
  }
}

// A FIFO is no manifest, whether it is named directly or swapped in for "manifest.json" between a look at
// the name and the open; either way the loader must come back at once rather than wait for a writer.
TEST(ManifestLoaderTest, NeverWaitsOnAFifo) {
  TempDir dir;
  ASSERT_EQ(mkfifo((dir / "fifo").c_str(), 0600), 0);
  const auto loadFifo = [&] { return ManifestLoader::load(dir / "fifo").has_value() ? 1 : 0; };
  EXPECT_EQ(testing::exitCodeWithin(std::chrono::seconds(5), loadFifo), 0);

  fs::create_directory(dir / "meta-inf");
  writeFile(dir / "meta-inf" / "manifest.json", "{}");
  const auto loadWhileSwapped = [&] {
    testing::FifoSwapper swapper(dir / "meta-inf" / "manifest.json");
    for (int i = 0; i < 20000; ++i) (void)ManifestLoader::loadFromDirectory(dir.path());
    return 0;
  };
  EXPECT_EQ(testing::exitCodeWithin(std::chrono::seconds(10), loadWhileSwapped), 0);
}

}  // namespace
}  // namespace bnq::sign
