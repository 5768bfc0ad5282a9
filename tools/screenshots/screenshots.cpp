// SPDX-License-Identifier: GPL-3.0-or-later
// Pictures every window of the program into a folder, for the screenshot
// script and the smoke test: the main window, after a small sample run when
// a source is given, the log window and the About window, each as the
// program draws it (NAME.png) and with the window manager's frame
// (NAME-framed.png). Then it closes them and ends.
//
//   quillbox_screenshots FOLDER [SOURCE [DESTINATION]]
//
// With SOURCE, the main window first sieves it (by copy into DESTINATION,
// else into SOURCE) so the statistics show figures. Not installed.
#include <cstdio>

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QLineEdit>
#include <QPixmap>
#include <QScreen>
#include <QTimer>

#include "platform/posix_file_system.h"
#include "platform/system_clock.h"
#include "ui/about/about_dialog.h"
#include "ui/main/main_window.h"

namespace {

using namespace quillbox;

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

void TakePictures(ui::MainWindow& window, const QString& folder, const QString& source, const QString& destination)
{
    QTimer::singleShot(kSettleMs, &window, [&window, folder, source, destination] {
        if (!source.isEmpty()) {
            window.findChild<QLineEdit*>(QStringLiteral("sourceField"))->setText(source);
            window.findChild<QLineEdit*>(QStringLiteral("destinationField"))
                ->setText(destination.isEmpty() ? source : destination);
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

} // namespace

int main(int argc, char* argv[])
{
    if (argc < 2 || argc > 4) {
        std::fprintf(stderr, "usage: quillbox_screenshots FOLDER [SOURCE [DESTINATION]]\n");
        return 2;
    }
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Quillbox"));
    QApplication::setDesktopFileName(QStringLiteral("quillbox"));
    const QString folder = QFile::decodeName(argv[1]);
    const QString source = argc >= 3 ? QFile::decodeName(argv[2]) : QString();
    const QString destination = argc >= 4 ? QFile::decodeName(argv[3]) : QString();
    if (!QDir().mkpath(folder)) {
        std::fprintf(stderr, "quillbox_screenshots: cannot create %s\n", argv[1]);
        return 1;
    }

    // The sample run keeps no journal: nothing of it is to be taken back.
    PosixFileSystem fileSystem;
    SystemClock clock;
    ui::MainWindow window(ui::SystemServices(fileSystem, clock));
    window.show();
    TakePictures(window, folder, source, destination);
    return app.exec();
}
