// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/services/message_box.h"

#include <algorithm>

#include <QGridLayout>
#include <QLabel>
#include <QRegularExpression>
#include <QStyle>
#include <QTextDocument>
#include <QTextEdit>

namespace quillbox {

namespace {

// A box is at most this many average characters wide, and its text this
// many lines high before it scrolls.
constexpr int kWidestInCharacters = 60;
constexpr int kMostLines = 20;

// A text the box's label cannot show whole (a word wider than the box may
// be, a name of 200 characters say, or more lines than fit) is shown in a
// read-only text view in the label's place instead: wrapped at a word's end
// or, for a word too long for a line, anywhere; scrolled where it is very
// long. The box's text stays what it was given.
void ShowWholeText(QMessageBox& box, const QString& text)
{
    QLabel* label = box.findChild<QLabel*>(QStringLiteral("qt_msgbox_label"));
    auto* grid = qobject_cast<QGridLayout*>(box.layout());
    if (label == nullptr || grid == nullptr)
        return;
    const QFontMetrics metrics(label->font());
    const int widest = kWidestInCharacters * metrics.averageCharWidth();
    const int most = kMostLines * metrics.lineSpacing();

    QTextDocument laidOut;
    laidOut.setDefaultFont(label->font());
    QTextOption wrap;
    wrap.setWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
    laidOut.setDefaultTextOption(wrap);
    laidOut.setPlainText(text);
    laidOut.setTextWidth(widest);
    const int height = static_cast<int>(laidOut.size().height() + 0.99);
    const QStringList words = text.split(QRegularExpression(QStringLiteral("\\s+")), Qt::SkipEmptyParts);
    const bool wordTooWide = std::any_of(words.begin(), words.end(),
                                         [&](const QString& word) { return metrics.horizontalAdvance(word) > widest; });
    if (!wordTooWide && height <= most)
        return;

    int row = 0, column = 0, rowSpan = 0, columnSpan = 0;
    grid->getItemPosition(grid->indexOf(label), &row, &column, &rowSpan, &columnSpan);
    auto* view = new QTextEdit(&box);
    view->setObjectName(QStringLiteral("messageText"));
    view->setReadOnly(true);
    view->setAcceptRichText(false);
    view->setFont(label->font());
    view->setLineWrapMode(QTextEdit::WidgetWidth);
    view->setWordWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
    view->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    view->setPlainText(text);
    view->setAccessibleName(box.windowTitle());
    const int frame = 2 * view->frameWidth();
    const int scrollBar = height > most ? view->style()->pixelMetric(QStyle::PM_ScrollBarExtent, nullptr, view) : 0;
    view->setFixedSize(widest + frame + scrollBar, std::min(height, most) + frame);
    label->hide();
    grid->addWidget(view, row, column, rowSpan, columnSpan);
}

} // namespace

QMessageBox::StandardButton ShowMessageBox(QWidget* owner, const QString& text, const QString& title, BoxStyle style)
{
    QMessageBox box(owner);
    box.setWindowTitle(title);
    box.setText(text);
    box.setTextFormat(Qt::PlainText);
    switch (style) {
    case BoxStyle::Critical:
        box.setIcon(QMessageBox::Critical);
        box.setStandardButtons(QMessageBox::Ok);
        break;
    case BoxStyle::YesNoQuestion:
        box.setIcon(QMessageBox::Question);
        box.setStandardButtons(QMessageBox::Yes | QMessageBox::No);
        box.setDefaultButton(QMessageBox::Yes);
        break;
    case BoxStyle::Information:
        box.setIcon(QMessageBox::Information);
        box.setStandardButtons(QMessageBox::Ok);
        break;
    }
    ShowWholeText(box, text);
    const int answer = box.exec();
    return static_cast<QMessageBox::StandardButton>(answer);
}

} // namespace quillbox
