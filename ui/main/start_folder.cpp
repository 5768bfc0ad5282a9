// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/main/start_folder.h"

#include <fcntl.h>
#include <unistd.h>

#include <QFile>

namespace quillbox::ui {

bool UserMayWrite(const QString& folder)
{
    return ::faccessat(AT_FDCWD, QFile::encodeName(folder).constData(), W_OK | X_OK, AT_EACCESS) == 0;
}

QString StartFolder(const QString& programFolder, const QString& home, const MayWriteFn& mayWrite)
{
    const bool underUsr = programFolder == QLatin1String("/usr") || programFolder.startsWith(QLatin1String("/usr/"));
    if ((!underUsr && mayWrite(programFolder)) || !home.startsWith(QLatin1Char('/')))
        return programFolder;
    QString folder = home;
    while (folder.endsWith(QLatin1Char('/')))
        folder.chop(1);
    return folder;
}

} // namespace quillbox::ui
