// SPDX-License-Identifier: GPL-3.0-or-later
#include "core/bucket.h"

#include "core/log/log_text.h"

namespace quillbox {

namespace {

// The simple upper-case mapping, restricted to what can land in 'A'..'Z':
// the ASCII small letters, U+0131 (dotless i) and U+017F (long s). No other
// code point's simple upper case is an ASCII capital.
char32_t UpperForBucket(char32_t cp)
{
    if (cp >= U'a' && cp <= U'z')
        return cp - U'a' + U'A';
    if (cp == 0x0131)
        return U'I';
    if (cp == 0x017F)
        return U'S';
    return cp;
}

} // namespace

char BucketLetter(std::string_view name)
{
    const Utf8Char first = DecodeUtf8(name);
    if (first.length == 0)
        return '#';
    const char32_t upper = UpperForBucket(first.code);
    if (upper >= 65 && upper <= 90)
        return static_cast<char>(upper);
    return '#';
}

std::string WithTrailingSeparator(std::string path)
{
    if (path.empty() || path.back() != kPathSeparator)
        path.push_back(kPathSeparator);
    return path;
}

} // namespace quillbox
