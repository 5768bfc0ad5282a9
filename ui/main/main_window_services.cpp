// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/main/main_window_services.h"

#include "ui/services/locale_facts.h"

namespace quillbox::ui {

MainWindowServices SystemServices(FileSystem& fileSystem, Clock& clock, JournalStore* journals)
{
    MainWindowServices services;
    services.fileSystem = &fileSystem;
    services.clock = &clock;
    services.journals = journals;
    services.locale = SystemLocaleFacts();
    services.pickFolder = BrowseForFolder;
    services.messageBox = ShowMessageBox;
    services.programFolder = ProgramFolder();
    return services;
}

} // namespace quillbox::ui
