// The stand-in daemon at the paths compiled into the addon, with a log of what it received.
#ifndef BRANNIC_TESTS_ADDON_REAL_PATH_DAEMON_H_
#define BRANNIC_TESTS_ADDON_REAL_PATH_DAEMON_H_

#include <unistd.h>

#include <cstdint>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "standin_daemon.h"

namespace brannic_test {

constexpr const char kSocketPath[] = "/tmp/tolvane_rpc_service.sock";
constexpr const char kPidFile[] = "/var/.data/Tolvane/run/Tolvane.pid";

// One line of the daemon's log, split into its words: "request conn=1 fn=0 command=4 payload=..." gives
// event "request" and fields {conn: "1", fn: "0", ...}.
struct LogEvent {
  std::string event;
  std::map<std::string, std::string> fields;
};

inline std::string fromHex(const std::string& hex) {
  std::string out;
  for (size_t i = 0; i + 1 < hex.size(); i += 2) {
    out.push_back(static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
  }
  return out;
}

class RealPathDaemon {
 public:
  explicit RealPathDaemon(std::vector<std::string> args = {}) {
    char name[] = "/tmp/brannic-daemon-log-XXXXXX";
    const int fd = ::mkstemp(name);
    if (fd >= 0) ::close(fd);
    log_ = name;
    args.insert(args.end(), {"--pid-file", kPidFile, "--log", log_});
    daemon_ = std::make_unique<StandinDaemon>(kSocketPath, args);
  }
  ~RealPathDaemon() {
    daemon_.reset();
    ::unlink(log_.c_str());
    ::unlink(kPidFile);
  }
  RealPathDaemon(const RealPathDaemon&) = delete;
  RealPathDaemon& operator=(const RealPathDaemon&) = delete;

  void stop() { daemon_->stop(); }

  std::vector<LogEvent> events(const std::string& which = "") const {
    std::vector<LogEvent> out;
    std::ifstream in(log_);
    std::string line;
    while (std::getline(in, line)) {
      std::istringstream words(line);
      LogEvent e;
      words >> e.event;
      std::string word;
      while (words >> word) {
        const auto eq = word.find('=');
        if (eq != std::string::npos) e.fields[word.substr(0, eq)] = word.substr(eq + 1);
      }
      if (which.empty() || e.event == which) out.push_back(e);
    }
    return out;
  }

  // The Request calls the daemon received, as (command, payload bytes).
  std::vector<std::pair<int32_t, std::string>> requests() const {
    std::vector<std::pair<int32_t, std::string>> out;
    for (const LogEvent& e : events("request")) {
      if (e.fields.count("command") == 0) continue;
      const auto payload = e.fields.find("payload");
      out.emplace_back(std::stoi(e.fields.at("command")),
                       payload == e.fields.end() ? std::string() : fromHex(payload->second));
    }
    return out;
  }

 private:
  std::string log_;
  std::unique_ptr<StandinDaemon> daemon_;
};

}  // namespace brannic_test

#endif  // BRANNIC_TESTS_ADDON_REAL_PATH_DAEMON_H_
