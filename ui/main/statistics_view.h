// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <string>

#include "core/jobs/run_observer.h"

class QLabel;
class QProgressBar;

namespace quillbox::ui {

// The statistics frame: the three figure lines and the bar, written from
// what a run reports.
class StatisticsView {
public:
    StatisticsView(QLabel* fileProgress, QLabel* currentFile, QLabel* processed, QProgressBar* bar,
                   std::string thousandsSeparator);

    void showPhase(RunPhase phase, const RunFigures& figures, const std::string& currentName);
    // "N files found..", while counting.
    void showCountLine(const RunFigures& figures);
    // The figures so far and the file in hand, while processing.
    void showProgress(const RunFigures& figures, const std::string& currentName);
    // The run has ended; one stopped while processing leaves the bar where it
    // stopped. The lines keep what they showed last.
    void showEnd(const RunFigures& last, bool processing);

private:
    void showBar(double value, double max);

    QLabel* m_fileProgress;
    QLabel* m_currentFile;
    QLabel* m_processed;
    QProgressBar* m_bar;
    std::string m_separator;
    // The processing pass's number found: the bar's maximum.
    double m_found = 0;
};

} // namespace quillbox::ui
