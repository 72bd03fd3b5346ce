// bnq_sign_tool: signs files for tests and for the build with a PEM private key, in the formats codeSign
// verifies. Exit status 0 on success, 1 on a failed check, 2 on bad usage or any error (with a message on
// standard error).
//
//   bnq_sign_tool sign-elf  --key PEM [CERT] [--binary-hash HEX] IN OUT
//       copies the ELF file IN to OUT with a ".tolsec" section holding the signature data of IN's ELF
//       content hash (added with objcopy; an existing ".tolsec" is replaced)
//   bnq_sign_tool sign-file --key PEM [CERT] [--binary-hash HEX] FILE
//       writes FILE.sig for the SHA-256 of FILE
//   bnq_sign_tool sign-dir  --key PEM [CERT] [--exclude GLOB]... [--exclude-path REL]... [--max-size BYTES]
//                           [--include-hidden] DIR
//       writes DIR/meta-inf/manifest.json and DIR/meta-inf/signature.json
//   bnq_sign_tool gen-key PRIVATE_PEM PUBLIC_PEM    a new RSA-2048 key pair
//   bnq_sign_tool elf-hash FILE                     prints the ELF content hash of FILE
//   bnq_sign_tool check [--public-key PEM] PATH     prints isTolvaneSign's result as JSON (built-in key by
//                                                   default); exit 0 when valid, 1 otherwise
//
// CERT: --skill-id TEXT (default "dev.brannic.test"), --developer TEXT (default "brannic test signer"),
//       --pubkey-hash TEXT (default: the signing key's hash), --not-before TIME (default -3600),
//       --not-after TIME (default +315360000, ten years). TIME is seconds since the epoch, or +N / -N
//       seconds from now; "--not-before -7200 --not-after -3600" gives a window that has already ended.
// --binary-hash stores HEX (even "") instead of the computed hash.
// Each output is written to a new file in its directory and renamed over its target when complete: a link
// at the target is replaced, not followed, and a failure leaves the target as it was.
// Nothing is signed that would not verify (exit 2, naming the option or each path): --skill-id, --developer,
// --pubkey-hash and --binary-hash must be valid UTF-8, and so must the path of each file that sign-dir lists,
// each of which must also get into the manifest (it was read and hashed, and did not change meanwhile).
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <optional>
#include <string>
#include <vector>

#include "codeSign/src/internal/elf_file.h"
#include "codeSign/src/internal/utf8.h"
#include "codeSign/src/tolvane_check.h"
#include "signing.h"

