#include <csignal>

#include <QApplication>
#include <QFile>

#include "app/command_line.h"
#include "app/display_check.h"
#include "platform/journal_files.h"
#include "platform/posix_file_system.h"
#include "platform/system_clock.h"
#include "ui/main/main_window.h"

int main(int argc, char* argv[])
{
    // A write past the file-size limit fails with EFBIG and is reported like
    // any other failure, instead of ending the program.
    std::signal(SIGXFSZ, SIG_IGN);
    // Any option means the command line: no window, no display needed.
    if (quillbox::app::WantsCommandLine(argc, argv))
        return quillbox::app::RunCommandLine(argc, argv);

    // The window needs a display: without one, one line says so and how to
    // run without a window.
    quillbox::app::RequireDisplay();
    quillbox::app::DisplayGuard displayGuard;
    QApplication app(argc, argv);
    displayGuard.started();
    QApplication::setApplicationName(QStringLiteral("Quillbox"));
    QApplication::setApplicationVersion(QStringLiteral(QUILLBOX_VERSION));
    QApplication::setDesktopFileName(QStringLiteral("quillbox"));
    quillbox::PosixFileSystem fileSystem;
    quillbox::SystemClock clock;
    quillbox::JournalFolder journals(quillbox::JournalFolder::DefaultFolder());
    quillbox::ui::MainWindow window(quillbox::ui::SystemServices(fileSystem, clock, &journals));
    // "quillbox SOURCE [DESTINATION]", as a file manager's "Open with" calls it.
    if (argc >= 2)
        window.openFolders(QFile::decodeName(argv[1]), argc >= 3 ? QFile::decodeName(argv[2]) : QString());
    window.show();
    return app.exec();
}
