#include "core/sieve.h"

#include "core/bucket.h"
#include "core/number_format.h"

namespace quillbox {

namespace {

constexpr char kBucketLetters[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZ#";

} // namespace

Sieve::Sieve(MainWindowPort& window, EventLog& log, FileSystem& fs)
    : m_window(window), m_log(log), m_fs(fs)
{
}

void Sieve::SieveFiles()
{
    m_running = true;

    // Lock the window for the run.
    m_window.setSourcePickerEnabled(false);
    m_window.setDestinationPickerEnabled(false);
    m_window.setToolbarButtonEnabled(kKeySieve, false);
    m_window.setToolbarButtonEnabled(kKeyAbout, false);
    m_window.setToolbarButtonEnabled(kKeyStop, true);
    m_window.setSourceEnabled(false);
    m_window.setDestinationEnabled(false);
    m_window.setCreateDirsEnabled(false);

    // Header.
    m_log.AddLogEntry("", "");
    m_log.AddLogEntry(kIconInformation, " -- SIEVING ----");

    const std::string source = m_window.sourceText();
    if (source.empty() || source.back() != kPathSeparator)
        m_window.setSourceText(WithTrailingSeparator(source));
    const std::string destination = m_window.destinationText();
    if (destination.empty() || destination.back() != kPathSeparator)
        m_window.setDestinationText(WithTrailingSeparator(destination));

    const char* modeWord = m_window.isCopyModeSelected(0) ? "Copy" : "Move";
    const std::string sourcePath = m_window.sourceText();
    const std::string destinationPath = m_window.destinationText();

    m_log.AddLogEntry(kIconInformation, "Source directory = " + sourcePath);
    m_log.AddLogEntry(kIconInformation, "Destination directory = " + destinationPath);
    m_log.AddLogEntry(kIconInformation, std::string("Copy Mode = ") + modeWord);

    // Bucket folders; a folder that cannot be made (usually: already there)
    // shows later as failed copies or moves into it.
    if (m_window.isCreateDirsChecked()) {
        m_log.AddLogEntry(kIconInformation, "Creating directories #-Z ..");
        for (const char* letter = kBucketLetters; *letter != '\0'; ++letter)
            m_fs.createFolder(destinationPath + *letter);
    }

    // Counting pass.
    {
        auto listing = m_fs.listFiles(sourcePath);
        const std::string* name = &listing->next();
        m_window.setCurrentFileCaption("Counting files..");
        m_window.repaintCurrentFile();
        m_window.setCountTimerEnabled(true);
        while (!name->empty()) {
            if (m_window.isStopPressed()) {
                m_log.AddLogEntry(kIconExclamation, "File count processing aborted by user.");
                FinishRun();
                return;
            }
            m_counters.FilesFound += 1;
            name = &listing->next();
            m_window.processPendingEvents();
        }
    }
    m_window.setCountTimerEnabled(false);
    m_window.runCountTimerTick();

    if (m_counters.FilesFound == 0) {
        ReportNoFiles();
        FinishRun();
        return;
    }
    m_log.AddLogEntry(kIconInformation,
                      "Found " + CounterText(m_counters.FilesFound) + " file(s) for processing.");

    // Processing pass, over a fresh listing.
    m_window.setProgressValue(0);
    m_window.setProgressMax(m_counters.FilesFound);
    m_window.setProgressMin(0);
    m_window.setProgressTimerEnabled(true);
    {
        auto listing = m_fs.listFiles(sourcePath);
        auto folders = m_fs.openRun(sourcePath, destinationPath);
        const std::string* name = &listing->next();
        while (!name->empty()) {
            if (m_window.isStopPressed()) {
                m_log.AddLogEntry(kIconExclamation, "Processing aborted by user.");
                FinishRun();
                return;
            }
            ProcessOneFile(*folders, *name);
            name = &listing->next();
            m_window.processPendingEvents();
        }
    }
    m_window.setProgressTimerEnabled(false);
    m_window.setProgressValue(m_window.progressMax());
    m_window.runProgressTimerTick();

    m_log.AddLogEntry(kIconInformation,
                      "Operation complete. " + CounterText(m_counters.FilesFound) + " file(s) processed.");
    FinishRun();
}

void Sieve::ProcessOneFile(RunFolders& folders, const std::string& name)
{
    m_counters.FilesProcessed += 1;
    // A value past Max is refused by the bar (the folder gained files after
    // counting); the bar then stays full.
    m_window.setProgressValue(m_window.progressValue() + 1);
    m_window.setProgressTimerTag(name);

    const char letter = BucketLetter(name);
    const TransferMode mode = m_window.isCopyModeSelected(1) ? TransferMode::Move : TransferMode::Copy;
    const FileOutcome outcome = folders.sieveFile(
        name, letter, mode, [this](std::uint64_t bytes) { m_counters.BytesProcessed += static_cast<double>(bytes); });
    if (outcome.stage == FileStage::Examine) {
        m_log.AddLogEntry(kIconExclamation, "Error while sieving: [" + std::to_string(outcome.status.error) +
                                                "] - " + outcome.status.reason + ".");
        m_log.ShowLogWindow();
    } else if (outcome.stage == FileStage::Transfer) {
        m_message.assign("Could not copy/move file ").append(name).append(". ").append(outcome.status.reason).append(".");
        m_log.AddLogEntry(kIconExclamation, m_message);
    }
}

void Sieve::ReportNoFiles()
{
    m_log.AddLogEntry(kIconExclamation, "No files found in the selected directory. Aborting.");
    m_window.setFileProgressCaption("No files were found. Check Log.");
    m_window.repaintFileProgress();
}

void Sieve::FinishRun()
{
    m_window.setCountTimerEnabled(false);
    m_window.setProgressTimerEnabled(false);

    m_counters = RunCounters{};

    m_window.setSourcePickerEnabled(true);
    m_window.setDestinationPickerEnabled(true);

    m_window.setToolbarButtonEnabled(kKeySieve, true);
    m_window.setToolbarButtonEnabled(kKeyAbout, true);
    m_window.setToolbarButtonEnabled(kKeyStop, false);
    m_window.setStopPressed(false);

    m_window.setSourceEnabled(true);
    m_window.setDestinationEnabled(true);
    m_window.setCreateDirsEnabled(true);

    m_log.AddLogEntry(kIconInformation, "Cleaning up complete.");

    if (m_window.isViewLogWhenDoneChecked())
        m_log.ShowLogWindow();

    m_running = false;
}

} // namespace quillbox
