// Fixture for tests that run the helper against the stand-in Kalvex SDK: a temporary directory for
// the SDK's root path, and the stand-in's record of SDK calls.
#ifndef BRANNIC_TESTS_HELPER_STANDIN_SESSION_H_
#define BRANNIC_TESTS_HELPER_STANDIN_SESSION_H_

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "helper_process.h"
#include "protocol_text.h"
#include "temp_dir.h"

namespace helper_test {

class StandinSession : public ::testing::Test {
 protected:
  std::string RecordPath() const { return (dir_ / "calls.txt").string(); }
  std::string RootPath() const { return (dir_ / "root").string(); }
  // Where the stand-in writes the log records of a process name.
  std::string LogPath(const std::string& process_name = "renderer") const {
    return RootPath() + "/jotrel/" + process_name + ".log";
  }
  // Valid init fields whose root path lies in the temporary directory.
  InitFields Fields() const {
    InitFields fields;
    fields.root_path = RootPath();
    return fields;
  }

  // A writeLog request whose tag is "seq" and whose message is `id`, and the record it leaves in
  // the log.
  static std::string LogRequest(const std::string& id) {
    return Request(id, "writeLog", {"info", "seq", id});
  }
  static std::string LogRecord(const std::string& id) { return "info\tseq\t" + id + "\n"; }

  // Runs the helper on `input`; `settings` are further stand-in settings ("NAME=value").
  HelperRun Run(const std::string& input, std::vector<std::string> settings = {}) const {
    settings.push_back("KALVEX_STANDIN_RECORD=" + RecordPath());
    return RunHelper(input, settings);
  }

  // The recorded SDK calls, one per entry, in order; empty when none was made.
  std::vector<std::string> Calls() const { return Lines(RecordPath()); }

  static std::vector<std::string> Lines(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
  }

  static std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream all;
    all << in.rdbuf();
    return all.str();
  }

 private:
  brannic_test::TempDir dir_{"kalvex-helper"};
};

}  // namespace helper_test

#endif  // BRANNIC_TESTS_HELPER_STANDIN_SESSION_H_
