// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/services/locale_facts.h"

#include <QLocale>
#include <QString>

namespace quillbox {

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
