// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/common/fonts.h"

#include <QString>

namespace quillbox::ui {

QFont ArialFont(double points)
{
    QFont font(QStringLiteral("Arial"));
    font.setPointSizeF(points);
    font.setBold(false);
    return font;
}

} // namespace quillbox::ui
