// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QIcon>

namespace quillbox::ui {

// The program's own pictures, drawn for it and kept in its resources.
enum class Picture {
    Program, // the program's icon
    FolderClosed,
    FolderOpen,
    Information,
    Warning,
    Critical,
    Sieve,
    Logging, // a page under a magnifying glass
    LogWindow,
};

QIcon PictureIcon(Picture picture);

// The two folder pictures in one icon: the closed folder normally, the open
// one while the pointer is over a flat button (QIcon::Active).
QIcon FolderButtonIcon();

} // namespace quillbox::ui
