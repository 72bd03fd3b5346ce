// tolvane_daemon: a stand-in for the Tolvane daemon, an RCF 3.4 server of IRpcService, for tests.
//
// Usage: tolvane_daemon [options]      (options may also come from --script FILE, one per line)
//   --socket PATH         listen here (default /tmp/tolvane_rpc_service.sock)
//   --pid-file PATH       write the pid here once listening (parent folders are created)
//   --log PATH            append one line per event, flushed per line:
//                           accept conn=N
//                           request conn=N fn=F binding=B runtime=R [command=C payload=HEX]
//                           close conn=N reason=WHY
//                         A connection whose peer hung up is closed, and logged, before a connection
//                         that came after the hang-up is accepted (unless it is in a --delay): the log
//                         keeps the order in which the peers acted.
//   --servant MODE        default: Request answers status 0 and returns the in/out record as sent;
//                         capture: the servant of the recorded exchanges (status = command + 1000,
//                         detail = "ok:" + payload, data = 00 01 ff, command 99 throws "boom from server")
//   --ping TEXT | --ping-hex HEX       the Ping answer (default "pong")
//   --status CMD=N, --detail CMD=TEXT, --data CMD=TEXT, --data-hex CMD=HEX, --echo CMD (data = payload)
//   --throw SEL=TEXT      the servant throws std::runtime_error(TEXT): an exception reply, error 6
//   --delay SEL=MS        wait MS before replying
//   --drop SEL            close the connection after reading the request, without replying
//   --silent SEL          never reply; keep the connection until the peer closes it
//   --close-after SEL     close the connection after replying
//   --idle-timeout MS     close a connection after MS without a request
//   --max-connections N   connections served at once (default 64); more are closed at once
//   --verbose             diagnostics on stderr
// CMD is a command number or '*'. SEL is 'ping', 'request', 'all' or a command number, optionally
// followed by '@N' to apply only on connection N (connections count from 1 in accept order).
// SIGTERM and SIGINT stop the daemon; it removes its socket and pid file, unless another daemon has put its
// own at those paths since.

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cctype>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "rcf/server.h"
#include "rpc_service.h"

namespace {

int gStopPipe[2] = {-1, -1};

void onStopSignal(int) {
  const char c = 's';
  const ssize_t n = write(gStopPipe[1], &c, 1);
  (void)n;  // a full pipe already says "stop"
}

struct Selector {
  enum Kind { kPing, kRequest, kAll, kCommand } kind = kAll;
  std::int32_t command = 0;
  long connection = 0;  // 0: every connection

