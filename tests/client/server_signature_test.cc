// The Linux peer check's signature step on its own. Through the path text or through the file the peer
// runs, only a regular ELF file of at most 1 GiB whose signature section verifies under the built-in key
// passes; where the running file is given, the path text plays no part. A peer whose user namespace lies
// inside the host's is refused first.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "server_signature_check.h"
#include "standin_daemon.h"
#include "temp_dir.h"

namespace {

namespace fs = std::filesystem;

class ServerSignature : public ::testing::Test {
 protected:
  void SetUp() override {
    // A directory and a file that is not ELF, each validly signed (the file by its detached document).
    fs::create_directories(signedDir());
    std::ofstream(signedDir() / "tolvane_daemon") << "not a program\n";
    std::ofstream(signedScript()) << "#!/bin/sh\n";
    ASSERT_EQ(tool("sign-dir --key " + std::string(BNQ_DEV_PRIVATE_KEY) + " " + signedDir().string()), 0);
    ASSERT_EQ(tool("sign-file --key " + std::string(BNQ_DEV_PRIVATE_KEY) + " " + signedScript().string()), 0);
    ASSERT_EQ(tool("check " + signedDir().string()), 0) << "the directory itself carries a valid signature";
    ASSERT_EQ(tool("check " + signedScript().string()), 0) << "the file itself carries a valid signature";
  }
  static int tool(const std::string& args) {
    return std::system((std::string(BNQ_SIGN_TOOL) + " " + args + " >/dev/null").c_str());
  }
  fs::path signedDir() const { return scratch_ / "Tolvane"; }
  fs::path signedScript() const { return scratch_ / "tolvane_daemon.sh"; }
  fs::path missing() const { return scratch_ / "missing"; }

  brannic_test::TempDir scratch_{"brannic-sigcheck"};
};

TEST_F(ServerSignature, ThroughThePathText) {
  const std::string signedDaemon = brannic_test::StandinDaemon::defaultProgram();
  EXPECT_TRUE(rpc_sdk::serverExecutableIsSigned({signedDaemon, "", ""}));
  EXPECT_FALSE(rpc_sdk::serverExecutableIsSigned({BRANNIC_UNSIGNED_DAEMON, "", ""}));
  EXPECT_FALSE(rpc_sdk::serverExecutableIsSigned({signedDir().string(), "", ""}));
  // Only an ELF file carries a signature of its own: a detached document vouches for no executable.
  EXPECT_FALSE(rpc_sdk::serverExecutableIsSigned({signedScript().string(), "", ""}));
  EXPECT_FALSE(rpc_sdk::serverExecutableIsSigned({missing().string(), "", ""}));
  EXPECT_FALSE(rpc_sdk::serverExecutableIsSigned({"tolvane_daemon", "", ""}));
}

TEST_F(ServerSignature, ThroughTheRunningFile) {
  const std::string signedDaemon = brannic_test::StandinDaemon::defaultProgram();
  const std::string gone = signedDaemon + " (deleted)";
  EXPECT_TRUE(rpc_sdk::serverExecutableIsSigned({gone, signedDaemon, ""}));
  EXPECT_FALSE(rpc_sdk::serverExecutableIsSigned({signedDaemon, BRANNIC_UNSIGNED_DAEMON, ""}));
  // A detached document never vouches for what runs, even one that verifies.
  EXPECT_FALSE(rpc_sdk::serverExecutableIsSigned({signedScript().string(), signedScript().string(), ""}));
  EXPECT_FALSE(rpc_sdk::serverExecutableIsSigned({signedDaemon, signedDir().string(), ""}));
  EXPECT_FALSE(rpc_sdk::serverExecutableIsSigned({signedDaemon, missing().string(), ""}));
}

// Bytes after the last section are not signed, so padding keeps a signed daemon valid; on either route a
// file larger than 1 GiB is refused before it is read.
TEST_F(ServerSignature, AtMostOneGibibyteOnEitherRoute) {
  const fs::path padded = scratch_ / "Tolvane-padded";
  fs::copy_file(brannic_test::StandinDaemon::defaultProgram(), padded);
  for (const std::uintmax_t size : {std::uintmax_t{1} << 30, (std::uintmax_t{1} << 30) + 1}) {
    fs::resize_file(padded, size);
    const bool accepted = size == std::uintmax_t{1} << 30;
    EXPECT_EQ(rpc_sdk::serverExecutableIsSigned({padded.string(), "", ""}), accepted) << size;
    EXPECT_EQ(rpc_sdk::serverExecutableIsSigned({"tolvane_daemon", padded.string(), ""}), accepted) << size;
  }
}

// Writes `text` to the file at `path` (which exists).
bool put(const char* path, const std::string& text) {
  const int fd = ::open(path, O_WRONLY | O_CLOEXEC);
  if (fd < 0) return false;
  const bool written = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  return ::close(fd) == 0 && written;
}

// A child process that sits in a user namespace `depth` levels below the test's own until destroyed. At
// each level it maps its ids onto those of the level above, which the next level needs.
class NestedProcess {
 public:
  explicit NestedProcess(int depth) {
    int ready[2];
    if (::pipe(ready) != 0) return;
    pid_ = ::fork();
    if (pid_ == 0) {
      ::close(ready[0]);
      for (int i = 0; i < depth; ++i) {
        const std::string uid = std::to_string(::geteuid());
        const std::string gid = std::to_string(::getegid());
        if (::unshare(CLONE_NEWUSER) != 0 || !put("/proc/self/setgroups", "deny") ||
            !put("/proc/self/uid_map", "0 " + uid + " 1") || !put("/proc/self/gid_map", "0 " + gid + " 1")) {
          ::_exit(1);
        }
      }
      (void)!::write(ready[1], "r", 1);
      for (;;) ::pause();
    }
    ::close(ready[1]);
    char byte = 0;
    entered_ = pid_ > 0 && ::read(ready[0], &byte, 1) == 1;
    ::close(ready[0]);
  }
  ~NestedProcess() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
  }
  NestedProcess(const NestedProcess&) = delete;
  NestedProcess& operator=(const NestedProcess&) = delete;

