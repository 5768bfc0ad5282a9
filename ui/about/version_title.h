#pragma once

#include <QString>

namespace quillbox::ui {

inline constexpr int kVersionMajor = 0;
inline constexpr int kVersionMinor = 97;

// "Quillbox v" + major + "." + minor as at least two digits: 0, 97 gives
// "Quillbox v0.97", 1, 5 gives "Quillbox v1.05".
QString VersionTitle(int major, int minor);

// The disclaimer of the About window.
QString AboutText();

inline const QString kWebAddress = QStringLiteral("https://quillbox.example.org/");
// What the link label shows of it.
inline const QString kWebAddressText = QStringLiteral("quillbox.example.org");

} // namespace quillbox::ui
