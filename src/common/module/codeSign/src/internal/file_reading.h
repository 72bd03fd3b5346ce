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
  // Hands the file's bytes to `sink`, in order: exactly as many as the size in status(), after which one
  // more read must find the end, so that a file that another process keeps extending is not read for
  // ever. False when it is not a regular file (nothing is read), a read fails, the file ends before that
  // size or goes on after it (the blocks before were handed on: the caller drops them) or `sink` stopped.
  bool readBlocks(const BlockSink& sink) const;
  // Lowercase hex SHA-256 of the file's bytes as readBlocks hands them on; "" when readBlocks fails (a
  // partial read never gives a digest) or the digest fails.
  std::string sha256Hex() const;
  // The whole content, as readBlocks hands it on; empty when readBlocks fails or memory runs out.
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
// (see `on_failure`), is not a regular file (a FIFO, a socket, a device, a directory), its status gives
// more than `max_size` bytes (decided before any byte is read), readAll fails or memory runs out.
std::optional<std::string> readRegularFile(const std::filesystem::path& path, OpenFailure on_failure,
                                           uint64_t max_size);

}  // namespace bnq::sign

#endif  // BRANNIC_SRC_COMMON_MODULE_CODESIGN_SRC_INTERNAL_FILE_READING_H_
