// Fuzzes kalvex-helper's line handling. The helper's one source is compiled in with its entry
// renamed; each input is fed to the request loop on descriptor 0, in pieces cut the same way on
// every run of that input, through a non-blocking stream socket; its replies are caught in a
// temporary file put on descriptor 1 for the run, and they are checked against the lines that asked
// for them. The Base64 decoder and encoder are checked on every field.
#include <fcntl.h>
#include <linux/sockios.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#define main kalvex_helper_main
#include "kalvex_helper.cc"
#undef main

namespace {

void Require(bool ok) {
  if (!ok) std::abort();
}

int g_replies_fd = -1;      // the temporary file that catches the replies of one input
int g_saved_stdin_fd = -1;   // the real descriptors 0 and 1, put back after each input
int g_saved_stdout_fd = -1;

// The sizes of the pieces that `input` is sent in, from 1 byte to 4 KiB, mostly small. They follow
// from the input's bytes, so that a run of the same input sees the same cuts.
std::vector<std::size_t> PieceSizes(const std::string& input) {
  std::uint64_t state = 14695981039346656037u;  // FNV-1a of the input seeds a xorshift generator
  for (const char c : input) state = (state ^ static_cast<unsigned char>(c)) * 1099511628211u;
  if (state == 0) state = 1;
  std::vector<std::size_t> sizes;
  for (std::size_t left = input.size(); left > 0;) {
    state ^= state << 13;
    state ^= state >> 7;
    state ^= state << 17;
    const std::uint64_t limit = (state & 7) == 0 ? 4096 : 64;
    const std::size_t size = std::min<std::size_t>(left, 1 + (state >> 8) % limit);
    sizes.push_back(size);
    left -= size;
  }
  return sizes;
}

// Waits until the other end of the stream socket `fd` has read everything sent on it, or is gone.
void WaitUntilRead(int fd) {
  for (;;) {
    int unread = 0;
    Require(::ioctl(fd, SIOCOUTQ, &unread) == 0);
    if (unread == 0) return;
    std::this_thread::yield();
  }
}

// Sends `input` piece by piece on `fd`, each once the helper has read the one before, so that each
// read takes exactly one piece; then ends the input. Stops early when the reading end is gone (the
// helper has shut down).
void SendInPieces(int fd, const std::string& input) {
  std::size_t at = 0;
  for (const std::size_t size : PieceSizes(input)) {
    WaitUntilRead(fd);
    ssize_t sent;
    do {
      sent = ::send(fd, input.data() + at, size, MSG_NOSIGNAL);
    } while (sent < 0 && errno == EINTR);
    if (sent < 0) break;
    Require(static_cast<std::size_t>(sent) == size);
    at += size;
  }
  ::shutdown(fd, SHUT_WR);
}

// Runs the helper on `input` and returns what it wrote to descriptor 1.
std::string RunHelper(const std::string& input, int& exit_code) {
  Require(::ftruncate(g_replies_fd, 0) == 0);
  Require(::lseek(g_replies_fd, 0, SEEK_SET) == 0);
  Require(::dup2(g_replies_fd, STDOUT_FILENO) == STDOUT_FILENO);
  // A stream socket fed one piece at a time: every read takes exactly one piece (each far smaller
  // than the helper's read), and the helper's non-blocking end makes it wait whenever it is ahead of
  // the sender.
  int ends[2];
  Require(::socketpair(AF_UNIX, SOCK_STREAM, 0, ends) == 0);
  Require(::fcntl(ends[0], F_SETFL, O_NONBLOCK) == 0);
  Require(::dup2(ends[0], STDIN_FILENO) == STDIN_FILENO);
  ::close(ends[0]);
  std::thread sender([fd = ends[1], &input] { SendInPieces(fd, input); });
  exit_code = kalvex_helper_main();
  // Closes the helper's end, so that a sender still at work stops.
  Require(::dup2(g_saved_stdin_fd, STDIN_FILENO) == STDIN_FILENO);
  sender.join();
  ::close(ends[1]);
  Require(::dup2(g_saved_stdout_fd, STDOUT_FILENO) == STDOUT_FILENO);
  const off_t size = ::lseek(g_replies_fd, 0, SEEK_END);
  Require(size >= 0);
  std::string output(static_cast<std::size_t>(size), '\0');
  std::size_t got = 0;
  while (got < output.size()) {
    const ssize_t n = ::pread(g_replies_fd, output.data() + got, output.size() - got,
                              static_cast<off_t>(got));
    Require(n > 0);
    got += static_cast<std::size_t>(n);
  }
  return output;
}

void CheckCodec(std::string_view field) {
  std::size_t digits = 0;
  for (const char c : field) {
    if (c == '=') break;
    if (Base64DecodeTable()[static_cast<unsigned char>(c)] != kNotInAlphabet) ++digits;
  }
  const std::string bytes = Base64Decode(field);
  Require(bytes.size() == digits * 6 / 8);
  const std::string raw(field);
  const std::string text = Base64Encode(raw);
  Require(text.size() == (raw.size() + 2) / 3 * 4);
  Require(Base64Decode(text) == raw);
}

// Cuts a line at every TAB; N TABs give N+1 fields, empty ones included.
std::vector<std::string_view> Fields(std::string_view line) {
  std::vector<std::string_view> fields;
  for (;;) {
    const std::size_t tab = line.find('\t');
    fields.push_back(line.substr(0, tab));
    if (tab == std::string_view::npos) return fields;
    line.remove_prefix(tab + 1);
  }
}

// The lines of `input` as the loop reads them: cut at LF, a last line without LF included.
std::vector<std::string_view> InputLines(std::string_view input) {
  std::vector<std::string_view> lines;
  while (!input.empty()) {
    const std::size_t lf = input.find('\n');
    lines.push_back(input.substr(0, lf));
    if (lf == std::string_view::npos) break;
    input.remove_prefix(lf + 1);
  }
  return lines;
}

// Every line with a TAB, up to a successful shutdown, has exactly one well-formed reply, in order.
void CheckReplies(std::string_view input, std::string_view output) {
  for (const std::string_view line : InputLines(input)) {
    const std::vector<std::string_view> fields = Fields(line);
    for (std::size_t i = 2; i < fields.size(); ++i) CheckCodec(fields[i]);
    if (fields.size() < 2) continue;
    const std::string expected_head = std::string(fields[0]) + '\t';
    Require(output.substr(0, expected_head.size()) == expected_head);
    output.remove_prefix(expected_head.size());
    const std::size_t lf = output.find('\n');
    Require(lf != std::string_view::npos);
    const std::string_view rest = output.substr(0, lf);
    output.remove_prefix(lf + 1);
    if (rest == "ok\t") {
      if (fields[1] == "shutdown") break;
      continue;
    }
    Require(rest.substr(0, 4) == "err\t");
    const std::string_view message_text = rest.substr(4);
    const std::string message = Base64Decode(message_text);
    Require(!message.empty() && Base64Encode(message) == message_text);
    if (fields[1] != "init" && fields[1] != "setUserUniqueId" && fields[1] != "writeLog" &&
        fields[1] != "shutdown") {
      const std::string method(fields[1]);
      Require(message == "Unknown method: " + std::string(method.c_str()));
    }
  }
  Require(output.empty());
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // The stand-in SDK must not create log directories wherever an input's init names one.
  ::setenv("KALVEX_STANDIN_THROW", "InitJotrel", 1);
  std::FILE* const replies = std::tmpfile();  // kept open for the whole run
  Require(replies != nullptr);
  g_replies_fd = ::fileno(replies);
  g_saved_stdin_fd = ::dup(STDIN_FILENO);
  g_saved_stdout_fd = ::dup(STDOUT_FILENO);
  Require(g_replies_fd >= 0 && g_saved_stdin_fd >= 0 && g_saved_stdout_fd >= 0);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string input(reinterpret_cast<const char*>(data), size);
  int exit_code = -1;
  const std::string output = RunHelper(input, exit_code);
  Require(exit_code == 0);
  CheckReplies(input, output);
  return 0;
}
