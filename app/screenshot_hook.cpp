#include "app/screenshot_hook.h"

#include <QApplication>
#include <QDir>
#include <QGuiApplication>
#include <QLineEdit>
#include <QPixmap>
#include <QScreen>
#include <QTimer>

#include "ui/about/about_dialog.h"
#include "ui/main/main_window.h"

namespace quillbox::app {

namespace {

constexpr int kSettleMs = 700;

// The window as drawn by the program, and the screen around it with the
// window manager's frame.
void Picture(QWidget& window, const QString& folder, const QString& name)
{
    window.grab().save(folder + QLatin1Char('/') + name + QStringLiteral(".png"));
    if (QScreen* screen = window.screen()) {
        const QRect frame = window.frameGeometry().adjusted(-4, -4, 4, 4);
        screen->grabWindow(0, frame.x(), frame.y(), frame.width(), frame.height())
            .save(folder + QLatin1Char('/') + name + QStringLiteral("-framed.png"));
    }
}

} // namespace

void StartScreenshotsIfAsked(ui::MainWindow& window)
{
    const QString folder = qEnvironmentVariable("QUILLBOX_SCREENSHOT_DIR");
    if (folder.isEmpty())
        return;
    QDir().mkpath(folder);
    const QString source = qEnvironmentVariable("QUILLBOX_SCREENSHOT_SOURCE");
    const QString destination = qEnvironmentVariable("QUILLBOX_SCREENSHOT_DESTINATION");

    QTimer::singleShot(kSettleMs, &window, [&window, folder, source, destination] {
        if (!source.isEmpty()) {
            window.sourceField()->setText(source);
            window.destinationField()->setText(destination.isEmpty() ? source : destination);
            window.startSieve();
        }
        QTimer::singleShot(kSettleMs, &window, [&window, folder] {
            Picture(window, folder, QStringLiteral("main"));
            window.log().ShowLogWindow();
            QTimer::singleShot(kSettleMs, &window, [&window, folder] {
                if (ui::LogWindow* log = window.logWindow())
                    Picture(*log, folder, QStringLiteral("log"));
                auto* about = new ui::AboutDialog(&window);
                about->setAttribute(Qt::WA_DeleteOnClose);
                about->show();
                QTimer::singleShot(kSettleMs, &window, [&window, folder, about] {
                    Picture(*about, folder, QStringLiteral("about"));
                    about->close();
                    window.close();
                });
            });
        });
    });
}

} // namespace quillbox::app
