// The fixture shared by the codeSign tests that sign things: the development key, a second key, ready-made
// signing options, a temporary directory and the compiled fixture ELF file.
#ifndef BRANNIC_TESTS_CODESIGN_SIGNING_FIXTURE_H_
#define BRANNIC_TESTS_CODESIGN_SIGNING_FIXTURE_H_

#include <grp.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <utility>

#include "codeSign/src/crypto.h"
#include "codeSign/src/verifier.h"
#include "signing.h"
#include "test_support.h"

namespace bnq::sign::testing {

class SigningTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dev_key_ = new crypto::PrivateKey(signing::loadPrivateKey(BNQ_DEV_PRIVATE_KEY));
    other_key_ = new crypto::PrivateKey(crypto::PrivateKey::generateRSA(2048));
  }
  static void TearDownTestSuite() {
    delete dev_key_;
    delete other_key_;
    dev_key_ = other_key_ = nullptr;
  }

  static const crypto::PrivateKey& devKey() { return *dev_key_; }
  static const crypto::PrivateKey& otherKey() { return *other_key_; }

  // Certificate window one hour either side of now.
  static signing::SignOptions valid() {
    signing::SignOptions options;
    options.certificate = signing::certificateFor("skill.one", "Dev One", 3600, 3600);
    return options;
  }
  // A window that ended an hour ago.
  static signing::SignOptions ended() {
    signing::SignOptions options;
    options.certificate = signing::certificateFor("skill.one", "Dev One", 7200, -3600);
    return options;
  }
  static VerifyOptions keyOptions(const crypto::PrivateKey& key, bool skip_time_check = false) {
    VerifyOptions options;
    options.public_key = crypto::PublicKey::fromPrivateKey(key);
    options.skip_time_check = skip_time_check;
    return options;
  }
  static Verifier devVerifier(bool skip_time_check = false) {
    return Verifier(keyOptions(devKey(), skip_time_check));
  }

  // A copy of the fixture program signed with `options` (and the development key unless given another).
  std::filesystem::path signedElf(const std::string& name, const signing::SignOptions& options,
                                  const crypto::PrivateKey* key = nullptr) {
    const std::filesystem::path out = dir_ / name;
    signing::signElf(BNQ_FIXTURE_ELF, out, key ? *key : devKey(), options);
    return out;
  }

  TempDir dir_;

 private:
  static crypto::PrivateKey* dev_key_;
  static crypto::PrivateKey* other_key_;
};
inline crypto::PrivateKey* SigningTest::dev_key_ = nullptr;
inline crypto::PrivateKey* SigningTest::other_key_ = nullptr;

// Runs `check` in a child process without the privilege to read what others own (root drops to the user
// "nobody"; any other user keeps its rights, so the files involved are made unreadable to their owner too).
// Gives the child's exit status: `check`'s result, or 99 when the privileges could not be dropped.
inline int inUnprivilegedChild(const std::function<int()>& check) {
  const pid_t pid = fork();
  if (pid < 0) return -1;
  if (pid == 0) {
    if (geteuid() == 0 && (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0)) _exit(99);
    int code = 98;
    try {
      code = check();
    } catch (...) {
    }
    _exit(code);
  }
  int status = 0;
  if (waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
}

}  // namespace bnq::sign::testing

#endif  // BRANNIC_TESTS_CODESIGN_SIGNING_FIXTURE_H_
