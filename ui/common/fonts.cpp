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
