#include "core/bucket.h"

#include <cstdint>

namespace quillbox {

namespace {

// Decodes the first UTF-8 character of `text`. Returns false for an empty
// text, a malformed or truncated sequence, an overlong form or a surrogate.
bool DecodeFirst(std::string_view text, char32_t& out)
{
    if (text.empty())
        return false;
    const auto b0 = static_cast<std::uint8_t>(text[0]);
    if (b0 < 0x80) {
        out = b0;
        return true;
    }
    int length = 0;
    char32_t cp = 0;
    char32_t minimum = 0;
    if ((b0 & 0xE0) == 0xC0) {
        length = 2; cp = b0 & 0x1F; minimum = 0x80;
    } else if ((b0 & 0xF0) == 0xE0) {
        length = 3; cp = b0 & 0x0F; minimum = 0x800;
    } else if ((b0 & 0xF8) == 0xF0) {
        length = 4; cp = b0 & 0x07; minimum = 0x10000;
    } else {
        return false;
    }
    if (text.size() < static_cast<std::size_t>(length))
        return false;
    for (int i = 1; i < length; ++i) {
        const auto b = static_cast<std::uint8_t>(text[i]);
        if ((b & 0xC0) != 0x80)
            return false;
        cp = (cp << 6) | (b & 0x3F);
    }
    if (cp < minimum || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
        return false;
    out = cp;
    return true;
}

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
    char32_t cp = 0;
    if (!DecodeFirst(name, cp))
        return '#';
    const char32_t upper = UpperForBucket(cp);
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
