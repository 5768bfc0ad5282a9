// SPDX-License-Identifier: GPL-3.0-or-later
// The rules of commands, runs and closing, transition by transition.
#include <gtest/gtest.h>

#include "ui/main/window_state.h"

using quillbox::ui::CloseAnswer;
using quillbox::ui::WindowPhase;
using quillbox::ui::WindowState;

namespace {

enum class Event { OpenModal, CloseModal, StartRun, EndRun };

// Brings a fresh state to `phase` through its own transitions.
WindowState At(WindowPhase phase)
{
    WindowState state;
    switch (phase) {
    case WindowPhase::Idle:
        break;
    case WindowPhase::ModalOpen:
        state.openModal();
        break;
    case WindowPhase::ClosingAfterModal:
        state.openModal();
        state.requestClose();
        break;
    case WindowPhase::Running:
        state.startRun();
        break;
    case WindowPhase::ClosingAfterRun:
        state.startRun();
        state.requestClose();
        break;
    }
    return state;
}

} // namespace

TEST(WindowState, EachEventInEachPhase)
{
    struct Case {
        WindowPhase from;
        Event event;
        WindowPhase to;
        bool result; // what the transition answers (true: accepted / close now)
    };
    using P = WindowPhase;
    using E = Event;
    const Case cases[] = {
        // Idle: a modal command or a run may begin; ending either is a no-op.
        {P::Idle, E::OpenModal, P::ModalOpen, true},
        {P::Idle, E::StartRun, P::Running, true},
        {P::Idle, E::CloseModal, P::Idle, false},
        {P::Idle, E::EndRun, P::Idle, false},
        // A modal command shuts out another one and any run.
        {P::ModalOpen, E::OpenModal, P::ModalOpen, false},
        {P::ModalOpen, E::StartRun, P::ModalOpen, false},
        {P::ModalOpen, E::CloseModal, P::Idle, false},
        {P::ModalOpen, E::EndRun, P::ModalOpen, false},
        // A close asked for during it waits, and comes due when it ends.
        {P::ClosingAfterModal, E::OpenModal, P::ClosingAfterModal, false},
        {P::ClosingAfterModal, E::StartRun, P::ClosingAfterModal, false},
        {P::ClosingAfterModal, E::CloseModal, P::Idle, true},
        // A run shuts out modal commands and another run.
        {P::Running, E::OpenModal, P::Running, false},
        {P::Running, E::StartRun, P::Running, false},
        {P::Running, E::CloseModal, P::Running, false},
        {P::Running, E::EndRun, P::Idle, false},
        // A close asked for during it comes due when it ends.
        {P::ClosingAfterRun, E::OpenModal, P::ClosingAfterRun, false},
        {P::ClosingAfterRun, E::StartRun, P::ClosingAfterRun, false},
        {P::ClosingAfterRun, E::EndRun, P::Idle, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "from " << static_cast<int>(c.from) << ", event "
                                        << static_cast<int>(c.event));
        WindowState state = At(c.from);
        ASSERT_EQ(state.phase(), c.from);
        bool result = false;
        switch (c.event) {
        case E::OpenModal:
            result = state.openModal();
            break;
        case E::CloseModal:
            result = state.closeModal();
            break;
        case E::StartRun:
            result = state.startRun();
            break;
        case E::EndRun:
            result = state.endRun();
            break;
        }
        EXPECT_EQ(state.phase(), c.to);
        EXPECT_EQ(result, c.result);
    }
}

TEST(WindowState, CloseRequestsAnswerByPhaseAndRepeatSafely)
{
    struct Case {
        WindowPhase from;
        CloseAnswer answer;
        WindowPhase to;
    };
    const Case cases[] = {
        {WindowPhase::Idle, CloseAnswer::Accept, WindowPhase::Idle},
        {WindowPhase::ModalOpen, CloseAnswer::Wait, WindowPhase::ClosingAfterModal},
        {WindowPhase::ClosingAfterModal, CloseAnswer::Wait, WindowPhase::ClosingAfterModal},
        {WindowPhase::Running, CloseAnswer::StopAndWait, WindowPhase::ClosingAfterRun},
        {WindowPhase::ClosingAfterRun, CloseAnswer::StopAndWait, WindowPhase::ClosingAfterRun},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(static_cast<int>(c.from));
        WindowState state = At(c.from);
        EXPECT_EQ(state.requestClose(), c.answer);
        EXPECT_EQ(state.phase(), c.to);
        EXPECT_EQ(state.isClosing(), c.to != WindowPhase::Idle);
        EXPECT_EQ(state.isRunning(), c.to == WindowPhase::ClosingAfterRun);
        EXPECT_EQ(state.isModalOpen(), c.to == WindowPhase::ClosingAfterModal);
    }
}
