// What differs between the Linux and the macOS build of the daemon client: where the daemon's pid files
// live and how one is opened, how a process id becomes an executable path, how the peer of a connected
// socket is found, and how the client pauses between connection attempts. One implementation is linked per
// build.
#ifndef BRANNIC_SRC_CLIENT_PLATFORM_PLATFORM_H_
#define BRANNIC_SRC_CLIENT_PLATFORM_PLATFORM_H_

#include <string>

namespace rpc_sdk {
namespace platform {

// The daemon's pid file, and the text that follows the user's home directory in the second candidate.
extern const char* const kSystemPidFile;
extern const char* const kHomePidFileSuffix;

// Opens the file that `path` names (links followed) for reading, only when it is a regular file: a FIFO,
// a socket, a device or a directory there is never opened for reading, so its open has no effect on it.
// Returns the descriptor (close-on-exec; the caller closes it), or -1 for anything else or any failure.
int openRegularFile(const std::string& path);

// What the platform tells of the executable of a process.
struct ProcessPath {
  // The executable path as text, at most 4095 bytes and up to its first NUL; "" when unknown. It names the
  // file the process was started from, which may since have been removed or replaced, or, where the platform
  // cannot see the executable, a text the process chose itself.
  std::string text;
  // A name that opens the file the process runs for as long as the process lives, whatever has become of
  // the path text; "" when the platform gives none. Linux: the process's executable link "/proc/<pid>/exe"
  // whenever the text was read from it, "" when the text is the process's first command-line argument.
  // macOS: always "".
  std::string runningFile;
  // A name that opens the user namespace of the process; "" when the platform gives none. Linux:
  // "/proc/<pid>/ns/user", whichever way the text was found. macOS: always "".
  std::string userNamespace;
};

ProcessPath processPath(int pid);

// Reads the process id of a connected socket's peer into *pid. False when the peer's credentials cannot
// be read at all; a build that reads credentials and the pid separately gives pid 0 when only the pid
// is missing.
bool peerProcessId(int fd, int* pid);

// Sleeps for ms milliseconds (nothing when ms is not positive).
void pauseMs(int ms);

}  // namespace platform
}  // namespace rpc_sdk

#endif  // BRANNIC_SRC_CLIENT_PLATFORM_PLATFORM_H_
