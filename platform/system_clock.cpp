#include "system_clock.h"

#include <ctime>

#include <QLocale>
#include <QString>

namespace quillbox {

TimeOfDay SystemClock::now()
{
    // A run may log thousands of entries a second: convert each second once.
    static std::time_t lastSecond = -1;
    static TimeOfDay lastTime;
    const std::time_t t = std::time(nullptr);
    if (t != lastSecond) {
        std::tm local {};
        ::localtime_r(&t, &local);
        lastTime = {local.tm_hour, local.tm_min, local.tm_sec};
        lastSecond = t;
    }
    return lastTime;
}

LocaleFacts SystemLocaleFacts()
{
    const QLocale locale = QLocale::system();
    LocaleFacts facts;
    facts.thousandsSeparator = locale.groupSeparator().toStdString();

    // The separator is whatever stands between the hour and the minute
    // fields of the short time format ("HH:mm" -> ":", "h.mm" -> ".").
    const QString format = locale.timeFormat(QLocale::ShortFormat);
    const qsizetype hour = format.indexOf(QLatin1Char('h'), 0, Qt::CaseInsensitive);
    const qsizetype minute = format.indexOf(QLatin1Char('m'), hour < 0 ? 0 : hour);
    if (hour >= 0 && minute > hour) {
        qsizetype start = hour;
        while (start < minute && format.at(start).toLower() == QLatin1Char('h'))
            ++start;
        const QString separator = format.mid(start, minute - start);
        if (!separator.isEmpty() && separator.trimmed() == separator)
            facts.timeSeparator = separator.toStdString();
    }
    return facts;
}

} // namespace quillbox