  bool matches(std::int32_t functionId, std::optional<std::int32_t> cmd, long conn) const {
    if (connection != 0 && connection != conn) return false;
    switch (kind) {
      case kAll: return true;
      case kPing: return functionId == 1;
      case kRequest: return functionId == 0;
      case kCommand: return functionId == 0 && cmd && *cmd == command;
    }
    return false;
  }
};

struct CommandSpec {
  std::optional<std::int32_t> status;
  std::optional<std::string> detail;
  std::optional<std::string> data;
  bool echoPayload = false;
};

struct Options {
  std::string socketPath = "/tmp/tolvane_rpc_service.sock";
  std::string pidFile;
  std::string logFile;
  bool captureServant = false;
  std::string pingAnswer = "pong";
  std::map<std::string, CommandSpec> commands;  // key: command number as text, or "*"
  std::vector<std::pair<Selector, std::string>> throws;
  std::vector<std::pair<Selector, int>> delays;
  std::vector<Selector> drops, silents, closeAfters;
  int idleTimeoutMs = -1;
  int maxConnections = 64;
  bool verbose = false;
};

[[noreturn]] void usageError(const std::string& what) {
  std::fprintf(stderr, "tolvane_daemon: %s\n", what.c_str());
  std::exit(2);
}

long parseNumber(const std::string& text, const std::string& what) {
  char* end = nullptr;
  errno = 0;
  const long v = std::strtol(text.c_str(), &end, 10);
  if (text.empty() || *end != '\0' || errno != 0) usageError("bad number for " + what + ": '" + text + "'");
  return v;
}

std::string fromHex(const std::string& hex) {
  std::string out;
  std::string digits;
  for (char c : hex) {
    if (c != ' ' && c != ':') digits.push_back(c);
  }
  if (digits.size() % 2 != 0) usageError("odd hex text '" + hex + "'");
  for (char c : digits) {
    if (std::isxdigit(static_cast<unsigned char>(c)) == 0) usageError("bad hex text '" + hex + "'");
  }
  for (std::size_t i = 0; i < digits.size(); i += 2) {
    out.push_back(static_cast<char>(std::stoi(digits.substr(i, 2), nullptr, 16)));
  }
  return out;
}

std::string toHex(const std::string& bytes) {
  static const char* digits = "0123456789abcdef";
  std::string out;
  for (char ch : bytes) {
    const auto c = static_cast<unsigned char>(ch);
    out.push_back(digits[c >> 4]);
    out.push_back(digits[c & 15]);
  }
  return out;
}

Selector parseSelector(std::string text) {
  Selector s;
  const auto at = text.find('@');
  if (at != std::string::npos) {
    s.connection = parseNumber(text.substr(at + 1), "connection");
    text.resize(at);
  }
  if (text == "ping") {
    s.kind = Selector::kPing;
  } else if (text == "request") {
    s.kind = Selector::kRequest;
  } else if (text == "all") {
    s.kind = Selector::kAll;
  } else {
    s.kind = Selector::kCommand;
    s.command = static_cast<std::int32_t>(parseNumber(text, "selector"));
  }
  return s;
}

std::pair<std::string, std::string> splitAssignment(const std::string& text, const std::string& flag) {
  const auto eq = text.find('=');
  if (eq == std::string::npos) usageError(flag + " needs KEY=VALUE, got '" + text + "'");
  return {text.substr(0, eq), text.substr(eq + 1)};
}

void parseScript(const std::string& path, Options& o);

void applyOption(const std::string& flag, const std::string& value, Options& o) {
  if (flag == "--socket") {
    o.socketPath = value;
  } else if (flag == "--pid-file") {
    o.pidFile = value;
  } else if (flag == "--log") {
    o.logFile = value;
  } else if (flag == "--script") {
    parseScript(value, o);
  } else if (flag == "--servant") {
    if (value != "capture" && value != "default") usageError("unknown servant '" + value + "'");
    o.captureServant = value == "capture";
  } else if (flag == "--ping") {
    o.pingAnswer = value;
  } else if (flag == "--ping-hex") {
    o.pingAnswer = fromHex(value);
  } else if (flag == "--status") {
    auto [cmd, v] = splitAssignment(value, flag);
    o.commands[cmd].status = static_cast<std::int32_t>(parseNumber(v, flag));
  } else if (flag == "--detail") {
    auto [cmd, v] = splitAssignment(value, flag);
    o.commands[cmd].detail = v;
  } else if (flag == "--data") {
    auto [cmd, v] = splitAssignment(value, flag);
    o.commands[cmd].data = v;
  } else if (flag == "--data-hex") {
    auto [cmd, v] = splitAssignment(value, flag);
    o.commands[cmd].data = fromHex(v);
  } else if (flag == "--echo") {
    o.commands[value].echoPayload = true;
  } else if (flag == "--throw") {
    auto [sel, v] = splitAssignment(value, flag);
    o.throws.emplace_back(parseSelector(sel), v);
  } else if (flag == "--delay") {
    auto [sel, v] = splitAssignment(value, flag);
    o.delays.emplace_back(parseSelector(sel), static_cast<int>(parseNumber(v, flag)));
  } else if (flag == "--drop") {
    o.drops.push_back(parseSelector(value));
  } else if (flag == "--silent") {
    o.silents.push_back(parseSelector(value));
  } else if (flag == "--close-after") {
    o.closeAfters.push_back(parseSelector(value));
  } else if (flag == "--idle-timeout") {
    o.idleTimeoutMs = static_cast<int>(parseNumber(value, flag));
  } else if (flag == "--max-connections") {
    o.maxConnections = static_cast<int>(parseNumber(value, flag));
  } else {
    usageError("unknown option '" + flag + "'");
  }
}

bool isValueless(const std::string& flag) { return flag == "--verbose"; }

void parseScript(const std::string& path, Options& o) {
  std::ifstream in(path);
  if (!in) usageError("cannot read script '" + path + "'");
  std::string line;
  while (std::getline(in, line)) {
    if (line.empty() || line[0] == '#') continue;
    const auto space = line.find(' ');
    std::string flag = line.substr(0, space);
    if (flag.rfind("--", 0) != 0) flag = "--" + flag;
    if (isValueless(flag)) {
      o.verbose = true;
      continue;
    }
    if (space == std::string::npos) usageError("script line without a value: '" + line + "'");
    applyOption(flag, line.substr(space + 1), o);
  }
}

Options parseArgs(int argc, char** argv) {
  Options o;
  for (int i = 1; i < argc; ++i) {
    const std::string flag = argv[i];
    if (isValueless(flag)) {
      o.verbose = true;
      continue;
    }
    if (i + 1 >= argc) usageError(flag + " needs a value");
    applyOption(flag, argv[++i], o);
  }
  return o;
}

class Log {
 public:
  explicit Log(const std::string& path) {
    if (path.empty()) return;
    file_ = std::fopen(path.c_str(), "a");
    if (file_ == nullptr) usageError("cannot open log '" + path + "': " + std::strerror(errno));
  }
  ~Log() {
    if (file_ != nullptr) std::fclose(file_);
  }
  Log(const Log&) = delete;
  Log& operator=(const Log&) = delete;

