// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QDialog>

#include "ui/services/message_box.h"

class QLabel;
class QPlainTextEdit;
class QPushButton;

namespace quillbox::ui {

// The About window: version, disclaimer and a link to the web site. Shown
// modal; loaded afresh for each showing.
class AboutDialog final : public QDialog {
    Q_OBJECT

public:
    // `linkOwner` is the window a failed open's box belongs to (the main
    // window); the About window itself has no owner.
    explicit AboutDialog(QWidget* linkOwner, MessageBoxFn messageBox = ShowMessageBox);
    ~AboutDialog() override;

    // Opens the web site with the system's handler, as a click on the link does.
    void openWebSite();

    QLabel* titleLabel() const { return m_title; }
    QPushButton* webLink() const { return m_webLink; }
    QPlainTextEdit* aboutText() const { return m_aboutText; }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void showTexts();

    QWidget* m_linkOwner;
    MessageBoxFn m_messageBox;
    QLabel* m_title = nullptr;
    QPushButton* m_webLink = nullptr;
    QPlainTextEdit* m_aboutText = nullptr;
};

} // namespace quillbox::ui
