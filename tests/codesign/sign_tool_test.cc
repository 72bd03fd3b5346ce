// The signing tool refuses, with exit status 2 and a message naming the cause, to sign what would never
// verify: a manifest name or a certificate text that is not valid UTF-8 (JsonCpp writes such a text as some
// other one), and a listed file that did not get into the manifest.
#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "codeSign/src/tolvane_check.h"
#include "signing_fixture.h"

namespace bnq::sign {
namespace {

namespace fs = std::filesystem;
using testing::writeFile;

struct ToolRun {
  int status;          // the tool's exit status; -1 or 97/98/99 when it could not be run as asked
  std::string errors;  // what it wrote on standard error
};

class SignToolTest : public testing::SigningTest {
 protected:
  // The tool and the key are copied where the user nobody may run and read them (the build tree may be
  // out of its reach), and each tree is open to everyone, so that only what a row makes unreadable is.
  void SetUp() override {
    fs::permissions(dir_.path(), fs::perms::others_read | fs::perms::others_exec, fs::perm_options::add);
    tool_ = dir_ / "bnq_sign_tool";
    key_ = dir_ / "key.pem";
    fs::copy_file(BNQ_SIGN_TOOL, tool_);
    fs::copy_file(BNQ_DEV_PRIVATE_KEY, key_);
    fs::permissions(key_, fs::perms::others_read, fs::perm_options::add);
  }

  fs::path newTree(const std::string& name) {
    const fs::path tree = dir_ / name;
    fs::create_directory(tree);
    fs::permissions(tree, fs::perms::all);
    writeFile(tree / "a.txt", "alpha");
    return tree;
  }

  // Runs the tool with `args` in a child (as the user nobody when `as_other_user`), standard error into a
  // file; a run that has not ended within a minute is killed and fails the test.
  ToolRun run(const std::vector<std::string>& args, bool as_other_user) {
    const fs::path errors = dir_ / "tool-errors";
    const int fd = ::open(errors.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) return {-1, "cannot open " + errors.string()};
    std::vector<char*> argv{const_cast<char*>(tool_.c_str())};
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    const auto exec = [&]() -> int {
      if (::dup2(fd, STDERR_FILENO) < 0) return 97;
      ::execv(argv[0], argv.data());
      return 97;
    };
    const std::optional<int> status = testing::exitCodeWithin(
        std::chrono::minutes(1), [&] { return as_other_user ? testing::inUnprivilegedChild(exec) : exec(); });
    ::close(fd);
    std::ifstream in(errors, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return {status.value_or(-1), text.str()};
  }

  fs::path tool_, key_;
};

void nothing(const fs::path&) {}

TEST_F(SignToolTest, RefusesWhatWouldNotVerify) {
  enum Outcome { kRefused, kSignedAndVerifies, kSigned };
  const struct Case {
    const char* what;
    std::vector<std::string> args;  // the command and its options; the tree (sign-dir) or its a.txt follows
    void (*setup)(const fs::path& tree);
    Outcome outcome;
    std::string message;  // a line that standard error holds when refused
    bool as_other_user;
  } cases[] = {
      {"a file name that is not UTF-8", {"sign-dir"}, [](const fs::path& t) { writeFile(t / "caf\xe9.txt", "x"); },
       kRefused, "  caf\\xe9.txt: the name is not valid UTF-8\n", false},
      {"a directory name that is not UTF-8", {"sign-dir"},
       [](const fs::path& t) {
         fs::create_directory(t / "d\xff");
         writeFile(t / "d\xff" / "b.txt", "x");
       },
       kRefused, "  d\\xff/b.txt: the name is not valid UTF-8\n", false},
      {"a link, listed under its target's name, which is not UTF-8", {"sign-dir"},
       [](const fs::path& t) {
         writeFile(t.parent_path() / "outside-caf\xe9", "x");
         fs::create_symlink(t.parent_path() / "outside-caf\xe9", t / "link");
       },
       kRefused, "  ../outside-caf\\xe9: the name is not valid UTF-8\n", false},
      {"a hidden file", {"sign-dir"}, [](const fs::path& t) { writeFile(t / ".caf\xe9", "x"); }, kSignedAndVerifies,
       "", false},
      {"a hidden file with --include-hidden", {"sign-dir", "--include-hidden"},
       [](const fs::path& t) { writeFile(t / ".caf\xe9", "x"); }, kRefused,
       "  .caf\\xe9: the name is not valid UTF-8\n", false},
      {"a file directly inside meta-inf", {"sign-dir"},
       [](const fs::path& t) {
         fs::create_directory(t / "meta-inf");
         writeFile(t / "meta-inf" / "caf\xe9", "x");
       },
       kSignedAndVerifies, "", false},
      // The verifier's rescan then lists the excluded file as added, as it does any file the signer excluded.
      {"a file left out by --exclude", {"sign-dir", "--exclude", "*.tmp"},
       [](const fs::path& t) { writeFile(t / "caf\xe9.tmp", "x"); }, kSigned, "", false},
      {"--skill-id", {"sign-dir", "--skill-id", "Caf\xe9"}, nothing, kRefused,
       "--skill-id is not valid UTF-8: Caf\\xe9\n", false},
      {"--developer", {"sign-dir", "--developer", "Caf\xe9"}, nothing, kRefused,
       "--developer is not valid UTF-8: Caf\\xe9\n", false},
      {"--pubkey-hash", {"sign-dir", "--pubkey-hash", "Caf\xe9"}, nothing, kRefused,
       "--pubkey-hash is not valid UTF-8: Caf\\xe9\n", false},
      {"--binary-hash", {"sign-dir", "--binary-hash", "Caf\xe9"}, nothing, kRefused,
       "--binary-hash is not valid UTF-8: Caf\\xe9\n", false},
      {"--developer of sign-file", {"sign-file", "--developer", "Caf\xe9"}, nothing, kRefused,
       "--developer is not valid UTF-8: Caf\\xe9\n", false},
      // Root reads any file, so the signer is the user nobody (and the file is closed to its owner too).
      {"a listed file that the signer may not read", {"sign-dir"},
       [](const fs::path& t) {
         writeFile(t / "secret.txt", "x");
         fs::permissions(t / "secret.txt", fs::perms::none);
       },
       kRefused, "  secret.txt: no manifest entry: the file could not be read, or changed while it was signed\n",
       true},
  };
  int index = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const fs::path tree = newTree("tree" + std::to_string(index++));
    c.setup(tree);
    const bool whole_tree = c.args.front() == "sign-dir";
    std::vector<std::string> args = c.args;
    args.insert(args.begin() + 1, {"--key", key_.string()});
    args.push_back((whole_tree ? tree : tree / "a.txt").string());
    const ToolRun r = run(args, c.as_other_user);
    if (c.outcome == kRefused) {
      EXPECT_EQ(r.status, 2) << r.errors;
      EXPECT_NE(r.errors.find(c.message), std::string::npos) << r.errors;
      EXPECT_FALSE(fs::exists(tree / "meta-inf" / "signature.json") || fs::exists(tree / "a.txt.sig"))
          << "nothing is written when refused";
    } else {
      EXPECT_EQ(r.status, 0) << r.errors;
      EXPECT_EQ(r.errors, "");
      EXPECT_EQ(isTolvaneSign(tree, crypto::PublicKey::fromPrivateKey(devKey())).is_valid,
                c.outcome == kSignedAndVerifies);
    }
  }
}

}  // namespace
}  // namespace bnq::sign
