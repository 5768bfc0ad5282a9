// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/about/version_title.h"

namespace quillbox::ui {

QString VersionTitle(int major, int minor)
{
    return QStringLiteral("Quillbox v%1.%2").arg(major).arg(minor, 2, 10, QLatin1Char('0'));
}

QString AboutText()
{
    return QStringLiteral(
        "Quillbox is written and maintained by the Quillbox developers, 2025-2026. "
        "The author shall not be liable for any special, incidental, indirect or consequential damages "
        "arising out of the use of, or inability to use, Quillbox.");
}

} // namespace quillbox::ui
