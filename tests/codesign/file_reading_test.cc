// How the checks open and read files: nothing but a regular file (or a directory) is ever opened for
// reading, nor any file of a kernel file system such as /proc or /sys, nor any file at all where /proc is not
// mounted; a file is read up to the size its open found and no further, and a signature document or a
// manifest larger than its bound is refused before any byte is read.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sched.h>
#include <stdio.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <fstream>
#include <functional>
#include <optional>
#include <string>
#include <thread>
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

constexpr char kSha256Empty[] = "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";

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
  // Lists `path` with `hash` in the stored manifest (a new entry unless it is listed), keeping the signature.
  void list(const fs::path& path, const std::string& hash) {
    Manifest manifest = *ManifestLoader::loadFromDirectory(tree_);
    const auto listed = std::find_if(manifest.entries.begin(), manifest.entries.end(),
                                     [&](const ManifestEntry& e) { return e.path == path; });
    if (listed != manifest.entries.end()) {
      listed->hash = hash;
    } else {
      manifest.entries.push_back(ManifestEntry{path, hash, 0, {}});
    }
    signing::writeJsonFile(metaInf("manifest.json"), manifest.toJson());
  }
  static fs::path fifoInPlaceOf(const fs::path& path) {
    fs::remove(path);
    if (mkfifo(path.c_str(), 0600) != 0) throw std::runtime_error("mkfifo failed for " + path.string());
    return path;
  }
  static void linkInPlaceOf(const fs::path& path, const fs::path& target) {
    fs::remove(path);
    fs::create_symlink(target, path);
  }
  // Whether `check` returns true in a child process within five seconds.
  static bool holdsAtOnce(const std::function<bool()>& check) {
    return testing::exitCodeWithin(std::chrono::seconds(5), [&] { return check() ? 0 : 1; }) == 0;
  }

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
// manifest of more than 128 MiB, is unreadable whatever it holds. Padded to exactly the bound they are read.
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
      {"manifest.json", metaInf("manifest.json"), kMaxManifestSize, true, [&] { return checkTree(); },
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

// A FIFO whose writer waits for a reader, wherever a check meets it: the check must leave the writer waiting
// (an open for reading would release it, as opening some devices has effects) and give its outcome for a
// file that is not a regular file.
TEST_F(FileReadingTest, NodesThatAreNotRegularFilesAreNeverOpened) {
  struct Case {
    const char* what;
    std::function<fs::path()> place;  // puts the FIFO in place and gives its path
    std::function<bool()> check;      // true when the outcome is right
  };
  const Case cases[] = {
      {"a hashed file", [&] { return fifoInPlaceOf(file_); },
       [&] { return crypto::computeFileHash(file_, HashAlgorithm::SHA256).empty(); }},
      {"the checked file", [&] { return fifoInPlaceOf(file_); },
       [&] { return checkFile().error_message == "File content has changed since signing"; }},
      {"its .sig", [&] { return fifoInPlaceOf(sigOf(file_)); },
       [&] { return checkFile().error_message == "No signature file found (.signed.sig)"; }},
      {"signature.json", [&] { return fifoInPlaceOf(metaInf("signature.json")); },
       [&] { return checkTree().error_message == "No signature found"; }},
      {"manifest.json", [&] { return fifoInPlaceOf(metaInf("manifest.json")); },
       [&] { return checkTree().error_message == "Manifest not found"; }},
      {"a manifest entry",
       [&] {
         list("pipe", kSha256Empty);
         return fifoInPlaceOf(tree_ / "pipe");
       },
       [&] { return checkTree().modified == Names{"pipe"}; }},
      {"a link in place of a listed file",
       [&] {
         linkInPlaceOf(tree_ / "a.txt", file_.parent_path() / "pipe");
         return fifoInPlaceOf(file_.parent_path() / "pipe");
       },
       [&] { return checkTree().modified == Names{"a.txt"}; }},
      {"an absolute manifest entry",
       [&] {
         list(file_.parent_path() / "pipe", kSha256Empty);
         return fifoInPlaceOf(file_.parent_path() / "pipe");
       },
       [&] { return checkTree().modified == Names{(file_.parent_path() / "pipe").string()}; }},
  };
  for (const Case& c : cases) {
    makeSigned(std::string("fifo-") + std::to_string(&c - cases));
    testing::WaitingWriter writer(c.place());
    EXPECT_TRUE(holdsAtOnce(c.check)) << c.what;
    EXPECT_TRUE(writer.stillWaiting()) << c.what << ": the FIFO was opened for reading";
  }
}

// Devices behind links in place of the files: read as files they would never end (/dev/zero) or look empty
// (/dev/null). Each check ends at once with the outcome for a file that is not a regular file.
TEST_F(FileReadingTest, DevicesInPlaceOfFilesAreNeverRead) {
  struct Case {
    const char* what;
    std::function<void()> place;
    std::function<bool()> check;
  };
  const Case cases[] = {
      {"/dev/null listed with the digest of no bytes",
       [&] {
         list("a.txt", kSha256Empty);
         linkInPlaceOf(tree_ / "a.txt", "/dev/null");
       },
       [&] { return checkTree().modified == Names{"a.txt"}; }},
      {"/dev/zero with a valid .sig", [&] { linkInPlaceOf(file_, "/dev/zero"); },
       [&] { return checkFile().error_message == "File content has changed since signing"; }},
      {"/dev/zero as signature.json", [&] { linkInPlaceOf(metaInf("signature.json"), "/dev/zero"); },
       [&] { return checkTree().error_message == "No signature found"; }},
      {"/dev/zero as manifest.json", [&] { linkInPlaceOf(metaInf("manifest.json"), "/dev/zero"); },
       [&] { return checkTree().error_message == "Manifest not found"; }},
  };
  for (const Case& c : cases) {
    makeSigned(std::string("device-") + std::to_string(&c - cases));
    c.place();
    EXPECT_TRUE(holdsAtOnce(c.check)) << c.what;
  }
}

// Files of the kernel's pseudo file systems (procfs, sysfs and the like) may change state when read, and a
// few report the size of what they hold: behind a listed link, each is modified and gets no digest even when
// its listed hash is the digest of what a plain read of it gives.
TEST_F(FileReadingTest, FilesOfKernelFileSystemsAreNeverRead) {
  const char* const targets[] = {"/proc/self/timers", "/sys/kernel/notes"};
  for (const char* target : targets) {
    if (!fs::exists(target)) GTEST_SKIP() << target << " is missing on this kernel";
  }
  for (const char* const& target : targets) {
    std::ifstream in(target, std::ios::binary);
    std::string content;
    char buffer[4096];
    while (in.read(buffer, sizeof buffer) || in.gcount() > 0) content.append(buffer, static_cast<size_t>(in.gcount()));
    ASSERT_FALSE(in.bad()) << target;
    makeSigned(std::string("kernel-") + std::to_string(&target - targets));
    list("a.txt", crypto::computeStringHash(content, HashAlgorithm::SHA256));
    linkInPlaceOf(tree_ / "a.txt", target);
    EXPECT_EQ(checkTree().modified, Names{"a.txt"}) << target;
    EXPECT_EQ(crypto::computeFileHash(target, HashAlgorithm::SHA256), "") << target;
  }
}

// A read of /proc/kmsg takes what it reads out of the kernel log: a listed link to it, checked and hashed,
// leaves the next reader of the log every byte. Takes what the log holds unread first (as root only).
TEST_F(FileReadingTest, TheKernelLogLosesNoByteToACheck) {
  if (geteuid() != 0) GTEST_SKIP() << "only root reads the kernel log";
  const int log = ::open("/proc/kmsg", O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (log < 0) GTEST_SKIP() << "/proc/kmsg cannot be read";
  const struct Closer {
    int fd;
    ~Closer() { ::close(fd); }
  } closer{log};
  char buffer[8192];
  while (::read(log, buffer, sizeof buffer) > 0) {
  }
  ASSERT_EQ(errno, EAGAIN);
  {
    std::ofstream kernel("/dev/kmsg");
    kernel << "<6>codesign test: a record for the next reader\n" << std::flush;
    if (!kernel) GTEST_SKIP() << "/dev/kmsg cannot be written";
  }
  makeSigned("kmsg");
  list("a.txt", kSha256Empty);
  linkInPlaceOf(tree_ / "a.txt", "/proc/kmsg");
  EXPECT_EQ(checkTree().modified, Names{"a.txt"});
  EXPECT_EQ(crypto::computeFileHash("/proc/kmsg", HashAlgorithm::SHA256), "");
  ASSERT_GT(::read(log, buffer, sizeof buffer), 0);
  EXPECT_EQ(buffer[0], '<') << "the log lost its first byte";
}

// Runs `body` in a child process within `limit`, in a mount namespace of its own in which /proc is not
// mounted; 77 when the process may not make one.
std::optional<int> withoutProc(std::chrono::seconds limit, const std::function<int()>& body) {
  return testing::exitCodeWithin(limit, [&] {
    if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        umount2("/proc", MNT_DETACH) != 0) {
      return 77;
    }
    if (fs::exists("/proc/self")) return 76;
    return body();
  });
}

// Where /proc is not mounted, a found file cannot be reopened through the descriptor that found it, and its
// name might by then lead to another file: no file is read, and each check reports what it reports for a
// file that cannot be read. Skipped where the process may not make a mount namespace of its own.
TEST_F(FileReadingTest, WithoutProcNoFileIsRead) {
  makeSigned("no-proc");
  const fs::path fifo = fifoInPlaceOf(tree_ / "sub" / "b.txt");
  testing::WaitingWriter writer(fifo);
  const std::optional<int> code = withoutProc(std::chrono::seconds(10), [&] {
    if (checkFile().error_message != "Cannot open file") return 1;
    if (!crypto::computeFileHash(tree_, HashAlgorithm::SHA256).empty()) return 2;
    if (!crypto::computeFileHash(file_, HashAlgorithm::SHA256).empty()) return 3;
    if (checkTree().error_message != "No signature found") return 4;
    return 0;
  });
  if (code == 77) GTEST_SKIP() << "no mount namespace of its own";
  EXPECT_EQ(code, 0);
  EXPECT_TRUE(writer.stillWaiting());
}

// Without /proc, a listed file exchanged with a FIFO whose writer waits, over and over while the tree is
// checked: whichever the name leads to when it is looked at, the FIFO is never opened.
TEST_F(FileReadingTest, WithoutProcASwappedInFifoIsNeverOpened) {
  makeSigned("no-proc-swap");
  const Manifest manifest = *ManifestLoader::loadFromDirectory(tree_);
  const fs::path fifo = fifoInPlaceOf(tree_ / "sub" / "b.txt");
  testing::WaitingWriter writer(fifo);
  const std::optional<int> code = withoutProc(std::chrono::seconds(30), [&] {
    constexpr int kSwaps = 20000;
    int swaps = 0;
    std::atomic<bool> done{false};
    std::thread swapper([&] {
      while (swaps < kSwaps &&
             renameat2(AT_FDCWD, (tree_ / "a.txt").c_str(), AT_FDCWD, fifo.c_str(), RENAME_EXCHANGE) == 0) {
        ++swaps;
      }
      done = true;
    });
    int outcome = 0;
    while (!done) {
      VerifyResult r = devVerifier().verifyManifestIntegrity(manifest, tree_);
      std::sort(r.modified.begin(), r.modified.end());
      if (r.modified != Names{"a.txt", "sub/b.txt"} && outcome == 0) outcome = 1;
      if (!crypto::computeFileHash(tree_ / "a.txt", HashAlgorithm::SHA256).empty() && outcome == 0) outcome = 2;
    }
    swapper.join();
    return outcome != 0 ? outcome : swaps == kSwaps ? 0 : 3;
  });
  if (code == 77) GTEST_SKIP() << "no mount namespace of its own";
  EXPECT_EQ(code, 0);
  EXPECT_TRUE(writer.stillWaiting()) << "a FIFO swapped in was opened for reading";
}

}  // namespace
}  // namespace bnq::sign
