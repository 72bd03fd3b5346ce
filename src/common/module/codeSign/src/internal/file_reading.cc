#include "codeSign/src/internal/file_reading.h"

#include <fcntl.h>
#include <unistd.h>
#if defined(__linux__)
#include <linux/magic.h>
#include <sys/vfs.h>
#endif

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <exception>
#include <iterator>
#include <memory>

namespace bnq::sign {
namespace {

// Closes the descriptor it holds, if any.
class Descriptor {
 public:
  explicit Descriptor(int fd) noexcept : fd_(fd) {}
  ~Descriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;

  int get() const noexcept { return fd_; }

 private:
  int fd_;
};

// A terminal reopened would not become the controlling one; no reopened file blocks the open.
constexpr int kReadFlags = O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY;

// Whether the file that `located` found lies on one of the kernel's own file systems, whose files are no
// stored bytes: a read of one can change the system's state (a read of /proc/kmsg takes what it reads out of
// the kernel log, other files of /proc, /sys, debugfs, tracefs, securityfs and configfs act on reads), and
// their sizes seldom tell what they hold. True also when the file system's type cannot be had. These file
// systems are Linux's; elsewhere none is known.
bool onKernelFileSystem(int located) {
#if defined(__linux__)
  struct statfs filesystem {};
  if (::fstatfs(located, &filesystem) != 0) return true;
  constexpr unsigned long kConfigfsMagic = 0x62656570;  // not in <linux/magic.h>
  static constexpr unsigned long kKernelFileSystems[] = {
      PROC_SUPER_MAGIC, SYSFS_MAGIC,    DEBUGFS_MAGIC,      TRACEFS_MAGIC,
      SECURITYFS_MAGIC, kConfigfsMagic, CGROUP_SUPER_MAGIC, CGROUP2_SUPER_MAGIC,
  };
  const auto type = static_cast<unsigned long>(filesystem.f_type);
  return std::find(std::begin(kKernelFileSystems), std::end(kKernelFileSystems), type) !=
         std::end(kKernelFileSystems);
#else
  (void)located;
  return false;
#endif
}

// A descriptor open for reading on the very file that `located` (an O_PATH descriptor) found, whatever has
// become of its name since, reopened through /proc; -1 when it cannot be had (the process may not read the
// file, for one). Where /proc is not mounted there is none: the name is never opened again, since by then it
// may lead to another file, a FIFO or a device whose open would already have had its effect.
int reopenForReading(int located) {
  char self[40];
  const int length = std::snprintf(self, sizeof self, "/proc/self/fd/%d", located);
  if (length <= 0 || static_cast<size_t>(length) >= sizeof self) return -1;
  return ::open(self, kReadFlags);
}

}  // namespace

OpenedFile::OpenedFile(const std::filesystem::path& path) {
  // A descriptor that cannot read: getting it opens nothing, so a FIFO's waiting writer is not released
  // and a device's open has no effect.
  const Descriptor located(::open(path.c_str(), O_PATH | O_CLOEXEC));
  if (located.get() < 0 || ::fstat(located.get(), &status_) != 0) return;
  status_known_ = true;
  if ((S_ISREG(status_.st_mode) || S_ISDIR(status_.st_mode)) && !onKernelFileSystem(located.get())) {
    fd_ = reopenForReading(located.get());
  }
}

OpenedFile::~OpenedFile() {
  if (fd_ >= 0) ::close(fd_);
}

TimePoint OpenedFile::modifiedTime() const noexcept {
  return TimePoint(std::chrono::seconds(status_.st_mtim.tv_sec) + std::chrono::nanoseconds(status_.st_mtim.tv_nsec));
}

bool OpenedFile::readAt(void* buffer, size_t size, uint64_t offset) const {
  auto* bytes = static_cast<unsigned char*>(buffer);
  size_t done = 0;
  while (done < size) {
    const ssize_t n = ::pread(fd_, bytes + done, size - done, static_cast<off_t>(offset + done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

bool OpenedFile::readBlocks(const BlockSink& sink) const {
  if (!isRegular() || status_.st_size < 0) return false;
  const auto file_size = static_cast<uint64_t>(status_.st_size);
  // Small files are read in one piece; the buffer is left uninitialised, and holds at least the one byte
  // of the read that must find the end.
  constexpr size_t kMaxBuffer = 64 * 1024;
  const size_t size = file_size < kMaxBuffer ? static_cast<size_t>(file_size) + 1 : kMaxBuffer;
  const std::unique_ptr<unsigned char[]> buffer(new unsigned char[size]);
  uint64_t offset = 0;
  while (offset < file_size) {
    const auto want = static_cast<size_t>(std::min<uint64_t>(size, file_size - offset));
    const ssize_t n = ::pread(fd_, buffer.get(), want, static_cast<off_t>(offset));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;  // a failed read, or a file that ended before its size
    if (!sink(buffer.get(), static_cast<size_t>(n))) return false;
    offset += static_cast<uint64_t>(n);
  }
  // A file that grew meanwhile is not read on: it changed while it was being read.
  for (;;) {
    const ssize_t n = ::pread(fd_, buffer.get(), 1, static_cast<off_t>(offset));
    if (n < 0 && errno == EINTR) continue;
    return n == 0;
  }
}

std::optional<std::string> OpenedFile::readAll() const {
  std::string content;
  try {
    if (isRegular() && status_.st_size > 0) content.reserve(static_cast<size_t>(status_.st_size));
    if (!readBlocks([&content](const unsigned char* data, size_t size) {
          content.append(reinterpret_cast<const char*>(data), size);
          return true;
        })) {
      return std::nullopt;
    }
  } catch (const std::exception&) {
    // No memory for a file this large (std::bad_alloc or std::length_error).
    return std::nullopt;
  }
  return content;
}

std::optional<std::string> readRegularFile(const std::filesystem::path& path, OpenFailure on_failure,
                                           uint64_t max_size) {
  const OpenedFile file(path);
  if (!file.isOpen()) {
    // Absent or not, there is nothing to read; the status is read only for the failures it raises.
    if (on_failure == OpenFailure::kRaiseUnlessAbsent) (void)std::filesystem::status(path);
    return std::nullopt;
  }
  if (static_cast<uint64_t>(file.status().st_size) > max_size) return std::nullopt;
  return file.readAll();
}

}  // namespace bnq::sign
