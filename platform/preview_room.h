// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <cstdint>

#include "core/ports/file_system.h"
#include "platform/preview_state.h"

namespace quillbox::posix {

// The blocks of `unit` bytes that `bytes` take.
std::uint64_t Blocks(std::uint64_t bytes, std::uint64_t unit);
// The blocks a copy of a file takes: its data where it has holes (only
// data is copied then), else its whole length.
std::uint64_t BlocksOfCopy(std::uint64_t size, std::uint64_t blocks512, std::uint64_t unit);
// Takes `blocks` and `inodes` from `room`, where it has them.
bool Take(PreviewState::Room& room, std::uint64_t blocks, std::uint64_t inodes);
// Gives back what Take took.
void GiveBack(PreviewState::Room& room, std::uint64_t blocks, std::uint64_t inodes);

// A new file of `blocks` blocks in `folder`; ENOSPC when its file system
// has not the room. On success the room stays taken until GiveBack.
class NewFileRoom {
public:
    NewFileRoom(PreviewState& state, const PreviewState::FolderFacts& folder, std::uint64_t blocks);
    bool taken() const { return m_taken; }
    // The run takes the file back: its room is free again.
    FileOutcome failed(int error);

private:
    PreviewState::Room& m_room;
    std::uint64_t m_blocks;
    bool m_taken;
};

} // namespace quillbox::posix
