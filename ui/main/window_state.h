// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

namespace quillbox::ui {

// What the main window is doing, as far as commands and closing care: a run
// and a modal command never overlap, and a close asked for during either
// waits for its end.
enum class WindowPhase {
    Idle,
    ModalOpen,         // a command's modal box or dialog is open
    ClosingAfterModal, // ...and the window was asked to close meanwhile
    Running,           // a run (sieve or undo) is on
    ClosingAfterRun,   // ...and the window was asked to close: the run is stopped
};

// What a close request should do now.
enum class CloseAnswer {
    Accept,      // nothing is going on: close
    Wait,        // a modal command is open: close once it has ended
    StopAndWait, // a run is on: stop it and close once it has ended
};

// The rules of commands, runs and closing, one function per transition.
class WindowState {
public:
    WindowPhase phase() const { return m_phase; }
    bool isRunning() const { return m_phase == WindowPhase::Running || m_phase == WindowPhase::ClosingAfterRun; }
    bool isModalOpen() const { return m_phase == WindowPhase::ModalOpen || m_phase == WindowPhase::ClosingAfterModal; }
    bool isClosing() const
    {
        return m_phase == WindowPhase::ClosingAfterModal || m_phase == WindowPhase::ClosingAfterRun;
    }

    // A modal command may open only when nothing else goes on.
    bool openModal();
    // The modal command has ended; true when the window should close now.
    bool closeModal();
    // A run may start only when nothing else goes on.
    bool startRun();
    // The run has ended; true when the window should close now.
    bool endRun();
    // The window is asked to close.
    CloseAnswer requestClose();

private:
    WindowPhase m_phase = WindowPhase::Idle;
};

} // namespace quillbox::ui
