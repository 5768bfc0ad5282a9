// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/main/folder_drop.h"

#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFileInfo>
#include <QLineEdit>
#include <QMimeData>
#include <QUrl>

#include "ui/common/text_bytes.h"

namespace quillbox::ui {

namespace {

QString FirstLocalPath(const QMimeData* data)
{
    if (data == nullptr || !data->hasUrls())
        return {};
    for (const QUrl& url : data->urls()) {
        if (url.isLocalFile())
            return url.toLocalFile();
    }
    return {};
}

} // namespace

QString DroppedFolder(const QString& localPath)
{
    if (localPath.isEmpty())
        return {};
    const QFileInfo info(localPath);
    return WithTrailingSeparator(info.isDir() ? info.absoluteFilePath() : info.absolutePath());
}

FolderDrop::FolderDrop(QLineEdit* field) : QObject(field), m_field(field)
{
}

void FolderDrop::enable(QLineEdit* field)
{
    field->installEventFilter(new FolderDrop(field));
}

bool FolderDrop::eventFilter(QObject* watched, QEvent* event)
{
    switch (event->type()) {
    case QEvent::DragEnter:
    case QEvent::DragMove: {
        auto* drag = static_cast<QDropEvent*>(event);
        if (FirstLocalPath(drag->mimeData()).isEmpty())
            break; // text and the like: the field's own handling
        drag->acceptProposedAction();
        return true;
    }
    case QEvent::Drop: {
        auto* drop = static_cast<QDropEvent*>(event);
        const QString folder = DroppedFolder(FirstLocalPath(drop->mimeData()));
        if (folder.isEmpty())
            break;
        m_field->setText(folder);
        drop->acceptProposedAction();
        return true;
    }
    default:
        break;
    }
    return QObject::eventFilter(watched, event);
}

} // namespace quillbox::ui
