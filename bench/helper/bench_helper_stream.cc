// Streams 100000 writeLog requests through kalvex-helper (writing ahead while the replies are read)
// and the same bytes through cat in the same run, and prints the requests per second of both and
// their ratio. Each is run several times in turn; the medians are reported.
//
// Usage: bench_helper_stream [runs]             (default 5)
//        bench_helper_stream --write-requests FILE
//            writes the request stream to FILE (log root FILE.root) for timing by other tools.
//        bench_helper_stream --large-lines [runs]
//            streams 100 requests of 5 MiB and 166 of 3 MiB (the same bytes) through kalvex-helper,
//            alternately, and prints the median seconds of each and their cost per byte, 5 : 3.
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "temp_dir.h"

#ifndef KALVEX_HELPER_PATH
#error "KALVEX_HELPER_PATH must name the built kalvex-helper"
#endif

extern char** environ;

namespace {

constexpr int kRequests = 100000;

std::string Base64(const std::string& bytes) {
  static constexpr char kDigits[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string text;
  for (std::size_t i = 0; i < bytes.size(); i += 3) {
    unsigned group = 0;
    const std::size_t n = std::min<std::size_t>(3, bytes.size() - i);
    for (std::size_t k = 0; k < 3; ++k) {
      group = group << 8 | (k < n ? static_cast<unsigned char>(bytes[i + k]) : 0u);
    }
    for (std::size_t k = 0; k < 4; ++k) {
      text += k <= n ? kDigits[(group >> (18 - 6 * k)) & 0x3F] : '=';
    }
  }
  return text;
}

std::string Line(const std::string& id, const std::string& method,
                 const std::vector<std::string>& args) {
  std::string line = id + '\t' + method;
  for (const std::string& a : args) line += '\t' + Base64(a);
  return line + '\n';
}

// init, kRequests writeLog requests of about 100 bytes each, shutdown.
std::string RequestStream(const std::string& root) {
  std::string input =
      Line("init", "init",
           {"collect.example", "4711", root, "device-1", "user-1", "1.2.3", "stable", "session-1",
            "bench", "4242", "0", "nimbrel", "bench", "linux"});
  for (int i = 0; i < kRequests; ++i) {
    const std::string id = std::to_string(i);
    input += Line(id, "writeLog", {"info", "bench", "record " + id + " of the request stream"});
  }
  return input + Line("end", "shutdown", {});
}

// Runs `path` with `input` on its standard input, written ahead through a non-blocking pipe while
// its output is read. Returns the wall seconds and stores the output.
double StreamThrough(const char* path, const std::string& input, std::string& output) {
  int in_pipe[2];
  int out_pipe[2];
  if (::pipe2(in_pipe, O_CLOEXEC) != 0 || ::pipe2(out_pipe, O_CLOEXEC) != 0) {
    std::perror("pipe2");
    std::exit(1);
  }
  const auto start = std::chrono::steady_clock::now();
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in_pipe[0], STDIN_FILENO);
  posix_spawn_file_actions_adddup2(&actions, out_pipe[1], STDOUT_FILENO);
  std::string program = path;
  char* argv[] = {program.data(), nullptr};
  pid_t pid = -1;
  const int rc = posix_spawn(&pid, path, &actions, nullptr, argv, environ);
  posix_spawn_file_actions_destroy(&actions);
  ::close(in_pipe[0]);
  ::close(out_pipe[1]);
  if (rc != 0) {
    std::fprintf(stderr, "cannot start %s: %s\n", path, std::strerror(rc));
    std::exit(1);
  }
  int in_fd = in_pipe[1];
  const int out_fd = out_pipe[0];
  ::fcntl(in_fd, F_SETFL, O_NONBLOCK);
  output.clear();
  std::size_t written = 0;
  char chunk[65536];
  for (;;) {
    pollfd fds[2] = {{out_fd, POLLIN, 0}, {in_fd, POLLOUT, 0}};
    if (::poll(fds, in_fd >= 0 ? 2 : 1, 60000) <= 0 && errno != EINTR) {
      std::fprintf(stderr, "%s stalled\n", path);
      std::exit(1);
    }
    if (in_fd >= 0 && (fds[1].revents & (POLLOUT | POLLERR | POLLHUP)) != 0) {
      const ssize_t n = ::write(in_fd, input.data() + written, input.size() - written);
      if (n > 0) written += static_cast<std::size_t>(n);
      if ((n < 0 && errno != EAGAIN && errno != EINTR) || written == input.size()) {
        ::close(in_fd);
        in_fd = -1;
      }
    }
    if ((fds[0].revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
      const ssize_t n = ::read(out_fd, chunk, sizeof chunk);
      if (n > 0) output.append(chunk, static_cast<std::size_t>(n));
      if (n == 0 || (n < 0 && errno != EINTR)) break;
    }
  }
  ::close(out_fd);
  if (in_fd >= 0) ::close(in_fd);
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  const std::chrono::duration<double> seconds = std::chrono::steady_clock::now() - start;
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    std::fprintf(stderr, "%s did not exit with 0\n", path);
    std::exit(1);
  }
  return seconds.count();
}

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  const std::size_t n = values.size();
  return n % 2 == 1 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

// Streams the requests `runs` times through each program, with the log root in a scratch directory, and
// prints the medians; 1 when either program goes wrong.
int Compare(int runs) {
  const brannic_test::TempDir dir("kalvex-bench");
  const std::string root = dir.path().string();
  const std::string input = RequestStream(root);
  const std::string replies_expected = std::to_string(kRequests + 2);

  std::vector<double> helper_rates;
  std::vector<double> cat_rates;
  std::vector<double> ratios;
  std::string output;
  for (int run = 0; run < runs; ++run) {
    const double helper_s = StreamThrough(KALVEX_HELPER_PATH, input, output);
    const auto replies = std::count(output.begin(), output.end(), '\n');
    if (replies != kRequests + 2 || output.find("\terr\t") != std::string::npos) {
      std::fprintf(stderr, "kalvex-helper gave %ld replies or an error; %s expected\n",
                   static_cast<long>(replies), replies_expected.c_str());
      return 1;
    }
    const double cat_s = StreamThrough("/bin/cat", input, output);
    if (output != input) {
      std::fprintf(stderr, "cat changed the stream\n");
      return 1;
    }
    helper_rates.push_back((kRequests + 2) / helper_s);
    cat_rates.push_back((kRequests + 2) / cat_s);
    ratios.push_back(cat_s / helper_s);
    std::filesystem::remove_all(root + "/jotrel");
  }
  std::printf("stream of %d writeLog requests (%zu bytes), median of %d runs\n", kRequests,
              input.size(), runs);
  std::printf("  kalvex-helper: %12.0f requests/s\n", Median(helper_rates));
  std::printf("  cat          : %12.0f requests/s (same bytes)\n", Median(cat_rates));
  std::printf("  helper / cat : %12.4f\n", Median(ratios));
  return 0;
}

// A run of `count` writeLog requests whose message takes `mib` MiB of Base64, and shutdown. There
// is no session, so each request is read and its arguments decoded, and it fails without the SDK
// writing anything: what is timed is the helper's own work on large lines.
std::string LargeLineRun(std::size_t mib, int count) {
  std::string line = "w\twriteLog\t" + Base64("info") + '\t' + Base64("big") + '\t';
  line.append(mib << 20, 'Q');
  line += '\n';
  std::string input;
  input.reserve(line.size() * static_cast<std::size_t>(count) + 64);
  for (int i = 0; i < count; ++i) input += line;
  return input + Line("end", "shutdown", {});
}

// Streams both runs of large lines `runs` times, in turn, and prints the medians; 1 when the helper
// goes wrong.
int CompareLargeLines(int runs) {
  struct Run {
    std::size_t mib;
    int count;
    std::string input;
    std::vector<double> seconds;
  };
  Run five{5, 100, LargeLineRun(5, 100), {}};
  Run three{3, 166, LargeLineRun(3, 166), {}};
  std::string output;
  for (int i = 0; i < runs; ++i) {
    for (Run* r : {&five, &three}) {
      r->seconds.push_back(StreamThrough(KALVEX_HELPER_PATH, r->input, output));
      if (std::count(output.begin(), output.end(), '\n') != r->count + 1) {
        std::fprintf(stderr, "kalvex-helper gave a wrong count of replies\n");
        return 1;
      }
    }
  }
  std::printf("large writeLog requests through kalvex-helper, median of %d runs\n", runs);
  for (const Run* r : {&five, &three}) {
    std::printf("  %3d of %zu MiB (%zu bytes): %8.3f s\n", r->count, r->mib, r->input.size(),
                Median(r->seconds));
  }
  const double five_per_byte = Median(five.seconds) / static_cast<double>(five.input.size());
  const double three_per_byte = Median(three.seconds) / static_cast<double>(three.input.size());
  std::printf("  cost per byte, 5 MiB : 3 MiB lines: %6.3f\n", five_per_byte / three_per_byte);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 3 && std::string(argv[1]) == "--write-requests") {
    const std::string file = argv[2];
    std::ofstream(file, std::ios::binary) << RequestStream(file + ".root");
    return 0;
  }
  try {
    if (argc >= 2 && std::string(argv[1]) == "--large-lines") {
      return CompareLargeLines(argc > 2 ? std::max(1, std::atoi(argv[2])) : 5);
    }
    return Compare(argc > 1 ? std::max(1, std::atoi(argv[1])) : 5);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "%s\n", e.what());
    return 1;
  }
}