  void line(const std::string& text, bool verbose) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (file_ != nullptr) {
      std::fprintf(file_, "%s\n", text.c_str());
      std::fflush(file_);
    }
    if (verbose) std::fprintf(stderr, "tolvane_daemon: %s\n", text.c_str());
  }

 private:
  std::mutex mutex_;
  std::FILE* file_ = nullptr;
};

// Waits `ms` or until the daemon stops; false when it stops.
bool pause(int ms) {
  pollfd p{gStopPipe[0], POLLIN, 0};
  const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  for (;;) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(until - std::chrono::steady_clock::now());
    if (left.count() <= 0) return true;
    const int r = poll(&p, 1, static_cast<int>(left.count()));
    if (r > 0) return false;
    if (r < 0 && errno != EINTR) return false;
  }
}

// A connection's thread as the accepting loop sees it. The thread closes the connection's descriptor under
// `mutex`, so the loop may look at the descriptor under it while the state is not kEnded.
struct Worker {
  enum class State {
    kActive,   // reading, handling or answering: a hang-up of the peer ends the connection at once
    kPausing,  // in a scripted delay
    kEnded,    // closed, and the close logged
  };
  std::thread thread;
  std::mutex mutex;
  std::condition_variable changed;
  int fd = -1;
  State state = State::kActive;

  void set(State s) {
    {
      std::lock_guard<std::mutex> lock(mutex);
      state = s;
    }
    changed.notify_all();
  }
  bool ended() {
    std::lock_guard<std::mutex> lock(mutex);
    return state == State::kEnded;
  }
};

class Connection {
 public:
  Connection(Worker& worker, long number, const Options& o, Log& log)
      : worker_(worker), fd_(worker.fd), number_(number), o_(o), log_(log) {
    dispatcher_.bind("IRpcService", 0, [this](SF::Archive& in, SF::Archive& out) { request(in, out); });
    dispatcher_.bind("IRpcService", 1, [this](SF::Archive& in, SF::Archive& out) { ping(in, out); });
  }
  ~Connection() {
    {
      std::lock_guard<std::mutex> lock(worker_.mutex);
      close(fd_);
      worker_.fd = -1;
      worker_.state = Worker::State::kEnded;
    }
    worker_.changed.notify_all();
  }
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  void serve() {
    const std::string why = loop();
    log_.line("close conn=" + std::to_string(number_) + " reason=" + why, o_.verbose);
  }

 private:
  std::string loop() {
    std::string body;
    for (;;) {
      command_.reset();
      switch (RCF::readRequestFrame(fd_, body, o_.idleTimeoutMs, gStopPipe[0])) {
        case RCF::FrameStatus::kFrame: break;
        case RCF::FrameStatus::kPeerClosed: return "peer";
        case RCF::FrameStatus::kZeroLength: return "zero-length";
        case RCF::FrameStatus::kTooLong:
          (void)RCF::writeAll(fd_, RCF::messageTooLongFrame(), gStopPipe[0]);
          return "too-long";
        case RCF::FrameStatus::kIdleTimeout: return "idle";
        case RCF::FrameStatus::kStopped: return "stop";
        case RCF::FrameStatus::kError: return "error";
      }
      const RCF::ServerReply reply =
          dispatcher_.handle(reinterpret_cast<const unsigned char*>(body.data()), body.size());
      std::string line = "request conn=" + std::to_string(number_);
      if (!reply.headerRead) return "bad-header";
      line += " fn=" + std::to_string(reply.functionId) + " binding=" + reply.bindingName +
              " runtime=" + std::to_string(reply.runtimeVersion);
      if (command_) line += " command=" + std::to_string(*command_) + " payload=" + toHex(payload_);
      log_.line(line, o_.verbose);

      if (reply.action == RCF::ServerReply::Action::kClose) return "close-request";
      if (reply.action == RCF::ServerReply::Action::kNoReply) continue;
      const std::int32_t fn = reply.functionId;
      if (matchesAny(o_.drops, fn)) return "drop";
      if (matchesAny(o_.silents, fn)) return waitForPeerClose();
      for (const auto& [sel, ms] : o_.delays) {
        if (!sel.matches(fn, command_, number_)) continue;
        worker_.set(Worker::State::kPausing);
        const bool paused = pause(ms);
        worker_.set(Worker::State::kActive);
        if (!paused) return "stop";
      }
      if (!RCF::writeAll(fd_, reply.frame, gStopPipe[0])) return "write-failed";
      if (reply.action == RCF::ServerReply::Action::kReplyThenClose) return "after-error";
      if (matchesAny(o_.closeAfters, fn)) return "close-after";
    }
  }

