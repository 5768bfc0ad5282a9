// SPDX-License-Identifier: GPL-3.0-or-later
#include "core/log/statistics_text.h"

#include "core/log/number_format.h"

namespace quillbox {

std::string CountLineText(const RunFigures& figures)
{
    return CounterText(figures.filesFound) + " files found..";
}

std::string FileProgressText(const RunFigures& figures, std::string_view thousandsSeparator)
{
    return FormatGrouped(figures.filesProcessed, thousandsSeparator) + " of " +
        FormatGrouped(figures.filesFound, thousandsSeparator);
}

std::string BytesText(const RunFigures& figures, std::string_view thousandsSeparator)
{
    const double megabytes = figures.bytesProcessed / 1024 / 1024;
    return FormatGroupedZero(figures.bytesProcessed, thousandsSeparator) + " bytes (" +
        FormatGrouped(megabytes, thousandsSeparator) + " MB)";
}

} // namespace quillbox
