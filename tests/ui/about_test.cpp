// SPDX-License-Identifier: GPL-3.0-or-later
// The About window, opening its address, and the real message boxes.
#include <QApplication>
#include <QDesktopServices>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <QUrl>

#include <gtest/gtest.h>

#include "tests/ui/ui_harness.h"
#include "ui/about/about_dialog.h"
#include "ui/about/version_title.h"
#include "ui/services/shell_open.h"

using namespace quillbox;

namespace {

// Receives the addresses the program asks the desktop to open.
class UrlCatcher final : public QObject {
    Q_OBJECT
public:
    QList<QUrl> opened;
public slots:
    void open(const QUrl& url) { opened.append(url); }
};

struct UrlHandlerScope {
    UrlHandlerScope(const QString& scheme, QObject* receiver, const char* method) : m_scheme(scheme)
    {
        QDesktopServices::setUrlHandler(scheme, receiver, method);
    }
    ~UrlHandlerScope() { QDesktopServices::unsetUrlHandler(m_scheme); }
    QString m_scheme;
};

// Presses `button` on the next modal box, once one shows (bounded).
void AnswerNextBox(QMessageBox::StandardButton button, QString* seenText, QMessageBox::Icon* seenIcon,
                   QMessageBox::StandardButton* seenDefault)
{
    auto* poll = new QTimer;
    auto deadline = std::make_shared<int>(500);
    QObject::connect(poll, &QTimer::timeout, [=] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (box != nullptr) {
            *seenText = box->text();
            *seenIcon = box->icon();
            *seenDefault = box->defaultButton() ? box->standardButton(box->defaultButton()) : QMessageBox::NoButton;
            box->button(button)->click();
        }
        if (box != nullptr || --*deadline == 0) {
            poll->stop();
            poll->deleteLater();
        }
    });
    poll->start(10);
}

} // namespace

TEST(About, TitleFromTheVersionNumbers)
{
    EXPECT_EQ(ui::VersionTitle(0, 97), QStringLiteral("Quillbox v0.97"));
    EXPECT_EQ(ui::VersionTitle(0, 5), QStringLiteral("Quillbox v0.05"));
    EXPECT_EQ(ui::VersionTitle(10, 0), QStringLiteral("Quillbox v10.00"));
    EXPECT_EQ(ui::VersionTitle(1, 123), QStringLiteral("Quillbox v1.123"));
}

TEST(About, WindowAndLinkOpenTheWebAddressEachClick)
{
    UrlCatcher catcher;
    UrlHandlerScope scope(QStringLiteral("https"), &catcher, "open");
    std::vector<test::BoxRequest> boxes;
    ui::AboutDialog about(nullptr, [&](QWidget*, const QString& text, const QString& title, BoxStyle style) {
        boxes.push_back({text, title, style});
        return QMessageBox::Ok;
    });
    about.show();
    EXPECT_EQ(about.windowTitle(), QStringLiteral("Quillbox .."));
    EXPECT_EQ(about.size(), QSize(248, 220));
    EXPECT_EQ(about.titleLabel()->text(), QStringLiteral("Quillbox v0.97"));
    EXPECT_TRUE(about.titleLabel()->font().bold());
    EXPECT_TRUE(about.titleLabel()->font().underline());
    EXPECT_TRUE(about.aboutText()->isReadOnly());
    EXPECT_TRUE(about.aboutText()->toPlainText().contains(QStringLiteral("shall not be liable")));
    EXPECT_EQ(about.webLink()->cursor().shape(), Qt::PointingHandCursor);

    // Return and Space on the freshly opened window go nowhere.
    about.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&about));
    EXPECT_NE(QApplication::focusWidget(), about.webLink()) << "the link takes no first focus";
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Return);
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Space);
    QApplication::processEvents();
    EXPECT_TRUE(catcher.opened.isEmpty());
    EXPECT_FALSE(about.webLink()->autoDefault());

    QTest::mouseClick(about.webLink(), Qt::LeftButton);
    QTest::mouseClick(about.webLink(), Qt::LeftButton);
    ASSERT_TRUE(QTest::qWaitFor([&] { return catcher.opened.size() == 2; }, 5000));
    EXPECT_EQ(catcher.opened[0], QUrl(ui::kWebAddress));
    EXPECT_TRUE(boxes.empty()) << "a successful open shows nothing";
    EXPECT_TRUE(about.isVisible());
}

