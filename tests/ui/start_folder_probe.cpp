// SPDX-License-Identifier: GPL-3.0-or-later
// The main window as the program starts it, over the system's services,
// printing what its two folder fields start on: a copy of this program
// placed in a folder shows how the program itself starts there.
#include <cstdio>

#include <QApplication>
#include <QFile>
#include <QLineEdit>

#include "platform/posix_file_system.h"
#include "platform/system_clock.h"
#include "ui/main/main_window.h"

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    quillbox::PosixFileSystem fileSystem;
    quillbox::SystemClock clock;
    quillbox::ui::MainWindow window(quillbox::ui::SystemServices(fileSystem, clock));
    for (const char* name : {"sourceField", "destinationField"}) {
        const auto* field = window.findChild<QLineEdit*>(QString::fromLatin1(name));
        if (field == nullptr)
            return 1;
        std::printf("%s\n", QFile::encodeName(field->text()).constData());
    }
    return 0;
}
