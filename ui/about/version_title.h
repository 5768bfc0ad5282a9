// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QString>

#include "quillbox_version.h"

namespace quillbox::ui {

// From project() in the top-level CMakeLists.txt, like --version and the
// package.
inline constexpr int kVersionMajor = QUILLBOX_VERSION_MAJOR;
inline constexpr int kVersionMinor = QUILLBOX_VERSION_MINOR;

// "Quillbox v" + major + "." + minor as at least two digits: 0, 97 gives
// "Quillbox v0.97", 1, 5 gives "Quillbox v1.05".
QString VersionTitle(int major, int minor);

// The disclaimer of the About window.
QString AboutText();

inline const QString kWebAddress = QStringLiteral("https://quillbox.example.org/");
// What the link label shows of it.
inline const QString kWebAddressText = QStringLiteral("quillbox.example.org");

} // namespace quillbox::ui
