// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <string>
#include <string_view>

#include <QString>

namespace quillbox::ui {

// A file or folder name, kept as bytes, shown as text in the system's
// file-name encoding.
QString NameText(std::string_view bytes);
// The bytes of a name typed or picked as text.
std::string NameBytes(const QString& text);
// A text the program wrote itself, in UTF-8.
QString Utf8Text(std::string_view utf8);
// A folder as its field shows it: ending in the separator.
QString WithTrailingSeparator(QString folder);

} // namespace quillbox::ui
