// SPDX-License-Identifier: GPL-3.0-or-later
#include <csignal>
#include <cstdio>
#include <cstdlib>

#include <QApplication>
#include <QFile>

#include "app/display_check.h"
#include "app/display_guard.h"
#include "app/front_door.h"
#include "platform/real_ports.h"
#include "ui/main/main_window.h"

// The window's program, which quillbox starts when given no command.
int main(int argc, char* argv[])
{
    std::signal(SIGXFSZ, SIG_IGN);
    // Handed over by quillbox; nothing the window starts inherits it.
    QString programFolder;
    if (const char* folder = std::getenv(quillbox::app::kProgramFolderVariable); folder != nullptr) {
        programFolder = QFile::decodeName(folder);
        ::unsetenv(quillbox::app::kProgramFolderVariable);
    }
    if (quillbox::app::WantsCommandLine(argc, argv)) {
        std::fputs("quillbox-window: the window takes folders only; quillbox runs the command line\n", stderr);
        return 2;
    }

    // The window needs a display: without one, one line says so and how to
    // run without a window.
    quillbox::app::RequireDisplay();
    quillbox::app::DisplayGuard displayGuard;
    QApplication app(argc, argv);
    displayGuard.started();
    QApplication::setApplicationName(QStringLiteral("Quillbox"));
    QApplication::setApplicationVersion(QStringLiteral(QUILLBOX_VERSION));
    QApplication::setDesktopFileName(QStringLiteral("quillbox"));
    quillbox::RealPorts real;
    quillbox::ui::MainWindowServices services =
        quillbox::ui::SystemServices(real.fileSystem(), real.clock(), &real.journals());
    if (programFolder.startsWith(QLatin1Char('/')))
        services.programFolder = programFolder;
    quillbox::ui::MainWindow window(services);
    // "quillbox SOURCE [DESTINATION]", as a file manager's "Open with" calls it.
    if (argc >= 2)
        window.openFolders(QFile::decodeName(argv[1]), argc >= 3 ? QFile::decodeName(argv[2]) : QString());
    window.show();
    return app.exec();
}
