// StandinDaemon: starts the stand-in Tolvane daemon for a test and stops it again (RAII).
#ifndef BRANNIC_TESTS_DAEMON_STANDIN_DAEMON_H_
#define BRANNIC_TESTS_DAEMON_STANDIN_DAEMON_H_

#include <sys/types.h>

#include <string>
#include <vector>

namespace brannic_test {

class StandinDaemon {
 public:
  // Runs `program` (by default the stand-in daemon this build made) with `--socket socketPath` and `args`,
  // and waits up to 5 s until it listens. Throws std::runtime_error if it does not start.
  StandinDaemon(const std::string& socketPath, const std::vector<std::string>& args,
                const std::string& program = defaultProgram());

  // How the program is started: its argv[0] (empty: the program path), the user and group it runs as
  // (negative: those of the test), and whether it starts in a user namespace of its own, made just before
  // the exec (Linux; with no uid or gid mapped).
  struct Launch {
    std::string argv0;
    int uid = -1;
    int gid = -1;
    bool newUserNamespace = false;
  };
  StandinDaemon(const std::string& socketPath, const std::vector<std::string>& args, const std::string& program,
                const Launch& launch);
  // Sends SIGTERM and waits for the process (SIGKILL after 5 s).
  ~StandinDaemon();
  StandinDaemon(const StandinDaemon&) = delete;
  StandinDaemon& operator=(const StandinDaemon&) = delete;

  pid_t pid() const { return pid_; }
  // Stops the daemon now; returns its exit status as waitpid gives it.
  int stop();

  static std::string defaultProgram();

 private:
  pid_t pid_ = -1;
  int status_ = 0;
};

}  // namespace brannic_test

#endif  // BRANNIC_TESTS_DAEMON_STANDIN_DAEMON_H_
