// The signing tool refuses, with exit status 2 and a message naming the cause, to sign what would never
// verify: a manifest name or a certificate text that is not valid UTF-8 (JSON writes such a text as some
// other one), and a listed file that did not get into the manifest. It never writes through a link.
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
#include "elf_support.h"
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

// Every output of the tool is a new file renamed over its target: a link there is replaced, the file it
// pointed to is left as it was, and what was signed verifies.
TEST_F(SignToolTest, OutputsReplaceLinksAndNeverWriteThroughThem) {
  const struct Case {
    const char* what;
    std::vector<std::string> command;  // the command; the key follows, then `args` for the tree
    std::vector<std::string> (*args)(const fs::path& tree);
    fs::path (*output)(const fs::path& tree);  // made a link to a victim before the run, unless empty
    fs::path (*checked)(const fs::path& tree);  // what then verifies
  } cases[] = {
      {"meta-inf/manifest.json", {"sign-dir"}, [](const fs::path& t) { return std::vector<std::string>{t}; },
       [](const fs::path& t) { return t / "meta-inf" / "manifest.json"; }, [](const fs::path& t) { return t; }},
      {"meta-inf/signature.json", {"sign-dir"}, [](const fs::path& t) { return std::vector<std::string>{t}; },
       [](const fs::path& t) { return t / "meta-inf" / "signature.json"; }, [](const fs::path& t) { return t; }},
      {"a .sig", {"sign-file"}, [](const fs::path& t) { return std::vector<std::string>{t / "a.txt"}; },
       [](const fs::path& t) { return t / "a.txt.sig"; }, [](const fs::path& t) { return t / "a.txt"; }},
      {"the output of sign-elf", {"sign-elf"},
       [](const fs::path& t) { return std::vector<std::string>{BNQ_FIXTURE_ELF, t / "program"}; },
       [](const fs::path& t) { return t / "program"; }, [](const fs::path& t) { return t / "program"; }},
      {"sign-elf with the input as the output", {"sign-elf"},
       [](const fs::path& t) {
         fs::copy_file(BNQ_FIXTURE_ELF, t / "program");
         return std::vector<std::string>{t / "program", t / "program"};
       },
       [](const fs::path&) { return fs::path(); }, [](const fs::path& t) { return t / "program"; }},
  };
  int index = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const fs::path tree = newTree("linked" + std::to_string(index++));
    fs::create_directory(tree / "meta-inf");
    const fs::path victim = tree.parent_path() / (tree.filename().string() + "-victim");
    writeFile(victim, "the victim's own bytes");
    const fs::path output = c.output(tree);
    if (!output.empty()) fs::create_symlink(victim, output);
    std::vector<std::string> args = c.command;
    args.insert(args.end(), {"--key", key_.string()});
    for (const std::string& a : c.args(tree)) args.push_back(a);
    const ToolRun r = run(args, false);
    EXPECT_EQ(r.status, 0) << r.errors;
    EXPECT_EQ(testing::readBytes(victim), "the victim's own bytes");
    if (!output.empty()) {
      EXPECT_FALSE(fs::is_symlink(output));
      EXPECT_TRUE(fs::is_regular_file(output));
    }
    const TolvaneCheckResult check = isTolvaneSign(c.checked(tree), crypto::PublicKey::fromPrivateKey(devKey()));
    EXPECT_TRUE(check.is_valid) << check.error_message;
    std::vector<std::string> left;
    for (const fs::directory_entry& e : fs::recursive_directory_iterator(tree)) {
      if (e.path().filename().string().front() == '.') left.push_back(e.path().string());
    }
    EXPECT_EQ(left, std::vector<std::string>{}) << "no new file is left behind";
  }
}

}  // namespace
}  // namespace bnq::sign
