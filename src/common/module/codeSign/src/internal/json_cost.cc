#include "codeSign/src/internal/json_cost.h"

namespace bnq::sign {
namespace {

bool isBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

// Bytes that end a number, a literal or a run of bytes that is no token.
bool endsRun(char c) {
  switch (c) {
    case '{': case '}': case '[': case ']': case ',': case ':': case '"': case '/':
      return true;
    default:
      return isBlank(c);
  }
}

}  // namespace

bool isWithinJsonCost(const char* data, size_t size, const JsonCostBounds& bounds) noexcept {
  uint64_t elements = 0;
  const auto add = [&](uint64_t n) {
    elements += n;
    return elements <= bounds.max_elements;
  };
  // Each value costs its own node, a node in the object or array that holds it, and, for an object or an
  // array, the map of its members.
  size_t depth = 0;
  const auto addValue = [&](bool container) { return add(uint64_t{1} + (depth > 0 ? 1u : 0u) + (container ? 1u : 0u)); };
  // Whether each open container is an object, whose texts after "{" or "," are member names. The reader
  // refuses nesting past 1000, so deeper containers need not be told apart: they are taken for arrays,
  // whose texts all count as values.
  constexpr size_t kTrackedDepth = 1024;
  bool in_object[kTrackedDepth];
  bool expect_name = false;
  size_t i = 0;
  while (i < size) {
    const char c = data[i];
    if (isBlank(c)) {
      ++i;
    } else if (c == '{' || c == '[') {
      if (!addValue(true)) return false;
      if (depth < kTrackedDepth) in_object[depth] = c == '{';
      ++depth;
      expect_name = c == '{';
      ++i;
    } else if (c == '}' || c == ']') {
      if (depth > 0) --depth;
      expect_name = false;
      ++i;
    } else if (c == ',') {
      expect_name = depth > 0 && depth <= kTrackedDepth && in_object[depth - 1];
      ++i;
    } else if (c == ':') {
      expect_name = false;
      ++i;
    } else if (c == '"') {
      if (!expect_name && !addValue(false)) return false;
      expect_name = false;
      const size_t start = ++i;
      uint64_t slashes = 0;
      while (i < size && data[i] != '"') {
        if (data[i] == '/') {
          ++slashes;
        } else if (data[i] == '\\') {
          if (i + 1 >= size) {
            i = size;
            break;
          }
          const char escaped = data[i + 1];
          if (escaped == '/') {
            ++slashes;
          } else if (escaped == 'u' && size - i >= 6 && data[i + 2] == '0' && data[i + 3] == '0' &&
                     data[i + 4] == '2' && (data[i + 5] == 'f' || data[i + 5] == 'F')) {
            ++slashes;
          }
          ++i;  // the escaped byte; the reader takes it whatever it is
        }
        ++i;
      }
      if (i - start > bounds.max_text_length || !add(slashes)) return false;
      ++i;  // the closing quote
    } else if (c == '/') {
      // A comment, which the reader keeps with the value next to it; a name before "/" is still expected.
      if (!add(1)) return false;
      if (i + 1 < size && data[i + 1] == '*') {
        i += 2;
        while (i + 1 < size && !(data[i] == '*' && data[i + 1] == '/')) ++i;
        i += 2;
      } else if (i + 1 < size && data[i + 1] == '/') {
        i += 2;
        while (i < size && data[i] != '\n' && data[i] != '\r') ++i;
      } else {
        ++i;
      }
    } else {
      // A number, a literal, or bytes that are no token.
      if (!addValue(false)) return false;
      expect_name = false;
      while (i < size && !endsRun(data[i])) ++i;
    }
  }
  return true;
}

}  // namespace bnq::sign
