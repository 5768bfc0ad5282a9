// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/common/icons.h"

#include <QString>

static void InitQuillboxResources()
{
    // The pictures live in a static library; make sure they are registered.
    Q_INIT_RESOURCE(quillbox);
}

namespace quillbox::ui {

namespace {

QString PicturePath(Picture picture)
{
    switch (picture) {
    case Picture::Program:
        return QStringLiteral(":/icons/quillbox.svg");
    case Picture::FolderClosed:
        return QStringLiteral(":/icons/folder-closed.svg");
    case Picture::FolderOpen:
        return QStringLiteral(":/icons/folder-open.svg");
    case Picture::Information:
        return QStringLiteral(":/icons/information.svg");
    case Picture::Warning:
        return QStringLiteral(":/icons/warning.svg");
    case Picture::Critical:
        return QStringLiteral(":/icons/critical.svg");
    case Picture::Sieve:
        return QStringLiteral(":/icons/sieve.svg");
    case Picture::Logging:
        return QStringLiteral(":/icons/logging.svg");
    case Picture::LogWindow:
        return QStringLiteral(":/icons/log-window.svg");
    }
    return {};
}

void EnsureResources()
{
    static const bool done = [] {
        InitQuillboxResources();
        return true;
    }();
    (void)done;
}

} // namespace

QIcon PictureIcon(Picture picture)
{
    EnsureResources();
    return QIcon(PicturePath(picture));
}

QIcon FolderButtonIcon()
{
    EnsureResources();
    QIcon icon;
    for (const int size : {16, 32}) {
        icon.addFile(PicturePath(Picture::FolderClosed), QSize(size, size), QIcon::Normal);
        icon.addFile(PicturePath(Picture::FolderOpen), QSize(size, size), QIcon::Active);
    }
    return icon;
}

} // namespace quillbox::ui
