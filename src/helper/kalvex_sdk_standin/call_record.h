// Test hooks of the Kalvex stand-in: a record of every SDK call and injected failures.
//
// The settings are read once, from the environment of the process that uses the stand-in:
//   KALVEX_STANDIN_RECORD  a file to which every call is appended as one line:
//                          the call (prefixed "<object>." for member functions), then its
//                          arguments, TAB-separated, each escaped by EscapeText
//   KALVEX_STANDIN_NULL    comma-separated Create functions that return null
//   KALVEX_STANDIN_THROW   comma-separated call names (without object) that throw
//                          std::runtime_error("stand-in <name> failed") after being recorded
// Without these variables nothing is recorded and nothing fails. Not thread-safe: the SDK is
// driven from one thread.
#ifndef BRANNIC_SRC_HELPER_KALVEX_SDK_STANDIN_CALL_RECORD_H_
#define BRANNIC_SRC_HELPER_KALVEX_SDK_STANDIN_CALL_RECORD_H_

#include <initializer_list>
#include <string>
#include <string_view>

namespace kalvex::standin {

// Records the call `name` on `object` (empty for a free function) with its arguments, then throws
// if the settings name the call. Throws std::runtime_error when the record cannot be written.
void EnterCall(std::string_view object, std::string_view name,
               std::initializer_list<std::string_view> args);

// True when the settings tell the Create function `name` to return null.
bool ShouldReturnNull(std::string_view name);

// A new object name: `prefix` followed by its own serial number in this process ("w1", "w2", ...).
std::string NextObjectName(char prefix);

// Escapes backslash, TAB, LF and CR as \\ \t \n \r, so that a text stays within one line field.
std::string EscapeText(std::string_view text);

}  // namespace kalvex::standin

#endif  // BRANNIC_SRC_HELPER_KALVEX_SDK_STANDIN_CALL_RECORD_H_
