// Reading a whole file the way every check of the library does: opened once, never blocking on a FIFO,
// and read only when it is a regular file (a device could never end), with the status of the descriptor
// that is read rather than of a path that may change in between.
#ifndef BNQ_SIGN_FILE_READING_H_
#define BNQ_SIGN_FILE_READING_H_

#include <sys/stat.h>

#include <filesystem>
#include <string>

#include "codeSign/src/types.h"

namespace bnq::sign {

// Owns one read-only descriptor of a file, opened (links followed) by the constructor.
class OpenedFile {
 public:
  explicit OpenedFile(const std::filesystem::path& path);
  ~OpenedFile();
  OpenedFile(const OpenedFile&) = delete;
  OpenedFile& operator=(const OpenedFile&) = delete;

  // False when the open or the status of the descriptor failed.
  bool isOpen() const noexcept { return fd_ >= 0; }
  bool isRegular() const noexcept { return isOpen() && S_ISREG(status_.st_mode); }
  // The descriptor's status; meaningful only while isOpen().
  const struct stat& status() const noexcept { return status_; }
  // The last write time as a system-clock time point.
  TimePoint modifiedTime() const noexcept;
  // Lowercase hex SHA-256 of everything from the start to the end of the file; "" when it is not a
  // regular file, a read fails, or the digest fails.
  std::string sha256Hex() const;

 private:
  int fd_ = -1;
  struct stat status_ {};
};

}  // namespace bnq::sign

#endif  // BNQ_SIGN_FILE_READING_H_
