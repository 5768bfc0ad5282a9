// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/about/about_dialog.h"

#include <QGroupBox>
#include <QKeyEvent>
#include <QLabel>
#include <QMetaObject>
#include <QPlainTextEdit>
#include <QPushButton>

#include "ui/about/version_title.h"
#include "ui/common/fonts.h"
#include "ui/common/icons.h"
#include "ui/common/twips.h"
#include "ui/services/shell_open.h"

namespace quillbox::ui {

AboutDialog::AboutDialog(QWidget* linkOwner, MessageBoxFn messageBox)
    : QDialog(nullptr,
              Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                  Qt::WindowCloseButtonHint)
    , m_linkOwner(linkOwner)
    , m_messageBox(std::move(messageBox))
{
    setObjectName(QStringLiteral("aboutDialog"));
    setWindowTitle(QStringLiteral("Quillbox .."));
    setWindowIcon(PictureIcon(Picture::Information));
    setModal(true);
    setFixedSize(TwipsSize(3720, 3300));
    setFont(ArialFont(8.25));

    // A frame without caption, its top edge lifted out of sight.
    auto* frame = new QGroupBox(this);
    frame->setObjectName(QStringLiteral("aboutFrame"));
    frame->setGeometry(Twips(30, -45, 3660, 3315));

    auto* icon = new QLabel(frame);
    icon->setObjectName(QStringLiteral("programIcon"));
    icon->setGeometry(Twips(165, 270, 720, 720));
    icon->setPixmap(PictureIcon(Picture::Program).pixmap(QSize(48, 48), devicePixelRatioF()));
    icon->setAccessibleName(QStringLiteral("Quillbox"));

    m_title = new QLabel(frame);
    m_title->setObjectName(QStringLiteral("titleLabel"));
    m_title->setGeometry(Twips(1170, 330, 2190, 270));
    m_title->setAlignment(Qt::AlignCenter);
    QFont titleFont = ArialFont(12);
    titleFont.setBold(true);
    titleFont.setUnderline(true);
    m_title->setFont(titleFont);

    // Looks like a label; a button so that it can be reached and pressed
    // from the keyboard and by assistive tools.
    m_webLink = new QPushButton(kWebAddressText, frame);
    m_webLink->setObjectName(QStringLiteral("webLink"));
    m_webLink->setGeometry(Twips(1185, 690, 2175, 240));
    m_webLink->setFont(ArialFont(9));
    m_webLink->setFlat(true);
    m_webLink->setCursor(Qt::PointingHandCursor);
    // A link, not the dialog's button: Return and Space pressed on opening
    // the window must not send anyone to the web site.
    m_webLink->setAutoDefault(false);
    m_webLink->setDefault(false);
    m_webLink->setFocusPolicy(Qt::TabFocus);
    m_webLink->setAccessibleName(kWebAddress);
    m_webLink->setStyleSheet(
        QStringLiteral("QPushButton { color: #0000ff; border: none; background: transparent; padding: 0px; }"
                       "QPushButton:focus { text-decoration: underline; }"));
    // Once the link has the focus, Return and Enter press it as Space does.
    m_webLink->installEventFilter(this);
    connect(m_webLink, &QPushButton::clicked, this,
            [this] { QMetaObject::invokeMethod(this, &AboutDialog::openWebSite, Qt::QueuedConnection); });

    m_aboutText = new QPlainTextEdit(frame);
    m_aboutText->setObjectName(QStringLiteral("aboutText"));
    m_aboutText->setGeometry(Twips(120, 1155, 3405, 2040));
    m_aboutText->setReadOnly(true);
    m_aboutText->setLineWrapMode(QPlainTextEdit::WidgetWidth);
    m_aboutText->setWordWrapMode(QTextOption::WordWrap);
    m_aboutText->setAccessibleName(QStringLiteral("About Quillbox"));

    showTexts();
    m_aboutText->setFocus();
}

AboutDialog::~AboutDialog() = default;

bool AboutDialog::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == m_webLink && event->type() == QEvent::KeyPress) {
        const auto* key = static_cast<QKeyEvent*>(event);
        if ((key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter) &&
            (key->modifiers() & ~Qt::KeypadModifier) == Qt::NoModifier) {
            m_webLink->animateClick();
            return true;
        }
    }
    return QDialog::eventFilter(watched, event);
}

void AboutDialog::showTexts()
{
    m_title->setText(VersionTitle(kVersionMajor, kVersionMinor));
    m_title->setAccessibleName(m_title->text());
    m_aboutText->setPlainText(AboutText());
}

void AboutDialog::openWebSite()
{
    ShellExe(kWebAddress, m_linkOwner, m_messageBox);
}

} // namespace quillbox::ui
