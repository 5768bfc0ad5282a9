// SPDX-License-Identifier: GPL-3.0-or-later
#include "ui/main/window_state.h"

namespace quillbox::ui {

bool WindowState::openModal()
{
    if (m_phase != WindowPhase::Idle)
        return false;
    m_phase = WindowPhase::ModalOpen;
    return true;
}

bool WindowState::closeModal()
{
    const bool closeNow = m_phase == WindowPhase::ClosingAfterModal;
    if (isModalOpen())
        m_phase = WindowPhase::Idle;
    return closeNow;
}

bool WindowState::startRun()
{
    if (m_phase != WindowPhase::Idle)
        return false;
    m_phase = WindowPhase::Running;
    return true;
}

bool WindowState::endRun()
{
    const bool closeNow = m_phase == WindowPhase::ClosingAfterRun;
    if (isRunning())
        m_phase = WindowPhase::Idle;
    return closeNow;
}

CloseAnswer WindowState::requestClose()
{
    switch (m_phase) {
    case WindowPhase::Idle:
        return CloseAnswer::Accept;
    case WindowPhase::ModalOpen:
    case WindowPhase::ClosingAfterModal:
        m_phase = WindowPhase::ClosingAfterModal;
        return CloseAnswer::Wait;
    case WindowPhase::Running:
    case WindowPhase::ClosingAfterRun:
        m_phase = WindowPhase::ClosingAfterRun;
        return CloseAnswer::StopAndWait;
    }
    return CloseAnswer::Accept;
}

} // namespace quillbox::ui
