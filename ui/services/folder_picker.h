// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <functional>

#include <QString>

class QWidget;

namespace quillbox {

// Lets the user choose a folder in the platform's folder dialog, modal to
// `owner`. Returns the folder's full path, or "" when the user cancels. The
// root folder comes back as "/", every other folder without a trailing "/".
QString BrowseForFolder(QWidget* owner, const QString& title);

// What the dialog gave, in the form BrowseForFolder returns it.
QString FolderPickResult(const QString& chosen);

// The main window is given one of these; tests answer it themselves.
using FolderPickerFn = std::function<QString(QWidget* owner, const QString& title)>;

// The folder that holds the program's executable, without a trailing "/"
// (except for the root folder).
QString ProgramFolder();

} // namespace quillbox