  bool matchesAny(const std::vector<Selector>& sels, std::int32_t fn) const {
    for (const auto& s : sels) {
      if (s.matches(fn, command_, number_)) return true;
    }
    return false;
  }

  std::string waitForPeerClose() {
    char buf[4096];
    pollfd p[2] = {{fd_, POLLIN, 0}, {gStopPipe[0], POLLIN, 0}};
    for (;;) {
      const int r = poll(p, 2, -1);
      if (r < 0 && errno == EINTR) continue;
      if (r < 0 || p[1].revents != 0) return "stop";
      const ssize_t n = recv(fd_, buf, sizeof buf, MSG_DONTWAIT);
      if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) return "silent-peer";
    }
  }

  void throwIfScripted(std::int32_t fn) const {
    for (const auto& [sel, text] : o_.throws) {
      if (sel.matches(fn, command_, number_)) throw std::runtime_error(text);
    }
  }

  void ping(SF::Archive&, SF::Archive& out) {
    throwIfScripted(1);
    std::string answer = o_.pingAnswer;
    out & answer;
  }

  void request(SF::Archive& in, SF::Archive& out) {
    rpc_sdk::BnqRequest req;
    rpc_sdk::BnqResponse resp;
    if (!in.atEnd()) in & req;
    if (!in.atEnd()) in & resp;
    if (!in.atEnd()) throw RCF::Exception(RCF::RcfError_Deserialization, "Data deserialization error: trailing bytes.");
    command_ = req.command;
    payload_ = req.payload;
    throwIfScripted(0);
    if (o_.captureServant) {
      if (req.command == 99) throw std::runtime_error("boom from server");
      resp.status = req.command + 1000;
      resp.detail = "ok:" + req.payload;
      resp.data = std::string("\x00\x01\xff", 3);
    } else {
      resp.status = 0;
    }
    for (const char* key : {"*", ""}) {
      const auto it = o_.commands.find(*key ? std::string(key) : std::to_string(req.command));
      if (it == o_.commands.end()) continue;
      const CommandSpec& spec = it->second;
      if (spec.status) resp.status = *spec.status;
      if (spec.detail) resp.detail = *spec.detail;
      if (spec.data) resp.data = *spec.data;
      if (spec.echoPayload) resp.data = req.payload;
    }
    out & resp;
  }

  Worker& worker_;
  int fd_;
  long number_;
  const Options& o_;
  Log& log_;
  RCF::RequestDispatcher dispatcher_;
  std::optional<std::int32_t> command_;
  std::string payload_;
};

void makeParents(const std::string& path) {
  for (std::size_t pos = path.find('/', 1); pos != std::string::npos; pos = path.find('/', pos + 1)) {
    const std::string dir = path.substr(0, pos);
    if (mkdir(dir.c_str(), 0755) != 0 && errno != EEXIST) {
      usageError("cannot create '" + dir + "': " + std::strerror(errno));
    }
  }
}

void writePidFile(const std::string& path) {
  makeParents(path);
  std::ofstream pid(path, std::ios::trunc);
  pid << getpid() << "\n";
  if (!pid.flush()) usageError("cannot write pid file '" + path + "'");
}

// Listens on `path`. The socket appears at its path only once it listens and the pid file is written, so a
// client that sees it can connect and find the pid. `*placed` receives the status of the socket's file.
int listenOn(const std::string& path, const std::string& pidFile, struct stat* placed) {
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  const std::string temp = path + ".tmp" + std::to_string(getpid());
  if (temp.size() >= sizeof addr.sun_path) usageError("socket path too long");
  std::memcpy(addr.sun_path, temp.c_str(), temp.size());
  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) usageError(std::string("socket: ") + std::strerror(errno));
  (void)unlink(temp.c_str());
  if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    usageError("bind " + temp + ": " + std::strerror(errno));
  }
  if (listen(fd, 64) != 0) usageError(std::string("listen: ") + std::strerror(errno));
  if (stat(temp.c_str(), placed) != 0) usageError("stat " + temp + ": " + std::strerror(errno));
  if (!pidFile.empty()) writePidFile(pidFile);
  if (rename(temp.c_str(), path.c_str()) != 0) usageError("rename to " + path + ": " + std::strerror(errno));
  return fd;
}

