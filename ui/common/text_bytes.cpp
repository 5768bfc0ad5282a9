// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/common/text_bytes.h"

#include <QByteArray>
#include <QFile>

namespace quillbox::ui {

QString NameText(std::string_view bytes)
{
    return QFile::decodeName(QByteArray(bytes.data(), static_cast<qsizetype>(bytes.size())));
}

std::string NameBytes(const QString& text)
{
    return QFile::encodeName(text).toStdString();
}

QString Utf8Text(std::string_view utf8)
{
    return QString::fromUtf8(utf8.data(), static_cast<qsizetype>(utf8.size()));
}

QString WithTrailingSeparator(QString folder)
{
    if (!folder.endsWith(QLatin1Char('/')))
        folder += QLatin1Char('/');
    return folder;
}

} // namespace quillbox::ui
