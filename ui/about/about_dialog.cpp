#include "ui/about/about_dialog.h"

#include <QGroupBox>
#include <QLabel>
#include <QMetaObject>
#include <QPlainTextEdit>
#include <QPushButton>

#include "ui/common/icons.h"
#include "ui/services/shell_open.h"
#include "ui/common/twips.h"
#include "ui/about/version_title.h"

namespace quillbox::ui {

namespace {

QFont ArialFont(double points)
{
    QFont font(QStringLiteral("Arial"));
    font.setPointSizeF(points);
    return font;
}

} // namespace

wAbout::wAbout(QWidget* linkOwner, MessageBoxFn messageBox)
    : QDialog(nullptr, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                           Qt::WindowCloseButtonHint)
    , m_linkOwner(linkOwner)
    , m_messageBox(std::move(messageBox))
{
    setObjectName(QStringLiteral("wAbout"));
    setWindowTitle(QStringLiteral("Quillbox .."));
    setWindowIcon(PictureIcon(Picture::Information));
    setModal(true);
    setFixedSize(TwipsSize(3720, 3300));
    setFont(ArialFont(8.25));

    // A frame without caption, its top edge lifted out of sight.
    auto* fraMain = new QGroupBox(this);
    fraMain->setObjectName(QStringLiteral("fraMain"));
    fraMain->setGeometry(Twips(30, -45, 3660, 3315));

    auto* imgIcon = new QLabel(fraMain);
    imgIcon->setObjectName(QStringLiteral("imgIcon"));
    imgIcon->setGeometry(Twips(165, 270, 720, 720));
    imgIcon->setPixmap(PictureIcon(Picture::Program).pixmap(QSize(48, 48), devicePixelRatioF()));
    imgIcon->setAccessibleName(QStringLiteral("Quillbox"));

    m_labTitle = new QLabel(fraMain);
    m_labTitle->setObjectName(QStringLiteral("labTitle"));
    m_labTitle->setGeometry(Twips(1170, 330, 2190, 270));
    m_labTitle->setAlignment(Qt::AlignCenter);
    QFont titleFont = ArialFont(12);
    titleFont.setBold(true);
    titleFont.setUnderline(true);
    m_labTitle->setFont(titleFont);

    // Looks like a label; a button so that it can be reached and pressed
    // from the keyboard and by assistive tools.
    m_labURL = new QPushButton(kWebAddressText, fraMain);
    m_labURL->setObjectName(QStringLiteral("labURL"));
    m_labURL->setGeometry(Twips(1185, 690, 2175, 240));
    m_labURL->setFont(ArialFont(9));
    m_labURL->setFlat(true);
    m_labURL->setCursor(Qt::PointingHandCursor);
    m_labURL->setAccessibleName(kWebAddress);
    m_labURL->setStyleSheet(QStringLiteral(
        "QPushButton { color: #0000ff; border: none; background: transparent; padding: 0px; }"
        "QPushButton:focus { text-decoration: underline; }"));
    connect(m_labURL, &QPushButton::clicked, this, [this] {
        QMetaObject::invokeMethod(this, &wAbout::labURL_Click, Qt::QueuedConnection);
    });

    m_txtAbout = new QPlainTextEdit(fraMain);
    m_txtAbout->setObjectName(QStringLiteral("txtAbout"));
    m_txtAbout->setGeometry(Twips(120, 1155, 3405, 2040));
    m_txtAbout->setReadOnly(true);
    m_txtAbout->setLineWrapMode(QPlainTextEdit::WidgetWidth);
    m_txtAbout->setWordWrapMode(QTextOption::WordWrap);
    m_txtAbout->setAccessibleName(QStringLiteral("About Quillbox"));

    Form_Load();
}

wAbout::~wAbout() = default;

void wAbout::Form_Load()
{
    m_labTitle->setText(VersionTitle(kVersionMajor, kVersionMinor));
    m_labTitle->setAccessibleName(m_labTitle->text());
    m_txtAbout->setPlainText(AboutText());
}

void wAbout::labURL_Click()
{
    ShellExe(kWebAddress, QString(), m_linkOwner, m_messageBox);
}

} // namespace quillbox::ui
