// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <functional>

#include <QMessageBox>
#include <QString>

class QWidget;

namespace quillbox {

// The three kinds of box the program shows.
enum class BoxStyle {
    Critical,      // critical icon, OK
    YesNoQuestion, // question icon, Yes and No, Yes the default
    Information,   // information icon, OK
};

// Shows a modal box and returns the button pressed. Windows are given one of
// these so that a test can answer the box instead of a person.
using MessageBoxFn = std::function<QMessageBox::StandardButton(QWidget* owner, const QString& text,
                                                               const QString& title, BoxStyle style)>;

// The real box: blocks until the user closes it.
QMessageBox::StandardButton ShowMessageBox(QWidget* owner, const QString& text, const QString& title, BoxStyle style);

} // namespace quillbox
