// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/services/folder_picker.h"

#include <QCoreApplication>
#include <QFileDialog>

namespace quillbox {

QString BrowseForFolder(QWidget* owner, const QString& title)
{
    return FolderPickResult(QFileDialog::getExistingDirectory(owner, title, QString(), QFileDialog::ShowDirsOnly));
}

QString FolderPickResult(const QString& chosen)
{
    QString path = chosen;
    while (path.size() > 1 && path.endsWith(QLatin1Char('/')))
        path.chop(1);
    // Only a full path is of use to the run; anything else counts as cancel.
    if (!path.startsWith(QLatin1Char('/')))
        return QString();
    return path;
}

QString ProgramFolder()
{
    return QCoreApplication::applicationDirPath();
}

} // namespace quillbox