TEST(About, ReturnOnTheFocusedLinkOpensItAsSpaceDoes)
{
    UrlCatcher catcher;
    UrlHandlerScope scope(QStringLiteral("https"), &catcher, "open");
    ui::AboutDialog about(nullptr, [](QWidget*, const QString&, const QString&, BoxStyle) { return QMessageBox::Ok; });
    about.show();
    about.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&about));
    // Reached from the keyboard, as a person reaches it.
    for (int i = 0; i < 4 && QApplication::focusWidget() != about.webLink(); ++i)
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    ASSERT_EQ(QApplication::focusWidget(), about.webLink());

    int expected = 0;
    for (const Qt::Key key : {Qt::Key_Return, Qt::Key_Enter, Qt::Key_Space}) {
        QTest::keyClick(about.webLink(), key, key == Qt::Key_Enter ? Qt::KeypadModifier : Qt::NoModifier);
        ++expected;
        ASSERT_TRUE(QTest::qWaitFor([&] { return catcher.opened.size() == expected; }, 5000)) << key;
    }
    EXPECT_EQ(catcher.opened.back(), QUrl(ui::kWebAddress));
    // A Return with Ctrl held is not the link's.
    QTest::keyClick(about.webLink(), Qt::Key_Return, Qt::ControlModifier);
    QApplication::processEvents();
    EXPECT_EQ(catcher.opened.size(), 3);
    EXPECT_TRUE(about.isVisible());
}

TEST(About, FailedOpenShowsTheShellExeBox)
{
    // A handler that cannot take the address: the open fails.
    QObject refuser;
    UrlHandlerScope scope(QStringLiteral("https"), &refuser, "noSuchSlot");
    std::vector<test::BoxRequest> boxes;
    ui::AboutDialog about(nullptr, [&](QWidget*, const QString& text, const QString& title, BoxStyle style) {
        boxes.push_back({text, title, style});
        return QMessageBox::Ok;
    });
    about.openWebSite();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].title, QStringLiteral("ShellExe()"));
    EXPECT_EQ(boxes[0].text, QStringLiteral("An unexpected error occured:\r\n    "));
    EXPECT_EQ(boxes[0].style, BoxStyle::Critical);

    // The same through the real box, answered like a person would.
    QString text;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    QMessageBox::StandardButton defaultButton = QMessageBox::NoButton;
    AnswerNextBox(QMessageBox::Ok, &text, &icon, &defaultButton);
    ShellExe(QString(), nullptr);
    EXPECT_EQ(text, QStringLiteral("An unexpected error occured:\r\n    "));
    EXPECT_EQ(icon, QMessageBox::Critical);
}

TEST(MessageBoxes, MoveQuestionHasYesAsDefault)
{
    QString text;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    QMessageBox::StandardButton defaultButton = QMessageBox::NoButton;
    AnswerNextBox(QMessageBox::No, &text, &icon, &defaultButton);
    const auto answer = ShowMessageBox(nullptr, QStringLiteral("sure?"), QStringLiteral("t"), BoxStyle::YesNoQuestion);
    EXPECT_EQ(answer, QMessageBox::No);
    EXPECT_EQ(icon, QMessageBox::Question);
    EXPECT_EQ(defaultButton, QMessageBox::Yes);

    AnswerNextBox(QMessageBox::Ok, &text, &icon, &defaultButton);
    EXPECT_EQ(ShowMessageBox(nullptr, QStringLiteral("row"), QStringLiteral("Selected entry.."), BoxStyle::Information),
              QMessageBox::Ok);
    EXPECT_EQ(icon, QMessageBox::Information);
    EXPECT_EQ(text, QStringLiteral("row"));
}

#include "about_test.moc"
