// Strict UTF-8 validation, and the replacement of what is not valid.
#ifndef BRANNIC_SRC_COMMON_MODULE_CODESIGN_SRC_INTERNAL_UTF8_H_
#define BRANNIC_SRC_COMMON_MODULE_CODESIGN_SRC_INTERNAL_UTF8_H_

#include <string>
#include <string_view>

namespace bnq::sign {

// True when `text` is well-formed UTF-8 (RFC 3629): every sequence complete, in its shortest form, and
// encoding a Unicode scalar value, U+0000 to U+10FFFF without the surrogates U+D800 to U+DFFF. The empty
// text and NUL bytes are valid. False for a stray continuation byte, a lead byte without its continuation
// bytes (a sequence cut short, also at the end), an overlong form (C0, C1, E0 80-9F, F0 80-8F), a surrogate
// (ED A0-BF) and a value above U+10FFFF (F4 90-BF, F5 to FF).
//
// The JSON texts of the library write each invalid sequence as U+FFFD (see withValidUtf8), so different
// invalid texts can be written alike: only valid texts are told apart by the canonical JSON text that
// signatures cover.
bool isValidUtf8(std::string_view text) noexcept;

// `text` with each invalid sequence replaced by U+FFFD (EF BF BD); a valid text comes back unchanged. A
// sequence is a lead byte (C0-DF for two bytes, E0-EF for three, F0-F7 for four) and the continuation
// bytes (80-BF) after it, up to that length. It is invalid as a whole, one U+FFFD, when it is cut short
// (the text ends or a byte that is no continuation byte comes first, which then starts afresh), overlong,
// a surrogate, or above U+10FFFF. A continuation byte that follows no lead byte, and each of F8-FF, is an
// invalid sequence by itself.
std::string withValidUtf8(std::string_view text);

}  // namespace bnq::sign

#endif  // BRANNIC_SRC_COMMON_MODULE_CODESIGN_SRC_INTERNAL_UTF8_H_
