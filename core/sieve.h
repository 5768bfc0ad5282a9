#pragma once

#include <string>

#include "core/file_system.h"
#include "core/log_entry.h"
#include "core/main_window_port.h"

namespace quillbox {

// What a run has done so far. Zero outside a run; only the run adds to them
// and only FinishRun resets them. Whole numbers, exact up to 2^53.
struct RunCounters {
    double FilesFound = 0;
    double FilesProcessed = 0;
    double BytesProcessed = 0;
};

// The sieve run: sorts the files directly inside the source folder into the
// bucket folders "A".."Z" and "#" of the destination, by copy or by move,
// driving the main window through its port.
class Sieve {
public:
    Sieve(MainWindowPort& window, EventLog& log, FileSystem& fs);

    // The whole run, start to end; returns when the run has ended. Every way
    // out goes through FinishRun exactly once.
    void SieveFiles();
    void ReportNoFiles();
    void FinishRun();

    const RunCounters& Counters() const { return m_counters; }
    bool IsRunning() const { return m_running; }

private:
    void ProcessOneFile(RunFolders& folders, const std::string& name);

    MainWindowPort& m_window;
    EventLog& m_log;
    FileSystem& m_fs;
    RunCounters m_counters;
    bool m_running = false;
    // A failed file's log message, built here: a run in which every file
    // fails writes one per file.
    std::string m_message;
};

} // namespace quillbox
