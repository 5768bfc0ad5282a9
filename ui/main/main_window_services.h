// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QString>

#include "core/journal/journal.h"
#include "core/ports/clock.h"
#include "core/ports/file_system.h"
#include "ui/main/start_folder.h"
#include "ui/services/folder_picker.h"
#include "ui/services/message_box.h"
#include "ui/services/save_picker.h"

namespace quillbox::ui {

// Everything the main window uses from outside itself. The program passes
// the real ones (SystemServices); a test passes its own file system, clock,
// folder picker and message box, and answers them itself.
struct MainWindowServices {
    FileSystem* fileSystem = nullptr;
    Clock* clock = nullptr;
    // Where runs keep their journals; none: runs keep none, and no run can
    // be taken back.
    JournalStore* journals = nullptr;
    LocaleFacts locale;
    FolderPickerFn pickFolder;
    MessageBoxFn messageBox;
    SavePickerFn pickSaveFile = AskSaveFileName;
    // The folder that holds the program (no trailing "/").
    QString programFolder;
    // Whether the user may write in a folder: the fields start elsewhere
    // than in the program's folder when not.
    MayWriteFn mayWrite = UserMayWrite;
};

// The real services over the given file system and clock.
MainWindowServices SystemServices(FileSystem& fileSystem, Clock& clock, JournalStore* journals = nullptr);

} // namespace quillbox::ui
