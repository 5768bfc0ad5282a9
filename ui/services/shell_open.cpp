#include "ui/services/shell_open.h"

#include <QDesktopServices>
#include <QFileInfo>
#include <QProcess>
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

void ShellExe(const QString& file, const QString& parameters, QWidget* owner, const MessageBoxFn& messageBox)
{
    bool opened = false;
    const QFileInfo info(file);
    if (!parameters.isEmpty() && info.isFile() && info.isExecutable()) {
        // A program with parameters: start it on its own.
        opened = QProcess::startDetached(info.absoluteFilePath(), QProcess::splitCommand(parameters));
    } else {
        const QUrl url = UrlFor(file);
        opened = url.isValid() && QDesktopServices::openUrl(url);
    }
    if (!opened)
        messageBox(owner, ShellExeFailureText(QString()), QStringLiteral("ShellExe()"), BoxStyle::Critical);
}

} // namespace quillbox
