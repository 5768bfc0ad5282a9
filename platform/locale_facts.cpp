// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/locale_facts.h"

#include <cstring>
#include <langinfo.h>
#include <locale.h>

namespace quillbox {

std::string TimeSeparatorOfFormat(const char* format)
{
    const char* hour = std::strstr(format, "%H");
    if (hour == nullptr)
        hour = std::strstr(format, "%I");
    if (hour == nullptr)
        return {};
    const char* start = hour + 2;
    const char* minute = std::strstr(start, "%M");
    if (minute == nullptr || minute == start || std::memchr(start, '%', static_cast<std::size_t>(minute - start)))
        return {};
    return std::string(start, minute);
}

LocaleFacts PosixLocaleFacts()
{
    LocaleFacts facts;
    const locale_t locale = ::newlocale(LC_NUMERIC_MASK | LC_TIME_MASK, "", static_cast<locale_t>(nullptr));
    if (locale == static_cast<locale_t>(nullptr))
        return facts;
    if (const char* group = ::nl_langinfo_l(THOUSEP, locale); group != nullptr && *group != '\0')
        facts.thousandsSeparator = group;
    if (std::string separator = TimeSeparatorOfFormat(::nl_langinfo_l(T_FMT, locale)); !separator.empty())
        facts.timeSeparator = std::move(separator);
    ::freelocale(locale);
    return facts;
}

} // namespace quillbox
