// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QString>

#include "ui/services/message_box.h"

class QWidget;

namespace quillbox {

// Asks the desktop to open a document or web address with whatever the
// system associates with it, and returns at once. A failed open is shown in
// a box titled "ShellExe()", owned by `owner`.
void ShellExe(const QString& file, QWidget* owner, const MessageBoxFn& messageBox = ShowMessageBox);

// The text of the box a failed open shows; `reason` is usually "".
QString ShellExeFailureText(const QString& reason);

} // namespace quillbox