  bool entered() const { return entered_; }
  std::string userNamespace() const { return "/proc/" + std::to_string(pid_) + "/ns/user"; }

 private:
  pid_t pid_ = -1;
  bool entered_ = false;
};

// The namespace step comes first: a peer nested inside the host's user namespace is refused whatever file
// it names, while the host's own namespace, or one that does not open, leaves the decision to the file.
TEST_F(ServerSignature, ThroughTheUserNamespace) {
  const std::string signedDaemon = brannic_test::StandinDaemon::defaultProgram();
  EXPECT_TRUE(rpc_sdk::serverExecutableIsSigned({signedDaemon, signedDaemon, "/proc/self/ns/user"}));
  EXPECT_FALSE(rpc_sdk::serverExecutableIsSigned({signedDaemon, BRANNIC_UNSIGNED_DAEMON, "/proc/self/ns/user"}));
  EXPECT_TRUE(rpc_sdk::serverExecutableIsSigned({signedDaemon, signedDaemon, missing().string()}));
  EXPECT_TRUE(rpc_sdk::serverExecutableIsSigned({signedDaemon, "", missing().string()}));
  EXPECT_FALSE(rpc_sdk::serverExecutableIsSigned({"tolvane_daemon", "", missing().string()}));
  for (const int depth : {1, 2, 33}) {
    const NestedProcess nested(depth);
    if (!nested.entered()) GTEST_SKIP() << "the kernel refuses " << depth << " nested user namespaces here";
    EXPECT_FALSE(rpc_sdk::serverExecutableIsSigned({signedDaemon, signedDaemon, nested.userNamespace()})) << depth;
    EXPECT_FALSE(rpc_sdk::serverExecutableIsSigned({signedDaemon, "", nested.userNamespace()})) << depth;
  }
}

}  // namespace
