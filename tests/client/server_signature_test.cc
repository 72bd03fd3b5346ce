// The Linux peer check's signature step on its own: only a regular file that carries a valid signature under
// the built-in key passes.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "server_signature_check.h"
#include "standin_daemon.h"

namespace {

namespace fs = std::filesystem;

TEST(ServerSignature, OnlyASignedRegularFilePasses) {
  char name[] = "/tmp/brannic-sigcheck-XXXXXX";
  ASSERT_NE(::mkdtemp(name), nullptr);
  const fs::path scratch = name;
  const fs::path dir = scratch / "Tolvane";
  fs::create_directories(dir);
  std::ofstream(dir / "tolvane_daemon") << "not a program\n";
  const std::string signDir = std::string(BNQ_SIGN_TOOL) + " sign-dir --key " + BNQ_DEV_PRIVATE_KEY + " " +
                              dir.string() + " >/dev/null";
  ASSERT_EQ(std::system(signDir.c_str()), 0);
  const std::string check = std::string(BNQ_SIGN_TOOL) + " check " + dir.string() + " >/dev/null";
  ASSERT_EQ(std::system(check.c_str()), 0) << "the directory itself carries a valid signature";

  const std::string signedDaemon = brannic_test::StandinDaemon::defaultProgram();
  EXPECT_TRUE(rpc_sdk::serverExecutableIsSigned(signedDaemon));
  EXPECT_FALSE(rpc_sdk::serverExecutableIsSigned(BRANNIC_UNSIGNED_DAEMON));
  EXPECT_FALSE(rpc_sdk::serverExecutableIsSigned(dir.string()));
  EXPECT_FALSE(rpc_sdk::serverExecutableIsSigned((scratch / "missing").string()));
  EXPECT_FALSE(rpc_sdk::serverExecutableIsSigned("tolvane_daemon"));
  fs::remove_all(scratch);
}

}  // namespace
