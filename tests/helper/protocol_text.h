// Request and reply lines of the helper's protocol, built the way a parent process builds them.
#ifndef BRANNIC_TESTS_HELPER_PROTOCOL_TEXT_H_
#define BRANNIC_TESTS_HELPER_PROTOCOL_TEXT_H_

#include <string>
#include <string_view>
#include <vector>

namespace helper_test {

// Standard Base64 with '=' padding.
std::string Base64(std::string_view bytes);

// "<id>\t<method>\t<Base64 arg>...\n".
std::string Request(std::string_view id, std::string_view method,
                    const std::vector<std::string>& args = {});
// The reply lines the helper gives: "<id>\tok\t\n" and "<id>\terr\t<Base64 message>\n".
std::string Ok(std::string_view id);
std::string Err(std::string_view id, std::string_view message);

// The fourteen arguments of `init`, all valid by default; root_path must be set.
struct InitFields {
  std::string host = "collect.example";
  std::string aid = "4711";
  std::string root_path;
  std::string did = "device-1";
  std::string uid = "user-1";
  std::string app_version = "1.2.3";
  std::string channel = "stable";
  std::string session_id = "session-1";
  std::string process_name = "renderer";
  std::string pid = "4242";
  std::string debug = "0";
  std::string product = "nimbrel";
  std::string env = "test";
  std::string platform = "linux";

  std::vector<std::string> Args() const;
};

std::string InitRequest(std::string_view id, const InitFields& fields);

}  // namespace helper_test

#endif  // BRANNIC_TESTS_HELPER_PROTOCOL_TEXT_H_
