#include <csignal>

#include <QApplication>

#include "platform/posix_file_system.h"
#include "app/screenshot_hook.h"
#include "platform/system_clock.h"
#include "ui/main/main_window.h"

int main(int argc, char* argv[])
{
    // A write past the file-size limit fails with EFBIG and is reported like
    // any other failure, instead of ending the program.
    std::signal(SIGXFSZ, SIG_IGN);
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Quillbox"));
    QApplication::setDesktopFileName(QStringLiteral("quillbox"));
    quillbox::PosixFileSystem fileSystem;
    quillbox::SystemClock clock;
    quillbox::ui::MainWindow window(quillbox::ui::SystemServices(fileSystem, clock));
    window.show();
    quillbox::app::StartScreenshotsIfAsked(window);
    return app.exec();
}
