#include "protocol_text.h"

namespace helper_test {

std::string Base64(std::string_view bytes) {
  static constexpr char kDigits[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string text;
  unsigned bits = 0;
  int count = 0;
  for (const char c : bytes) {
    bits = (bits << 8 | static_cast<unsigned char>(c)) & 0xFFFF;
    count += 8;
    while (count >= 6) {
      count -= 6;
      text += kDigits[(bits >> count) & 0x3F];
    }
  }
  if (count > 0) text += kDigits[(bits << (6 - count)) & 0x3F];
  while (text.size() % 4 != 0) text += '=';
  return text;
}

std::string Request(std::string_view id, std::string_view method,
                    const std::vector<std::string>& args) {
  std::string line(id);
  line += '\t';
  line += method;
  for (const std::string& arg : args) {
    line += '\t';
    line += Base64(arg);
  }
  return line + '\n';
}

std::string Ok(std::string_view id) { return std::string(id) + "\tok\t\n"; }

std::string Err(std::string_view id, std::string_view message) {
  return std::string(id) + "\terr\t" + Base64(message) + '\n';
}

std::vector<std::string> InitFields::Args() const {
  return {host,       aid,          root_path, did,   uid,     app_version, channel,
          session_id, process_name, pid,       debug, product, env,         platform};
}

std::string InitRequest(std::string_view id, const InitFields& fields) {
  return Request(id, "init", fields.Args());
}

}  // namespace helper_test
