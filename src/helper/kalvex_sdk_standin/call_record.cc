#include "call_record.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <stdexcept>
#include <unistd.h>
#include <vector>

namespace kalvex::standin {
namespace {

struct Settings {
  std::string record_path;
  std::vector<std::string> null_calls;
  std::vector<std::string> throw_calls;
};

std::vector<std::string> SplitList(const char* text) {
  std::vector<std::string> items;
  if (text == nullptr) return items;
  std::string_view rest(text);
  while (!rest.empty()) {
    const std::size_t comma = rest.find(',');
    const std::string_view item = rest.substr(0, comma);
    if (!item.empty()) items.emplace_back(item);
    if (comma == std::string_view::npos) break;
    rest.remove_prefix(comma + 1);
  }
  return items;
}

const Settings& GetSettings() {
  static const Settings settings = [] {
    Settings s;
    if (const char* path = std::getenv("KALVEX_STANDIN_RECORD")) s.record_path = path;
    s.null_calls = SplitList(std::getenv("KALVEX_STANDIN_NULL"));
    s.throw_calls = SplitList(std::getenv("KALVEX_STANDIN_THROW"));
    return s;
  }();
  return settings;
}

bool Contains(const std::vector<std::string>& list, std::string_view name) {
  for (const std::string& item : list) {
    if (item == name) return true;
  }
  return false;
}

void AppendToRecord(const std::string& path, const std::string& line) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (fd < 0) throw std::runtime_error("stand-in cannot open call record: " + path);
  const char* data = line.data();
  std::size_t left = line.size();
  bool ok = true;
  while (left > 0) {
    const ssize_t n = ::write(fd, data, left);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      ok = false;
      break;
    }
    data += n;
    left -= static_cast<std::size_t>(n);
  }
  if (::close(fd) != 0) ok = false;
  if (!ok) throw std::runtime_error("stand-in cannot write call record: " + path);
}

}  // namespace

void EnterCall(std::string_view object, std::string_view name,
               std::initializer_list<std::string_view> args) {
  const Settings& settings = GetSettings();
  if (!settings.record_path.empty()) {
    std::string line;
    if (!object.empty()) {
      line.append(object);
      line.push_back('.');
    }
    line.append(name);
    for (std::string_view arg : args) {
      line.push_back('\t');
      line.append(EscapeText(arg));
    }
    line.push_back('\n');
    AppendToRecord(settings.record_path, line);
  }
  if (Contains(settings.throw_calls, name)) {
    throw std::runtime_error("stand-in " + std::string(name) + " failed");
  }
}

bool ShouldReturnNull(std::string_view name) { return Contains(GetSettings().null_calls, name); }

std::string NextObjectName(char prefix) {
  static unsigned long serials[256] = {};
  const unsigned long serial = ++serials[static_cast<unsigned char>(prefix)];
  return std::string(1, prefix) + std::to_string(serial);
}

std::string EscapeText(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (const char c : text) {
    switch (c) {
      case '\\': out += "\\\\"; break;
      case '\t': out += "\\t"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      default: out.push_back(c); break;
    }
  }
  return out;
}

}  // namespace kalvex::standin
