// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <functional>

#include <QString>

namespace quillbox::ui {

// Whether the user may make and remove files in `folder`: write and search
// permission, on a mount that may be written.
bool UserMayWrite(const QString& folder);
using MayWriteFn = std::function<bool(const QString& folder)>;

// The folder both folder fields start on, without a trailing '/': the
// folder that holds the program, unless it is one the user may not write to
// (`mayWrite`) or it lies under /usr, where a package puts the program among
// the system's own; then the user's home folder `home`, where there is one.
QString StartFolder(const QString& programFolder, const QString& home, const MayWriteFn& mayWrite);

} // namespace quillbox::ui
