// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

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
    // The window thread's longest stall while the run was on: the largest
    // gap between two ticks of a 10 ms timer, less the 10 ms. Zero for a
    // run without a window.
    double longestStall = 0;
    // Every tick's delay past its due time, in seconds.
    std::vector<double> stalls;
    std::size_t logRows = 0;
    // How far the peak resident size rose above the size at the run's
    // start, in bytes; meaningful in a fresh process only.
    double peakGrowth = 0;
};

using Runner = std::function<RunResult(const RunSpec&)>;

// The run job alone, on the calling thread, reporting to an observer that
// only counts log rows: what the run costs without any window.
RunResult RunEngineOnly(const RunSpec& setup);

// A full run through the real main window (offscreen): started as its
// Sieve! button starts it, timed until the window says the run is over and
// it is unlocked, while a timer on the window's thread watches for stalls.
RunResult RunThroughWindow(const RunSpec& setup);

} // namespace quillbox::bench
