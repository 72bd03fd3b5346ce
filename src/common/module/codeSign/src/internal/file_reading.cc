#include "codeSign/src/internal/file_reading.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <exception>
#include <memory>

#include "codeSign/src/crypto.h"

namespace bnq::sign {

OpenedFile::OpenedFile(const std::filesystem::path& path)
    : fd_(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY)) {
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
  if (!isRegular()) return false;
  // Small files are read in one piece (plus the read that finds the end); the buffer is left uninitialised.
  constexpr size_t kMaxBuffer = 64 * 1024;
  const auto file_size = static_cast<uint64_t>(status_.st_size);
  const size_t size = file_size < kMaxBuffer ? static_cast<size_t>(file_size) + 1 : kMaxBuffer;
  const std::unique_ptr<unsigned char[]> buffer(new unsigned char[size]);
  off_t offset = 0;
  for (;;) {
    const ssize_t n = ::pread(fd_, buffer.get(), size, offset);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) return true;
    if (!sink(buffer.get(), static_cast<size_t>(n))) return false;
    offset += n;
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

std::optional<std::string> readRegularFile(const std::filesystem::path& path, OpenFailure on_failure) {
  const OpenedFile file(path);
  if (!file.isOpen()) {
    // Absent or not, there is nothing to read; the status is read only for the failures it raises.
    if (on_failure == OpenFailure::kRaiseUnlessAbsent) (void)std::filesystem::status(path);
    return std::nullopt;
  }
  return file.readAll();
}

}  // namespace bnq::sign
