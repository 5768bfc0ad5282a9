// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QObject>

class QLineEdit;

namespace quillbox::ui {

// Lets a folder dragged from a file manager be dropped onto a folder field:
// the field takes the folder (a dropped file gives its folder), with the
// separator at its end.
class FolderDrop final : public QObject {
    Q_OBJECT

public:
    // Installs itself on `field`, whose child it becomes.
    static void enable(QLineEdit* field);

    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    explicit FolderDrop(QLineEdit* field);
    QLineEdit* m_field;
};

// The folder a dropped local path stands for: the path itself for a
// folder, its folder for anything else; "" for no local path.
QString DroppedFolder(const QString& localPath);

} // namespace quillbox::ui
