// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/main/statistics_view.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include <QLabel>
#include <QProgressBar>

#include "core/log/statistics_text.h"
#include "ui/common/text_bytes.h"

namespace quillbox::ui {

StatisticsView::StatisticsView(QLabel* fileProgress, QLabel* currentFile, QLabel* processed, QProgressBar* bar,
                               std::string thousandsSeparator)
    : m_fileProgress(fileProgress)
    , m_currentFile(currentFile)
    , m_processed(processed)
    , m_bar(bar)
    , m_separator(std::move(thousandsSeparator))
{
}

void StatisticsView::showPhase(RunPhase phase, const RunFigures& figures, const std::string& currentName)
{
    switch (phase) {
    case RunPhase::Counting:
        m_currentFile->setText(QStringLiteral("Counting files.."));
        break;
    case RunPhase::Counted:
        showCountLine(figures);
        break;
    case RunPhase::NoFiles:
        showCountLine(figures);
        m_fileProgress->setText(QStringLiteral("No files were found. Check Log."));
        break;
    case RunPhase::Processing:
        m_found = figures.filesFound;
        showBar(0, m_found);
        break;
    case RunPhase::Processed:
        showProgress(figures, currentName);
        showBar(m_found, m_found);
        break;
    }
}

void StatisticsView::showCountLine(const RunFigures& figures)
{
    m_currentFile->setText(Utf8Text(CountLineText(figures)));
}

void StatisticsView::showProgress(const RunFigures& figures, const std::string& currentName)
{
    m_fileProgress->setText(Utf8Text(FileProgressText(figures, m_separator)));
    m_currentFile->setText(NameText(currentName));
    m_processed->setText(Utf8Text(BytesText(figures, m_separator)));
    // Files added to the folder after counting leave the bar full.
    showBar(std::min(figures.filesProcessed, m_found), m_found);
}

void StatisticsView::showEnd(const RunFigures& last, bool processing)
{
    if (processing)
        showBar(std::min(last.filesProcessed, m_found), m_found);
}

void StatisticsView::showBar(double value, double max)
{
    // The widget counts in int: a range that does not fit is shown scaled.
    constexpr double kIntMax = std::numeric_limits<int>::max();
    int shownMax = 0;
    int shownValue = 0;
    if (max <= kIntMax) {
        shownMax = static_cast<int>(max);
        shownValue = static_cast<int>(value);
    } else {
        constexpr int kSteps = 1'000'000;
        shownMax = kSteps;
        shownValue = static_cast<int>(std::floor(value / max * kSteps));
    }
    if (m_bar->minimum() != 0 || m_bar->maximum() != shownMax)
        m_bar->setRange(0, shownMax);
    m_bar->setValue(shownValue);
}

} // namespace quillbox::ui