// Removes the socket file at `path` if it is still the one this daemon placed there, and the pid file if it
// still names this daemon: a daemon started at the same paths since then keeps its own.
void removeOwnFiles(const std::string& path, const struct stat& placed, const std::string& pidFile) {
  struct stat now {};
  if (stat(path.c_str(), &now) == 0 && now.st_dev == placed.st_dev && now.st_ino == placed.st_ino) {
    (void)unlink(path.c_str());
  }
  if (pidFile.empty()) return;
  std::ifstream in(pidFile);
  long pid = 0;
  if (in >> pid && pid == static_cast<long>(getpid())) (void)unlink(pidFile.c_str());
}

// True when the peer of a connection has hung up (shut down its sending side or closed), whether or not
// bytes it sent are still unread.
bool peerHungUp(int fd) {
  pollfd p{fd, POLLRDHUP, 0};
  return poll(&p, 1, 0) == 1 && (p.revents & (POLLRDHUP | POLLHUP | POLLERR)) != 0;
}

// Lets every connection whose peer has hung up end, and log what it still read and its close, before a
// connection accepted after the hang-up is logged. Such a connection ends at once unless it is in a
// scripted delay; the wait is bounded all the same.
void letHungUpConnectionsEnd(std::list<Worker>& workers) {
  for (Worker& w : workers) {
    std::unique_lock<std::mutex> lock(w.mutex);
    if (w.state != Worker::State::kActive || !peerHungUp(w.fd)) continue;
    w.changed.wait_for(lock, std::chrono::seconds(5), [&w] { return w.state != Worker::State::kActive; });
  }
}

void joinEnded(std::list<Worker>& workers) {
  for (auto it = workers.begin(); it != workers.end();) {
    if (it->ended()) {
      it->thread.join();
      it = workers.erase(it);
    } else {
      ++it;
    }
  }
}

}  // namespace

// Never called. Its code holds the constant 0x5A17C0DE, so a test can find a byte of the daemon's code and
// change it without changing what the daemon does.
extern "C" __attribute__((used, noinline)) unsigned tolvane_daemon_spare_code() { return 0x5A17C0DEu; }

int main(int argc, char** argv) {
  const Options o = parseArgs(argc, argv);
  Log log(o.logFile);

  if (pipe2(gStopPipe, O_CLOEXEC | O_NONBLOCK) != 0) usageError(std::string("pipe: ") + std::strerror(errno));
  struct sigaction sa {};
  sa.sa_handler = onStopSignal;
  sigemptyset(&sa.sa_mask);
  if (sigaction(SIGTERM, &sa, nullptr) != 0 || sigaction(SIGINT, &sa, nullptr) != 0) usageError("sigaction");
  signal(SIGPIPE, SIG_IGN);

  struct stat placed {};
  const int listenFd = listenOn(o.socketPath, o.pidFile, &placed);
  if (o.verbose) std::fprintf(stderr, "tolvane_daemon: listening on %s\n", o.socketPath.c_str());

  std::list<Worker> workers;
  long accepted = 0;
  for (;;) {
    pollfd p[2] = {{listenFd, POLLIN, 0}, {gStopPipe[0], POLLIN, 0}};
    const int r = poll(p, 2, 200);
    if (r < 0 && errno != EINTR) break;
    if (p[1].revents != 0) break;
    if (r <= 0 || (p[0].revents & POLLIN) == 0) {
      joinEnded(workers);
      continue;
    }
    const int fd = accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    letHungUpConnectionsEnd(workers);
    joinEnded(workers);
    const long number = ++accepted;
    log.line("accept conn=" + std::to_string(number), o.verbose);
    if (static_cast<int>(workers.size()) >= o.maxConnections) {
      close(fd);
      log.line("close conn=" + std::to_string(number) + " reason=too-many", o.verbose);
      continue;
    }
    Worker& w = workers.emplace_back();
    w.fd = fd;
    w.thread = std::thread([number, &o, &log, &w] { Connection(w, number, o, log).serve(); });
  }

  close(listenFd);
  removeOwnFiles(o.socketPath, placed, o.pidFile);
  const char c = 's';
  (void)!write(gStopPipe[1], &c, 1);  // make sure every connection sees the stop
  for (auto& w : workers) w.thread.join();
  if (o.verbose) std::fprintf(stderr, "tolvane_daemon: stopped\n");
  return 0;
}
