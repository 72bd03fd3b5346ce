// Strict UTF-8 validation.
#ifndef BRANNIC_SRC_COMMON_MODULE_CODESIGN_SRC_INTERNAL_UTF8_H_
#define BRANNIC_SRC_COMMON_MODULE_CODESIGN_SRC_INTERNAL_UTF8_H_

#include <string_view>

namespace bnq::sign {

// True when `text` is well-formed UTF-8 (RFC 3629): every sequence complete, in its shortest form, and
// encoding a Unicode scalar value, U+0000 to U+10FFFF without the surrogates U+D800 to U+DFFF. The empty
// text and NUL bytes are valid. False for a stray continuation byte, a lead byte without its continuation
// bytes (a sequence cut short, also at the end), an overlong form (C0, C1, E0 80-9F, F0 80-8F), a surrogate
// (ED A0-BF) and a value above U+10FFFF (F4 90-BF, F5 to FF).
//
// Json::writeString writes every valid text in a form that reads back to the same bytes, but writes an
// invalid one the way it writes some other text (a malformed sequence as the character its bits suggest, or
// as U+FFFD): only valid texts are told apart by the canonical JSON text that signatures cover.
bool isValidUtf8(std::string_view text) noexcept;

}  // namespace bnq::sign

#endif  // BRANNIC_SRC_COMMON_MODULE_CODESIGN_SRC_INTERNAL_UTF8_H_
