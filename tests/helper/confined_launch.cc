// Starts a program where /dev/null cannot be opened and standard output is closed, as another user.
//
// Usage: confined_launch NULL_STAND_IN UID GID OPEN_FILES PROGRAM
//
// In a mount namespace of its own, whose mounts are first made private so that nothing reaches the
// rest of the machine, it binds the file NULL_STAND_IN (made unreadable by the caller) over
// /dev/null. It then limits the number of open descriptors to OPEN_FILES (0: no limit), moves its
// standard output to standard error, closing standard output, drops to UID and GID with no
// supplementary groups and executes PROGRAM, which keeps this process's id. Exits with 77 and a
// line on standard error when the namespace cannot be made (no privilege for it here), and with 2
// when another step fails. Run as root.
#include <grp.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr int kCannotConfine = 77;
constexpr int kFailed = 2;

int Fail(int code, const char* step) {
  std::fprintf(stderr, "confined_launch: %s: %s\n", step, std::strerror(errno));
  return code;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 6) {
    std::fprintf(stderr, "usage: confined_launch NULL_STAND_IN UID GID OPEN_FILES PROGRAM\n");
    return kFailed;
  }
  const char* const null_stand_in = argv[1];
  const auto uid = static_cast<uid_t>(std::strtoul(argv[2], nullptr, 10));
  const auto gid = static_cast<gid_t>(std::strtoul(argv[3], nullptr, 10));
  const auto open_files = static_cast<rlim_t>(std::strtoul(argv[4], nullptr, 10));
  char* const program = argv[5];

  if (::unshare(CLONE_NEWNS) != 0) return Fail(kCannotConfine, "unshare(CLONE_NEWNS)");
  // Before any bind: a mount that propagated back would take /dev/null from the whole machine.
  if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
    return Fail(kCannotConfine, "making the mounts private");
  }
  if (::mount(null_stand_in, "/dev/null", nullptr, MS_BIND, nullptr) != 0) {
    return Fail(kCannotConfine, "binding over /dev/null");
  }
  if (open_files > 0) {
    const rlimit limit{open_files, open_files};
    if (::setrlimit(RLIMIT_NOFILE, &limit) != 0) return Fail(kFailed, "setrlimit");
  }
  if (::dup2(STDOUT_FILENO, STDERR_FILENO) != STDERR_FILENO || ::close(STDOUT_FILENO) != 0) {
    return Fail(kFailed, "moving standard output");
  }
  if (::setgroups(0, nullptr) != 0 || ::setgid(gid) != 0 || ::setuid(uid) != 0) {
    return Fail(kFailed, "dropping to the user");
  }
  char* const args[] = {program, nullptr};
  ::execv(program, args);
  return Fail(kFailed, "execv");
}