namespace {

namespace fs = std::filesystem;
namespace sign = bnq::sign;

struct UsageError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

int64_t parseInteger(const std::string& text) {
  size_t used = 0;
  long long value = 0;
  try {
    value = std::stoll(text, &used, 10);
  } catch (const std::exception&) {
    throw UsageError("not a number: " + text);
  }
  if (used != text.size()) throw UsageError("not a number: " + text);
  return value;
}

sign::TimePoint parseTime(const std::string& text) {
  const bool relative = !text.empty() && (text[0] == '+' || text[0] == '-');
  const int64_t value = parseInteger(text);
  const auto now = std::chrono::time_point_cast<std::chrono::seconds>(std::chrono::system_clock::now());
  const auto seconds = relative ? now.time_since_epoch().count() + value : value;
  return sign::TimePoint(std::chrono::seconds(seconds));
}

// A text for the signed payload, which holds only what its canonical JSON text tells apart.
std::string payloadText(const std::string& option, const std::string& text) {
  if (!sign::isValidUtf8(text)) throw UsageError(option + " is not valid UTF-8: " + sign::signing::printable(text));
  return text;
}

struct Arguments {
  std::string command;
  std::optional<fs::path> key;
  std::optional<fs::path> public_key;
  sign::signing::SignOptions options;
  sign::SignConfig config;
  std::vector<std::string> positional;
};

Arguments parse(int argc, char** argv) {
  if (argc < 2) throw UsageError("no command");
  Arguments a;
  a.command = argv[1];
  a.options.certificate = sign::signing::certificateFor("dev.brannic.test", "brannic test signer", 3600, 315360000);
  for (int i = 2; i < argc; ++i) {
    const std::string arg = argv[i];
    auto value = [&]() -> std::string {
      if (i + 1 >= argc) throw UsageError(arg + " needs a value");
      return argv[++i];
    };
    if (arg == "--key") {
      a.key = value();
    } else if (arg == "--public-key") {
      a.public_key = value();
    } else if (arg == "--skill-id") {
      a.options.certificate.skill_id = payloadText(arg, value());
    } else if (arg == "--developer") {
      a.options.certificate.developer = payloadText(arg, value());
    } else if (arg == "--pubkey-hash") {
      a.options.certificate.pubkey_hash = payloadText(arg, value());
    } else if (arg == "--not-before") {
      a.options.certificate.not_before = parseTime(value());
    } else if (arg == "--not-after") {
      a.options.certificate.not_after = parseTime(value());
    } else if (arg == "--binary-hash") {
      a.options.binary_hash = payloadText(arg, value());
    } else if (arg == "--exclude") {
      a.config.exclude_patterns.push_back(value());
    } else if (arg == "--exclude-path") {
      a.config.exclude_paths.emplace_back(value());
    } else if (arg == "--max-size") {
      const int64_t size = parseInteger(value());
      if (size < 0) throw UsageError("--max-size must not be negative");
      a.config.max_file_size = static_cast<uint64_t>(size);
    } else if (arg == "--include-hidden") {
      a.config.include_hidden = true;
    } else if (arg.size() > 1 && arg[0] == '-' && arg[1] == '-') {
      throw UsageError("unknown option " + arg);
    } else {
      a.positional.push_back(arg);
    }
  }
  return a;
}

void expect(const Arguments& a, size_t positional, bool key) {
  if (a.positional.size() != positional) throw UsageError(a.command + ": wrong number of arguments");
  if (key && !a.key) throw UsageError(a.command + " needs --key");
}

int runCommand(const Arguments& a) {
  if (a.command == "sign-elf") {
    expect(a, 2, true);
    sign::signing::signElf(a.positional[0], a.positional[1], sign::signing::loadPrivateKey(*a.key), a.options);
  } else if (a.command == "sign-file") {
    expect(a, 1, true);
    sign::signing::signFile(a.positional[0], sign::signing::loadPrivateKey(*a.key), a.options);
  } else if (a.command == "sign-dir") {
    expect(a, 1, true);
    sign::signing::signDirectory(a.positional[0], sign::signing::loadPrivateKey(*a.key), a.options, a.config);
  } else if (a.command == "gen-key") {
    expect(a, 2, false);
    const sign::crypto::KeyPair pair = sign::crypto::KeyPair::generateRSA(2048);
    if (pair.private_key.saveToFile(a.positional[0]) != sign::ErrorCode::SUCCESS ||
        pair.public_key.saveToFile(a.positional[1]) != sign::ErrorCode::SUCCESS) {
      throw std::runtime_error("cannot generate or write the key pair");
    }
  } else if (a.command == "elf-hash") {
    expect(a, 1, false);
    const std::string hash = sign::computeElfContentHash(a.positional[0]);
    if (hash.empty()) throw std::runtime_error("no ELF content hash for " + a.positional[0]);
    std::printf("%s\n", hash.c_str());
  } else if (a.command == "check") {
    expect(a, 1, false);
    std::optional<sign::crypto::PublicKey> key;
    if (a.public_key) {
      key.emplace();
      if (key->loadFromFile(*a.public_key) != sign::ErrorCode::SUCCESS) {
        throw std::runtime_error("cannot load the public key " + a.public_key->string());
      }
    }
    const sign::TolvaneCheckResult result = sign::isTolvaneSign(a.positional[0], std::move(key));
    std::printf("%s\n", sign::exportSignatureInfoPretty(result).c_str());
    return result.is_valid ? 0 : 1;
  } else {
    throw UsageError("unknown command " + a.command);
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    return runCommand(parse(argc, argv));
  } catch (const UsageError& e) {
    std::fprintf(stderr, "bnq_sign_tool: %s\nusage: see the comment at the top of tests/signing/sign_tool.cc\n",
                 e.what());
  } catch (const std::exception& e) {
    std::fprintf(stderr, "bnq_sign_tool: %s\n", e.what());
  }
  return 2;
}
