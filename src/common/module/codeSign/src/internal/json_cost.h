// What a JSON text costs once parsed, told from its bytes before parsing: JsonCpp builds a node per value
// and per kept comment, and a path made of a text holds an element per "/", so a short text can cost many
// times its size in memory.
#ifndef BRANNIC_SRC_COMMON_MODULE_CODESIGN_SRC_INTERNAL_JSON_COST_H_
#define BRANNIC_SRC_COMMON_MODULE_CODESIGN_SRC_INTERNAL_JSON_COST_H_

#include <cstddef>
#include <cstdint>

namespace bnq::sign {

// What a text may hold to be parsed at all.
struct JsonCostBounds {
  // Values (objects, arrays, texts other than member names, numbers, literals), each counting 1, 1 more
  // when it is a member or an element of another, and 1 more when it is an object or an array; plus 1 per
  // comment and per "/" inside a text or a member name (written as "/", "\/" or "\u002f").
  uint64_t max_elements;
  // Bytes between the quotes of any one text or member name, as written (escapes count as written).
  size_t max_text_length;
};

// True when the `size` bytes at `data` stay within `bounds`. One pass over the bytes, tokenised as JsonCpp's
// reader does (texts end at the first unescaped quote, a backslash escapes the byte after it, "/*" and "//"
// start comments); bytes the reader would not get to (after the first value, or past an error) are counted
// too, and anything that is no token counts as a value, so a text that parses is never counted short.
bool isWithinJsonCost(const char* data, size_t size, const JsonCostBounds& bounds) noexcept;

}  // namespace bnq::sign

#endif  // BRANNIC_SRC_COMMON_MODULE_CODESIGN_SRC_INTERNAL_JSON_COST_H_
