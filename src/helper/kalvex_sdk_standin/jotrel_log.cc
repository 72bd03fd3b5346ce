#include "jotrel_log.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <filesystem>
#include <system_error>
#include <unistd.h>

#include "call_record.h"

namespace kalvex::standin {
namespace {

const char* LevelName(int level) {
  switch (level) {
    case 0: return "verbose";
    case 1: return "debug";
    case 2: return "info";
    case 3: return "warn";
    case 4: return "error";
    default: return nullptr;
  }
}

bool IsPlainNameByte(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
         c == '-' || c == '_';
}

std::string JotrelFileName(std::string_view process_name) {
  std::string name;
  if (process_name.empty() || process_name.front() == '.') name.push_back('_');
  for (const char c : process_name) name.push_back(IsPlainNameByte(c) ? c : '_');
  return name + ".log";
}

// True when the non-empty file `path`, whose descriptor `fd` is open for appending, ends with a
// byte other than LF. False also when that byte cannot be read (the file is not readable, say).
bool EndsMidLine(int fd, const std::string& path) {
  struct stat info {};
  if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || info.st_size == 0) return false;
  const int reader = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (reader < 0) return false;
  char last = '\n';
  const ssize_t got = ::pread(reader, &last, 1, info.st_size - 1);
  ::close(reader);  // opened for reading only: nothing can be lost in closing it
  return got == 1 && last != '\n';
}

}  // namespace

JotrelLog::JotrelLog(const std::string& log_dir, const std::string& process_name) {
  std::filesystem::create_directories(log_dir);
  path_ = (std::filesystem::path(log_dir) / JotrelFileName(process_name)).string();
  fd_ = ::open(path_.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (fd_ < 0) throw std::system_error(errno, std::generic_category(), "InitJotrel " + path_);
  mid_line_ = EndsMidLine(fd_, path_);
}

JotrelLog::~JotrelLog() {
  if (fd_ >= 0) ::close(fd_);
}

void JotrelLog::Write(int level, std::string_view tag, std::string_view message) {
  std::string line;
  if (mid_line_) line.push_back('\n');
  const char* name = LevelName(level);
  line.append(name != nullptr ? name : "level" + std::to_string(level));
  line.push_back('\t');
  line.append(EscapeText(tag));
  line.push_back('\t');
  line.append(EscapeText(message));
  line.push_back('\n');
  const char* data = line.data();
  std::size_t left = line.size();
  while (left > 0) {
    const ssize_t n = ::write(fd_, data, left);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) throw std::system_error(errno, std::generic_category(), "WriteJotrel " + path_);
    if (n == 0) throw std::system_error(EIO, std::generic_category(), "WriteJotrel " + path_);
    mid_line_ = data[n - 1] != '\n';
    data += n;
    left -= static_cast<std::size_t>(n);
  }
}

}  // namespace kalvex::standin
