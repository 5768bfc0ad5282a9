#pragma once

#include <QDialog>

#include "ui/services/message_box.h"

class QLabel;
class QPlainTextEdit;
class QPushButton;

namespace quillbox::ui {

// The About window: version, disclaimer and a link to the web site. Shown
// modal; loaded afresh for each showing.
class wAbout final : public QDialog {
    Q_OBJECT

public:
    // `linkOwner` is the window a failed open's box belongs to (the main
    // window); the About window itself has no owner.
    explicit wAbout(QWidget* linkOwner, MessageBoxFn messageBox = ShowMessageBox);
    ~wAbout() override;

    void Form_Load();
    void labURL_Click();

    QLabel* labTitle() const { return m_labTitle; }
    QPushButton* labURL() const { return m_labURL; }
    QPlainTextEdit* txtAbout() const { return m_txtAbout; }

private:
    QWidget* m_linkOwner;
    MessageBoxFn m_messageBox;
    QLabel* m_labTitle = nullptr;
    QPushButton* m_labURL = nullptr;
    QPlainTextEdit* m_txtAbout = nullptr;
};

} // namespace quillbox::ui
