// How the library opens and reads the files it reads: each is found first through a descriptor that cannot
// read, and only a regular file or a directory, that very file, is then opened for reading (opening a FIFO
// could release a writer waiting on it, opening a device could have effects, and neither need end), and
// only where it does not lie on a kernel file system such as /proc or /sys (reading such a file can have
// effects too). It is described by the status of that descriptor rather than by that of a path that may
// change in between, and read no further than the size that status gave. What the bytes are for is the
// callers' business.
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

// Owns the descriptor through which the library reads one file; every file the library reads is opened
// through it. The constructor finds `path` (links followed) with O_PATH, which opens nothing for reading,
// and takes that descriptor's status. Only a regular file or a directory is then opened for reading, through
// "/proc/self/fd/N" of that descriptor, with O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY, and only when
// the descriptor's file system (fstatfs, Linux) is none of procfs, sysfs, debugfs, tracefs, securityfs,
// configfs, cgroup and cgroup2 and its type could be had. Where /proc is not mounted no file is opened for
// reading: `path` is never opened again by name.
class OpenedFile {
 public:
  explicit OpenedFile(const std::filesystem::path& path);
  ~OpenedFile();
  OpenedFile(const OpenedFile&) = delete;
  OpenedFile& operator=(const OpenedFile&) = delete;

  // Whether the file was found and its status read; false for an absent file and when the look-up or the
  // status failed.
  bool isOpen() const noexcept { return status_known_; }
  // Whether a descriptor open for reading is held: a regular file or a directory that the process may read,
  // on a file system that is not the kernel's own, while /proc is mounted.
  bool isReadable() const noexcept { return fd_ >= 0; }
  // A regular file open for reading.
  bool isRegular() const noexcept { return isReadable() && S_ISREG(status_.st_mode); }
  // The descriptor open for reading, still owned by this object; -1 when !isReadable().
  int fd() const noexcept { return fd_; }
  // The file's status; meaningful only while isOpen().
  const struct stat& status() const noexcept { return status_; }
  // The last write time as a system-clock time point.
  TimePoint modifiedTime() const noexcept;

  // Reads exactly `size` bytes at `offset` into `buffer`; false on an error or an early end of file (and
  // when !isReadable()).
  bool readAt(void* buffer, size_t size, uint64_t offset) const;

  // Receives the bytes of a file block by block; returns false to stop the reading.
  using BlockSink = std::function<bool(const unsigned char* data, size_t size)>;
  // Hands the file's bytes to `sink`, in order: exactly as many as the size in status(), after which one
  // more read must find the end, so that a file that another process keeps extending is not read for
  // ever. False when !isRegular() (nothing is read), a read fails, the file ends before that
  // size or goes on after it (the blocks before were handed on: the caller drops them) or `sink` stopped.
  bool readBlocks(const BlockSink& sink) const;
  // The whole content, as readBlocks hands it on; empty when readBlocks fails or memory runs out.
  std::optional<std::string> readAll() const;

 private:
  int fd_ = -1;
  bool status_known_ = false;
  struct stat status_ {};
};

// What readRegularFile makes of a file that cannot be found (!OpenedFile::isOpen()).
enum class OpenFailure {
  // Nothing, whatever the reason.
  kNothing,
  // Nothing when the file does not exist (a dangling link included); the path's status (links followed)
  // tells, and a status that cannot be read for another reason (a parent that may not be searched, a loop
  // of links, a name too long) throws std::filesystem::filesystem_error.
  kRaiseUnlessAbsent,
};

// The whole content of the regular file at `path`, through one OpenedFile. Empty when it cannot be found
// (see `on_failure`) or read, is not a regular file (a FIFO, a socket, a device, a directory), its status gives
// more than `max_size` bytes (decided before any byte is read), readAll fails or memory runs out.
std::optional<std::string> readRegularFile(const std::filesystem::path& path, OpenFailure on_failure,
                                           uint64_t max_size);

}  // namespace bnq::sign

#endif  // BRANNIC_SRC_COMMON_MODULE_CODESIGN_SRC_INTERNAL_FILE_READING_H_
