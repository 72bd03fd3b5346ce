// How the library opens and reads the files it checks: each through one descriptor, opened without
// blocking on a FIFO, read only when it is a regular file (a device could never end), and described by the
// status of that descriptor rather than of a path that may change in between.
#ifndef BRANNIC_SRC_COMMON_MODULE_CODESIGN_SRC_INTERNAL_FILE_READING_H_
#define BRANNIC_SRC_COMMON_MODULE_CODESIGN_SRC_INTERNAL_FILE_READING_H_

#include <sys/stat.h>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>

#include "codeSign/src/types.h"

namespace bnq::sign {

// Owns one read-only descriptor of a file; every file the library checks is opened through it. The
// constructor opens `path` (links followed) with O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY, so that a
// FIFO does not block the open and a terminal does not become the process's controlling terminal, and
// reads the descriptor's status.
class OpenedFile {
 public:
  explicit OpenedFile(const std::filesystem::path& path);
  ~OpenedFile();
  OpenedFile(const OpenedFile&) = delete;
  OpenedFile& operator=(const OpenedFile&) = delete;

  // False when the open or the status of the descriptor failed.
  bool isOpen() const noexcept { return fd_ >= 0; }
  bool isRegular() const noexcept { return isOpen() && S_ISREG(status_.st_mode); }
  // The descriptor, still owned by this object; -1 when !isOpen().
  int fd() const noexcept { return fd_; }
  // The descriptor's status; meaningful only while isOpen().
  const struct stat& status() const noexcept { return status_; }
  // The last write time as a system-clock time point.
  TimePoint modifiedTime() const noexcept;

  // Reads exactly `size` bytes at `offset` into `buffer`; false on an error or an early end of file.
  bool readAt(void* buffer, size_t size, uint64_t offset) const;

  // Receives the bytes of a file block by block; returns false to stop the reading.
  using BlockSink = std::function<bool(const unsigned char* data, size_t size)>;
  // Hands everything from the start to the end of the file to `sink`, in order. False when it is not a
  // regular file (nothing is read), a read fails (the blocks before it were handed on) or `sink` stopped.
  bool readBlocks(const BlockSink& sink) const;
  // Lowercase hex SHA-256 of everything from the start to the end of the file; "" when it is not a
  // regular file, a read fails, or the digest fails.
  std::string sha256Hex() const;
  // The whole content; empty when it is not a regular file, a read fails or memory runs out.
  std::optional<std::string> readAll() const;

 private:
  int fd_ = -1;
  struct stat status_ {};
};

// What readRegularFile makes of a file that cannot be opened.
enum class OpenFailure {
  // Nothing, whatever the reason.
  kNothing,
  // Nothing when the file does not exist (a dangling link included) or exists but cannot be opened; the
  // path's status (links followed) tells which, and a status that cannot be read for another reason (a
  // parent that may not be searched, a loop of links, a name too long) throws
  // std::filesystem::filesystem_error.
  kRaiseUnlessAbsent,
};

// The whole content of the regular file at `path`, through one OpenedFile. Empty when it cannot be opened
// (see `on_failure`), is not a regular file (a FIFO, a socket, a device, a directory), a read fails or
// memory runs out.
std::optional<std::string> readRegularFile(const std::filesystem::path& path, OpenFailure on_failure);

}  // namespace bnq::sign

#endif  // BRANNIC_SRC_COMMON_MODULE_CODESIGN_SRC_INTERNAL_FILE_READING_H_
