#include "core/statistics_text.h"

#include "core/number_format.h"

namespace quillbox {

std::string CountLineText(const RunCounters& counters)
{
    return CounterText(counters.FilesFound) + " files found..";
}

std::string FileProgressText(const RunCounters& counters, std::string_view thousandsSeparator)
{
    return FormatGrouped(counters.FilesProcessed, thousandsSeparator) + " of " +
           FormatGrouped(counters.FilesFound, thousandsSeparator);
}

std::string BytesText(const RunCounters& counters, std::string_view thousandsSeparator)
{
    const double megabytes = counters.BytesProcessed / 1024 / 1024;
    return FormatGroupedZero(counters.BytesProcessed, thousandsSeparator) + " bytes (" +
           FormatGrouped(megabytes, thousandsSeparator) + " MB)";
}

} // namespace quillbox
