#include "codeSign/src/internal/file_reading.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <exception>
#include <memory>
#include <utility>

#include "codeSign/src/crypto.h"

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
  int release() noexcept { return std::exchange(fd_, -1); }

 private:
  int fd_;
};

// A FIFO found by name again would not block the open, a terminal would not become the controlling one.
constexpr int kReadFlags = O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY;

// Whether /proc is missing altogether (not mounted), rather than failing for another reason.
bool procIsMissing() {
  struct stat status {};
  return ::stat("/proc/self", &status) != 0 && errno == ENOENT;
}

// A descriptor open for reading on the file that `located` (an O_PATH descriptor of `path`, whose status
// is `status`) stands for; -1 when it cannot be had (the process may not read the file, for one). Through
// /proc the very file is reopened, whatever has become of its name. Without /proc the name is opened
// again, and kept only when it still leads to the same file.
int reopenForReading(int located, const std::filesystem::path& path, const struct stat& status) {
  char self[40];
  const int length = std::snprintf(self, sizeof self, "/proc/self/fd/%d", located);
  if (length <= 0 || static_cast<size_t>(length) >= sizeof self) return -1;
  Descriptor reopened(::open(self, kReadFlags));
  if (reopened.get() >= 0) return reopened.release();
  if (errno != ENOENT || !procIsMissing()) return -1;
  Descriptor by_name(::open(path.c_str(), kReadFlags));
  struct stat again {};
  if (by_name.get() < 0 || ::fstat(by_name.get(), &again) != 0 || again.st_dev != status.st_dev ||
      again.st_ino != status.st_ino) {
    return -1;
  }
  return by_name.release();
}

}  // namespace

OpenedFile::OpenedFile(const std::filesystem::path& path) {
  // A descriptor that cannot read: getting it opens nothing, so a FIFO's waiting writer is not released
  // and a device's open has no effect.
  const Descriptor located(::open(path.c_str(), O_PATH | O_CLOEXEC));
  if (located.get() < 0 || ::fstat(located.get(), &status_) != 0) return;
  status_known_ = true;
  if (S_ISREG(status_.st_mode) || S_ISDIR(status_.st_mode)) fd_ = reopenForReading(located.get(), path, status_);
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

std::string OpenedFile::sha256Hex() const {
  crypto::DigestStream digest(HashAlgorithm::SHA256);
  if (!readBlocks([&digest](const unsigned char* data, size_t size) { return digest.update(data, size); })) {
    return "";
  }
  return digest.finish();
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
