// SPDX-License-Identifier: GPL-3.0-or-later
#include <csignal>

#include "app/cli/command_line.h"
#include "app/display_check.h"
#include "app/front_door.h"
#include "app/watch/watch_command.h"

// The program a user types: the command line itself, which links no
// toolkit; with no command it hands over to the window's program.
int main(int argc, char* argv[])
{
    // A write past the file-size limit fails with EFBIG and is reported like
    // any other failure, instead of ending the program.
    std::signal(SIGXFSZ, SIG_IGN);
    // Any option means the command line: no window, no display needed.
    if (quillbox::app::WantsCommandLine(argc, argv))
        return quillbox::app::RunCommandLine(argc, argv, &quillbox::app::WatchCommand);

    // The window needs a display: without one, one line says so and how to
    // run without a window.
    quillbox::app::RequireDisplay();
    return quillbox::app::StartWindow(argv);
}
