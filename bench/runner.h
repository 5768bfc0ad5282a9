#pragma once

#include <cstddef>
#include <functional>
#include <string>

namespace quillbox::bench {

struct RunSpec {
    std::string source;
    std::string destination;
    bool move = false;
    bool createDirs = true;
    // Called once everything is set up, right before the clock starts.
    std::function<void()> justBeforeStart;
};

struct RunResult {
    double seconds = 0;
    double longestPumpGap = 0; // seconds between two event-pump calls
    std::size_t logRows = 0;
    // How far the peak resident size rose above the size at the run's
    // start, in bytes; meaningful in a fresh process only.
    double peakGrowth = 0;
};

using Runner = std::function<RunResult(const RunSpec&)>;

// The run engine alone, with a window that does nothing: what the run costs
// without any toolkit.
RunResult RunEngineOnly(const RunSpec& setup);

// A full run through the real main window (offscreen), started from its
// toolbar, with events pumped per file and the timers live.
RunResult RunThroughWindow(const RunSpec& setup);

} // namespace quillbox::bench
