#pragma once

#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <QMessageBox>
#include <QString>

#include "tests/support/fake_log.h"
#include "platform/posix_file_system.h"
#include "tests/support/temp_dir.h"
#include "ui/main/main_window.h"

namespace quillbox::test {

// The real file system, with a hook after every copy or move: what a person
// does while the run goes on.
class HookedFileSystem final : public FileSystem {
public:
    std::function<void(int handled)> afterFile;
    int handled = 0;
    // After each name the first listing of a run (the count) yields.
    std::function<void(int counted)> afterCounted;
    int listings = 0;

    std::unique_ptr<FileListing> listFiles(const std::string& folder) override;
    FsLength fileLength(const std::string& path) override { return m_real.fileLength(path); }
    FsLength lengthBeforeCopy(const std::string& path) override { return m_real.lengthBeforeCopy(path); }
    FsStatus createFolder(const std::string& path) override { return m_real.createFolder(path); }
    FsStatus copyFile(const std::string& source, const std::string& target,
                      const ChunkCallback& betweenChunks) override;
    FsStatus moveFile(const std::string& source, const std::string& target,
                      const ChunkCallback& betweenChunks) override;

private:
    void after();
    PosixFileSystem m_real;
};

// One message box the window asked for.
struct BoxRequest {
    QString text;
    QString title;
    BoxStyle style;
};

// A main window over a temporary folder, with a folder picker and message
// boxes the test answers.
class UiHarness {
public:
    UiHarness();
    ~UiHarness();

    TempDir dir;
    HookedFileSystem fs;
    FakeClock clock;
    // Folders the picker returns, in turn ("" is a cancel); titles it saw.
    std::deque<QString> pickerAnswers;
    std::vector<QString> pickerTitles;
    // Answers of the message boxes, in turn (Yes when none is left).
    std::deque<QMessageBox::StandardButton> boxAnswers;
    std::vector<BoxRequest> boxes;
    std::unique_ptr<ui::wMain> window;

    ui::wMain& w() { return *window; }

    // Source folder "in/" with the given files, destination "out/".
    void useFolders(const std::vector<std::string>& files);
    std::string source() const { return dir / "in"; }
    std::string destination() const { return dir / "out"; }

    // Clicks a main toolbar button as the mouse does.
    void click(std::string_view key);
    // Clicks and waits (bounded) until the "_sieve" command has returned.
    bool clickSieveAndWait();

    // The log's messages without their time.
    std::vector<std::string> logMessages() const;
};

} // namespace quillbox::test
