// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/services/save_picker.h"

#include <QFileDialog>

namespace quillbox {

QString AskSaveFileName(QWidget* owner, const QString& title, const QString& suggested)
{
    return QFileDialog::getSaveFileName(owner, title, suggested, QStringLiteral("Text files (*.txt);;All files (*)"));
}

} // namespace quillbox
