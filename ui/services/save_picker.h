// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <functional>

#include <QString>

class QWidget;

namespace quillbox {

// Asks where to save a file, in the platform's dialog modal to `owner`,
// starting at `suggested`; "" when the user cancels.
QString AskSaveFileName(QWidget* owner, const QString& title, const QString& suggested);

// Windows are given one of these; tests answer it themselves.
using SavePickerFn = std::function<QString(QWidget* owner, const QString& title, const QString& suggested)>;

} // namespace quillbox
