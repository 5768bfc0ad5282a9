// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <string>

namespace quillbox::app {

// The exit status of a command whose standard output could not be written.
inline constexpr int kExitWriteError = 3;

// Makes sure descriptors 0, 1 and 2 are open before anything else is, so
// that no file the program opens can become standard output and receive its
// text. A closed standard output stays one that cannot be written (EBADF).
void ReserveStandardStreams();

// Standard output, when no terminal, written in blocks of 64 KiB. Called
// before anything is written to it.
void BufferStandardOutput();

// A closed pipe makes a write fail (EPIPE) instead of ending the program.
void IgnoreBrokenPipe();

// Whether a write to standard output has failed; the first time it is seen,
// the reason is kept for the message at the end.
bool StandardOutputFailed();

// Writes `line` and a newline to standard output, escaped so that a name in
// it cannot break it in two.
void PrintLine(const std::string& line);

// Flushes and closes standard output, as the last thing a command does. When
// a write failed, says "quillbox: write error: REASON" on standard error and
// returns kExitWriteError (or `status` when that is already a signal's);
// otherwise returns `status`. A standard output that was closed from the
// start and never written to is no error.
int CloseStandardOutput(int status);

} // namespace quillbox::app
