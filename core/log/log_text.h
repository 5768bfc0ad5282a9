// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace quillbox {

// The UTF-8 character at the start of a text: its length in bytes and its
// code point. A length of 0 means the text is empty or does not start with
// valid UTF-8 (a malformed or cut-short sequence, an overlong form, a
// UTF-16 surrogate or a value past U+10FFFF).
struct Utf8Char {
    std::size_t length = 0;
    char32_t code = 0;
};
Utf8Char DecodeUtf8(std::string_view text);

// A text as the program writes it anywhere a person or a script reads it:
// the log window, the saved log, standard output and the progress line.
// Valid UTF-8 stays as it is, except that a control character (below 0x20,
// and 0x7F) becomes "\n", "\r", "\t" or "\xHH", a byte that is not part of
// valid UTF-8 (a file name in another encoding) becomes "\xHH", and a
// backslash becomes "\\". So one entry is always one line, and an escape can
// always be told from the same characters in a name.
std::string EscapeText(std::string_view text);

} // namespace quillbox
