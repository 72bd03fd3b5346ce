// The stand-in's log facility: one append-only file of text records in the log directory.
#ifndef BRANNIC_SRC_HELPER_KALVEX_SDK_STANDIN_JOTREL_LOG_H_
#define BRANNIC_SRC_HELPER_KALVEX_SDK_STANDIN_JOTREL_LOG_H_

#include <string>
#include <string_view>

namespace kalvex::standin {

class JotrelLog {
 public:
  // Creates `log_dir` (with its parents) and opens "<process name>.log" in it for appending; bytes
  // of the process name other than letters, digits, '.', '-' and '_' become '_', and a leading '.'
  // gets a '_' in front. Notes whether the file ends in the middle of a line (an earlier writer's
  // record was cut); where its last byte cannot be read, it is taken to end a line. Throws
  // std::filesystem::filesystem_error or std::system_error on failure.
  JotrelLog(const std::string& log_dir, const std::string& process_name);
  ~JotrelLog();
  JotrelLog(const JotrelLog&) = delete;
  JotrelLog& operator=(const JotrelLog&) = delete;

  // Appends one line "<level name>\t<tag>\t<message>\n", the texts escaped as EscapeText does,
  // so a record is complete in the file once this returns. When the file stands in the middle of a
  // line, the record begins with an LF: a record cut by a failed write stays cut, but every later
  // one begins a line of its own. Throws std::system_error when the write fails.
  void Write(int level, std::string_view tag, std::string_view message);

 private:
  std::string path_;
  int fd_ = -1;
  bool mid_line_ = false;  // the last byte in the file is not an LF
};

}  // namespace kalvex::standin

#endif  // BRANNIC_SRC_HELPER_KALVEX_SDK_STANDIN_JOTREL_LOG_H_
