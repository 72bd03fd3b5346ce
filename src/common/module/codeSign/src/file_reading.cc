#include "codeSign/src/file_reading.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <memory>

#include "codeSign/src/crypto.h"

namespace bnq::sign {

OpenedFile::OpenedFile(const std::filesystem::path& path)
    : fd_(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK)) {
  if (fd_ >= 0 && ::fstat(fd_, &status_) != 0) {
    ::close(fd_);
    fd_ = -1;
  }
}

OpenedFile::~OpenedFile() {
  if (fd_ >= 0) ::close(fd_);
}

TimePoint OpenedFile::modifiedTime() const noexcept {
  return TimePoint(std::chrono::seconds(status_.st_mtim.tv_sec) + std::chrono::nanoseconds(status_.st_mtim.tv_nsec));
}

std::string OpenedFile::sha256Hex() const {
  if (!isRegular()) return "";
  crypto::DigestStream digest(HashAlgorithm::SHA256);
  // Small files are read in one piece (plus the read that finds the end); the buffer is left uninitialised.
  constexpr size_t kMaxBuffer = 64 * 1024;
  const auto file_size = static_cast<uint64_t>(status_.st_size);
  const size_t size = file_size < kMaxBuffer ? static_cast<size_t>(file_size) + 1 : kMaxBuffer;
  const std::unique_ptr<unsigned char[]> buffer(new unsigned char[size]);
  off_t offset = 0;
  for (;;) {
    const ssize_t n = ::pread(fd_, buffer.get(), size, offset);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return "";
    if (n == 0) break;
    if (!digest.update(buffer.get(), static_cast<size_t>(n))) return "";
    offset += n;
  }
  return digest.finish();
}

}  // namespace bnq::sign
