#include <QApplication>

#include "platform/posix_file_system.h"
#include "app/screenshot_hook.h"
#include "platform/system_clock.h"
#include "ui/main/main_window.h"

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Quillbox"));
    QApplication::setDesktopFileName(QStringLiteral("quillbox"));
    quillbox::PosixFileSystem fileSystem;
    quillbox::SystemClock clock;
    quillbox::ui::wMain window(quillbox::ui::SystemServices(fileSystem, clock));
    window.show();
    quillbox::app::StartScreenshotsIfAsked(window);
    return app.exec();
}
