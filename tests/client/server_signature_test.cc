// The Linux peer check's signature step on its own. Through the path text or through the file the peer
// runs, only a regular ELF file of at most 1 GiB whose signature section verifies under the built-in key
// passes; where the running file is given, the path text plays no part.
#include <gtest/gtest.h>

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
  EXPECT_TRUE(rpc_sdk::serverExecutableIsSigned({signedDaemon, ""}));
  EXPECT_FALSE(rpc_sdk::serverExecutableIsSigned({BRANNIC_UNSIGNED_DAEMON, ""}));
  EXPECT_FALSE(rpc_sdk::serverExecutableIsSigned({signedDir().string(), ""}));
  // Only an ELF file carries a signature of its own: a detached document vouches for no executable.
  EXPECT_FALSE(rpc_sdk::serverExecutableIsSigned({signedScript().string(), ""}));
  EXPECT_FALSE(rpc_sdk::serverExecutableIsSigned({missing().string(), ""}));
  EXPECT_FALSE(rpc_sdk::serverExecutableIsSigned({"tolvane_daemon", ""}));
}

TEST_F(ServerSignature, ThroughTheRunningFile) {
  const std::string signedDaemon = brannic_test::StandinDaemon::defaultProgram();
  const std::string gone = signedDaemon + " (deleted)";
  EXPECT_TRUE(rpc_sdk::serverExecutableIsSigned({gone, signedDaemon}));
  EXPECT_FALSE(rpc_sdk::serverExecutableIsSigned({signedDaemon, BRANNIC_UNSIGNED_DAEMON}));
  // A detached document never vouches for what runs, even one that verifies.
  EXPECT_FALSE(rpc_sdk::serverExecutableIsSigned({signedScript().string(), signedScript().string()}));
  EXPECT_FALSE(rpc_sdk::serverExecutableIsSigned({signedDaemon, signedDir().string()}));
  EXPECT_FALSE(rpc_sdk::serverExecutableIsSigned({signedDaemon, missing().string()}));
}

// Bytes after the last section are not signed, so padding keeps a signed daemon valid; on either route a
// file larger than 1 GiB is refused before it is read.
TEST_F(ServerSignature, AtMostOneGibibyteOnEitherRoute) {
  const fs::path padded = scratch_ / "Tolvane-padded";
  fs::copy_file(brannic_test::StandinDaemon::defaultProgram(), padded);
  for (const std::uintmax_t size : {std::uintmax_t{1} << 30, (std::uintmax_t{1} << 30) + 1}) {
    fs::resize_file(padded, size);
    const bool accepted = size == std::uintmax_t{1} << 30;
    EXPECT_EQ(rpc_sdk::serverExecutableIsSigned({padded.string(), ""}), accepted) << size;
    EXPECT_EQ(rpc_sdk::serverExecutableIsSigned({"tolvane_daemon", padded.string()}), accepted) << size;
  }
}

}  // namespace
