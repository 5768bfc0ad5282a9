#include "core/log_text.h"

namespace quillbox {

namespace {

// The length of the valid UTF-8 sequence at the start of `text`, or 0.
std::size_t ValidSequence(std::string_view text)
{
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(0);
    std::size_t length = 0;
    unsigned int code = 0;
    if (lead < 0x80)
        return 1;
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
        return 0;
    }
    if (text.size() < length)
        return 0;
    for (std::size_t i = 1; i < length; ++i) {
        if ((byte(i) & 0xC0) != 0x80)
            return 0;
        code = code << 6 | (byte(i) & 0x3F);
    }
    // Overlong forms, UTF-16 surrogates and values past U+10FFFF are not
    // valid UTF-8.
    if ((length == 3 && code < 0x800) || (length == 4 && (code < 0x10000 || code > 0x10FFFF)) ||
        (code >= 0xD800 && code <= 0xDFFF))
        return 0;
    return length;
}

} // namespace

std::string LogLineForSaving(std::string_view row)
{
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string line;
    line.reserve(row.size());
    while (!row.empty()) {
        const std::size_t valid = ValidSequence(row);
        if (valid == 0) {
            const auto bad = static_cast<unsigned char>(row[0]);
            line.append("\\x").push_back(kHex[bad >> 4]);
            line.push_back(kHex[bad & 0xF]);
            row.remove_prefix(1);
            continue;
        }
        if (row[0] == '\\')
            line.append("\\\\");
        else
            line.append(row.substr(0, valid));
        row.remove_prefix(valid);
    }
    return line;
}

} // namespace quillbox
