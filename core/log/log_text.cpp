// SPDX-License-Identifier: GPL-3.0-or-later
#include "core/log/log_text.h"

namespace quillbox {

Utf8Char DecodeUtf8(std::string_view text)
{
    if (text.empty())
        return {};
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(0);
    std::size_t length = 0;
    char32_t code = 0;
    if (lead < 0x80)
        return {1, lead};
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
        code = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        code = lead & 0x0F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        code = lead & 0x07;
    } else {
        return {};
    }
    if (text.size() < length)
        return {};
    for (std::size_t i = 1; i < length; ++i) {
        if ((byte(i) & 0xC0) != 0x80)
            return {};
        code = code << 6 | (byte(i) & 0x3F);
    }
    // Overlong forms, UTF-16 surrogates and values past U+10FFFF are not
    // valid UTF-8.
    if ((length == 3 && code < 0x800) || (length == 4 && (code < 0x10000 || code > 0x10FFFF)) ||
        (code >= 0xD800 && code <= 0xDFFF))
        return {};
    return {length, code};
}

std::string EscapeText(std::string_view text)
{
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string line;
    line.reserve(text.size());
    const auto appendHex = [&](unsigned char byte) {
        line.append("\\x").push_back(kHex[byte >> 4]);
        line.push_back(kHex[byte & 0xF]);
    };
    while (!text.empty()) {
        const Utf8Char next = DecodeUtf8(text);
        if (next.length == 0) {
            appendHex(static_cast<unsigned char>(text[0]));
            text.remove_prefix(1);
            continue;
        }
        switch (next.code) {
        case U'\\':
            line.append("\\\\");
            break;
        case U'\n':
            line.append("\\n");
            break;
        case U'\r':
            line.append("\\r");
            break;
        case U'\t':
            line.append("\\t");
            break;
        default:
            if (next.code < 0x20 || next.code == 0x7F)
                appendHex(static_cast<unsigned char>(next.code));
            else
                line.append(text.substr(0, next.length));
        }
        text.remove_prefix(next.length);
    }
    return line;
}

} // namespace quillbox
