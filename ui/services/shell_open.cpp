// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/services/shell_open.h"

#include <QDesktopServices>
#include <QFileInfo>
#include <QUrl>

namespace quillbox {

namespace {

// A file that exists is opened by path; everything else is taken as an
// address ("https://...", "mailto:...").
QUrl UrlFor(const QString& file)
{
    if (file.isEmpty())
        return QUrl();
    if (file.startsWith(QLatin1Char('/')) || QFileInfo::exists(file))
        return QUrl::fromLocalFile(QFileInfo(file).absoluteFilePath());
    return QUrl(file, QUrl::StrictMode);
}

} // namespace

QString ShellExeFailureText(const QString& reason)
{
    return QStringLiteral("An unexpected error occured:\r\n    ") + reason;
}

void ShellExe(const QString& file, QWidget* owner, const MessageBoxFn& messageBox)
{
    const QUrl url = UrlFor(file);
    if (!url.isValid() || !QDesktopServices::openUrl(url))
        messageBox(owner, ShellExeFailureText(QString()), QStringLiteral("ShellExe()"), BoxStyle::Critical);
}

} // namespace quillbox
